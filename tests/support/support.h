// Test helpers: run a program with a script on stdin and capture both streams; scratch files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct RunResult {
    std::string out, err;
    int status = -1;          // exit status, or 128 + signal
};

// Runs argv[0] (searched in PATH) with `input` on stdin; `env` entries ("NAME=value") are added
// to a copy of the environment, entries "-NAME" remove NAME.
RunResult runCommand(const std::vector<std::string> &argv, const std::string &input = "",
                     const std::vector<std::string> &env = {});

// Runs the tarnwick binary under test with TZ=UTC and without ORLODEBUG/PARTOFF unless given,
// colour on unless the arguments say otherwise.
RunResult runTarnwick(const std::vector<std::string> &args, const std::string &input,
                      const std::vector<std::string> &env = {});

// Whether the binary under test was built with AddressSanitizer (which needs more address space
// than a memory limit leaves it).
bool binaryHasASan();
// Runs `tarnwick -c COMMAND IMAGE` confined as a hostile image should be survivable: a private /tmp
// of `tmpSize` (tmpfs), a time limit, and without ASan a memory limit of 256 MiB. What is left in
// that /tmp afterwards ends standard output, after "left:". Status 77 when no mount namespace can be made.
RunResult runConfined(const std::string &image, const std::string &command, const std::string &tmpSize = "1m");

// Writes bytes to a file in this process's scratch folder and returns its path.
std::string writeScratch(const std::string &name, const std::vector<uint8_t> &bytes);
std::string scratchDir();

bool haveTool(const std::string &name);
std::vector<uint8_t> readWholeFile(const std::string &path);
std::string textOf(const std::string &path);            // a file's bytes as text
std::vector<uint8_t> bytesOf(const std::string &text);
std::vector<uint8_t> joined(std::initializer_list<std::vector<uint8_t>> parts);
std::string corpusPath(const std::string &relative);   // "" when the corpus folder is absent

// The partitions `7zz x -tdmg` extracts from a disk image: index -> path of "<index>.<kind>".
std::map<uint64_t, std::string> sevenZipPartitions(const std::string &image);
// The content of the first extracted partition whose kind begins so ("hfs": hfs or hfsx), or nothing.
std::vector<uint8_t> sevenZipPartition(const std::string &image, const std::string &kind);

// Test data for the codecs: seeded random bytes (what no coder shrinks), and words from a small
// vocabulary (skewed literals, repeats at every distance).
std::vector<uint8_t> randomBytes(size_t size, unsigned seed);
std::vector<uint8_t> vocabularyText(size_t size, unsigned seed);
