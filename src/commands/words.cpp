#include "commands/words.h"

#include <cstring>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

Words::Words(const char *line) {
    const char *space = strchr(line, ' ');
    text_ = space ? space + 1 : "";
    if (text_.find_first_of("'\"\\") != std::string::npos && splitQuoted(text_)) return;
    words_.clear();
    for (size_t at = 0; at < text_.size();) {
        if (isBlank(text_[at])) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < text_.size() && !isBlank(text_[end])) ++end;
        starts_.push_back(at);
        words_.push_back(text_.substr(at, end - at));
        at = end;
    }
}

// POSIX quoting: within '...' every character stands for itself; within "..." a backslash escapes
// only $ ` " \ ; outside quotes it escapes any character. False when a quote or escape is left open.
bool Words::splitQuoted(const std::string &text) {
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0;
            else word += c;
        } else if (c == '\\' && (quote == 0 || (i + 1 < text.size() && strchr("$`\"\\", text[i + 1])))) {
            if (++i == text.size()) return false;
            word += text[i];
            inWord = true;
        } else if (quote == '"') {
            if (c == '"') quote = 0;
            else word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (isBlank(c)) {
            if (inWord) words_.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words_.push_back(word);
    return quote == 0;
}

std::string Words::span(size_t from, size_t to) const {
    if (from >= to || to > words_.size()) return "";
    if (!starts_.empty()) return text_.substr(starts_[from], starts_[to - 1] + words_[to - 1].size() - starts_[from]);
    std::string joined = words_[from];
    for (size_t i = from + 1; i < to; ++i) joined += " " + words_[i];
    return joined;
}
