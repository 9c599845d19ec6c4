// Reading command lines at a terminal: libedit with history (~/.tarnwick_history) and Tab completion.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "shell/complete.h"

struct editline;
struct history;

class LineEditor {
public:
    using Completer = std::function<Completion(std::string_view lineBeforeCursor)>;
    explicit LineEditor(Completer complete);
    ~LineEditor();
    LineEditor(const LineEditor &) = delete;
    LineEditor &operator=(const LineEditor &) = delete;

    bool ready() const { return editLine_ != nullptr; }
    // The next line without its newline; nothing at the end of input. Ctrl-C at the prompt gives
    // an empty line (the interrupt flag is then cleared).
    std::optional<std::string> readLine(const std::string &prompt);
    void remember(const std::string &line);
    Completion complete(std::string_view line) const { return complete_(line); }

private:
    struct editline *editLine_ = nullptr;
    struct history *history_ = nullptr;
    std::string historyFile_;
    Completer complete_;
};

// Ctrl-C sets g_Interrupted; long commands poll it, and a key read at the prompt ends. System
// calls restart, so that output is not cut.
void installInterruptHandler();
