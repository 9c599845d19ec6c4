// Just enough of a property list: elements found by plain text matching, no XML parser.
#pragma once

#include <cstddef>
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
