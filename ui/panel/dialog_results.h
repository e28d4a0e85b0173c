// What the panel's file dialogs hand back to the panel's operations.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
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
    static OpenDialogResult chosen(std::vector<std::filesystem::path> files) {
        return {std::nullopt, std::move(files)};
    }
};

}  // namespace klarion
