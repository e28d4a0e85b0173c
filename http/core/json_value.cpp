#include "http/core/json_value.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace klarion {

namespace {

bool allFinite(const JsonValue& value) {
    const auto& v = value.variant();
    if (const double* d = std::get_if<double>(&v)) return std::isfinite(*d);
    if (const auto* a = std::get_if<JsonValue::Array>(&v)) {
        for (const auto& item : *a) {
            if (!allFinite(item)) return false;
        }
    }
    if (const auto* o = std::get_if<JsonValue::Object>(&v)) {
        for (const auto& [key, item] : *o) {
            if (!allFinite(item)) return false;
        }
    }
    return true;
}

void writeString(std::string& out, const std::string& text) {
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

void write(std::string& out, const JsonValue& value) {
    const auto& v = value.variant();
    if (std::holds_alternative<std::nullptr_t>(v)) {
        out += "null";
    } else if (const bool* b = std::get_if<bool>(&v)) {
        out += *b ? "true" : "false";
    } else if (const std::int64_t* i = std::get_if<std::int64_t>(&v)) {
        out += std::to_string(*i);
    } else if (const double* d = std::get_if<double>(&v)) {
        if (!std::isfinite(*d)) {
            out += "null";
        } else if (std::floor(*d) == *d && std::fabs(*d) < 1e15) {
            out += std::to_string(static_cast<std::int64_t>(*d));
        } else {
            char buf[64];
            auto result = std::to_chars(buf, buf + sizeof(buf), *d);  // shortest round-trip form
            out.append(buf, result.ptr);
        }
    } else if (const std::string* s = std::get_if<std::string>(&v)) {
        writeString(out, *s);
    } else if (const auto* a = std::get_if<JsonValue::Array>(&v)) {
        out.push_back('[');
        for (std::size_t k = 0; k < a->size(); ++k) {
            if (k) out.push_back(',');
            write(out, (*a)[k]);
        }
        out.push_back(']');
    } else if (const auto* o = std::get_if<JsonValue::Object>(&v)) {
        out.push_back('{');
        for (std::size_t k = 0; k < o->size(); ++k) {
            if (k) out.push_back(',');
            writeString(out, (*o)[k].first);
            out.push_back(':');
            write(out, (*o)[k].second);
        }
        out.push_back('}');
    }
}

}  // namespace

bool JsonValue::isValidDocument() const {
    return (isObject() || isArray()) && allFinite(*this);
}

std::string JsonValue::dump() const {
    std::string out;
    write(out, *this);
    return out;
}

}  // namespace klarion
