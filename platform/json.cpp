#include "platform/json.h"

#include <algorithm>
#include <cmath>

namespace klarion {

namespace {
// The library's document builder, stopped once the document holds more than
// `limit` values. The parser itself keeps no recursion, so depth costs nothing
// beyond the values counted here.
class BoundedDocumentBuilder {
public:
    using Builder = nlohmann::detail::json_sax_dom_parser<Json>;
    BoundedDocumentBuilder(Json& result, std::size_t limit) : builder_(result, false), limit_(limit) {}

    bool null() { return count() && builder_.null(); }
    bool boolean(bool value) { return count() && builder_.boolean(value); }
    bool number_integer(Json::number_integer_t value) { return count() && builder_.number_integer(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return count() && builder_.number_unsigned(value); }
    bool number_float(Json::number_float_t value, const std::string& text) {
        return count() && builder_.number_float(value, text);
    }
    bool string(std::string& value) { return count() && builder_.string(value); }
    bool binary(Json::binary_t& value) { return count() && builder_.binary(value); }
    bool start_object(std::size_t size) { return count() && builder_.start_object(size); }
    bool key(std::string& value) { return count() && builder_.key(value); }
    bool end_object() { return builder_.end_object(); }
    bool start_array(std::size_t size) { return count() && builder_.start_array(size); }
    bool end_array() { return builder_.end_array(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    bool count() { return ++values_ <= limit_; }

    Builder builder_;
    std::size_t limit_;
    std::size_t values_ = 0;
};
}  // namespace

std::optional<Json> parseJson(std::string_view text, std::size_t maxValues) {
    Json value;
    BoundedDocumentBuilder builder(value, maxValues);
    bool complete = false;
    try {
        complete = Json::sax_parse(text.begin(), text.end(), &builder);
    } catch (...) {
        return std::nullopt;  // memory exhaustion; the builder reports syntax errors itself
    }
    if (!complete || !(value.is_object() || value.is_array())) return std::nullopt;
    return value;
}

std::optional<Json> parseJsonObject(std::string_view text, std::size_t maxValues) {
    auto value = parseJson(text, maxValues);
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
    std::sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
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
        if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
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
