// stat, find -m and pull -r checked against The Sleuth Kit on builder volumes and Mac OS ones:
// stat against istat field by field, find -m against fls -m (and mactime reads it), and a tree
// pulled whole against what tsk_recover recovers.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "hfsbuild/hfsbuild.h"
#include "interop.h"

namespace {

namespace fs = std::filesystem;
using hfsbuild::Node;

Node file(const std::string &path, size_t size, uint16_t mode = 0, uint32_t compression = 0, uint32_t extentBlocks = 0) {
    Node node = hfsbuild::fileNode(path, std::vector<uint8_t>(randomBytes(size, static_cast<unsigned>(size))));
    node.mode = mode;
    node.compression = compression;
    node.extentBlocks = extentBlocks;
    return node;
}

// Every date different, set-ID and sticky modes, owners, attributes, compression, extents in the
// overflow file, links of both kinds.
hfsbuild::Volume stampedVolume() {
    hfsbuild::Volume v;
    v.label = "Stamped";
    v.blockSize = 512;
    v.nodes = {file("/bin/tool", 900, 04755), file("/data/frag.bin", 20 * 512, 0640, 0, 1),
               file("/data/packed.log", 150000, 0, 4), file("/data/small.txt", 3000, 0, 3),
               hfsbuild::symlinkNode("/data/link", "../bin/tool"), hfsbuild::hardLinkNode("/bin/again", "/bin/tool")};
    Node shared = hfsbuild::folderNode("/shared");
    shared.mode = 01777;
    v.nodes.push_back(shared);
    for (size_t i = 0; i < v.nodes.size(); ++i) {
        Node &n = v.nodes[i];
        uint32_t base = hfsbuild::kDefaultDate + static_cast<uint32_t>(i) * 86400;
        n.createDate = base, n.modDate = base + 60, n.attributeModDate = base + 120, n.accessDate = base + 180;
        n.backupDate = base + 240, n.owner = 501, n.group = 20;
        n.attributes.push_back({"user.note" + std::to_string(i), std::vector<uint8_t>(i + 1, 'n')});
    }
    return v;
}

class CommandsTsk : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!haveTool("fls") || !haveTool("istat")) GTEST_SKIP() << "The Sleuth Kit is not installed";
        if (img.path.empty()) GTEST_SKIP() << img.why;
    }
    const OutsideImage &img = testImage(GetParam(), GetParam() == "Stamped" ? stampedVolume
                                                    : GetParam() == "Demo"  ? hfsbuild::demoVolume : nullptr);
    const std::string &path() { return img.path; }
    std::string tsk(const std::vector<std::string> &argv) { return runCommand(argv, "", {"TZ=UTC"}).out; }
};

// "Label:\tvalue" lines (istat also writes "Label: value"); the lines under a label (extents,
// block lists, attributes) are added to its value, one per line.
std::map<std::string, std::string> fields(const std::string &text) {
    std::map<std::string, std::string> out;
    std::istringstream lines(text);
    std::string last;
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(':');
        if (line.starts_with("\t") || isdigit(static_cast<unsigned char>(line[0])) ||
            (last == "Attributes" && line.starts_with("Type: "))) {
            if (!last.empty()) out[last] += "\n" + line;
        } else if (colon == std::string::npos) {
            last.clear();
        } else {
            last = line.substr(0, colon);
            size_t value = line.find_first_not_of(" \t", colon + 1);
            out[last] = value == std::string::npos ? "" : line.substr(value);
        }
    }
    return out;
}

// Block numbers of a fork, from istat's list ("22-38 40") or stat's extent lines ("0: blocks 22-38 (17)").
std::vector<uint64_t> blocks(const std::string &text, bool fromStat) {
    std::vector<uint64_t> out;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (fromStat && (word.ends_with(":") || word == "blocks" || word.starts_with("("))) continue;
        size_t dash = word.find('-');
        if (word.empty() || !isdigit(static_cast<unsigned char>(word[0]))) continue;
        uint64_t first = std::stoull(word), last = dash == std::string::npos ? first : std::stoull(word.substr(dash + 1));
        for (uint64_t b = first; b <= last; ++b) out.push_back(b);
    }
    return out;
}

std::string extentLines(const std::string &fork) {
    return fork.find('\n') == std::string::npos ? "" : fork.substr(fork.find('\n'));
}

using StatMatchesIstat = CommandsTsk;

TEST_P(StatMatchesIstat, FieldByField) {
    std::set<uint32_t> cnids;
    for (const FlsEntry &e : flsTree(path())) cnids.insert(e.cnid);
    ASSERT_FALSE(cnids.empty());
    for (uint32_t cnid : cnids) {
        auto ours = fields(runTarnwick({path()}, "stat #" + std::to_string(cnid) + "\n").out);
        auto theirs = fields(tsk({"istat", path(), std::to_string(cnid)}));
        std::string at = GetParam() + " #" + std::to_string(cnid);
        std::string mode = theirs["Mode"];
        if (mode.starts_with("r")) mode[0] = '-';
        EXPECT_EQ(ours["CNID"], theirs["Catalog Record"]) << at;
        EXPECT_EQ(ours["Mode"].substr(0, 10), mode) << at;
        EXPECT_EQ(ours["Owner"].substr(0, ours["Owner"].find(' ')) + " / " + ours["Group"].substr(0, ours["Group"].find(' ')),
                  theirs["uid / gid"]) << at;
        for (auto [mine, istat] : {std::pair{"Created", "Created"}, {"Content modified", "Content Modified"},
                                   {"Attributes modified", "Attributes Modified"}, {"Accessed", "Accessed"},
                                   {"Backed up", "Backed Up"}})
            EXPECT_EQ(ours[mine], theirs[istat]) << at << " " << mine;
        EXPECT_EQ(ours["Text encoding"].substr(0, ours["Text encoding"].find(' ')),
                  theirs["Text encoding"].substr(0, theirs["Text encoding"].find(' '))) << at;
        EXPECT_EQ(ours["Owner flags"].substr(0, ours["Owner flags"].find(' ')),
                  theirs["Owner flags"].substr(0, theirs["Owner flags"].find(' '))) << at;
        if (ours["Type"] == "Folder") continue;
        EXPECT_EQ(ours["Size"], theirs["Size"]) << at;
        EXPECT_EQ(ours["Link count"], theirs["Link count"]) << at;
        if (theirs.contains("Data Fork Blocks")) {
            EXPECT_EQ(blocks(extentLines(ours["Data fork"]), true),
                      blocks(theirs["Data Fork Blocks"], false)) << at;
        }
        if (theirs.contains("Resource Fork Blocks")) {
            EXPECT_EQ(blocks(extentLines(ours["Resource fork"]), true),
                      blocks(theirs["Resource Fork Blocks"], false)) << at;
        }
        if (theirs.contains("Uncompressed size")) {
            EXPECT_NE(ours["Compression"].find(", " + theirs["Uncompressed size"] + " bytes uncompressed"), std::string::npos) << at;
        }
        // Each attribute istat lists (extended ones and the compression record) with its size.
        std::istringstream attributes(theirs["Attributes"]);
        for (std::string line; std::getline(attributes, line);) {
            if (line.find("ExATTR") == std::string::npos && line.find("CMPF") == std::string::npos) continue;
            std::string name = line.substr(line.find("Name: ") + 6);
            name = name.substr(0, name.find("   "));
            std::string size = line.substr(line.find("size: ") + 6);
            EXPECT_NE((ours["Attributes"] + "\n").find("\n\t" + size + "\t" + name + "\n"), std::string::npos) << at << " " << line;
        }
    }
}

using FindBodyMatchesFls = CommandsTsk;

// The same lines as fls -m but for TSK's own files ($...) and names with control characters,
// which fls writes as '^' and find escapes.
TEST_P(FindBodyMatchesFls, AndMactimeReadsIt) {
    std::set<std::string> theirs, ours;
    std::istringstream fls(tsk({"fls", "-m", "/", "-r", path()}));
    for (std::string line; std::getline(fls, line);)
        if (!line.starts_with("0|/$") && line.find('^') == std::string::npos) theirs.insert(line);
    std::string body = runTarnwick({path()}, "find / -m\n").out;
    std::istringstream found(body);
    for (std::string line; std::getline(found, line);)
        if (line.find('\\') == std::string::npos) ours.insert(line);   // escaped control characters
    EXPECT_EQ(ours, theirs);
    std::string bodyFile = writeScratch("commands-" + GetParam() + ".body", std::vector<uint8_t>(body.begin(), body.end()));
    RunResult timeline = runCommand({"mactime", "-b", bodyFile, "-d", "-z", "UTC"});
    EXPECT_EQ(timeline.status, 0) << timeline.err;
    EXPECT_NE(timeline.out.find(ours.empty() ? "?" : ours.begin()->substr(2, ours.begin()->find('|', 2) - 2)),
              std::string::npos) << timeline.out;
}

using PullTreeMatchesTskRecover = CommandsTsk;

// Every file tsk_recover writes is pulled with the same relative path and bytes (a symbolic link,
// which it writes as a file holding the target, as a link to that target).
TEST_P(PullTreeMatchesTskRecover, ByteForByte) {
    if (!haveTool("tsk_recover")) GTEST_SKIP() << "tsk_recover is not installed";
    fs::path theirs = scratchDir() + "/recover-" + GetParam(), ours = scratchDir() + "/pulled-" + GetParam();
    fs::remove_all(theirs), fs::remove_all(ours);
    runCommand({"tsk_recover", "-e", path(), theirs.string()});
    RunResult pulled = runTarnwick({path()}, "pull -r / " + ours.string() + "\n");
    EXPECT_EQ(pulled.err.find("could not be extracted"), std::string::npos) << pulled.err;
    size_t compared = 0;
    for (const auto &entry : fs::recursive_directory_iterator(theirs)) {
        std::string relative = fs::relative(entry.path(), theirs).string();
        if (!entry.is_regular_file() || relative.starts_with("$")) continue;
        fs::path mine = ours / relative;
        auto expected = readWholeFile(entry.path());
        if (fs::is_symlink(mine))
            EXPECT_EQ(fs::read_symlink(mine).string(), std::string(expected.begin(), expected.end())) << relative;
        else
            EXPECT_TRUE(fs::exists(mine) && readWholeFile(mine) == expected) << relative;
        ++compared;
    }
    EXPECT_GT(compared, 0u);
}

#define COMMANDS_IMAGES(suite)                                                                                  \
    INSTANTIATE_TEST_SUITE_P(Commands, suite, ::testing::Values("Stamped", "Demo", "CorpusHfsplus", "Keramics", "HfsxJournaled"), \
                             [](const auto &info) { return info.param; })
COMMANDS_IMAGES(StatMatchesIstat);
COMMANDS_IMAGES(FindBodyMatchesFls);
COMMANDS_IMAGES(PullTreeMatchesTskRecover);

}  // namespace
