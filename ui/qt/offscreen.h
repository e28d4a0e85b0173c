// Qt's offscreen platform with a screen of a chosen size, for the window's
// tests and the screenshot tool (offscreen's own screen is 800 by 800).
#pragma once

#include <filesystem>

namespace klarion::qt {

// Writes the platform's configuration into `folder` and points
// QT_QPA_PLATFORM at it; call before the QApplication is made.
void useOffscreenScreen(const std::filesystem::path& folder, int width, int height);

}  // namespace klarion::qt
