// Whole-file reads and safe whole-file writes.
//
// Files we write hold PINs: folders we create are 0700 and files 0600.
#pragma once

#include <cstddef>
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

// Removes what writeFileAtomic leaves in `folder` when a process dies
// between creating its temporary file and renaming it: regular files named
// as its temporary files are, directly in the folder. Nothing else is
// touched. Writes of this process wait meanwhile; call it before another
// process can write into the folder (its write in progress would fail).
// Returns how many files went. (Writing through an unnamed O_TMPFILE file
// would not spare this: linkat never replaces an existing name, so the file
// would still pass through a named temporary one, and not every file system
// offers O_TMPFILE.)
std::size_t removeAtomicWriteLeftovers(const std::filesystem::path& folder);

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
