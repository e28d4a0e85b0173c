#include "platform/json.h"

#include <algorithm>
#include <cmath>

namespace klarion {

std::optional<Json> parseJson(std::string_view text) {
    Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded() || !(value.is_object() || value.is_array())) return std::nullopt;
    return value;
}

std::optional<Json> parseJsonObject(std::string_view text) {
    auto value = parseJson(text);
    if (!value || !value->is_object()) return std::nullopt;
    return value;
}

namespace {
Json sortedCopy(const Json& value) {
    if (value.is_array()) {
        Json out = Json::array();
        for (const auto& element : value) out.push_back(sortedCopy(element));
        return out;
    }
    if (!value.is_object()) return value;
    std::vector<std::pair<std::string, const Json*>> members;
    for (auto it = value.begin(); it != value.end(); ++it) members.emplace_back(it.key(), &it.value());
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    Json out = Json::object();
    for (const auto& [key, member] : members) out[key] = sortedCopy(*member);
    return out;
}
}  // namespace

std::string dumpJson(const Json& value, const JsonWriteOptions& options) {
    try {
        const Json& source = value;
        Json sorted;
        if (options.sortKeys) sorted = sortedCopy(source);
        std::string text = (options.sortKeys ? sorted : source)
                               .dump(options.pretty ? 2 : -1, ' ', false, Json::error_handler_t::replace);
        if (options.escapeSlashes) {
            // Outside strings JSON text holds no "/", so every one is inside a string.
            std::string escaped;
            escaped.reserve(text.size());
            for (char c : text) {
                if (c == '/') escaped += '\\';
                escaped += c;
            }
            text = std::move(escaped);
        }
        return text;
    } catch (...) {
        return "null";  // only on memory exhaustion
    }
}

std::optional<std::string> jsonString(const Json& value) {
    if (!value.is_string()) return std::nullopt;
    return value.get<std::string>();
}

std::optional<bool> jsonBool(const Json& value) {
    if (!value.is_boolean()) return std::nullopt;
    return value.get<bool>();
}

std::optional<double> jsonDouble(const Json& value) {
    if (!value.is_number()) return std::nullopt;
    return value.get<double>();
}

std::optional<int64_t> jsonInt64(const Json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<int64_t>();
    if (value.is_number_unsigned()) {
        uint64_t u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<int64_t>(u);
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        // [-2^63, 2^63) is exactly the doubles that fit.
        if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
            d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

const Json* jsonMember(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> readString(const Json& object, std::string_view key) {
    const Json* m = jsonMember(object, key);
    return m ? jsonString(*m) : std::nullopt;
}

std::optional<bool> readBool(const Json& object, std::string_view key) {
    const Json* m = jsonMember(object, key);
    return m ? jsonBool(*m) : std::nullopt;
}

std::optional<double> readDouble(const Json& object, std::string_view key) {
    const Json* m = jsonMember(object, key);
    return m ? jsonDouble(*m) : std::nullopt;
}

std::optional<int64_t> readInt64(const Json& object, std::string_view key) {
    const Json* m = jsonMember(object, key);
    return m ? jsonInt64(*m) : std::nullopt;
}

const Json* readObject(const Json& object, std::string_view key) {
    const Json* m = jsonMember(object, key);
    return m && m->is_object() ? m : nullptr;
}

const Json* readArray(const Json& object, std::string_view key) {
    const Json* m = jsonMember(object, key);
    return m && m->is_array() ? m : nullptr;
}

}  // namespace klarion
