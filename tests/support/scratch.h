// The one scratch-folder helper of the tests: a temporary folder removed with
// everything in it, and a scratch home (HOME and the XDG variables point into
// it while it lives, so no test touches the real home folder). Also a scoped
// change of environment variables (the time zone among them) and small file
// helpers.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace klarion::testing {

// Environment variables changed for one scope; the old values come back after.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const std::string& name, const std::string& value) { set(name, value); }
    ~ScopedEnv() {
        for (auto& [name, value] : saved_) value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        tzset();
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void set(const std::string& name, const std::string& value) {
        remember(name);
        setenv(name.c_str(), value.c_str(), 1);
        tzset();
    }
    void unset(const std::string& name) {
        remember(name);
        unsetenv(name.c_str());
    }

private:
    void remember(const std::string& name) {
        const char* old = getenv(name.c_str());
        if (!saved_.count(name)) saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

struct ScopedTimeZone : ScopedEnv {
    explicit ScopedTimeZone(const char* zone) : ScopedEnv("TZ", zone) {}
};

// A temporary folder, removed with everything in it (even what a test made unreadable).
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "klarion-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) root_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        for (auto it = std::filesystem::recursive_directory_iterator(root_, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(root_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& path() const { return root_; }

private:
    std::filesystem::path root_;
};

// A scratch folder holding a home folder that HOME, XDG_CONFIG_HOME and
// XDG_DATA_HOME point to while it lives (its Documents folder not made yet).
class ScratchHome : public ScratchFolder, public ScopedEnv {
public:
    ScratchHome() {
        std::filesystem::create_directories(home());
        set("HOME", home().string());
        set("XDG_CONFIG_HOME", (home() / ".config").string());
        set("XDG_DATA_HOME", (home() / ".local" / "share").string());
    }
    std::filesystem::path home() const { return root() / "home"; }
    std::filesystem::path documents() const { return home() / "Documents"; }
};

// Writes a file as given (parents created) and returns its path.
inline std::filesystem::path writeText(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// A file's bytes, "<missing>" when it cannot be read.
inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline unsigned fileMode(const std::filesystem::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

// Seconds since 1970 of a local date and time (in the current TZ).
inline double localTime(int year, int month, int day, int hour = 0, int minute = 0, double second = 0) {
    tm t{};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day, t.tm_hour = hour, t.tm_min = minute;
    t.tm_isdst = -1;
    return static_cast<double>(mktime(&t)) + second;
}

}  // namespace klarion::testing
