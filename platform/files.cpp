#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <mutex>
#include <sstream>

namespace klarion {

namespace fs = std::filesystem;

namespace {
std::mutex writeMutex;

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
    std::string tmpl = (folder / ("." + path.filename().string() + ".tmp.XXXXXX")).string();
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
