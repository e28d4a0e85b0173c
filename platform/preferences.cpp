#include "platform/preferences.h"

#include "platform/files.h"
#include "platform/paths.h"

namespace klarion {

PreferenceStore::PreferenceStore(std::filesystem::path file) : path_(std::move(file)), values_(Json::object()) {
    if (auto bytes = readFile(path_)) {
        if (auto parsed = parseJsonObject(*bytes)) {
            values_ = std::move(*parsed);
        } else {
            keepDamagedCopy(path_);
        }
    }
}

std::filesystem::path PreferenceStore::standardPath() { return configHome() / "klarion" / "preferences.json"; }

std::shared_ptr<PreferenceStore> PreferenceStore::standard() {
    static std::shared_ptr<PreferenceStore> store = std::make_shared<PreferenceStore>(standardPath());
    return store;
}

std::optional<Json> PreferenceStore::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

std::optional<std::string> PreferenceStore::string(const std::string& key) const {
    auto value = object(key);
    return value ? jsonString(*value) : std::nullopt;
}

std::optional<bool> PreferenceStore::boolean(const std::string& key) const {
    auto value = object(key);
    return value ? jsonBool(*value) : std::nullopt;
}

bool PreferenceStore::set(const std::string& key, Json value) {
    std::lock_guard lock(mutex_);
    values_[key] = std::move(value);
    return writeLocked();
}

bool PreferenceStore::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    values_.erase(key);
    return writeLocked();
}

bool PreferenceStore::writeLocked() {
    if (!ensureDirectory(path_.parent_path())) return false;
    return writeFileAtomic(path_, dumpJson(values_, {.pretty = true}));
}

}  // namespace klarion
