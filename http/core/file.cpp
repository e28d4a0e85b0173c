#include "http/core/file.h"

#include <cerrno>

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

std::shared_ptr<File> openForReading(const std::string& path) {
    // "e": close-on-exec, so no descriptor leaks into a child process.
    std::FILE* stream = std::fopen(path.c_str(), "rbe");
    if (!stream) throw FileError(errno);
    return std::make_shared<File>(stream);
}

}  // namespace klarion
