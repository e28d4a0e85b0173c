#include "http/html/scopes.h"
#include "http/html/scopes_detail.h"

#include <array>
#include <bit>
#include <cstdint>
#include <exception>
#include <vector>

namespace klarion::markup {

namespace {

constexpr std::array<std::string_view, attributeCount> kAttributeNames = {
#define KLARION_HTML_NAME(variable, name) name,
    KLARION_HTML_ATTRIBUTES(KLARION_HTML_NAME)
#undef KLARION_HTML_NAME
};
constexpr std::size_t kVariableCount = attributeCount + 1;
constexpr std::size_t kInner = attributeCount;

// Which variables may hold a value: one bit each. Only these are saved,
// cleared and restored, so an element costs little when few are set.
struct Marks {
    std::uint64_t words[2] = {0, 0};
    void set(std::size_t i) { words[i / 64] |= std::uint64_t{1} << (i % 64); }
    template <class F>
    void forEach(F&& f) const {
        for (std::size_t w = 0; w < 2; ++w)
            for (std::uint64_t bits = words[w]; bits; bits &= bits - 1) f(w * 64 + std::countr_zero(bits));
    }
};
static_assert(kVariableCount <= 128);

// Everything the builder keeps, per thread.
struct ThreadState {
    std::array<OptionalText, kVariableCount> values;
    Marks marks;
    // The values of the enclosing elements, saved while their children render.
    std::vector<std::pair<std::size_t, std::string>> saved;
    std::string buffer;
    bool rendered = false;
};

ThreadState& state() {
    thread_local ThreadState threadState;
    return threadState;
}

// Connection threads are kept from one connection to the next: a buffer that
// grew for a large page gives its memory back when the thread's next page
// begins, rather than holding that page's size for the life of the thread.
constexpr std::size_t kKeptBufferCapacity = 64 * 1024;

void releaseLargeBuffer(ThreadState& s) {
    if (s.buffer.capacity() > kKeptBufferCapacity) std::string().swap(s.buffer);
}

void appendAttribute(std::string& out, std::string_view name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    out += value;
    out += '"';
}

// Saves and clears the variables on entry, puts them back on exit, and on an
// exception removes what the element had written.
class ElementFrame {
public:
    explicit ElementFrame(ThreadState& s)
        : s_(s), savedBase_(s.saved.size()), savedMarks_(s.marks), start_(s.buffer.size()) {
        s.marks.forEach([&](std::size_t i) {
            if (s.values[i]) s.saved.emplace_back(i, std::move(*s.values[i])), s.values[i].reset();
        });
        s.marks = {};
    }
    ElementFrame(const ElementFrame&) = delete;
    ElementFrame& operator=(const ElementFrame&) = delete;
    ~ElementFrame() {
        if (std::uncaught_exceptions() > exceptions_) s_.buffer.resize(start_);
        s_.marks.forEach([&](std::size_t i) { s_.values[i].reset(); });
        for (std::size_t k = savedBase_; k < s_.saved.size(); ++k)
            s_.values[s_.saved[k].first] = std::move(s_.saved[k].second);
        s_.saved.resize(savedBase_);
        s_.marks = savedMarks_;
    }

private:
    ThreadState& s_;
    std::size_t savedBase_;
    Marks savedMarks_;
    std::size_t start_;
    int exceptions_ = std::uncaught_exceptions();
};

}  // namespace

const Variable& Variable::operator=(OptionalText value) const {
    ThreadState& s = state();
    auto i = static_cast<std::size_t>(index_);
    s.values[i] = std::move(value);
    s.marks.set(i);
    return *this;
}

const OptionalText& Variable::get() const { return state().values[static_cast<std::size_t>(index_)]; }

std::string_view Scopes::attributeName(std::size_t index) { return kAttributeNames.at(index); }

void Scopes::render(std::string_view tag, const AttributeMap& attributes, Content content) {
    ThreadState& s = state();
    s.rendered = true;
    ElementFrame frame(s);
    s.buffer += '<';
    s.buffer += tag;
    const std::size_t contentStart = s.buffer.size();
    content();

    std::string opening;
    s.marks.forEach([&](std::size_t i) {
        if (i == kInner || !s.values[i]) return;
        if (!attributes.empty() && attributes.contains(kAttributeNames[i])) return;  // the explicit entry wins
        appendAttribute(opening, kAttributeNames[i], *s.values[i]);
    });
    for (const auto& [name, value] : attributes)
        if (value) appendAttribute(opening, name, *value);
    opening += '>';

    if (const OptionalText& inner = s.values[kInner]) {
        s.buffer.resize(contentStart);
        s.buffer += opening;
        s.buffer += *inner;
    } else {
        s.buffer.insert(contentStart, opening);
    }
    s.buffer += "</";
    s.buffer += tag;
    s.buffer += '>';
}

const AttributeMap Scopes::stylesheetAttributes{{"rel", "stylesheet"}, {"type", "text/css"}};
const AttributeMap Scopes::javascriptAttributes{{"type", "text/javascript"}};

std::string Scopes::renderAttributes(std::string prefix, const AttributeMap& attributes) {
    for (const auto& [name, value] : attributes)
        if (value) appendAttribute(prefix, name, *value);
    return prefix;
}

std::optional<std::string> Scopes::threadBuffer() {
    const ThreadState& s = state();
    if (!s.rendered) return std::nullopt;
    return s.buffer;
}

std::size_t detail::threadBufferCapacity() { return state().buffer.capacity(); }

HttpResponse Scopes::response(const std::function<void()>& page) {
    ThreadState& s = state();
    releaseLargeBuffer(s);
    s.buffer.clear();
    s.rendered = true;
    if (page) page();
    return HttpResponse::raw(200, "OK", HttpHeaders{{"Content-Type", "text/html"}}, &Scopes::writeDocument);
}

void Scopes::writeDocument(HttpResponseBodyWriter& writer) {
    ThreadState& s = state();
    std::string document;
    document.reserve(15 + s.buffer.size());
    document += "<!DOCTYPE html>";
    document += s.buffer;
    try {
        writer.write(std::string_view(document));
    } catch (const std::exception&) {
        // Dropped: the response counts as sent and the connection closes after it.
    }
}

std::string_view characterReference(char c) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        case '\'': return "&#39;";
        default: return {};
    }
}

std::string escapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const std::string_view reference = characterReference(c);
        if (reference.empty()) {
            out += c;
        } else {
            out += reference;
        }
    }
    return out;
}

HttpHandler Scopes::pageHandler(std::function<void()> page) {
    return [page = std::move(page)](HttpRequest&) { return response(page); };
}

}  // namespace klarion::markup
