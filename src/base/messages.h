// What a lower layer has to say while it works (damage found, what it skipped, debug traces), kept
// in order with the stream each line belongs on; the command that asked prints them. The layers
// below the commands write nothing themselves.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

class Messages {
public:
    // kKeep holds the lines until print(); kPrintAtOnce writes each as it comes, for a command
    // whose own output interleaves with what the layers below say; kPrintAtOnceOnStandardError
    // the same, every line on standard error (where standard output must carry data alone).
    enum Mode { kKeep, kPrintAtOnce, kPrintAtOnceOnStandardError };
    explicit Messages(Mode mode = kKeep) : mode_(mode) {}
    void out(const char *format, ...) __attribute__((format(printf, 2, 3)));
    void err(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Writes every line to its stream (or all to standard error), in the order they came, and
    // forgets them.
    void print(bool allOnStandardError = false);
    bool empty() const { return lines_.empty(); }
    // The lines for one stream, joined (for tests).
    std::string text(bool standardOutput) const;

private:
    void add(bool standardOutput, const char *format, va_list arguments);
    Mode mode_;
    std::vector<std::pair<bool, std::string>> lines_;   // (standard output?, text)
};
