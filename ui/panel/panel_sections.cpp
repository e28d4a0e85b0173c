#include "ui/panel/panel_sections.h"

#include <qrencode.h>

#include <memory>

namespace klarion {

bool isEstablishment(const AppConfig::Values& config) { return config.mode() == AppMode::establishment; }

std::string localHostName(const std::string& systemName) {
    std::string name = systemName.substr(0, systemName.find('.'));
    return name.empty() ? "Mac" : name;
}

std::string localAddress(const std::string& hostName, int64_t port) {
    std::string host = hostName;
    for (char& c : host) {
        if (c == ' ') c = '-';
    }
    return "http://" + host + ".local:" + std::to_string(port);
}

WindowFrame windowFrame(int selectedTab, const AppConfig::Values& config) {
    WindowFrame frame;
    frame.tabs = {{"Technique", 0}, {"Pédagogie & Contrôle", 1}};
    const bool establishment = isEstablishment(config);
    if (establishment) frame.tabs.push_back({"Enseignants", 2});
    frame.pickerWidth = establishment ? 480 : 350;
    frame.shownTab = (selectedTab == 0 || selectedTab == 1 || (selectedTab == 2 && establishment)) ? selectedTab : -1;
    return frame;
}

ServerSection serverSection(const PanelState& panel, const AppConfig::Values& config) {
    ServerSection s;
    const int64_t length = config.lmContextLength;
    const bool tooShort = length >= 1 && length < AppConfig::lmContextRecommended;
    s.pickersEnabled = !panel.isRunning;
    s.lmOnline = config.isLmStudioOnline;
    s.lmStatus = s.lmOnline ? "LM Studio prêt (Port " + panel.lmStudioPort + ")" : "LM Studio hors ligne";
    s.showModel = s.lmOnline && !config.lmLoadedModelId.empty();
    s.modelId = config.lmLoadedModelId;
    s.showContext = s.showModel && length >= 1;
    s.contextTooShort = tooShort;
    s.contextText = "Contexte : " + std::to_string(length) + " tokens";
    s.showContextWarning = s.lmOnline && tooShort;
    s.contextWarningTitle = "Contexte trop court (" + std::to_string(length) + " tokens)";
    s.contextWarningText =
        "L'analyse de logs et l'envoi de fichiers/PDF nécessitent un Context Length d'au moins " +
        std::to_string(AppConfig::lmContextRecommended) +
        ". Dans LM Studio, onglet Load du modèle → section Context, augmentez la valeur puis rechargez le modèle.";
    s.showModeWarning = isEstablishment(config);
    s.modeWarning = "⚠️ Mode Établissement : Le changement de mode nécessite un redémarrage du serveur.";
    s.running = panel.isRunning;
    s.startStopText = panel.isRunning ? "Arrêter le serveur" : "Démarrer le serveur";
    s.showLocalAddress = panel.isRunning;
    s.localAddress = localAddress(panel.hostName, panel.selectedPort);
    s.showStudentShortLink = panel.isRunning && !config.shortURL.empty();
    s.studentShortLink = config.shortURL;
    s.showSession = panel.isRunning && isEstablishment(config);
    s.sessionActive = config.activeTeacherId.has_value();
    s.sessionText =
        s.sessionActive ? "Session active : " + config.activeTeacherName : "Aucune session enseignant active";
    return s;
}

PedagogySection pedagogySection(const PanelState& panel, const AppConfig::Values& config) {
    PedagogySection s;
    s.showPauseBanner = config.isAiPaused;
    s.showStudentLink = panel.isRunning;
    s.studentLink = !config.shortURL.empty() ? config.shortURL
                    : !panel.ipURL.empty()   ? panel.ipURL
                                             : localAddress(panel.hostName, panel.selectedPort);
    s.showClassPin = config.requiresPin;
    s.showRecordingLevel = config.isSupervisionActive;
    return s;
}

DashboardCard dashboardCard(const PanelState& panel, const AppConfig::Values& config) {
    DashboardCard c;
    c.teacherLocalURL = localAddress(panel.hostName, panel.selectedPort) + "/teacher";
    c.showQRCode = panel.isRunning;
    c.individual = config.mode() == AppMode::individual;
    c.showLinks = panel.isRunning;
    c.showShortLink = !config.teacherShortURL.empty();
    c.shortLink = config.teacherShortURL;
    c.copiedText = c.showShortLink ? config.teacherShortURL : c.teacherLocalURL;
    c.openURL = c.individual ? c.teacherLocalURL + "#pin=" + config.teacherPinCode : c.teacherLocalURL;
    return c;
}

AboutInfo aboutInfo() {
    return {"Klarion",
            "https://klarion.example.org",
            "klarion.example.org",
            std::string("Version ") + KLARION_VERSION_TEXT,
            "L'équipe Klarion",
            "contact@klarion.example.org",
            "2026",
            "Merci aux élèves des classes pilotes\nqui ont testé Klarion avant tout le monde."};
}

std::string deleteMessage(const std::string& teacherName) {
    return "Voulez-vous supprimer " + teacherName + " ? Ses logs seront conservés.";
}

QRMatrix qrMatrix(const std::string& text) {
    QRMatrix matrix;
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0,
                          QR_ECLEVEL_M),
        &QRcode_free);
    if (!code) return matrix;
    matrix.size = code->width;
    matrix.dark.resize(static_cast<size_t>(code->width) * code->width);
    for (size_t i = 0; i < matrix.dark.size(); ++i) matrix.dark[i] = (code->data[i] & 1) != 0;
    return matrix;
}

}  // namespace klarion
