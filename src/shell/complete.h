// Tab completion: command names, then paths in the volume (or, for fs, on the local disk).
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct Completion {
    size_t start = 0;                  // where the word being completed begins in the line
    std::vector<std::string> words;    // each replaces the line from `start` to the cursor
    std::vector<std::string> shown;    // the same candidates as listed: the last path component
    bool appendSpace = false;          // a command name is complete: a space follows it
};

struct Session;

// Candidates for the line up to the cursor.
Completion completeLine(const Session &session, std::string_view line);
std::string commonPrefix(const std::vector<std::string> &words);
