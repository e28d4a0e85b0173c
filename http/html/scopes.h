// The HTML builder: pages written as nested element functions.
//
// An element's attributes and text are not arguments. Inside the element's
// content, the page assigns the builder's variables (Scopes::href = "/x";
// Scopes::innerText = "text";) and calls the element functions of its children.
// Each element saves and clears every variable, runs its content, writes itself
// with the attributes the content left set, and puts the saved values back, so
// an assignment belongs to the innermost element whose content is running.
//
//     html([] { body([] { a([] { Scopes::href = "/x"; Scopes::innerText = "/x"; }); }); });
//     gives <html><body><a href="/x">/x</a></body></html>
//
// Every element is closed by an end tag (no void elements), nothing is written
// between elements, and nothing is escaped: callers escape what they insert.
// The variables and the output buffer belong to the calling thread, so pages
// rendered on several connection threads at once never see each other.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "http/core/response.h"
#include "http/core/router.h"

// The attribute variables, in the order the renderer writes them:
// X(variable, "attribute name"). Where the name is not a usable identifier the
// variable doubles its last letter ("id" -> idd, "char" -> charr) or drops the
// hyphen and capitalises the next letter ("http-equiv" -> httpEquiv).
#define KLARION_HTML_ATTRIBUTES(X)                                                                                                       \
    X(idd, "id")                                                                                                                         \
    X(dir, "dir") X(rel, "rel") X(rev, "rev") X(alt, "alt") X(forr, "for") X(src, "src") X(type, "type") X(                              \
        href, "href") X(text, "text") X(abbr, "abbr") X(size, "size") X(face, "face") X(charr, "char") X(cite, "cite")                   \
        X(span, "span") X(data, "data") X(axis, "axis") X(Name, "Name") X(name, "name") X(code, "code")                                  \
            X(link, "link") X(lang, "lang") X(cols, "cols") X(rows, "rows") X(ismap, "ismap") X(shape, "shape")                          \
                X(style, "style") X(alink, "alink") X(width, "width") X(rules, "rules") X(align, "align")                                \
                    X(frame, "frame") X(vlink, "vlink") X(deferr, "defer") X(color, "color") X(media, "media") X(                        \
                        title, "title") X(scope, "scope") X(classs, "class") X(manifest, "manifest") X(value, "value")                   \
                        X(clear, "clear") X(start, "start") X(label, "label") X(action, "action") X(height, "height")                    \
                            X(method, "method") X(acceptt, "accept") X(object, "object") X(scheme, "scheme")                             \
                                X(coords, "coords") X(usemap, "usemap") X(onblur, "onblur") X(nohref, "nohref")                          \
                                    X(nowrap, "nowrap") X(hspace, "hspace") X(border, "border") X(valign, "valign") X(                   \
                                        vspace, "vspace") X(onload, "onload") X(target, "target") X(prompt, "prompt")                    \
                                        X(onfocus, "onfocus") X(enctype, "enctype") X(onclick, "onclick") X(                             \
                                            ontouchstart, "ontouchstart") X(onkeyup, "onkeyup") X(profile, "profile")                    \
                                            X(version, "version") X(onreset, "onreset") X(charset, "charset") X(                         \
                                                standby, "standby") X(colspan, "colspan") X(charoff, "charoff")                          \
                                                X(classid, "classid") X(compact, "compact") X(declare, "declare") X(                     \
                                                    rowspan, "rowspan") X(checked, "checked") X(archive, "archive")                      \
                                                    X(bgcolor, "bgcolor") X(content, "content") X(noshade, "noshade")                    \
                                                        X(summary, "summary") X(headers, "headers")                                      \
                                                            X(onselect, "onselect") X(readonly, "readonly") X(                           \
                                                                tabindex, "tabindex") X(onchange, "onchange")                            \
                                                                X(noresize, "noresize") X(disabled, "disabled") X(                       \
                                                                    longdesc, "longdesc") X(codebase, "codebase")                        \
                                                                    X(language, "language") X(datetime, "datetime") X(                   \
                                                                        selected, "selected") X(hreflang, "hreflang")                    \
                                                                        X(onsubmit, "onsubmit") X(                                       \
                                                                            multiple, "multiple") X(onunload,                            \
                                                                                                    "onunload")                          \
                                                                            X(codetype, "codetype") X(                                   \
                                                                                scrolling, "scrolling") X(onkeydown,                     \
                                                                                                          "onkeydown")                   \
                                                                                X(maxlength, "maxlength") X(                             \
                                                                                    valuetype, "valuetype")                              \
                                                                                    X(accesskey, "accesskey") X(                         \
                                                                                        onmouseup,                                       \
                                                                                        "onmouseup") X(onkeypress,                       \
                                                                                                       "onkeypress")                     \
                                                                                        X(ondblclick, "ondblclick") X(                   \
                                                                                            onmouseout,                                  \
                                                                                            "onmouseout") X(httpEquiv,                   \
                                                                                                            "http-"                      \
                                                                                                            "equiv")                     \
                                                                                            X(dataText, "data-text") X(                  \
                                                                                                background,                              \
                                                                                                "background")                            \
                                                                                                X(onmousemove,                           \
                                                                                                  "onmousemove") X(onmouseover,          \
                                                                                                                   "o"                   \
                                                                                                                   "n"                   \
                                                                                                                   "m"                   \
                                                                                                                   "o"                   \
                                                                                                                   "u"                   \
                                                                                                                   "s"                   \
                                                                                                                   "e"                   \
                                                                                                                   "o"                   \
                                                                                                                   "v"                   \
                                                                                                                   "e"                   \
                                                                                                                   "r")                  \
                                                                                                    X(cellpadding,                       \
                                                                                                      "cellpadding")                     \
                                                                                                        X(                               \
                                                                                                            onmousedown,                 \
                                                                                                            "onmoused"                   \
                                                                                                            "own") X(frameborder,        \
                                                                                                                     "frameborder")      \
                                                                                                            X(marginwidth,               \
                                                                                                              "margin"                   \
                                                                                                              "width") X(cellspacing,    \
                                                                                                                         "cellspacing")  \
                                                                                                                X(placeholder,           \
                                                                                                                  "pl"                   \
                                                                                                                  "ac"                   \
                                                                                                                  "eh"                   \
                                                                                                                  "ol"                   \
                                                                                                                  "de"                   \
                                                                                                                  "r") X(marginheight,   \
                                                                                                                         "marginheight") \
                                                                                                                    X(acceptCharset,     \
                                                                                                                      "accept-charset")

// The element functions: X(function, "tag"); "template" is a keyword, its function is template_.
#define KLARION_HTML_TAGS(X)                                                                                               \
    X(a, "a")                                                                                                              \
    X(abbr, "abbr") X(acronym, "acronym") X(address, "address") X(applet, "applet") X(area, "area") X(                     \
        article, "article") X(aside, "aside") X(audio, "audio") X(b, "b") X(base, "base") X(basefont, "basefont")          \
        X(bdi, "bdi") X(bdo, "bdo") X(bgsound, "bgsound") X(big, "big") X(blink, "blink") X(blockquote, "blockquote")      \
            X(body, "body") X(br, "br") X(button, "button") X(canvas, "canvas") X(caption, "caption") X(                   \
                center, "center") X(cite, "cite") X(code, "code") X(col, "col") X(colgroup, "colgroup")                    \
                X(command, "command") X(content, "content") X(data, "data") X(datalist, "datalist") X(dd, "dd") X(         \
                    del, "del") X(details, "details") X(dfn, "dfn") X(dialog, "dialog") X(dir, "dir")                      \
                    X(div, "div") X(dl, "dl") X(dt, "dt") X(element, "element") X(em, "em") X(                             \
                        embed,                                                                                             \
                        "embed") X(fieldset,                                                                               \
                                   "fieldset") X(figcaption,                                                               \
                                                 "figcaption") X(figure,                                                   \
                                                                 "figure") X(font,                                         \
                                                                             "font") X(footer,                             \
                                                                                       "footer") X(form, "form")           \
                        X(frame,                                                                                           \
                          "frame") X(frameset,                                                                             \
                                     "frameset") X(h1, "h1") X(h2,                                                         \
                                                               "h2") X(h3,                                                 \
                                                                       "h3") X(h4,                                         \
                                                                               "h4") X(h5,                                 \
                                                                                       "h5") X(h6,                         \
                                                                                               "h6") X(head, "head")       \
                            X(header,                                                                                      \
                              "header") X(hgroup, "hgroup")                                                                \
                                X(hr,                                                                                      \
                                  "hr") X(html, "html")                                                                    \
                                    X(i, "i") X(iframe, "iframe") X(image, "image") X(img, "img") X(input, "input") X(     \
                                        ins, "ins") X(isindex, "isindex")                                                  \
                                        X(kbd, "kbd") X(keygen, "keygen") X(label, "label") X(legend, "legend") X(         \
                                            li,                                                                            \
                                            "li") X(link, "link")                                                          \
                                            X(listing, "listing") X(main, "main") X(map, "map") X(mark, "mark") X(         \
                                                marquee,                                                                   \
                                                "marquee") X(menu,                                                         \
                                                             "menu") X(menuitem,                                           \
                                                                       "menuitem") X(meta, "meta")                         \
                                                X(meter, "meter") X(multicol, "multicol") X(nav, "nav") X(nobr, "nob"      \
                                                                                                                "r") X(    \
                                                    noembed,                                                               \
                                                    "noembed") X(noframes,                                                 \
                                                                 "noframes") X(noscript,                                   \
                                                                               "noscript") X(object,                       \
                                                                                             "object") X(ol, "ol")         \
                                                    X(optgroup,                                                            \
                                                      "optgroup") X(option, "option")                                      \
                                                        X(output,                                                          \
                                                          "output") X(p, "p") X(param, "param")                            \
                                                            X(picture, "picture") X(                                       \
                                                                plaintext,                                                 \
                                                                "plaintext") X(pre,                                        \
                                                                               "pre") X(progress, "progress")              \
                                                                X(q, "q") X(rp, "rp") X(rt, "rt") X(                       \
                                                                    rtc, "rtc") X(ruby, "ruby")                            \
                                                                    X(s, "s") X(samp, "samp") X(script, "script") X(       \
                                                                        section,                                           \
                                                                        "section") X(select,                               \
                                                                                     "select") X(shadow,                   \
                                                                                                 "shadow")                 \
                                                                        X(small, "small") X(source, "source") X(           \
                                                                            spacer,                                        \
                                                                            "spacer") X(span, "span")                      \
                                                                            X(strike,                                      \
                                                                              "strike") X(strong, "strong")                \
                                                                                X(style, "style") X(                       \
                                                                                    sub,                                   \
                                                                                    "sub") X(summary,                      \
                                                                                             "summary") X(sup, "sup")      \
                                                                                    X(table, "table") X(tbody, "tbod"      \
                                                                                                               "y") X(     \
                                                                                        td,                                \
                                                                                        "td") X(template_, "template")     \
                                                                                        X(textarea, "textarea") X(         \
                                                                                            tfoot, "tfoot") X(th,          \
                                                                                                              "th")        \
                                                                                            X(thead, "thead") X(           \
                                                                                                time,                      \
                                                                                                "time") X(title, "tit"     \
                                                                                                                 "le")     \
                                                                                                X(tr,                      \
                                                                                                  "tr") X(track, "tra"     \
                                                                                                                 "ck")     \
                                                                                                    X(tt,                  \
                                                                                                      "tt") X(u, "u")      \
                                                                                                        X(ul, "ul") X(     \
                                                                                                            var,           \
                                                                                                            "var")         \
                                                                                                            X(video,       \
                                                                                                              "video")     \
                                                                                                                X(wbr,     \
                                                                                                                  "wb"     \
                                                                                                                  "r")     \
                                                                                                                    X(xmp, \
                                                                                                                      "xmp")

namespace klarion::markup {

using OptionalText = std::optional<std::string>;
// An element's explicit attributes: name to value; an absent value hides the
// variable of the same name.
using AttributeMap = std::map<std::string, OptionalText, std::less<>>;

// An element's content, called once while the element renders. It refers to
// a callable without owning it, so it is made only from one that outlives it:
// an element function makes it from the closure it was given, which lives
// until that call returns. Made from a temporary it would dangle
// (Content c = [&] { ... }; body(c);), so that does not compile: keep the
// closure itself instead (auto c = [&] { ... }; body(c);).
class Content {
public:
    Content() = default;
    template <class F>
    requires(std::is_invocable_v<F&> && !std::is_same_v<std::remove_cv_t<F>, Content>)
        Content(F& f)  // NOLINT: implicit, so that a closure reads as the content
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object) { (*static_cast<F*>(object))(); }) {}
    template <class F>
    requires(!std::is_lvalue_reference_v<F> && !std::is_same_v<std::remove_cvref_t<F>, Content>)
    Content(F&&) = delete;  // a temporary would be gone before the content runs
    void operator()() const {
        if (call_) call_(object_);
    }

private:
    void* object_ = nullptr;
    void (*call_)(void*) = nullptr;
};

enum class AttributeIndex : unsigned char {
#define KLARION_HTML_INDEX(variable, name) variable,
    KLARION_HTML_ATTRIBUTES(KLARION_HTML_INDEX)
#undef KLARION_HTML_INDEX
        innerText,  // not an attribute: the element's whole content when set
};
inline constexpr std::size_t attributeCount = static_cast<std::size_t>(AttributeIndex::innerText);

// One builder variable of the calling thread: Scopes::href = "/x";
// Scopes::href = std::nullopt; Scopes::href.get().
class Variable {
public:
    constexpr explicit Variable(AttributeIndex index) : index_(index) {}
    const Variable& operator=(OptionalText value) const;
    const OptionalText& get() const;
    operator const OptionalText&() const { return get(); }  // NOLINT: reads like the variable

private:
    AttributeIndex index_;
};

class Scopes {
public:
#define KLARION_HTML_VARIABLE(variable, name) static constexpr Variable variable{AttributeIndex::variable};
    KLARION_HTML_ATTRIBUTES(KLARION_HTML_VARIABLE)
#undef KLARION_HTML_VARIABLE
    static constexpr Variable innerText{AttributeIndex::innerText};

    // The attribute name of a variable, in writing order.
    static std::string_view attributeName(std::size_t index);

    // Renders one element at the end of the calling thread's buffer: "<" tag,
    // the attributes (the variables the content left set, in table order, then
    // the explicit ones, which win), ">", innerText when the content set it (its
    // rendered children are then dropped) or else the children, "</" tag ">".
    // Every variable holds its earlier value afterwards, also when the content
    // throws; the half-written element is then removed and the exception goes on.
    // The content is any callable (a closure, a Content, or {} for none).
    template <class F = Content>
    static void evaluate(std::string_view tag, const AttributeMap& attributes, F&& content) {
        render(tag, attributes, Content(content));
    }

    template <class F = Content>
    static void element(std::string_view tag, F&& content) {
        render(tag, {}, Content(content));
    }
    template <class F = Content>
    static void element(std::string_view tag, const AttributeMap& attributes, F&& content) {
        render(tag, attributes, Content(content));
    }
    static AttributeMap makeAttributes(std::initializer_list<AttributeMap::value_type> pairs) {
        return AttributeMap(pairs);
    }
    // <link rel="stylesheet" type="text/css" ...> and <script type="text/javascript" ...>.
    template <class F = Content>
    static void stylesheetLink(F&& content) {
        render("link", stylesheetAttributes, Content(content));
    }
    template <class F = Content>
    static void javascriptScript(F&& content) {
        render("script", javascriptAttributes, Content(content));
    }

    // Calls `each` for every item, in the sequence's order.
    template <class Sequence, class Each>
    static void forEachElement(const Sequence& items, Each&& each) {
        for (const auto& item : items) each(item);
    }
    // One element whose content calls `each` for every item.
    template <class Sequence, class Each>
    static void sequenceElement(std::string_view tag, const Sequence& items, Each&& each) {
        evaluate(tag, {}, [&] { forEachElement(items, each); });
    }

    // `prefix`, then ` name="value"` for every entry with a value, in map order. Nothing escaped.
    static std::string renderAttributes(std::string prefix, const AttributeMap& attributes);

    // The text this thread has rendered since its last page began; none when
    // it never rendered. A thread keeps its last page until its next one begins.
    static std::optional<std::string> threadBuffer();

    // Empties the thread's buffer, runs the page, and answers 200 "OK" with
    // "Content-Type: text/html" and writeDocument as body writer (no length:
    // the connection closes after the body). A buffer grown past 64 KiB by an
    // earlier page gives its memory back first, so that kept connection
    // threads do not hold their largest page for good.
    static HttpResponse response(const std::function<void()>& page);
    // "<!DOCTYPE html>" and the calling thread's buffer, in one write; the
    // buffer is left as it is. A failed write is dropped (the core closes the
    // connection after a raw body anyway).
    static void writeDocument(HttpResponseBodyWriter& writer);
    // A route handler rendering the page afresh for every request.
    static HttpHandler pageHandler(std::function<void()> page);

private:
    static void render(std::string_view tag, const AttributeMap& attributes, Content content);
    static const AttributeMap stylesheetAttributes;
    static const AttributeMap javascriptAttributes;
};

// The text with &, <, >, " and ' written as character references: safe as
// element text and as a double-quoted attribute value.
std::string escapeText(std::string_view text);
// The reference that stands for `c` in escaped text ("&amp;" for '&'), or
// empty when `c` stands for itself.
std::string_view characterReference(char c);

// One element function per tag, without explicit attributes: h3([] { ... });
#define KLARION_HTML_TAG_FUNCTION(function, tag) \
    template <class F = Content>                 \
    void function(F&& content) {                 \
        Scopes::evaluate(tag, {}, content);      \
    }
KLARION_HTML_TAGS(KLARION_HTML_TAG_FUNCTION)
#undef KLARION_HTML_TAG_FUNCTION

// Any tag: element("x-widget", content), element("x", attributes, content).
template <class F = Content>
void element(std::string_view tag, F&& content) {
    Scopes::evaluate(tag, {}, content);
}
template <class F = Content>
void element(std::string_view tag, const AttributeMap& attributes, F&& content) {
    Scopes::evaluate(tag, attributes, content);
}

// Sequence forms: one child per item, e.g. ul(routes, [](const std::string& r) { li(...); });
template <class Sequence, class Each>
void ul(const Sequence& items, Each&& each) {
    Scopes::sequenceElement("ul", items, each);
}
template <class Sequence, class Each>
void table(const Sequence& items, Each&& each) {
    Scopes::sequenceElement("table", items, each);
}
template <class Sequence, class Each>
void tbody(const Sequence& items, Each&& each) {
    Scopes::sequenceElement("tbody", items, each);
}

}  // namespace klarion::markup
