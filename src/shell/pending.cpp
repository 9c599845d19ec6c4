#include "shell/pending.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int notYet(const char *line) {
    std::string word(line, strcspn(line, " "));
    fprintf(stderr, "%s: this command is not available in this build yet\n", word.c_str());
    return -1;
}

}  // namespace

int doAlloc(const char *line) { return notYet(line); }
int doPull(const char *line) { return notYet(line); }
