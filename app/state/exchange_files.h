// Files the teacher chooses in the panel's dialogs: what the dialogs hand
// back, and the plain reads and writes of those files with a readable French
// description of a failure.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace klarion {

// The outcome of a save dialog: the chosen file, or none when the dialog was
// cancelled or gave no location.
using SaveDestination = std::optional<std::filesystem::path>;

// The outcome of an open dialog: an error the dialog reported, or the chosen
// files (only the first is used; none chosen is a silent no-op).
struct OpenDialogResult {
    std::optional<std::string> error;  // the dialog's own readable description
    std::vector<std::filesystem::path> files;

    static OpenDialogResult failure(std::string description) { return {std::move(description), {}}; }
    static OpenDialogResult chosen(std::vector<std::filesystem::path> files) { return {std::nullopt, std::move(files)}; }
};

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
