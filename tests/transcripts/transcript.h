// Transcript tests: run the real binary with a script on stdin, compare both streams byte for byte.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "support.h"

// The prompt with colour off, as most scripts start with "color".
inline std::string prompt(const std::string &label = "", const std::string &cwd = "") {
    std::string p = "Tarnwick";
    if (!label.empty()) p += "(" + label;
    if (!cwd.empty()) p += ":" + cwd + ")";
    return p + "> ";
}

// Expected text with each prompt written {CWD}: the label's prompt there, "{}" the one without a volume.
inline std::string withPrompts(const std::string &label, std::string text) {
    for (size_t at = 0; (at = text.find('{', at)) != std::string::npos;) {
        size_t end = text.find('}', at);
        std::string p = end == at + 1 ? prompt() : prompt(label, text.substr(at + 1, end - at - 1));
        text.replace(at, end - at + 1, p);
        at += p.size();
    }
    return text;
}

// A script run after "color": all of stdout, and stderr from just after "Color is off\n" to its end.
// (Not named Session: the program has one, and two types of one name break the link.)
struct Transcript {
    std::string script, out, err;
    std::string end = "Exiting\n";
};
inline void expectSession(const std::vector<std::string> &args, const std::string &label, const Transcript &s,
                          const std::vector<std::string> &env = {}) {
    RunResult r = runTarnwick(args, "color\n" + s.script, env);
    size_t off = r.err.find("Color is off\n");
    EXPECT_EQ(r.status, 0) << s.script;
    EXPECT_EQ(r.out, s.out) << s.script;
    EXPECT_EQ(off == std::string::npos ? r.err : r.err.substr(off + 13), withPrompts(label, s.err) + s.end) << s.script;
}

inline const std::string kColorPrompt = "\033[1;1mTarnwick> \033[0;0m";
inline const std::string kBanner =
    "\nTarnwick - HFS+ diagnostic tool - 2026, the Tarnwick developers <tarnwick@example.org>\n"
    "This version of the tool is meant to be used interactively\n";
// What a raw image says as it opens, and the start of a session without a volume, colour then off.
inline const std::string kRawOpened = "Trying DMG\nAttempting DMG Mount (0)\nDMG type: Raw image (RC: 0)\n";
inline const std::string kNoVolumeStart = kColorPrompt + "Color is off\n" + prompt();

// The report of the catalog or attributes command on a tree of 4096-byte nodes.
inline std::string treeReport(const std::string &name, int depth, int root, int first, int last, int records, int total,
                              int free, const std::string &compare) {
    auto line = [](const char *label, int v) { return std::string("\t") + label + std::string(20 - strlen(label), ' ') + "\t" + std::to_string(v) + "\n"; };
    return name + " B-Tree dump:\n" + line("Tree type:", 0) + line("Tree depth:", depth) + line("Root node:", root) +
           line("First leaf:", first) + line("Last leaf:", last) + line("Leaf records", records) +
           line("Total nodes:", total) + line("Free nodes:", free) + line("Node size:", 4096) + line("Map node:", 0) +
           "\tCompare:            \t" + compare + "\n";
}
inline const std::string kOneLeafAttributes = treeReport("attributes", 1, 1, 1, 1, 1, 2, 0, "0 - None (ok for attribute B-Trees)");

// A file's permission bits, or ~0 when it is missing.
inline unsigned modeOf(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : ~0u;
}
