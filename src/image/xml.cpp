#include "image/xml.h"

namespace {

constexpr size_t npos = std::string_view::npos;

size_t lookup(std::string_view text, std::string_view name, size_t from, char before, std::string_view after) {
    if (name.empty()) return npos;
    for (size_t at = text.find(name, from); at != npos; at = text.find(name, at + 1)) {
        size_t end = at + name.size();
        if (at > 0 && text[at - 1] == before && end < text.size() && after.find(text[end]) != npos) return at;
    }
    return npos;
}

struct Element {
    size_t open = npos, close = npos, gt = npos;
};

Element elementFrom(std::string_view text, std::string_view name, size_t from) {
    Element e;
    e.open = lookupElementTag(text, name, from);
    if (e.open == npos) return e;
    e.close = lookupElementEndTag(text, name, e.open);
    e.gt = text.find('>', e.open);
    return e;
}

// From the character after the '>' up to the '<' of "</name>".
std::optional<std::string> content(std::string_view text, const Element &e) {
    if (e.close == npos || e.gt == npos || e.gt + 3 > e.close) return std::nullopt;
    return std::string(text.substr(e.gt + 1, e.close - e.gt - 3));
}

}  // namespace

size_t lookupElementTag(std::string_view text, std::string_view name, size_t from) {
    return lookup(text, name, from, '<', " >");
}

size_t lookupElementEndTag(std::string_view text, std::string_view name, size_t from) {
    return lookup(text, name, from, '/', ">");
}

std::optional<std::string> getXMLelement(std::string_view text, std::string_view name) {
    return content(text, elementFrom(text, name, 0));
}

std::optional<std::string> getXMLElementContaining(std::string_view text, size_t position, std::string_view name) {
    // Siblings are tried in turn; each step starts past the previous closing tag, so the walk ends.
    for (size_t start = 0; start < position;) {
        Element e = elementFrom(text, name, start);
        if (e.open == npos || e.close == npos || e.gt == npos) return std::nullopt;
        if (e.close > position && e.gt < e.close) return content(text, e);
        start = e.close;
    }
    return std::nullopt;
}
