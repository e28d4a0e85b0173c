#include "http/core/file.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>

#include "http/core/text_utils.h"

namespace klarion {

FileError::FileError(int code) : std::runtime_error(std::string("error(") + std::to_string(code) + ")"), code_(code) {}

void File::close() {
    if (pointer) {
        std::fclose(pointer);
        pointer = nullptr;
    }
}

bool File::seek(std::int64_t offset) { return pointer && ::fseeko(pointer, static_cast<off_t>(offset), SEEK_SET) == 0; }

std::size_t File::read(std::span<std::uint8_t> buffer) {
    if (buffer.empty()) return 0;
    if (!pointer) throw FileError(EBADF);
    std::size_t count = std::fread(buffer.data(), 1, buffer.size(), pointer);
    if (count == buffer.size()) return count;
    if (std::feof(pointer)) return count;
    throw FileError(std::ferror(pointer) ? errno : 0);
}

void File::write(ByteSpan bytes) {
    if (bytes.empty()) return;
    if (!pointer) throw FileError(EBADF);
    if (std::fwrite(bytes.data(), 1, bytes.size(), pointer) < bytes.size()) throw FileError(errno);
    if (std::fflush(pointer) != 0) throw FileError(errno);
}

std::shared_ptr<File> openFile(const std::string& path, const std::string& mode) {
    // "e": close-on-exec, so no descriptor leaks into a child process.
    std::FILE* stream = std::fopen(path.c_str(), (mode + "e").c_str());
    if (!stream) throw FileError(errno);
    return std::make_shared<File>(stream);
}

std::shared_ptr<File> openForReading(const std::string& path) { return openFile(path, "rb"); }

std::shared_ptr<File> openNewForWriting(const std::string& path) { return openFile(path, "wb"); }

std::shared_ptr<File> openForWritingAndReading(const std::string& path) { return openFile(path, "r+b"); }

namespace {

// stat() of a path: the mode, or none when nothing is there (ENOENT).
std::optional<mode_t> statMode(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return info.st_mode;
    if (errno == ENOENT) return std::nullopt;
    throw FileError(errno);
}

}  // namespace

bool exists(const std::string& path) { return statMode(path).has_value(); }

bool directory(const std::string& path) {
    auto mode = statMode(path);
    return mode && S_ISDIR(*mode);
}

std::vector<std::string> files(const std::string& path) {
    DIR* folder = ::opendir(path.c_str());
    if (!folder) throw FileError(errno);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(folder);
        if (!entry) break;
        const std::size_t length = std::strlen(entry->d_name);
        ByteSpan name(reinterpret_cast<const std::uint8_t*>(entry->d_name), length + 1);  // with its NUL
        if (auto text = textutil::fromCStringBuffer(name)) names.push_back(std::move(*text));
    }
    const int error = errno;  // 0 at the end of the listing
    ::closedir(folder);
    if (error != 0) throw FileError(error);
    return names;
}

std::string currentWorkingDirectory() {
    std::string buffer(256, '\0');
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) throw FileError(errno);
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

namespace {

std::mutex separatorMutex;
std::string separator = "/";

}  // namespace

std::string pathSeparator() {
    std::lock_guard lock(separatorMutex);
    return separator;
}

void setPathSeparator(std::string value) {
    std::lock_guard lock(separatorMutex);
    separator = std::move(value);
}

}  // namespace klarion
