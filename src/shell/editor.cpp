#include "shell/editor.h"

#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cwchar>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "shell/complete.h"

namespace {

constexpr int kHistorySize = 1000;
constexpr char kPromptIgnore = '\1';   // brackets the colour codes, which take no room on screen
std::string g_PromptText;

const char *promptOf(EditLine *) { return g_PromptText.c_str(); }

// The prompt with each colour code between ignore markers: libedit writes what is between them as
// it is and gives it no width (left unmarked, it drops the ESC and shows the rest).
std::string markedPrompt(std::string_view prompt) {
    std::string marked;
    for (size_t i = 0; i < prompt.size(); ++i) {
        size_t end = prompt[i] == '\033' ? prompt.find('m', i) : std::string_view::npos;
        if (end == std::string_view::npos) {
            marked += prompt[i];
            continue;
        }
        ((marked += kPromptIgnore) += prompt.substr(i, end + 1 - i)) += kPromptIgnore;
        i = end;
    }
    // libedit drops a marked code that ends the prompt: the last one (colour off) goes before the
    // blank the prompt ends with, which looks the same.
    if (marked.size() > 1 && marked.back() == kPromptIgnore) {
        size_t open = marked.rfind(kPromptIgnore, marked.size() - 2);
        if (open != std::string::npos && open > 0 && marked[open - 1] == ' ') marked.erase(open - 1, 1) += ' ';
    }
    return marked;
}

// Ctrl-C also writes a byte here, so that a key read waiting in poll() wakes whenever it came.
int g_Wake[2] = {-1, -1};

void onInterrupt(int) {
    g_Interrupted = 1;
    char byte = 0;
    if (g_Wake[1] >= 0) [[maybe_unused]] ssize_t n = write(g_Wake[1], &byte, 1);
}

void drainWake() {
    char bytes[64];
    while (g_Wake[0] >= 0 && read(g_Wake[0], bytes, sizeof bytes) > 0) {
    }
}

// One key for libedit. A Ctrl-C that came before the read began (while the terminal was still
// in cooked mode, say) ends it as surely as one that comes during it: -1, the line is dropped.
int readKey(EditLine *, wchar_t *key) {
    mbstate_t state{};
    for (;;) {
        if (g_Interrupted) return -1;
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_Wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents & POLLIN) continue;   // g_Interrupted is set
        char byte = 0;
        ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return -1;
        }
        wchar_t character = 0;
        size_t used = mbrtowc(&character, &byte, 1, &state);
        if (used == static_cast<size_t>(-2)) continue;   // more bytes of this character
        *key = used == static_cast<size_t>(-1) ? static_cast<wchar_t>(static_cast<unsigned char>(byte)) : character;
        return 1;
    }
}

// The characters libedit holds for the text: it deletes characters, not bytes. Each byte that is
// not part of a character is one, as readKey makes it.
int characterCount(std::string_view text) {
    mbstate_t state{};
    int count = 0;
    for (size_t i = 0; i < text.size(); ++count) {
        size_t used = mbrtowc(nullptr, text.data() + i, text.size() - i, &state);
        if (used == 0 || used > text.size() - i) {
            used = 1;
            state = {};
        }
        i += used;
    }
    return count;
}

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
    LineEditor *editor = nullptr;
    el_get(editLine, EL_CLIENTDATA, &editor);
    Completion completion = editor->complete(before);
    if (completion.words.empty()) return CC_REFRESH_BEEP;
    std::string typed = before.substr(completion.start);
    std::string common = commonPrefix(completion.words);
    if (completion.words.size() == 1 && completion.appendSpace) common += ' ';
    if (common.size() > typed.size() || (common.size() == typed.size() && common != typed)) {
        el_deletestr(editLine, characterCount(typed));
        if (el_insertstr(editLine, common.c_str()) != 0) el_insertstr(editLine, typed.c_str());
        return CC_REFRESH;
    }
    if (completion.words.size() == 1) return CC_REFRESH;
    listCandidates(editLine, completion.shown);
    return CC_REDISPLAY;
}

}  // namespace

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

LineEditor::LineEditor(Completer complete) : complete_(std::move(complete)) {
    setlocale(LC_CTYPE, "");
    editLine_ = el_init("tarnwick", stdin, stderr, stderr);
    if (!editLine_) return;
    if (pipe2(g_Wake, O_CLOEXEC | O_NONBLOCK) != 0) g_Wake[0] = g_Wake[1] = -1;
    el_set(editLine_, EL_EDITOR, "emacs");
    el_set(editLine_, EL_CLIENTDATA, this);
    if (g_Wake[0] >= 0) el_set(editLine_, EL_GETCFN, readKey);
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
    g_PromptText = markedPrompt(prompt);
    drainWake();
    int count = 0;
    const char *text = el_gets(editLine_, &count);
    bool interrupted = g_Interrupted;
    g_Interrupted = 0;
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
