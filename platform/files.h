// Whole-file reads and safe whole-file writes.
//
// Files we write hold PINs: folders we create are 0700 and files 0600.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace klarion {

// The whole file, or none when it cannot be opened or read.
std::optional<std::string> readFile(const std::filesystem::path& path);

// Writes all the bytes to the descriptor, going on after a signal. False on
// failure, with errno set.
bool writeAll(int fd, std::string_view bytes);

// Appends the bytes at the end of the file, creating it (0600) when missing.
bool appendToFile(const std::filesystem::path& path, std::string_view bytes);

// Creates the folder and any missing parents (each created one 0700).
// True when the folder exists afterwards.
bool ensureDirectory(const std::filesystem::path& folder);

// Replaces the file atomically: a temporary file in the same folder, written
// in full, flushed to disk, then renamed over the target. A reader sees the
// old or the new content, never a mix. The file gets mode 0600. Writes of the
// whole process are serialised. The folder must exist. False on failure (the
// old file is then untouched).
bool writeFileAtomic(const std::filesystem::path& path, std::string_view bytes);

// Keeps a copy of a file that failed to load as NAME.damaged (replacing an
// older copy), so that saving defaults over it loses nothing. False when
// there is no such file or the copy fails.
bool keepDamagedCopy(const std::filesystem::path& path);

// True when `name` can be used as one file or folder name: not empty, not
// "." or "..", no "/" and no NUL byte.
bool isSafeFileName(std::string_view name);
// `name` made usable as one file or folder name: "/" and NUL become "_";
// an empty name, "." and ".." become "_".
std::string makeSafeFileName(std::string_view name);

}  // namespace klarion
