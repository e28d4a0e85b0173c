#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <mutex>
#include <sstream>

namespace klarion {

namespace fs = std::filesystem;

namespace {
std::mutex writeMutex;

// writeFileAtomic's temporary files: "." + the target's name + ".tmp." and
// the six characters mkostemp puts in place of "XXXXXX".
constexpr std::string_view kTemporaryMark = ".tmp.";
constexpr std::string_view kUniqueSuffix = "XXXXXX";

std::string temporaryTemplate(const fs::path& target) {
    return (target.parent_path() /
            ("." + target.filename().string() + std::string(kTemporaryMark) + std::string(kUniqueSuffix)))
        .string();
}

bool isTemporaryName(std::string_view name) {
    const std::size_t tail = kTemporaryMark.size() + kUniqueSuffix.size();
    if (name.size() < 2 + tail || name.front() != '.') return false;
    if (name.substr(name.size() - tail, kTemporaryMark.size()) != kTemporaryMark) return false;
    for (const char c : name.substr(name.size() - kUniqueSuffix.size())) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

void syncFolder(const fs::path& folder) {
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
}  // namespace

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool appendToFile(const fs::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = writeAll(fd, bytes);
    return ::close(fd) == 0 && ok;
}

std::optional<std::string> readFile(const fs::path& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return std::nullopt;  // a folder opens but cannot be read
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(out).str();
}

bool ensureDirectory(const fs::path& folder) {
    if (folder.empty()) return false;
    std::error_code ec;
    if (fs::is_directory(folder, ec)) return true;
    fs::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !ensureDirectory(parent)) return false;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return fs::is_directory(folder, ec);
}

bool writeFileAtomic(const fs::path& path, std::string_view bytes) {
    std::lock_guard lock(writeMutex);
    fs::path folder = path.parent_path();
    std::string tmpl = temporaryTemplate(path);
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(tmpl.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpl.c_str());
        return false;
    }
    syncFolder(folder);
    return true;
}

std::size_t removeAtomicWriteLeftovers(const fs::path& folder) {
    std::lock_guard lock(writeMutex);  // no write of this process is half done meanwhile
    std::size_t removed = 0;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        // A symbolic link or a folder of that name is no file of ours.
        if (!isTemporaryName(it->path().filename().string()) ||
            it->symlink_status(typeError).type() != fs::file_type::regular) {
            continue;
        }
        if (::unlink(it->path().c_str()) == 0) ++removed;
    }
    return removed;
}

bool keepDamagedCopy(const fs::path& path) {
    auto bytes = readFile(path);
    if (!bytes) return false;
    fs::path copy = path;
    copy += ".damaged";
    return writeFileAtomic(copy, *bytes);
}

bool isSafeFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::string makeSafeFileName(std::string_view name) {
    std::string safe(name);
    for (char& c : safe)
        if (c == '/' || c == '\0') c = '_';
    if (safe.empty() || safe == "." || safe == "..") return "_";
    return safe;
}

}  // namespace klarion
