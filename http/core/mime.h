// Content types by file extension (fixed table of 103 extensions).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace klarion {

// The type for an extension (without the dot), matched exactly after lower-casing;
// "application/octet-stream" when the extension is absent or unknown.
std::string mimeTypeForExtension(std::optional<std::string_view> extension);

// The type for the extension of a path: the text after the last "." of the last
// path component (none when the component has no dot).
std::string mimeTypeForPath(std::string_view path);

// The path extension rule used above: "" when the last component has no ".".
std::string pathExtension(std::string_view path);

// The whole table, extension to type; built once on first use.
const std::map<std::string, std::string>& mimeTypes();

}  // namespace klarion
