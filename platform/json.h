// JSON reading and writing (nlohmann-json, keys kept in insertion order).
//
// Reading is strict about types: a member of another JSON type than the one
// asked for counts as absent. Booleans are never numbers and numbers never
// booleans. An integer read accepts a JSON integer, or a floating-point value
// that is whole and fits in 64 bits (4096.0 reads as 4096, 4096.5 does not).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace klarion {

using Json = nlohmann::ordered_json;

// The most values (scalars, keys, objects and arrays) one document may hold.
// Tiny values cost far more in memory than in text: a 60 MB request body of
// "[0,0,0,...]" would take gigabytes once parsed. Every document the program
// reads (request bodies, LM Studio's replies, its own files) holds far fewer.
inline constexpr std::size_t kMaxJsonValues = 100000;

// Parses a JSON document whose top level is an object or an array; a bare
// scalar at the top level, bad syntax, trailing garbage or more than
// `maxValues` values gives none. Never throws.
std::optional<Json> parseJson(std::string_view text, std::size_t maxValues = kMaxJsonValues);
// The same, and the top level must be an object.
std::optional<Json> parseJsonObject(std::string_view text, std::size_t maxValues = kMaxJsonValues);

struct JsonWriteOptions {
    bool pretty = false;         // one member per line, indented by two spaces
    bool sortKeys = false;       // members of every object in byte order of their keys
    bool escapeSlashes = false;  // "/" inside strings written as "\/"
};
// Serialises; never throws. Invalid UTF-8 in strings is replaced by U+FFFD.
std::string dumpJson(const Json& value, const JsonWriteOptions& options = {});

// Typed reads of a value.
std::optional<std::string> jsonString(const Json& value);
std::optional<bool> jsonBool(const Json& value);
std::optional<double> jsonDouble(const Json& value);  // any number
std::optional<int64_t> jsonInt64(const Json& value);  // whole numbers, see above

// Typed reads of a member of an object; none when `object` is no object, the
// member is missing, or it has another type.
const Json* jsonMember(const Json& object, std::string_view key);
std::optional<std::string> readString(const Json& object, std::string_view key);
std::optional<bool> readBool(const Json& object, std::string_view key);
std::optional<double> readDouble(const Json& object, std::string_view key);
std::optional<int64_t> readInt64(const Json& object, std::string_view key);
const Json* readObject(const Json& object, std::string_view key);
const Json* readArray(const Json& object, std::string_view key);

}  // namespace klarion
