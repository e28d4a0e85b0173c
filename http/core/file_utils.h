// File streams, path tests, directory listing and small text helpers of the HTTP core.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "http/core/bytes.h"

namespace klarion {

// A failed file or path operation; `code` is the errno of the failing C call
// (0 when the C library reported a failure without setting one).
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
    // Writes every byte with one fwrite; throws FileError on a short write.
    void write(ByteSpan bytes);

    std::FILE* pointer;
};

// fopen(path, mode); throws FileError with errno when it fails.
std::shared_ptr<File> openFile(const std::string& path, const std::string& mode);
std::shared_ptr<File> openForReading(const std::string& path);             // "rb"
std::shared_ptr<File> openNewForWriting(const std::string& path);          // "wb"
std::shared_ptr<File> openForWritingAndReading(const std::string& path);   // "r+b"

// stat(): true when it succeeds, false on ENOENT, FileError on any other errno.
bool pathExists(const std::string& path);
// stat(): true for a directory, false for anything else or ENOENT; FileError otherwise.
bool isDirectory(const std::string& path);
// readdir() order, "." and ".." included; names that are not UTF-8 are skipped.
std::vector<std::string> listDirectory(const std::string& path);
// getcwd(); FileError with errno when it fails.
std::string currentWorkingDirectory();

// The process-wide path separator, "/" unless someone changes it (not locked).
std::string& pathSeparator();

// The text without one enclosing pair of double quotes (needs at least two
// characters), else the text unchanged. Nothing inside is unescaped.
std::string unquote(std::string_view text);

// The bytes before the first NUL decoded as UTF-8; none when they are not UTF-8.
std::optional<std::string> fromCStringBuffer(ByteSpan buffer);

// The byte value of tab, LF, VT, FF, CR (9..13) or space (32); none otherwise.
std::optional<std::uint8_t> asWhitespace(char32_t scalar);

// True when `text` is well-formed UTF-8 (RFC 3629).
bool isValidUtf8(std::string_view text);

// Process utilities.
struct Process {
    static int pid();
    // The calling thread's id as the kernel numbers it (gettid).
    static std::uint64_t tid();
    // Registers a callback for SIGTERM, SIGHUP and SIGINT. The callbacks run in
    // signal context, in registration order: they must be async-signal-safe.
    static void watchSignals(void (*callback)(int signal));
};

}  // namespace klarion
