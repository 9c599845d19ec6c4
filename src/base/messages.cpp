#include "base/messages.h"

#include <cstdarg>

void Messages::add(bool standardOutput, const char *format, va_list arguments) {
    va_list copy;
    va_copy(copy, arguments);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(text.data(), text.size() + 1, format, arguments);
    if (mode_ == kPrintAtOnce)
        fputs(text.c_str(), standardOutput ? stdout : stderr);
    else if (mode_ == kPrintAtOnceOnStandardError)
        fputs(text.c_str(), stderr);
    else
        lines_.emplace_back(standardOutput, std::move(text));
}

void Messages::out(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    add(true, format, arguments);
    va_end(arguments);
}

void Messages::err(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    add(false, format, arguments);
    va_end(arguments);
}

void Messages::print(bool allOnStandardError) {
    for (const auto &[standardOutput, text] : lines_)
        fputs(text.c_str(), standardOutput && !allOnStandardError ? stdout : stderr);
    lines_.clear();
}

std::string Messages::text(bool standardOutput) const {
    std::string joined;
    for (const auto &[isOut, text] : lines_)
        if (isOut == standardOutput) joined += text;
    return joined;
}
