#include "http/extras/file_sharing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "http/core/mime.h"
#include "http/html/scopes.h"

namespace klarion {

namespace {

struct ClosesFile {
    explicit ClosesFile(std::shared_ptr<File> f) : file(std::move(f)) {}
    ClosesFile(const ClosesFile&) = delete;
    ClosesFile& operator=(const ClosesFile&) = delete;
    ~ClosesFile() { file->close(); }
    std::shared_ptr<File> file;
};

// Where a route parameter leads, or why it leads nowhere.
struct Resolved {
    std::string path;  // real path, below the root
    int error = 0;     // errno of the failed resolution, or kRefused
};
constexpr int kRefused = -1;  // a ".." segment, an absolute path, a NUL, or a way out through a link

// The real path of root + "/" + relative when it lies below the root's real path.
Resolved resolveBelow(const std::string& root, const std::string& relative) {
    if (relative.starts_with('/') || relative.find('\0') != std::string::npos) return {"", kRefused};
    for (std::size_t at = 0; at <= relative.size();) {
        std::size_t end = std::min(relative.find('/', at), relative.size());
        if (relative.compare(at, end - at, "..") == 0) return {"", kRefused};
        at = end + 1;
    }
    char buffer[PATH_MAX];
    if (!::realpath(root.c_str(), buffer)) return {"", errno};
    std::string base = buffer;
    if (!::realpath((root + "/" + relative).c_str(), buffer)) return {"", errno};
    std::string path = buffer;
    if (base != "/" && path != base && !path.starts_with(base + "/")) return {"", kRefused};
    return {path, 0};
}

// Opens a regular file for reading; none for anything else (a FIFO, a device
// or a folder is never opened). `size` is taken from the opened file.
std::shared_ptr<File> openRegularFile(const std::string& path, std::int64_t* size = nullptr) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) return nullptr;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {  // replaced meanwhile
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* stream = ::fdopen(fd, "rb");
    if (!stream) {
        ::close(fd);
        return nullptr;
    }
    if (size) *size = info.st_size;
    return std::make_shared<File>(stream);
}

// The value of the route's first parameter.
std::optional<std::string> routeParameter(const HttpRequest& request) {
    if (request.params.empty()) return std::nullopt;
    return request.params.begin()->second;
}

HttpResponse fileResponse(std::shared_ptr<File> file, HttpHeaders headers = {}) {
    return HttpResponse::raw(200, "OK", std::move(headers), sendFileAndClose(std::move(file)));
}

// Every byte but the unreserved ones as %XX: a name becomes one path segment.
std::string percentEncoded(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%', out += hex[c >> 4], out += hex[c & 15];
        }
    }
    return out;
}

// Lower-cased (full Unicode mapping) and composed (NFC): the key names sort by.
std::string sortKey(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString lower = icu::UnicodeString::fromUTF8(name);
    lower.toLower(icu::Locale::getRoot());
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    icu::UnicodeString composed = U_SUCCESS(status) ? nfc->normalize(lower, status) : lower;
    std::string key;
    (U_SUCCESS(status) ? composed : lower).toUTF8String(key);
    return key;
}

// An entry's link: one path segment after the route's own prefix (the
// request's path without its last segment), holding the folder and the name
// percent-encoded together as the listing's own address holds the folder:
// the listing of "/files/usr%2Fshare" links "/files/usr%2Fshare%2Fdoc",
// which the same one-segment route answers.
std::string entryLink(std::string_view requestPath, std::string_view folder, const std::string& name) {
    while (requestPath.ends_with('/')) requestPath.remove_suffix(1);
    const std::size_t slash = requestPath.rfind('/');
    const std::string_view prefix = requestPath.substr(0, slash == std::string_view::npos ? 0 : slash + 1);
    while (folder.ends_with('/')) folder.remove_suffix(1);
    return std::string(prefix) + percentEncoded(folder.empty() ? name : std::string(folder) + "/" + name);
}

// Sends a file whose size the system reports as 0 (a /proc or /sys file, made
// as it is read) by reading it to its end: sendfile would send nothing.
void writeByReading(File& file, HttpResponseBodyWriter& writer) {
    std::uint8_t chunk[16 * 1024];
    while (const std::size_t n = file.read(chunk)) writer.write(ByteSpan(chunk, n));
}

bool sizeIsKnown(const File& file) {
    struct stat info {};
    return file.pointer && ::fstat(::fileno(file.pointer), &info) == 0 && info.st_size > 0;
}

void sortNames(std::vector<std::string>& names) {
    std::vector<std::pair<std::string, std::string>> keyed;
    for (auto& name : names) keyed.emplace_back(sortKey(name), std::move(name));
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = std::move(keyed[i].second);
}

}  // namespace

HttpBodyWriterFn sendFileAndClose(std::shared_ptr<File> file) {
    auto guard = std::make_shared<ClosesFile>(std::move(file));
    return [guard](HttpResponseBodyWriter& writer) {
        try {
            if (sizeIsKnown(*guard->file)) {
                writer.write(*guard->file);
            } else {
                writeByReading(*guard->file, writer);
            }
        } catch (const std::exception&) {
            // The client gets a shorter body; the connection closes after it.
        }
        guard->file->close();
    };
}

HttpHandler shareFile(std::string path) {
    return [path = std::move(path)](HttpRequest&) {
        auto file = openRegularFile(path);
        return file ? fileResponse(std::move(file)) : HttpResponse::notFound();
    };
}

HttpHandler shareFilesFromDirectory(std::string directory, std::vector<std::string> defaultFileNames) {
    return [directory = std::move(directory), defaults = std::move(defaultFileNames)](HttpRequest& request) {
        auto relative = routeParameter(request);
        if (!relative) return HttpResponse::notFound();
        if (relative->empty()) {
            for (const auto& name : defaults) {
                Resolved resolved = resolveBelow(directory, name);
                if (auto file = resolved.error ? nullptr : openRegularFile(resolved.path))
                    return fileResponse(std::move(file));
            }
        }
        Resolved resolved = resolveBelow(directory, *relative);
        std::int64_t size = 0;
        auto file = resolved.error ? nullptr : openRegularFile(resolved.path, &size);
        if (!file) return HttpResponse::notFound();
        HttpHeaders headers{{"Content-Type", mimeTypeForPath(*relative)}};
        // A size of 0 may be a file made as it is read: its length is not known.
        if (size > 0) headers["Content-Length"] = std::to_string(size);
        return fileResponse(std::move(file), std::move(headers));
    };
}

HttpHandler directoryBrowser(std::string root) {
    return [root = std::move(root)](HttpRequest& request) {
        auto relative = routeParameter(request);
        if (!relative) return HttpResponse::notFound();
        Resolved resolved = resolveBelow(root, *relative);
        if (resolved.error == ENOENT || resolved.error == kRefused) return HttpResponse::notFound();
        if (resolved.error) return HttpResponse::internalServerError();
        std::vector<std::string> names;
        try {
            if (!directory(resolved.path)) {
                auto file = openRegularFile(resolved.path);
                return file ? fileResponse(std::move(file)) : HttpResponse::notFound();
            }
            names = files(resolved.path);
        } catch (const FileError&) {
            return HttpResponse::internalServerError();
        }
        sortNames(names);
        using namespace markup;
        return Scopes::response([&] {
            html([&] {
                body([&] {
                    table(names, [&](const std::string& name) {
                        tr([&] {
                            td([&] {
                                a([&] {
                                    Scopes::href = escapeText(entryLink(request.path, *relative, name));
                                    Scopes::innerText = escapeText(name);
                                });
                            });
                        });
                    });
                });
            });
        });
    };
}

}  // namespace klarion
