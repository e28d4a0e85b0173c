#include "http/core/mime.h"

#include <utility>
#include <vector>

namespace klarion {

namespace {

const char* const kDefaultType = "application/octet-stream";

std::map<std::string, std::string> buildTable() {
    const std::vector<std::pair<const char*, std::vector<const char*>>> groups = {
        {"text/html", {"html", "htm", "shtml"}},
        {"text/css", {"css"}},
        {"text/xml", {"xml"}},
        {"image/gif", {"gif"}},
        {"image/jpeg", {"jpeg", "jpg"}},
        {"application/javascript", {"js"}},
        {"application/atom+xml", {"atom"}},
        {"application/rss+xml", {"rss"}},
        {"text/mathml", {"mml"}},
        {"text/plain", {"txt"}},
        {"text/vnd.sun.j2me.app-descriptor", {"jad"}},
        {"text/vnd.wap.wml", {"wml"}},
        {"text/x-component", {"htc"}},
        {"image/png", {"png"}},
        {"image/tiff", {"tif", "tiff"}},
        {"image/vnd.wap.wbmp", {"wbmp"}},
        {"image/x-icon", {"ico"}},
        {"image/x-jng", {"jng"}},
        {"image/x-ms-bmp", {"bmp"}},
        {"image/svg+xml", {"svg", "svgz"}},
        {"image/webp", {"webp"}},
        {"application/font-woff", {"woff"}},
        {"application/java-archive", {"jar", "war", "ear"}},
        {"application/json", {"json"}},
        {"application/mac-binhex40", {"hqx"}},
        {"application/msword", {"doc"}},
        {"application/pdf", {"pdf"}},
        {"application/postscript", {"ps", "eps", "ai"}},
        {"application/rtf", {"rtf"}},
        {"application/vnd.apple.mpegurl", {"m3u8"}},
        {"application/vnd.ms-excel", {"xls"}},
        {"application/vnd.ms-fontobject", {"eot"}},
        {"application/vnd.ms-powerpoint", {"ppt"}},
        {"application/vnd.wap.wmlc", {"wmlc"}},
        {"application/vnd.google-earth.kml+xml", {"kml"}},
        {"application/vnd.google-earth.kmz", {"kmz"}},
        {"application/x-7z-compressed", {"7z"}},
        {"application/x-cocoa", {"cco"}},
        {"application/x-java-archive-diff", {"jardiff"}},
        {"application/x-java-jnlp-file", {"jnlp"}},
        {"application/x-makeself", {"run"}},
        {"application/x-perl", {"pl", "pm"}},
        {"application/x-pilot", {"prc", "pdb"}},
        {"application/x-rar-compressed", {"rar"}},
        {"application/x-redhat-package-manager", {"rpm"}},
        {"application/x-sea", {"sea"}},
        {"application/x-shockwave-flash", {"swf"}},
        {"application/x-stuffit", {"sit"}},
        {"application/x-tcl", {"tcl", "tk"}},
        {"application/x-x509-ca-cert", {"der", "pem", "crt"}},
        {"application/x-xpinstall", {"xpi"}},
        {"application/xhtml+xml", {"xhtml"}},
        {"application/xspf+xml", {"xspf"}},
        {"application/zip", {"zip"}},
        {"application/octet-stream", {"bin", "exe", "dll", "deb", "dmg", "iso", "img", "msi", "msp", "msm"}},
        {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", {"docx"}},
        {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", {"xlsx"}},
        {"application/vnd.openxmlformats-officedocument.presentationml.presentation", {"pptx"}},
        {"audio/midi", {"mid", "midi", "kar"}},
        {"audio/mpeg", {"mp3"}},
        {"audio/ogg", {"ogg"}},
        {"audio/x-m4a", {"m4a"}},
        {"audio/x-realaudio", {"ra"}},
        {"video/3gpp", {"3gpp", "3gp"}},
        {"video/mp2t", {"ts"}},
        {"video/mp4", {"mp4"}},
        {"video/mpeg", {"mpeg", "mpg"}},
        {"video/quicktime", {"mov"}},
        {"video/webm", {"webm"}},
        {"video/x-flv", {"flv"}},
        {"video/x-m4v", {"m4v"}},
        {"video/x-mng", {"mng"}},
        {"video/x-ms-asf", {"asx", "asf"}},
        {"video/x-ms-wmv", {"wmv"}},
        {"video/x-msvideo", {"avi"}},
    };
    std::map<std::string, std::string> table;
    for (const auto& [type, extensions] : groups) {
        for (const char* extension : extensions) table.emplace(extension, type);
    }
    return table;
}

// Lower-casing for the lookup. Every key is ASCII, so only characters whose
// lower case is ASCII matter: A-Z and the Kelvin sign U+212A, which lowers to "k".
std::string lowerForLookup(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            out.push_back(static_cast<char>(c - 'A' + 'a'));
        } else if (text.substr(i, 3) == "\xE2\x84\xAA") {
            out.push_back('k');
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

const std::map<std::string, std::string>& mimeTypes() {
    static const std::map<std::string, std::string> table = buildTable();  // thread-safe, built once
    return table;
}

std::string mimeTypeForExtension(std::optional<std::string_view> extension) {
    if (!extension) return kDefaultType;
    const auto& table = mimeTypes();
    auto it = table.find(lowerForLookup(*extension));
    return it == table.end() ? kDefaultType : it->second;
}

std::string pathExtension(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    auto slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto dot = last.rfind('.');
    if (dot == std::string_view::npos) return "";
    return std::string(last.substr(dot + 1));
}

std::string mimeTypeForPath(std::string_view path) { return mimeTypeForExtension(pathExtension(path)); }

}  // namespace klarion
