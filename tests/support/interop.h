// Helpers of the interop tests: independent readers run and parsed, images they share, test data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace hfsbuild { struct Volume; }

using Bytes = std::vector<uint8_t>;

// Runs an independent reader with TZ=UTC; another exit status than `status` fails the test.
RunResult tool(const std::vector<std::string> &argv, int status = 0);
std::string fieldOf(const std::string &out, const std::string &name);   // the value of "name: value"

Bytes noise(size_t size, uint32_t seed);                    // what zlib cannot shrink
Bytes wordLines(size_t size, const std::string &word);      // "word 0\nword 1\n...", cut at `size`
Bytes joined(std::initializer_list<Bytes> parts);

// What fls -r -p lists, without TSK's own files ($...); control characters show as '^'.
struct FlsEntry {
    char type;                  // 'd', 'r', 'l'
    uint32_t cnid;              // for a hard link, its indirect node's
    std::string path;           // from the root, without a leading "/"
};
std::vector<FlsEntry> flsTree(const std::string &image, uint64_t sector = 0);

// Volumes not made by hfsbuild: "Xorriso" (HFS Plus in an Apple Partition Map, at `sector`),
// "CorpusHfsplus" and, cut out of Mac OS UDIF images by 7-Zip, "Keramics" and "HfsxJournaled".
// An empty path comes with the reason in `why`.
struct OutsideImage {
    std::string path, why;
    uint64_t sector = 0;
    std::string offset() const { return std::to_string(sector); }
};
const OutsideImage &outsideImage(const std::string &name);

// With `make`, the volume it builds, written once under `name`; else outsideImage(name).
const OutsideImage &testImage(const std::string &name, hfsbuild::Volume (*make)() = nullptr);

// Runs the shell on `image`; `written`, a file name under /tmp, is removed before and after, and
// its bytes kept when the shell wrote it.
struct ShellRun : RunResult {
    std::optional<Bytes> written;
};
ShellRun shell(const std::string &image, const std::string &script, const std::string &written = "");
