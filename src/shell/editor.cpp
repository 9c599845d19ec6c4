#include "shell/editor.h"

#include <histedit.h>
#include <signal.h>
#include <sys/stat.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shell/a.h"
#include "shell/complete.h"

namespace {

constexpr int kHistorySize = 1000;
constexpr char kPromptIgnore = '\1';   // brackets the colour codes, which take no room on screen
std::string g_PromptText;

const char *promptOf(EditLine *) { return g_PromptText.c_str(); }

void onInterrupt(int) { g_Interrupted = 1; }

// Shows candidates below the line, in columns as wide as the longest, across the terminal.
void listCandidates(EditLine *editLine, const std::vector<std::string> &names) {
    std::vector<std::string> words;
    for (const auto &name : names) words.push_back(visible(name));   // names come from the image
    size_t widest = 0;
    for (const auto &word : words) widest = std::max(widest, word.size());
    int columns = 80;
    el_get(editLine, EL_GETTC, "co", &columns);
    size_t perRow = std::max<size_t>(1, static_cast<size_t>(columns) / (widest + 2));
    fputc('\n', stderr);
    for (size_t i = 0; i < words.size(); ++i) {
        bool last = (i + 1) % perRow == 0 || i + 1 == words.size();
        if (last)
            fprintf(stderr, "%s\n", words[i].c_str());
        else
            fprintf(stderr, "%-*s", static_cast<int>(widest + 2), words[i].c_str());
    }
}

unsigned char completeAtCursor(EditLine *editLine, int) {
    const LineInfo *info = el_line(editLine);
    std::string before(info->buffer, static_cast<size_t>(info->cursor - info->buffer));
    Completion completion = completeLine(before);
    if (completion.words.empty()) return CC_REFRESH_BEEP;
    std::string typed = before.substr(completion.start);
    std::string common = commonPrefix(completion.words);
    if (completion.words.size() == 1 && completion.appendSpace) common += ' ';
    if (common.size() > typed.size() || (common.size() == typed.size() && common != typed)) {
        el_deletestr(editLine, static_cast<int>(typed.size()));
        if (el_insertstr(editLine, common.c_str()) != 0) el_insertstr(editLine, typed.c_str());
        return CC_REFRESH;
    }
    if (completion.words.size() == 1) return CC_REFRESH;
    listCandidates(editLine, completion.shown);
    return CC_REDISPLAY;
}

}  // namespace

void installInterruptHandler(bool restartCalls) {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = restartCalls ? SA_RESTART : 0;
    sigaction(SIGINT, &action, nullptr);
}

LineEditor::LineEditor() {
    setlocale(LC_CTYPE, "");
    editLine_ = el_init("tarnwick", stdin, stderr, stderr);
    if (!editLine_) return;
    el_set(editLine_, EL_EDITOR, "emacs");
    el_set(editLine_, EL_PROMPT_ESC, promptOf, kPromptIgnore);
    el_set(editLine_, EL_ADDFN, "tarnwick-complete", "Complete a command or a path", completeAtCursor);
    el_set(editLine_, EL_BIND, "^I", "tarnwick-complete", nullptr);
    el_source(editLine_, nullptr);   // the user's ~/.editrc, as other libedit programs do

    HistEvent event;
    history_ = history_init();
    history(history_, &event, H_SETSIZE, kHistorySize);
    history(history_, &event, H_SETUNIQUE, 1);
    el_set(editLine_, EL_HIST, history, history_);
    if (const char *home = getenv("HOME"); home && *home) {
        historyFile_ = std::string(home) + "/.tarnwick_history";
        history(history_, &event, H_LOAD, historyFile_.c_str());
    }
}

LineEditor::~LineEditor() {
    if (history_) history_end(history_);
    if (editLine_) el_end(editLine_);
}

std::optional<std::string> LineEditor::readLine(const std::string &prompt) {
    g_PromptText = prompt;
    installInterruptHandler(false);
    int count = 0;
    const char *text = el_gets(editLine_, &count);
    bool interrupted = g_Interrupted;
    g_Interrupted = 0;
    installInterruptHandler(true);
    if (interrupted) {
        fputc('\n', stderr);
        return std::string();
    }
    if (!text || count <= 0) return std::nullopt;
    std::string line(text, static_cast<size_t>(count));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

void LineEditor::remember(const std::string &line) {
    if (line.find_first_not_of(' ') == std::string::npos) return;
    HistEvent event;
    history(history_, &event, H_ENTER, line.c_str());
    if (historyFile_.empty()) return;
    // Saved after every line, so a killed session keeps its history; private, as shells keep theirs.
    mode_t previous = umask(077);
    history(history_, &event, H_SAVE, historyFile_.c_str());
    umask(previous);
}
