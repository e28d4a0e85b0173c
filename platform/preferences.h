// The per-user preference store: a JSON object in
// $XDG_CONFIG_HOME/klarion/preferences.json (default ~/.config), rewritten
// atomically on every change. Thread-safe.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/json.h"

namespace klarion {

class PreferenceStore {
public:
    // Reads `file` now; a missing file is an empty store, a damaged one is
    // kept as NAME.damaged and read as empty.
    explicit PreferenceStore(std::filesystem::path file);

    // The user's store, made on first use from configHome().
    static std::shared_ptr<PreferenceStore> standard();
    static std::filesystem::path standardPath();

    // The stored value, or none when there is no entry. Together with the
    // typed reads below it tells "absent" from "of another type".
    std::optional<Json> object(const std::string& key) const;
    // None when there is no entry or it holds another JSON type.
    std::optional<std::string> string(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;

    // Store and write the file at once. False when the write failed (the
    // value stays in memory).
    bool set(const std::string& key, Json value);
    bool setString(const std::string& key, const std::string& value) { return set(key, Json(value)); }
    bool setBool(const std::string& key, bool value) { return set(key, Json(value)); }
    bool remove(const std::string& key);

    const std::filesystem::path& path() const { return path_; }

private:
    bool writeLocked();
    std::filesystem::path path_;
    mutable std::mutex mutex_;
    Json values_;
};

}  // namespace klarion
