// Helpers of the interop tests: the test volumes, independent readers run and parsed, test data.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hfsbuild/hfsbuild.h"
#include "support.h"

using Bytes = std::vector<uint8_t>;
using hfsbuild::Node;
using hfsbuild::Volume;

// Runs an independent reader with TZ=UTC; another exit status than `status` fails the test.
RunResult tool(const std::vector<std::string> &argv, int status = 0);

Bytes wordLines(size_t size, const std::string &word);      // "word 0\nword 1\n...", cut at `size`

struct FileOptions {                // Node fields, as hfsbuild reads them
    uint32_t compression = 0, extentBlocks = 0;
    uint16_t mode = 0;
    uint32_t owner = 0, group = 0;
    bool stored = false;
};
Node file(const std::string &path, Bytes data, FileOptions o = {});

// The test volumes by name: "Demo" and the builder volumes of interop.cpp, written once; else
// "Xorriso" (HFS Plus in an Apple Partition Map, at `sector`), "CorpusHfsplus" and, cut out of
// Mac OS UDIF images by 7-Zip, "Keramics" and "HfsxJournaled". An empty path comes with the reason.
struct TestImage {
    std::string path, why;
    uint64_t sector = 0;
    std::string offset() const { return std::to_string(sector); }
};
const TestImage &testImage(const std::string &name);
std::optional<Volume> builderVolume(const std::string &name);

// "Label: value" lines (fsstat, istat, stat); the lines under a label (those starting with a tab
// or a digit, and istat's attribute rows) are added to its value, one per line.
std::map<std::string, std::string> fields(const std::string &text);
// Every block of runs such as "22-38 40" or "0: blocks 22-38 (17)".
std::vector<uint64_t> blockList(const std::string &text);

struct Istat {
    std::string out;
    std::map<std::string, std::string> fields;
    struct Attribute { std::string type, id, name, size; };   // "ExATTR", "4354-2", "user.x", "12"
    std::vector<Attribute> attributes;
};
Istat istat(const TestImage &img, uint32_t cnid);
// A file's content, or with `attribute` one of TSK's attributes ("-4353": the resource fork).
Bytes icat(const TestImage &img, uint32_t cnid, const std::string &attribute = "");

// What fls -r -p lists, without TSK's own files ($...); control characters show as '^'.
struct FlsEntry {
    char type;                  // 'd', 'r', 'l'
    uint32_t cnid;              // for a hard link, its indirect node's
    std::string path;           // from the root, without a leading "/"
};
std::vector<FlsEntry> flsTree(const TestImage &img);
std::vector<FlsEntry> parseFls(const std::string &text);

// A test over a named image, skipped when it or The Sleuth Kit is missing.
class OnImage : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!haveTool("fls")) GTEST_SKIP() << "The Sleuth Kit is not installed";
        if (img.path.empty()) GTEST_SKIP() << GetParam() << ": " << img.why;
    }
    const TestImage &img = testImage(GetParam());
};
#define ON_IMAGES(suite, ...)                                                        \
    INSTANTIATE_TEST_SUITE_P(Images, suite, ::testing::Values(__VA_ARGS__), \
                             [](const auto &info) { return std::string(info.param); })

// Opening the UDIF `image` expands to /tmp/decompressed.dmg its HFS partition as 7-Zip extracts it,
// however many threads expand it, and reads the same partition in place.
void expectExpandsAsSevenZip(const std::string &image);

// Runs the shell on `image`; `written`, a file name under /tmp, is removed before and after, and
// its bytes kept when the shell wrote it.
struct ShellRun : RunResult {
    std::optional<Bytes> written;
};
ShellRun shell(const std::string &image, const std::string &script, const std::string &written = "");
