#include "catalog/unicode.h"

#include <cstring>

#include "base/utf.h"

size_t dumpUnicode(FILE *stream, Bytes name, int plain) {
    uint16_t length = name.be16(0);
    if (length > kMaxNameUnits) {
        fprintf(stderr, "Len is %d\n", length);
        return 0;
    }
    if (length == 0) {
        if (!plain) fputs("<Name/>", stream);
        return 2;
    }
    std::u16string units;
    for (size_t i = 0; i < length; ++i) units += static_cast<char16_t>(name.be16(2 + 2 * i));
    if (!plain) fputs("<Name>", stream);
    std::string text = UTF16toUTF8(units);
    fputs(text.c_str(), stream);
    if (!plain) fputs("</Name>", stream);
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
