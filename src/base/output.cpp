#include "base/output.h"

#include <algorithm>

int g_Color = 1;
int g_Verbose = 0;
int g_Debug = 0;
int useXML = 0;
int g_ReportToStdout = 0;
volatile sig_atomic_t g_Interrupted = 0;

namespace {

bool plainASCII(unsigned char b) { return b >= 0x20 && b < 0x7F && b != '\\'; }

// Length of the well-formed UTF-8 sequence at text[i] that is not a C1 control, or 0.
size_t sequenceLength(std::string_view text, size_t i) {
    auto at = [&](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
    auto in = [](unsigned b, unsigned low, unsigned high) { return b >= low && b <= high; };
    unsigned b0 = at(0), b1 = at(1);
    if (in(b0, 0xC2, 0xDF)) return in(b1, b0 == 0xC2 ? 0xA0 : 0x80, 0xBF) ? 2 : 0;
    // The second byte's range is what rules out over-long forms, surrogates and values past U+10FFFF.
    unsigned low = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;
    unsigned high = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
    size_t length = in(b0, 0xE0, 0xEF) ? 3 : in(b0, 0xF0, 0xF4) ? 4 : 0;
    if (length == 0 || !in(b1, low, high)) return 0;
    for (size_t k = 2; k < length; ++k)
        if (!in(at(k), 0x80, 0xBF)) return 0;
    return length;
}

}  // namespace

std::string visible(std::string_view utf8) {
    if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return plainASCII(static_cast<unsigned char>(c)); }))
        return std::string(utf8);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(utf8.size() + 16);
    for (size_t i = 0; i < utf8.size();) {
        auto b = static_cast<unsigned char>(utf8[i]);
        if (plainASCII(b)) {
            out += static_cast<char>(b);
            ++i;
        } else if (b == '\\' || b == '\t' || b == '\n' || b == '\r') {
            out += '\\';
            out += b == '\\' ? '\\' : b == '\t' ? 't' : b == '\n' ? 'n' : 'r';
            ++i;
        } else if (size_t length = b >= 0x80 ? sequenceLength(utf8, i) : 0) {
            out.append(utf8.substr(i, length));
            i += length;
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
            ++i;
        }
    }
    return out;
}

std::string xmlEscaped(std::string_view utf8) {
    std::string text = visible(utf8);
    if (text.find_first_of("&<>\"'") == std::string::npos) return text;
    std::string out;
    out.reserve(text.size() + 16);
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string shown(std::string_view utf8) { return useXML ? xmlEscaped(utf8) : visible(utf8); }
