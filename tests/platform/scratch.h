// Shared test pieces: a scratch folder with HOME and the XDG variables pointing
// into it (no test touches the real home folder), a scoped time zone, and small
// file and date helpers.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
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

class ScratchHome : public ScopedEnv {
public:
    ScratchHome() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "klarion-test-XXXXXX").string();
        root_ = mkdtemp(tmpl.data());
        set("HOME", home().string());
        set("XDG_CONFIG_HOME", (home() / ".config").string());
        set("XDG_DATA_HOME", (home() / ".local" / "share").string());
        std::filesystem::create_directories(home());
    }
    ~ScratchHome() {
        std::error_code ec;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(root_, ec);
    }
    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path home() const { return root_ / "home"; }

private:
    std::filesystem::path root_;
};

// Writes a file as given (parents created) and returns its path.
inline std::filesystem::path writeText(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

inline unsigned fileMode(const std::filesystem::path& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

// 8-4-4-4-12 upper-case hexadecimal digits, version 4, RFC 4122 variant.
inline bool isUpperCaseUUID(const std::string& id) {
    if (id.size() != 36 || id[14] != '4' || std::string("89AB").find(id[19]) == std::string::npos) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : std::string("0123456789ABCDEF").find(id[i]) == std::string::npos) return false;
    }
    return true;
}

// Seconds since 1970 of a local date and time (in the current TZ).
inline double localTime(int year, int month, int day, int hour = 0, int minute = 0, double second = 0) {
    tm t{};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day, t.tm_hour = hour, t.tm_min = minute;
    t.tm_isdst = -1;
    return static_cast<double>(mktime(&t)) + second;
}

}  // namespace klarion::testing
