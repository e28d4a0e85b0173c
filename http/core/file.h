// Files and paths of the HTTP core: an open C stream and its errors, the ways
// to open one, path tests, directory listing, the working directory and the
// path separator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
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
// No lock: one thread uses a File at a time.
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
    // Writes every byte (nothing for an empty span) and hands them to the
    // system at once, so that a failure (a full disk...) is thrown here as
    // FileError with errno rather than lost in close(), which reports nothing.
    void write(ByteSpan bytes);

    std::FILE* pointer;
};

// fopen(path, mode), close-on-exec; throws FileError with errno when it fails,
// leaving nothing open.
std::shared_ptr<File> openFile(const std::string& path, const std::string& mode);
// The same, for callers that name the mode themselves.
inline std::shared_ptr<File> openFileForMode(const std::string& path, const std::string& mode) {
    return openFile(path, mode);
}
std::shared_ptr<File> openForReading(const std::string& path);            // "rb"
std::shared_ptr<File> openNewForWriting(const std::string& path);         // "wb": created or emptied
std::shared_ptr<File> openForWritingAndReading(const std::string& path);  // "r+b": must exist

// stat(), following links: true when it succeeds, false when it fails with
// ENOENT; FileError with any other errno (ENOTDIR for a path below a file...).
bool exists(const std::string& path);
// stat(), following links: true for a directory, false for anything else and
// for ENOENT; FileError with any other errno.
bool directory(const std::string& path);
// The entry names of a directory in the order the system gives them, "." and
// ".." included; a name that is not UTF-8 is left out. FileError with errno
// when the directory cannot be opened or a read of it fails.
std::vector<std::string> files(const std::string& path);
// getcwd(); FileError with errno when it fails.
std::string currentWorkingDirectory();

// The process-wide separator put between a directory and a name, "/" unless
// changed. Safe to read and set from any thread.
std::string pathSeparator();
void setPathSeparator(std::string separator);

}  // namespace klarion
