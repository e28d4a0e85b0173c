// Files the HTTP core sends: an open C stream and its errors.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace klarion {

// A failed file operation; `code` is the errno of the failing C call (0 when
// the C library reported a failure without setting one).
class FileError : public std::runtime_error {
public:
    explicit FileError(int code);
    int code() const { return code_; }

private:
    int code_;
};

// An open C stream. Releasing the last reference does NOT close the stream:
// whoever opened it calls close() (typically from an RAII guard, see response.h).
class File {
public:
    explicit File(std::FILE* stream) : pointer(stream) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // fclose; later calls do nothing.
    void close();
    // fseek from the start; true on success.
    bool seek(std::int64_t offset);
    // Reads up to buffer.size() bytes; a short read at end of file is no error.
    // Throws FileError when the stream reports an error.
    std::size_t read(std::span<std::uint8_t> buffer);

    std::FILE* pointer;
};

// fopen(path, "rb"), close-on-exec; throws FileError with errno when it fails.
std::shared_ptr<File> openForReading(const std::string& path);

}  // namespace klarion
