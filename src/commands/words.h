// The argument words of a command line. A line that holds a quote or a backslash is split as a
// POSIX shell splits it ('...', "...", \x); any other line at blanks, and its words read back
// together as typed, so that names with blanks need no quotes. A line whose quotes do not close
// is read as one without them (a name may hold a lone apostrophe).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class Words {
public:
    // The words after the command word of `line`.
    explicit Words(const char *line);
    size_t size() const { return words_.size(); }
    bool empty() const { return words_.empty(); }
    const std::string &operator[](size_t i) const { return words_[i]; }
    // Words [from, to) as one argument: the text between them as typed on a plain line, else the
    // words with a blank between them; "" when the range is empty.
    std::string span(size_t from, size_t to) const;
    std::string span(size_t from) const { return span(from, words_.size()); }

private:
    bool splitQuoted(const std::string &text);

    std::vector<std::string> words_;
    std::vector<size_t> starts_;   // on a plain line, where each word begins in text_
    std::string text_;
};
