// Names in their stored form, big-endian UTF-16 (TN1150 HFSUniStr255): reading, filling, and
// the stored forms a typed name may stand for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bits.h"
#include "base/messages.h"

constexpr size_t kHFSUniStr255Size = 512;
constexpr uint16_t kMaxNameUnits = 255;

// Whether two stored names are the same bytes, length and units.
bool identicalStoredNames(Bytes a, Bytes b);
// The units of a stored counted name, at most 255 and no more than the view holds.
std::u16string storedNameUnits(Bytes name);
// The UTF-8 text of a stored name; nullopt when its length is over 255 (and, given `messages`,
// "Len is N" said).
std::optional<std::string> storedNameText(Bytes name);
std::optional<std::string> storedNameText(Bytes name, Messages &messages);
// The UTF-8 text of a stored name, NUL characters kept (storedNameText ends at the first).
std::string storedNameWithNULs(Bytes name);
// 2 + 2 x length: the bytes a stored name takes.
size_t storedNameSize(Bytes name);
// Fills a 512-byte HFSUniStr255 with the UTF-8 text in stored form. A text of more than 255 units
// is cut at 255 (never through a surrogate pair); returns false when it was cut.
bool unicodify(uint8_t *name, std::string_view text);
// The same for UTF-16 units.
bool fillStoredName(uint8_t *name, std::u16string_view units);

// Units decomposed as HFS Plus stores names (TN1150): canonical decomposition of the basic plane
// but U+2000-U+2FFF and U+F900-U+FAFF, Hangul syllables into jamo, marks in canonical order.
std::u16string decomposeName(std::u16string_view units);
// The reverse, as far as the steps go: each base and the marks after it composed where the table
// (or the jamo rule) has them. decomposeName gives for it what it gives for the units.
std::u16string composeName(std::u16string_view units);
// What a typed name may be stored as, the text as typed first: then decomposed (what a keyboard
// types precomposed, macOS stores decomposed), then with ':' as '/' (a POSIX name shows a stored
// '/' as ':'), then both. No form is given twice.
std::vector<std::u16string> typedNameForms(std::string_view typed);
// Whether a stored counted name is `units`; with foldCase, ASCII capitals fold as the catalog's
// case-insensitive order folds them.
bool sameStoredName(Bytes stored, std::u16string_view units, bool foldCase);
// A stored name as a path component: ':' where the name holds '/'.
std::string posixName(std::string name);
