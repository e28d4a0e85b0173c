// A scratch folder for one test, with HOME and the XDG variables pointing
// into it so that no test touches the real home folder.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace klarion::testing {

class ScratchHome {
public:
    ScratchHome() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "klarion-test-XXXXXX").string();
        root_ = mkdtemp(tmpl.data());
        set("HOME", (root_ / "home").string());
        set("XDG_CONFIG_HOME", (root_ / "home" / ".config").string());
        set("XDG_DATA_HOME", (root_ / "home" / ".local" / "share").string());
        std::filesystem::create_directories(root_ / "home");
    }
    ~ScratchHome() {
        for (auto& [name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
        std::error_code ec;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(root_, ec);
    }
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path home() const { return root_ / "home"; }

    void set(const std::string& name, const std::string& value) {
        remember(name);
        setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        remember(name);
        unsetenv(name.c_str());
    }

private:
    void remember(const std::string& name) {
        if (saved_.count(name)) return;
        const char* old = getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    std::filesystem::path root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// Sets TZ for the scope of one test and restores it afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = getenv("TZ");
        if (old) saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (saved_) setenv("TZ", saved_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> saved_;
};

// Seconds since 1970 of a local date and time (in the current TZ).
inline double localTime(int year, int month, int day, int hour = 0, int minute = 0, double second = 0) {
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return static_cast<double>(mktime(&t)) + second;
}

}  // namespace klarion::testing
