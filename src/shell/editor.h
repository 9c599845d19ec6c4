// Reading command lines at a terminal: libedit with history (~/.tarnwick_history) and Tab completion.
#pragma once

#include <optional>
#include <string>

struct editline;
struct history;

class LineEditor {
public:
    LineEditor();
    ~LineEditor();
    LineEditor(const LineEditor &) = delete;
    LineEditor &operator=(const LineEditor &) = delete;

    bool ready() const { return editLine_ != nullptr; }
    // The next line without its newline; nothing at the end of input. Ctrl-C at the prompt gives
    // an empty line (the interrupt flag is then cleared).
    std::optional<std::string> readLine(const std::string &prompt);
    void remember(const std::string &line);

private:
    struct editline *editLine_ = nullptr;
    struct history *history_ = nullptr;
    std::string historyFile_;
};

// Ctrl-C sets g_Interrupted; long commands poll it, and a key read at the prompt ends. System
// calls restart, so that output is not cut.
void installInterruptHandler();
