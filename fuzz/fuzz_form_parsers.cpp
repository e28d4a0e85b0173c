// Feeds arbitrary bytes to the form parsers of a request: the first line is
// the "content-type" header, the rest is the body. Checks what holds whatever
// the bytes: url-encoded fields come one per "&" piece, in UTF-8, and read
// back the same once encoded again; multipart parts are pieces of the body, in order, not
// copies; any file name and field name in quotes, escaped, come back whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "http/core/request.h"
#include "http/core/text_utils.h"

namespace {

using namespace klarion;

using fuzzing::check;

std::string formEncode(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    return out;
}

void checkUrlencoded(const HttpRequest& request) {
    const NameValueList fields = request.parseUrlencodedForm();
    if (fields.empty()) return;
    std::size_t pieces = 1;
    for (std::uint8_t b : request.body) pieces += b == '&';
    check(fields.size() == pieces, "one field per \"&\" piece");
    for (const auto& [name, value] : fields)
        check(textutil::isWellFormedUtf8(name) && textutil::isWellFormedUtf8(value),
              "a field not in UTF-8 is read as Latin-1");

    HttpRequest again;
    again.headers["content-type"] = "application/x-www-form-urlencoded";
    std::string body;
    for (const auto& [name, value] : fields)
        body += (body.empty() ? "" : "&") + formEncode(name) + "=" + formEncode(value);
    again.body.assign(body.begin(), body.end());
    check(again.parseUrlencodedForm() == fields, "fields read back differently once encoded");
}

void checkMultipart(const HttpRequest& request) {
    const auto parts = request.parseMultiPartFormData();
    const std::uint8_t* cursor = request.body.data();
    const std::uint8_t* end = request.body.data() + request.body.size();
    for (const auto& part : parts) {
        if (part.body.empty()) continue;
        check(part.body.data() >= cursor && part.body.data() + part.body.size() <= end,
              "a part's content lies in the body, after the part before it");
        cursor = part.body.data() + part.body.size();
    }
    for (const auto& part : parts) {
        (void)part.name();
        (void)part.fileName();
        // Whatever a quoted string holds is the parameter's value, once its
        // quotes and backslashes are escaped as Go's multipart writer does.
        const std::string text(part.body.begin(), part.body.end());
        std::string quoted;
        for (char c : text) {
            if (c == '"' || c == '\\') quoted += '\\';
            quoted += c;
        }
        HttpRequest::MultiPart made;
        made.headers["content-disposition"] = "form-data; filename=\"" + quoted + "\"; name=\"a\\\"b;c=d\\\\\"";
        check(made.fileName() == text, "a quoted file name comes back whole");
        check(made.name() == "a\"b;c=d\\", "a quoted field name after a quoted file name comes back whole");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    if (newline == std::string_view::npos) return 0;
    HttpRequest request;
    request.headers["content-type"] = std::string(input.substr(0, newline));
    request.body.assign(data + newline + 1, data + size);
    checkUrlencoded(request);
    checkMultipart(request);
    return 0;
}
