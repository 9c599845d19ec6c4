// Transcript tests: run the real binary with a script on stdin, compare both streams byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

struct Transcript {
    const char *name;
    std::vector<std::string> args;
    std::string script;
    std::string out, err;
    std::vector<std::string> env = {};
};

inline void expectTranscript(const Transcript &t) {
    RunResult r = runTarnwick(t.args, t.script, t.env);
    EXPECT_EQ(r.status, 0) << t.name;
    EXPECT_EQ(r.out, t.out) << t.name << " (stdout)";
    EXPECT_EQ(r.err, t.err) << t.name << " (stderr)";
}

// The prompt with colour off, as most scripts start with "color".
inline std::string prompt(const std::string &label = "", const std::string &cwd = "") {
    std::string p = "Tarnwick";
    if (!label.empty()) p += "(" + label;
    if (!cwd.empty()) p += ":" + cwd + ")";
    return p + "> ";
}

inline const std::string kColorPrompt = "\033[1;1mTarnwick> \033[0;0m";
inline const std::string kBanner =
    "\nTarnwick - HFS+ diagnostic tool - 2026, the Tarnwick developers <tarnwick@example.org>\n"
    "This version of the tool is meant to be used interactively\n";
