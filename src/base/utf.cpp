#include "base/utf.h"

std::u16string UTF8toUTF16(std::string_view text) {
    std::u16string units;
    size_t i = 0;
    auto at = [&](size_t k) -> uint32_t { return i + k < text.size() ? static_cast<uint8_t>(text[i + k]) : 0; };
    while (i < text.size()) {
        uint32_t b0 = at(0);
        if (b0 < 0x80) {
            units += static_cast<char16_t>(b0);
            i += 1;
        } else if (b0 < 0xE0) {
            units += static_cast<char16_t>(((b0 & 0x1F) << 6) + (at(1) & 0x3F));
            i += 2;
        } else if (b0 < 0xF0) {
            units += static_cast<char16_t>(((b0 & 0x0F) << 12) + ((at(1) & 0x3F) << 6) + (at(2) & 0x3F));
            i += 3;
        } else if (b0 <= 0xF8) {
            uint32_t c = ((b0 & 0x07) << 18) + ((at(1) & 0x3F) << 12) + ((at(2) & 0x3F) << 6) + (at(3) & 0x3F);
            if (c < 0x10000) {
                units += static_cast<char16_t>(c);
            } else {
                units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            }
            i += 4;
        } else {
            i += 1;
        }
    }
    return units;
}

std::string UTF16toUTF8(std::u16string_view units) {
    std::string out;
    for (size_t i = 0; i < units.size() && units[i] != 0; ++i) {
        uint32_t u = units[i];
        bool pair = u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                    units[i + 1] <= 0xDFFF;
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 + ((u & 0xFC0) >> 6));
            out += static_cast<char>(0x80 + (u & 0x3F));
        } else if (pair) {
            uint32_t c = ((u - 0xD800) << 10) + (units[++i] - 0xDC00) + 0x10000;
            out += static_cast<char>(0xF0 + ((c & 0x1C0000) >> 18));
            out += static_cast<char>(0x80 + ((c & 0x3F000) >> 12));
            out += static_cast<char>(0x80 + ((c & 0xFC0) >> 6));
            out += static_cast<char>(0x80 + (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 + ((u & 0xF000) >> 12));
            out += static_cast<char>(0x80 + ((u & 0xFC0) >> 6));
            out += static_cast<char>(0x80 + (u & 0x3F));
        }
    }
    return out;
}
