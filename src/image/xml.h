// Just enough of a property list. The disk image's table is found by plain text matching; the
// keys of a dictionary are read by XML's rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// Position of the name in the first "<name " or "<name>" at or after `from`, or npos.
size_t lookupElementTag(std::string_view text, std::string_view name, size_t from = 0);
// Position of the name in the first "/name>" at or after `from`, or npos.
size_t lookupElementEndTag(std::string_view text, std::string_view name, size_t from = 0);
// The content of the element `name` whose content holds `position` (nesting is not counted).
std::optional<std::string> getXMLElementContaining(std::string_view text, size_t position, std::string_view name);
// The content of the first element `name`.
std::optional<std::string> getXMLelement(std::string_view text, std::string_view name);

// A value of a property list's dictionary: its element's name ("integer", "string", "dict", ...)
// and, for one holding no elements, its text with references decoded.
struct PlistValue {
    std::string type, text;
};
// The top-level dictionary of an XML property list, read as an XML parser reads it: comments,
// processing instructions, the document type and CDATA sections are no content, entities and
// character references are decoded, and tags must nest. Nothing, with the reason in `error`, when
// the text is no such document or gives a key twice.
std::optional<std::map<std::string, PlistValue>> plistDictionary(std::string_view text, std::string &error);
// An <integer> holding a decimal number that fits in 64 bits unsigned (white space around it allowed).
std::optional<uint64_t> plistUnsigned(const PlistValue &value);
