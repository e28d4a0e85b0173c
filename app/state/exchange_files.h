// Files the teacher chooses in the panel's dialogs: the plain reads and writes
// of those files with a readable French description of a failure.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace klarion {

struct ExportFileError {
    std::string description;
};

// Writes the bytes over the file (created 0644 less the umask, replaced when
// it exists). None on success, else the readable description of the failure.
std::optional<ExportFileError> writeExportFile(const std::filesystem::path& path, std::string_view bytes);

struct ImportFileRead {
    std::optional<std::string> bytes;  // the whole file when it could be read
    bool accessDenied = false;         // the system refused access to the file
    std::string errorDescription;      // readable, when bytes is none
};

// Reads the whole file.
ImportFileRead readImportFile(const std::filesystem::path& path);

// A readable French description of an errno value about the named file.
std::string describeFileError(int error, const std::filesystem::path& path);

// The last path component, as the dialogs report it to the teacher.
std::string displayFileName(const std::filesystem::path& path);

}  // namespace klarion
