#include "ui/panel/panel_sections.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <fstream>

#include "tests/support/scratch.h"
#include "ui/panel/lmstudio_probes_seam.h"

namespace klarion {
namespace {

AppConfig::Values online(int64_t context, std::string model = "qwen") {
    AppConfig::Values v;
    v.isLmStudioOnline = true;
    v.lmLoadedModelId = std::move(model);
    v.lmContextLength = context;
    return v;
}

TEST(ServerSection, LmStudioLinesFollowTheProbe) {
    const struct {
        const char* what;
        AppConfig::Values config;
        bool model, context, tooShort, warning;
    } cases[] = {
        {"offline", AppConfig::Values{}, false, false, false, false},
        {"online, no model", online(0, ""), false, false, false, false},
        {"4096", online(4096), true, true, true, true},
        {"8191", online(8191), true, true, true, true},
        {"8192", online(8192), true, true, false, false},
        {"length without a model name: the box alone", online(2048, ""), false, false, true, true},
    };
    for (const auto& c : cases) {
        const ServerSection s = serverSection(PanelState{}, c.config);
        EXPECT_EQ(std::tuple(s.showModel, s.showContext, s.contextTooShort, s.showContextWarning),
                  std::tuple(c.model, c.context, c.tooShort, c.warning))
            << c.what;
    }
    PanelState elsewhere;
    elsewhere.lmStudioPort = "5678";
    EXPECT_EQ(serverSection(elsewhere, online(4096)).lmStatus, "LM Studio prêt (Port 5678)");
    const ServerSection s = serverSection(PanelState{}, online(4096));
    EXPECT_EQ(s.lmStatus, "LM Studio prêt (Port 1234)");
    EXPECT_EQ(s.contextText, "Contexte : 4096 tokens");
    EXPECT_EQ(s.contextWarningTitle, "Contexte trop court (4096 tokens)");
    EXPECT_EQ(serverSection(PanelState{}, {}).lmStatus, "LM Studio hors ligne");
}

TEST(ServerSection, RunningRowsPickersAndSession) {
    PanelState panel;
    panel.hostName = "Salle de SVT";
    panel.selectedPort = 8080;
    AppConfig::Values config;
    config.appMode = "establishment";
    ServerSection s = serverSection(panel, config);
    EXPECT_TRUE(s.pickersEnabled && s.showModeWarning);
    EXPECT_FALSE(s.showLocalAddress || s.showSession || s.showStudentShortLink);
    EXPECT_EQ(s.startStopText, "Démarrer le serveur");

    panel.isRunning = true;
    config.shortURL = "https://k.test/e";
    s = serverSection(panel, config);
    EXPECT_FALSE(s.pickersEnabled);
    EXPECT_EQ(s.startStopText, "Arrêter le serveur");
    EXPECT_EQ(s.localAddress, "http://Salle-de-SVT.local:8080");
    EXPECT_TRUE(s.showStudentShortLink && s.showSession && !s.sessionActive);
    EXPECT_EQ(s.sessionText, "Aucune session enseignant active");
    config.activeTeacherId = "T";
    config.activeTeacherName = "Mme Durand";
    EXPECT_EQ(serverSection(panel, config).sessionText, "Session active : Mme Durand");
    config.appMode = "individual";
    EXPECT_FALSE(serverSection(panel, config).showSession);
}

TEST(WindowFrame, TabsFollowTheMode) {
    AppConfig::Values config;
    const WindowFrame individual = windowFrame(2, config);
    EXPECT_EQ(individual.tabs.size(), 2u);
    EXPECT_EQ(individual.pickerWidth, 350);
    EXPECT_EQ(individual.shownTab, -1);  // a leftover third tab shows nothing
    config.appMode = "establishment";
    const WindowFrame establishment = windowFrame(2, config);
    EXPECT_EQ(establishment.tabs.back().title, "Enseignants");
    EXPECT_EQ(establishment.pickerWidth, 480);
    EXPECT_EQ(establishment.shownTab, 2);
}

TEST(LocalHostName, CutAtTheFirstDot) {
    const std::pair<std::string, std::string> cases[] = {
        {"pc.lycee.lan", "pc"}, {"Salle 12", "Salle 12"}, {"salle-12.local", "salle-12"}, {"", "Mac"}, {".lan", "Mac"}};
    for (const auto& [system, shown] : cases) EXPECT_EQ(localHostName(system), shown) << system;
    EXPECT_EQ(localAddress(localHostName("pc.lycee.lan"), 3000), "http://pc.local:3000");
}

TEST(PedagogyAndDashboard, LinksAndPin) {
    PanelState panel;
    panel.hostName = "Mac de la salle";
    AppConfig::Values config;
    config.teacherPinCode = "0042";
    EXPECT_EQ(pedagogySection(panel, config).studentLink, "http://Mac-de-la-salle.local:3000");
    panel.ipURL = "http://10.0.0.5:3000";
    EXPECT_EQ(pedagogySection(panel, config).studentLink, "http://10.0.0.5:3000");
    config.shortURL = "https://k.test/e";
    EXPECT_EQ(pedagogySection(panel, config).studentLink, "https://k.test/e");

    DashboardCard card = dashboardCard(panel, config);
    const std::string local = "http://Mac-de-la-salle.local:3000/teacher";
    EXPECT_EQ(card.teacherLocalURL, local);  // never the LAN address
    EXPECT_EQ(card.openURL, local + "#pin=0042");
    EXPECT_EQ(card.copiedText, local);
    EXPECT_FALSE(card.showQRCode || card.showLinks);
    config.teacherShortURL = "https://k.test/p";
    config.appMode = "establishment";
    card = dashboardCard(panel, config);
    EXPECT_EQ(card.copiedText, "https://k.test/p");
    EXPECT_EQ(card.openURL, local);  // no PIN outside the individual mode
    EXPECT_FALSE(card.individual);
    EXPECT_EQ(deleteMessage(" Zoé "), "Voulez-vous supprimer  Zoé  ? Ses logs seront conservés.");
}

TEST(StartRefusalAlert, TextsOfTheTwoRefusals) {
    using Refusal = LmStudioProbes::StartRefusal;
    EXPECT_EQ(
        startRefusalAlert(Refusal::lmStudioUnreachable, "1234"),
        std::make_pair(std::string("LM Studio inaccessible"),
                       std::string("Veuillez vérifier que LM Studio est ouvert et que le serveur local est démarré "
                                   "sur le port 1234 avant de lancer le serveur Klarion.")));
    EXPECT_EQ(startRefusalAlert(Refusal::lmStudioUnreachable, "5678").second,
              "Veuillez vérifier que LM Studio est ouvert et que le serveur local est démarré sur le port 5678 avant "
              "de lancer le serveur Klarion.");
    EXPECT_EQ(startRefusalAlert(Refusal::noModelLoaded, "1234"),
              std::make_pair(std::string("Aucun modèle chargé"),
                             std::string("LM Studio est démarré, mais aucun modèle d'IA n'est chargé en mémoire. "
                                         "Veuillez charger un modèle avant de lancer Klarion.")));
}

// The matrix, written as an image, reads back as the teacher link.
TEST(QRMatrix, DecodesToTheTeacherLink) {
    const std::string link = "http://Salle-12-Mac.local:8080/teacher";
    const QRMatrix matrix = qrMatrix(link);
    ASSERT_GT(matrix.size, 20);
    testing::ScratchHome scratch;
    const auto file = scratch.root() / "code.pbm";
    const int scale = 4, quiet = 4, side = (matrix.size + 2 * quiet) * scale;
    {
        std::ofstream out(file);
        out << "P1\n" << side << " " << side << "\n";
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                const int mx = x / scale - quiet, my = y / scale - quiet;
                const bool dark = mx >= 0 && my >= 0 && mx < matrix.size && my < matrix.size && matrix.at(mx, my);
                out << (dark ? "1 " : "0 ");
            }
            out << "\n";
        }
    }
    FILE* pipe = popen(("zbarimg --raw -q " + file.string()).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string decoded;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe)) decoded += buffer;
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(decoded, link + "\n");
    EXPECT_EQ(qrMatrix(std::string(5000, 'a')).size, 0);  // too long for any QR code
}

}  // namespace
}  // namespace klarion
