#include "catalog/unicode.h"

#include <algorithm>
#include <cstring>

#include "base/output.h"
#include "base/utf.h"
#include "catalog/decomposition_table.h"

namespace {

// TN1150 HFSUniStr255: a count of units, then the units.
constexpr size_t kUnitsOffset = 2;
uint16_t lengthOf(Bytes name) { return name.be16(0); }
uint16_t unitOf(Bytes name, size_t i) { return name.be16(kUnitsOffset + 2 * i); }
size_t storedSize(uint16_t length) { return kUnitsOffset + 2 * static_cast<size_t>(length); }

}  // namespace

bool identicalStoredNames(Bytes a, Bytes b) {
    size_t size = storedSize(lengthOf(a));
    return a.has(0, size) && b.has(0, size) && memcmp(a.data, b.data, size) == 0;
}

std::u16string storedNameUnits(Bytes name) {
    std::u16string units;
    for (size_t i = 0; i < lengthOf(name) && i < kMaxNameUnits && name.has(kUnitsOffset + 2 * i, 2); ++i)
        units += static_cast<char16_t>(unitOf(name, i));
    return units;
}

std::optional<std::string> storedNameText(Bytes name) {
    if (lengthOf(name) > kMaxNameUnits) return std::nullopt;
    return UTF16toUTF8(storedNameUnits(name));
}

std::optional<std::string> storedNameText(Bytes name, Messages &messages) {
    auto text = storedNameText(name);
    if (!text) messages.err("Len is %d\n", lengthOf(name));   // kept as it is: transcripts show it
    return text;
}

std::string storedNameWithNULs(Bytes name) {
    std::string text;
    std::u16string units;
    for (char16_t unit : storedNameUnits(name)) {
        if (unit == 0) {
            text += UTF16toUTF8(units) + '\0';
            units.clear();
        } else {
            units += unit;
        }
    }
    return text + UTF16toUTF8(units);
}

size_t storedNameSize(Bytes name) { return storedSize(lengthOf(name)); }

bool unicodify(uint8_t *name, std::string_view text) { return fillStoredName(name, UTF8toUTF16(text)); }

bool fillStoredName(uint8_t *name, std::u16string_view typed) {
    std::u16string units(typed);
    bool fits = units.size() <= kMaxNameUnits;
    if (!fits) {
        units.resize(kMaxNameUnits);
        if (units.back() >= 0xD800 && units.back() <= 0xDBFF) units.pop_back();
    }
    memset(name, 0, kHFSUniStr255Size);
    name[0] = static_cast<uint8_t>(units.size() >> 8);
    name[1] = static_cast<uint8_t>(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        name[kUnitsOffset + 2 * i] = static_cast<uint8_t>(units[i] >> 8);
        name[kUnitsOffset + 2 * i + 1] = static_cast<uint8_t>(units[i]);
    }
    return fits;
}

namespace {

// Hangul syllables decompose by the Unicode rule for jamo, as TN1150's decomposition does.
constexpr char16_t kSyllableFirst = 0xAC00, kLeadFirst = 0x1100, kVowelFirst = 0x1161, kTrailFirst = 0x11A7;
constexpr int kSyllables = 11172, kVowels = 21, kTrails = 28;

uint8_t combiningClass(char16_t c) {
    const auto &runs = decomposition::kClasses;
    auto run = std::lower_bound(std::begin(runs), std::end(runs), c,
                                [](const decomposition::ClassRun &r, char16_t u) { return r.last < u; });
    return run != std::end(runs) && run->first <= c ? run->combiningClass : 0;
}

// Depth bounds the recursion; real decompositions are at most four steps deep.
void appendDecomposed(char16_t c, std::u16string &out, int depth) {
    if (c >= kSyllableFirst && c < kSyllableFirst + kSyllables) {
        int index = c - kSyllableFirst;
        out += static_cast<char16_t>(kLeadFirst + index / (kVowels * kTrails));
        out += static_cast<char16_t>(kVowelFirst + index % (kVowels * kTrails) / kTrails);
        if (index % kTrails) out += static_cast<char16_t>(kTrailFirst + index % kTrails);
        return;
    }
    const auto &steps = decomposition::kSteps;
    auto step = std::lower_bound(std::begin(steps), std::end(steps), c,
                                 [](const decomposition::Step &s, char16_t u) { return s.from < u; });
    if (depth > 8 || step == std::end(steps) || step->from != c) {
        out += c;
        return;
    }
    appendDecomposed(step->first, out, depth + 1);
    if (step->second) appendDecomposed(step->second, out, depth + 1);
}

}  // namespace

std::u16string decomposeName(std::u16string_view units) {
    std::u16string out;
    for (char16_t u : units) appendDecomposed(u, out, 0);
    // Canonical order: each run of marks sorted by class, stably (an insertion sort: names are short).
    for (size_t i = 1; i < out.size(); ++i) {
        uint8_t k = combiningClass(out[i]);
        for (size_t j = i; k != 0 && j > 0 && combiningClass(out[j - 1]) > k; --j) std::swap(out[j - 1], out[j]);
    }
    return out;
}

namespace {

// The character a base and the mark after it compose into, or 0.
char16_t composedPair(char16_t base, char16_t mark) {
    if (base >= kLeadFirst && base < kLeadFirst + kSyllables / (kVowels * kTrails) && mark >= kVowelFirst && mark < kVowelFirst + kVowels)
        return static_cast<char16_t>(kSyllableFirst + ((base - kLeadFirst) * kVowels + (mark - kVowelFirst)) * kTrails);
    if (base >= kSyllableFirst && base < kSyllableFirst + kSyllables && (base - kSyllableFirst) % kTrails == 0 &&
        mark > kTrailFirst && mark < kTrailFirst + kTrails)
        return static_cast<char16_t>(base + (mark - kTrailFirst));
    for (const auto &step : decomposition::kSteps)
        if (step.second == mark && step.first == base) return step.from;
    return 0;
}

}  // namespace

std::u16string composeName(std::u16string_view units) {
    std::u16string out;
    for (char16_t u : units) {
        if (char16_t both = out.empty() || u < 0x300 ? 0 : composedPair(out.back(), u))
            out.back() = both;
        else
            out += u;
    }
    return out;
}

std::vector<std::u16string> typedNameForms(std::string_view typed) {
    std::vector<std::u16string> forms;
    auto add = [&forms](std::u16string form) {
        if (std::find(forms.begin(), forms.end(), form) == forms.end()) forms.push_back(std::move(form));
    };
    std::u16string units = UTF8toUTF16(typed);
    add(units);
    add(decomposeName(units));
    std::replace(units.begin(), units.end(), u':', u'/');
    add(units);
    add(decomposeName(units));
    return forms;
}

bool sameStoredName(Bytes stored, std::u16string_view units, bool foldCase) {
    auto fold = [foldCase](uint16_t u) -> uint16_t { return foldCase && u >= 'A' && u <= 'Z' ? u + 0x20 : u; };
    if (lengthOf(stored) != units.size() || !stored.has(kUnitsOffset, 2 * units.size())) return false;
    for (size_t i = 0; i < units.size(); ++i)
        if (fold(unitOf(stored, i)) != fold(units[i])) return false;
    return true;
}

std::string posixName(std::string name) {
    std::replace(name.begin(), name.end(), '/', ':');
    return name;
}
