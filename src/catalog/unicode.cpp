#include "catalog/unicode.h"

#include <cstring>

#include "base/output.h"
#include "base/utf.h"

std::optional<std::string> storedNameText(Bytes name) {
    uint16_t length = name.be16(0);
    if (length > kMaxNameUnits) {
        fprintf(stderr, "Len is %d\n", length);
        return std::nullopt;
    }
    std::u16string units;
    for (size_t i = 0; i < length; ++i) units += static_cast<char16_t>(name.be16(2 + 2 * i));
    return UTF16toUTF8(units);
}

size_t dumpUnicode(FILE *stream, Bytes name, int plain) {
    auto text = storedNameText(name);
    if (!text) return 0;
    uint16_t length = name.be16(0);
    if (plain)
        fputs(visible(*text).c_str(), stream);
    else if (length == 0)
        fputs("<Name/>", stream);
    else
        fprintf(stream, "<Name>%s</Name>", xmlEscaped(*text).c_str());
    return 2 + 2 * static_cast<size_t>(length);
}

bool unicodify(uint8_t *name, std::string_view text) {
    std::u16string units = UTF8toUTF16(text);
    bool fits = units.size() <= kMaxNameUnits;
    if (!fits) {
        units.resize(kMaxNameUnits);
        if (units.back() >= 0xD800 && units.back() <= 0xDBFF) units.pop_back();
    }
    memset(name, 0, kHFSUniStr255Size);
    name[0] = static_cast<uint8_t>(units.size() >> 8);
    name[1] = static_cast<uint8_t>(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        name[2 + 2 * i] = static_cast<uint8_t>(units[i] >> 8);
        name[3 + 2 * i] = static_cast<uint8_t>(units[i]);
    }
    return fits;
}
