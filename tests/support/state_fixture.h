// A scratch world for the tests of the state operations: its own folder (HOME
// and XDG_* point into it), preference store, drainable main queue, manual
// clock (a Monday, 08:30) and journal.
#pragma once

#include <gmock/gmock.h>

#include "app/state/state_context.h"
#include "platform/files.h"
#include "tests/support/scratch.h"

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
        logger->setEnabled(true);
        config = std::make_shared<AppConfig>(std::make_shared<PreferenceStore>(dir / "preferences.json"));
        ctx = StateContext{config, logger, ConfigFolder(dir / "Documents"), queue, clock};
    }
    void TearDown() override { queue->drain(); }

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
    std::filesystem::path writeFile(const std::string& bytes, const std::string& name = "in.txt") {
        return writeText(dir / name, bytes);
    }
    Teacher teacher(std::string id, std::string name, std::string pin = "123456") {
        return Teacher{std::move(id), std::move(name), std::move(pin), "2026-01-01T00:00:00Z"};
    }
    // The teacher settings of a session that changed everything.
    static TeacherConfig edited() {
        return TeacherConfig{"eleves", "Réviser les fractions", true, "0427", true, "questions"};
    }

    ScratchHome scratch;
    const std::filesystem::path dir = scratch.root();
    std::shared_ptr<DrainableMainQueue> queue = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(localTime(2026, 1, 5, 8, 30));
    std::shared_ptr<AppLogger> logger = std::make_shared<AppLogger>(queue, clock);
    std::shared_ptr<AppConfig> config;
    StateContext ctx;
};

}  // namespace klarion::testing
