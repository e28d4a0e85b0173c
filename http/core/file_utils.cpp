#include "http/core/file_utils.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <atomic>
#include <mutex>

namespace klarion {

FileError::FileError(int code)
    : std::runtime_error(std::string("error(") + std::to_string(code) + ")"), code_(code) {}

void File::close() {
    if (pointer) {
        std::fclose(pointer);
        pointer = nullptr;
    }
}

bool File::seek(std::int64_t offset) {
    return pointer && ::fseeko(pointer, static_cast<off_t>(offset), SEEK_SET) == 0;
}

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

bool pathExists(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT) return false;
    throw FileError(errno);
}

bool isDirectory(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (errno == ENOENT) return false;
    throw FileError(errno);
}

std::vector<std::string> listDirectory(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) throw FileError(errno);
    std::vector<std::string> names;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name(entry->d_name, std::strlen(entry->d_name));
        if (isValidUtf8(name)) names.push_back(std::move(name));
    }
    ::closedir(dir);
    return names;
}

std::string currentWorkingDirectory() {
    std::vector<char> buffer(4096);
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) throw FileError(errno);
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

std::string& pathSeparator() {
    static std::string separator = "/";
    return separator;
}

std::string unquote(std::string_view text) {
    // Quotes are single bytes, so "more than one scalar" is "at least two bytes"
    // once both ends are quotes.
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return std::string(text.substr(1, text.size() - 2));
    }
    return std::string(text);
}

std::optional<std::string> fromCStringBuffer(ByteSpan buffer) {
    std::size_t end = 0;
    while (end < buffer.size() && buffer[end] != 0) ++end;
    std::string text(reinterpret_cast<const char*>(buffer.data()), end);
    if (!isValidUtf8(text)) return std::nullopt;
    return text;
}

std::optional<std::uint8_t> asWhitespace(char32_t scalar) {
    if ((scalar >= 9 && scalar <= 13) || scalar == 32) return static_cast<std::uint8_t>(scalar);
    return std::nullopt;
}

bool isValidUtf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size(), i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

namespace {

constexpr int kMaxWatchers = 32;
void (*gWatchers[kMaxWatchers])(int);
std::atomic<int> gWatcherCount{0};
std::atomic<bool> gHandlerInstalled{false};

void runSignalWatchers(int signal) {
    int count = gWatcherCount.load();
    for (int i = 0; i < count; ++i) {
        if (gWatchers[i]) gWatchers[i](signal);
    }
}

}  // namespace

int Process::pid() {
    return static_cast<int>(::getpid());
}

std::uint64_t Process::tid() {
    return static_cast<std::uint64_t>(::syscall(SYS_gettid));
}

void Process::watchSignals(void (*callback)(int)) {
    static std::mutex registration;
    std::lock_guard<std::mutex> lock(registration);
    if (!gHandlerInstalled.exchange(true)) {
        // SIGSTOP cannot be caught; it is left alone.
        std::signal(SIGTERM, runSignalWatchers);
        std::signal(SIGHUP, runSignalWatchers);
        std::signal(SIGINT, runSignalWatchers);
    }
    int index = gWatcherCount.load();
    if (index >= kMaxWatchers) return;
    gWatchers[index] = callback;
    gWatcherCount.store(index + 1);  // published after the slot is filled
}

}  // namespace klarion
