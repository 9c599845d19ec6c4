#include "image/xml.h"

#include <vector>

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

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

void appendUTF8(std::string &out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    }
    if (code >= 0x800) out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    if (code >= 0x80) out += static_cast<char>(0x80 | (code & 0x3F));
}

// "#65", "#x41" as the character they name, below U+110000 and not a surrogate or NUL.
std::optional<uint32_t> characterReference(std::string_view name) {
    bool hex = name.size() > 1 && name[1] == 'x';
    std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty()) return std::nullopt;
    uint32_t code = 0;
    for (char c : digits) {
        int digit = c >= '0' && c <= '9' ? c - '0'
                    : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                   : -1;
        if (digit < 0) return std::nullopt;
        code = code * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
        if (code > 0x10FFFF) return std::nullopt;
    }
    if (code == 0 || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
    return code;
}

// Appends character data with its references decoded; false at an unknown or unended one.
bool appendDecoded(std::string &out, std::string_view raw) {
    static const std::pair<std::string_view, char> kEntities[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            out += raw[i];
            continue;
        }
        size_t semicolon = raw.find(';', i);
        if (semicolon == npos) return false;
        std::string_view name = raw.substr(i + 1, semicolon - i - 1);
        i = semicolon;
        if (!name.empty() && name[0] == '#') {
            std::optional<uint32_t> code = characterReference(name);
            if (!code) return false;
            appendUTF8(out, *code);
            continue;
        }
        bool known = false;
        for (const auto &[entity, c] : kEntities)
            if (name == entity) out += c, known = true;
        if (!known) return false;
    }
    return true;
}

// Where the markup starting at `at` ends (past its last character), or npos when it does not.
size_t markupEnd(std::string_view text, size_t at) {
    auto past = [&](std::string_view end, size_t from) {
        size_t found = text.find(end, from);
        return found == npos ? npos : found + end.size();
    };
    std::string_view rest = text.substr(at);
    if (rest.starts_with("<!--")) return past("-->", at + 4);
    if (rest.starts_with("<![CDATA[")) return past("]]>", at + 9);
    if (rest.starts_with("<?")) return past("?>", at + 2);
    if (rest.starts_with("<!")) {   // the document type, its internal subset in brackets
        size_t gt = text.find('>', at), bracket = text.find('[', at);
        if (bracket < gt) gt = text.find('>', past("]", bracket));
        return gt == npos ? npos : gt + 1;
    }
    char quote = 0;   // a tag: '>' ends it outside quoted attribute values
    for (size_t i = at + 1; i < text.size(); ++i) {
        if (quote) {
            if (text[i] == quote) quote = 0;
        } else if (text[i] == '"' || text[i] == '\'') {
            quote = text[i];
        } else if (text[i] == '>') {
            return i + 1;
        }
    }
    return npos;
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

std::optional<std::map<std::string, PlistValue>> plistDictionary(std::string_view text, std::string &error) {
    error.clear();
    // The dictionary's entries are the elements inside <plist><dict>; a value's text counts only
    // when no element opened inside it.
    constexpr size_t kEntryDepth = 2;
    std::map<std::string, PlistValue> dictionary;
    std::vector<std::string> open;   // the elements open, outermost first
    std::optional<std::string> key;   // a key waiting for its value
    std::string content;
    bool leaf = true, sawRoot = false, sawDictionary = false;
    auto fail = [&](std::string why) {
        error = std::move(why);
        return std::nullopt;
    };
    // Takes in an element just closed; false (with `error` set) when it breaks the dictionary.
    auto close = [&](const std::string &name) {
        if (open.size() == 1 && name == "dict") {
            sawDictionary = true;
            if (key) error = "the key \"" + *key + "\" has no value";
            return !key;
        }
        if (open.size() != kEntryDepth || open[1] != "dict") return true;
        if (name == "key") {
            if (key) error = "two keys follow each other";
            if (!key) key = content;
            return error.empty();
        }
        if (!key) error = "a <" + name + "> has no key";
        else if (!dictionary.emplace(*key, PlistValue{name, leaf ? content : ""}).second)
            error = "the key \"" + *key + "\" is given twice";
        key.reset();
        return error.empty();
    };
    for (size_t at = 0; at < text.size();) {
        if (text[at] != '<') {
            size_t next = std::min(text.find('<', at), text.size());
            if (!appendDecoded(content, text.substr(at, next - at))) return fail("an unknown or unended reference");
            at = next;
            continue;
        }
        size_t end = markupEnd(text, at);
        if (end == npos) return fail("markup that does not end");
        std::string_view markup = text.substr(at, end - at);
        at = end;
        if (markup.starts_with("<![CDATA[")) {
            content += markup.substr(9, markup.size() - 12);
            continue;
        }
        if (markup.starts_with("<!") || markup.starts_with("<?")) continue;
        bool closing = markup.starts_with("</"), empty = !closing && markup.ends_with("/>");
        std::string_view inside = markup.substr(closing ? 2 : 1, markup.size() - (closing ? 2 : 1) - (empty ? 2 : 1));
        size_t nameEnd = 0;
        while (nameEnd < inside.size() && !isSpace(inside[nameEnd])) ++nameEnd;
        std::string name(inside.substr(0, nameEnd));
        if (name.empty()) return fail("a tag without a name");
        if (closing) {
            if (open.empty() || open.back() != name || !trimmed(inside.substr(nameEnd)).empty())
                return fail("</" + name + "> closes no open element");
            open.pop_back();
            if (!close(name)) return std::nullopt;
            continue;
        }
        if (open.empty() && (sawRoot || name != "plist"))
            return fail("the document is no property list (<" + name + "> outside <plist>)");
        sawRoot = true;
        if (open.size() > kEntryDepth) leaf = false;
        if (open.size() == kEntryDepth) content.clear(), leaf = true;
        if (empty) {
            if (!close(name)) return std::nullopt;
        } else {
            open.push_back(std::move(name));
        }
    }
    if (!open.empty()) return fail("<" + open.back() + "> is not closed");
    if (!sawDictionary) return fail("the property list holds no dictionary");
    return dictionary;
}

std::optional<uint64_t> plistUnsigned(const PlistValue &value) {
    std::string_view digits = trimmed(value.text);
    if (value.type != "integer" || digits.empty()) return std::nullopt;
    if (digits.front() == '+') digits.remove_prefix(1);
    uint64_t number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || number > (UINT64_MAX - static_cast<uint64_t>(c - '0')) / 10) return std::nullopt;
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    return digits.empty() ? std::nullopt : std::optional(number);
}
