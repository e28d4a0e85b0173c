// What the main window shows, computed from the panel's fields and a
// snapshot of AppConfig: every text, visibility and enabled rule of the
// window frame, the "Technique" tab, the "Pédagogie & Contrôle" tab and its
// dashboard card. The Qt window only draws these; tests check them headless.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/state/app_config.h"
#include "ui/panel/panel_state.h"

namespace klarion {

bool isEstablishment(const AppConfig::Values& config);

// The computer's name as the links use it: the host name up to its first dot
// ("pc.lycee.lan" gives "pc", whose ".local" name the network knows), "Mac"
// when nothing is left.
std::string localHostName(const std::string& systemName);

// "http://" + host name with every space turned into "-" + ".local:" + port.
std::string localAddress(const std::string& hostName, int64_t port);

struct TabSegment {
    std::string title;
    int value;
};

struct WindowFrame {
    std::vector<TabSegment> tabs;  // "Enseignants" only in the establishment mode
    int pickerWidth;               // 480 in the establishment mode, else 350
    int shownTab;                  // the tab whose content shows; -1: none
};
WindowFrame windowFrame(int selectedTab, const AppConfig::Values& config);

struct ServerSection {
    bool pickersEnabled;  // port and mode pickers: not while running
    bool lmOnline;
    std::string lmStatus;
    bool showModel;
    std::string modelId;
    bool showContext;
    bool contextTooShort;  // orange triangle, else green check
    std::string contextText;
    bool showContextWarning;
    std::string contextWarningTitle;
    std::string contextWarningText;
    bool showModeWarning;
    std::string modeWarning;
    bool running;
    std::string startStopText;
    bool showLocalAddress;
    std::string localAddress;
    bool showStudentShortLink;
    std::string studentShortLink;
    bool showSession;
    bool sessionActive;
    std::string sessionText;
};
ServerSection serverSection(const PanelState& panel, const AppConfig::Values& config);

struct PedagogySection {
    bool showPauseBanner;
    bool showStudentLink;
    std::string studentLink;  // short link, else the published address, else the local one
    bool showClassPin;        // the PIN row under "Code PIN Requis"
    bool showRecordingLevel;  // supervision on
};
PedagogySection pedagogySection(const PanelState& panel, const AppConfig::Values& config);

struct DashboardCard {
    std::string teacherLocalURL;  // also what the QR code encodes
    bool showQRCode;              // running (the window falls back to the placeholder without a matrix)
    bool individual;              // PIN row, else the establishment lines
    bool showLinks;               // link rows, copy and open: running
    bool showShortLink;
    std::string shortLink;
    std::string copiedText;  // the short link, else the local one
    std::string openURL;     // the local one, + "#pin=" + PIN in the individual mode
};
DashboardCard dashboardCard(const PanelState& panel, const AppConfig::Values& config);

// The About window's lines: the product's own data.
struct AboutInfo {
    std::string maker, website, websiteName, version, author, email, year, thanks;
};
AboutInfo aboutInfo();

// "Voulez-vous supprimer NAME ? Ses logs seront conservés."
std::string deleteMessage(const std::string& teacherName);

// A QR code's modules, row by row (true: dark), without the quiet zone.
struct QRMatrix {
    int size = 0;
    std::vector<bool> dark;
    bool at(int x, int y) const { return dark[static_cast<size_t>(y) * size + x]; }
};
// The QR code of the text's UTF-8 bytes at error correction level M; size 0
// when it cannot be made (too long).
QRMatrix qrMatrix(const std::string& text);

}  // namespace klarion
