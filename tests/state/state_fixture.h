// A scratch world for the tests of the roster, sessions, slots and exchange
// files: its own folder (HOME and XDG_* point into it), preference store,
// drainable main queue, manual clock and journal.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/state/panel_state.h"
#include "app/state/state_context.h"
#include "platform/files.h"

namespace klarion::testing {

struct JournalLine {
    AppLogLevel level;
    std::string message;
    bool operator==(const JournalLine&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const JournalLine& line) {
    return out << "[" << toString(line.level) << "] " << line.message;
}

class StateTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/klarion-state-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        setenv("HOME", dir.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir / ".config").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir / ".local/share").c_str(), 1);
        queue = std::make_shared<DrainableMainQueue>();
        clock = std::make_shared<ManualClock>(localTime(2026, 1, 5, 8, 30));  // a Monday
        logger = std::make_shared<AppLogger>(queue, clock);
        logger->setEnabled(true);
        auto preferences = std::make_shared<PreferenceStore>(dir / "preferences.json");
        config = std::make_shared<AppConfig>(preferences);
        ctx = StateContext{config, logger, ConfigFolder(dir / "Documents"), queue, clock};
        panel = std::make_shared<PanelState>();
    }

    void TearDown() override {
        queue->drain();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // Seconds since 1970 of a local date and time (TZ of the test).
    static double localTime(int year, int month, int day, int hour, int minute, int second = 0) {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        tm.tm_isdst = -1;
        return static_cast<double>(std::mktime(&tm));
    }

    // Runs the queued steps, then returns the journal and clears it.
    std::vector<JournalLine> journal() {
        queue->drain();
        std::vector<JournalLine> lines;
        for (const AppLogEntry& entry : logger->entries()) lines.push_back({entry.level, entry.message});
        logger->setEntries({});
        return lines;
    }

    std::string fileText(const std::filesystem::path& path) { return readFile(path).value_or("<missing>"); }
    bool exists(const std::filesystem::path& path) { return std::filesystem::exists(path); }

    Teacher teacher(std::string id, std::string name, std::string pin = "123456") {
        return Teacher{std::move(id), std::move(name), std::move(pin), "2026-01-01T00:00:00Z"};
    }

    std::filesystem::path dir;
    std::shared_ptr<DrainableMainQueue> queue;
    std::shared_ptr<ManualClock> clock;
    std::shared_ptr<AppLogger> logger;
    std::shared_ptr<AppConfig> config;
    StateContext ctx;
    std::shared_ptr<PanelState> panel;
};

}  // namespace klarion::testing
