// A small JSON value and its compact writer, for JSON response bodies.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace klarion {

class JsonValue {
public:
    using Array = std::vector<JsonValue>;
    using Object = std::vector<std::pair<std::string, JsonValue>>;  // insertion order kept

    JsonValue() : value_(nullptr) {}
    JsonValue(std::nullptr_t) : value_(nullptr) {}
    JsonValue(bool b) : value_(b) {}
    JsonValue(int i) : value_(static_cast<std::int64_t>(i)) {}
    JsonValue(long i) : value_(static_cast<std::int64_t>(i)) {}
    JsonValue(long long i) : value_(static_cast<std::int64_t>(i)) {}
    JsonValue(unsigned i) : value_(static_cast<std::int64_t>(i)) {}
    JsonValue(double d) : value_(d) {}
    JsonValue(const char* s) : value_(std::string(s)) {}
    JsonValue(std::string s) : value_(std::move(s)) {}
    JsonValue(Array a) : value_(std::move(a)) {}
    JsonValue(Object o) : value_(std::move(o)) {}

    static JsonValue array(Array items = {}) { return JsonValue(std::move(items)); }
    static JsonValue object(Object members = {}) { return JsonValue(std::move(members)); }

    bool isObject() const { return std::holds_alternative<Object>(value_); }
    bool isArray() const { return std::holds_alternative<Array>(value_); }

    // True when this is a document the writer accepts: an object or an array at
    // the top level, every number finite.
    bool isValidDocument() const;

    // Compact text; "/" is not escaped, non-ASCII stays UTF-8.
    std::string dump() const;

    const auto& variant() const { return value_; }

private:
    std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, Array, Object> value_;
};

}  // namespace klarion
