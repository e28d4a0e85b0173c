#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace klarion {

namespace fs = std::filesystem;

namespace {
std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}
}  // namespace

fs::path homeFolder() {
    std::string home = env("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    return "/";
}

fs::path configHome() {
    std::string dir = env("XDG_CONFIG_HOME");
    if (!dir.empty() && dir.front() == '/') return dir;
    return homeFolder() / ".config";
}

fs::path documentsFolder() {
    const fs::path home = homeFolder();
    std::ifstream in(configHome() / "user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_DOCUMENTS_DIR=";
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
        std::string value = line.substr(start + key.size());
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
            value.pop_back();
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        fs::path dir;
        if (value.rfind("$HOME", 0) == 0) {
            std::string rest = value.substr(5);
            if (!rest.empty() && rest.front() != '/') continue;
            dir = home.string() + rest;
        } else if (!value.empty() && value.front() == '/') {
            dir = value;
        } else {
            continue;
        }
        // A disabled entry names the home folder itself.
        if (dir.lexically_normal() != home.lexically_normal() &&
            (dir.lexically_normal() / "") != (home.lexically_normal() / ""))
            return dir;
    }
    return home / "Documents";
}

fs::path executableFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return exe.parent_path();
}

fs::path resourceFolder() {
    const fs::path program = executableFolder();
    const fs::path beside = program / "resources";
    const fs::path installed = program.parent_path() / "share" / "klarion" / "resources";
    std::error_code ec;
    if (!fs::is_directory(beside, ec) && fs::is_directory(installed, ec)) return installed;
    return beside;
}

}  // namespace klarion
