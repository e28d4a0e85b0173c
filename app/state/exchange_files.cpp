#include "app/state/exchange_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

namespace klarion {

namespace {

std::string reasonText(int error) {
    switch (error) {
        case EACCES:
        case EPERM: return "permission refusée";
        case ENOENT: return "aucun fichier ou dossier de ce nom";
        case ENOTDIR: return "un élément du chemin n'est pas un dossier";
        case EISDIR: return "c'est un dossier";
        case ENOSPC: return "plus d'espace disponible sur le disque";
        case EROFS: return "le disque est en lecture seule";
        case EDQUOT: return "quota de disque dépassé";
        case ENAMETOOLONG: return "nom de fichier trop long";
        case EIO: return "erreur d'entrée/sortie";
        default: return std::strerror(error);
    }
}

}  // namespace

std::string displayFileName(const std::filesystem::path& path) {
    std::string name = path.filename().string();
    if (name.empty()) name = path.parent_path().filename().string();
    return name;
}

std::string describeFileError(int error, const std::filesystem::path& path) {
    return "Le fichier « " + displayFileName(path) + " » n'a pas pu être traité (" + reasonText(error) + ").";
}

std::optional<ExportFileError> writeExportFile(const std::filesystem::path& path, std::string_view bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return ExportFileError{describeFileError(errno, path)};
    if (!writeAll(fd, bytes)) {
        const int error = errno;
        ::close(fd);
        return ExportFileError{describeFileError(error, path)};
    }
    if (::close(fd) != 0 && errno != EINTR) return ExportFileError{describeFileError(errno, path)};
    return std::nullopt;
}

ImportFileRead readImportFile(const std::filesystem::path& path) {
    ImportFileRead result;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        result.accessDenied = (error == EACCES || error == EPERM);
        result.errorDescription = describeFileError(error, path);
        return result;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            result.errorDescription = describeFileError(errno, path);
            ::close(fd);
            return result;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    result.bytes = std::move(bytes);
    return result;
}

}  // namespace klarion
