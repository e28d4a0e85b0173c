#include "ui/qt/offscreen.h"

#include <stdlib.h>

#include <fstream>
#include <string>

namespace klarion::qt {

void useOffscreenScreen(const std::filesystem::path& folder, int width, int height) {
    const std::filesystem::path file = folder / "offscreen-screen.json";
    std::ofstream(file) << R"({"screens": [{"name": "screen", "x": 0, "y": 0, "width": )" << width << R"(, "height": )"
                        << height << R"(, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
    setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + file.string()).c_str(), 1);
}

}  // namespace klarion::qt
