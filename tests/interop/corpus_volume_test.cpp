// A real volume made by macOS: the label, the volume report and both B-tree reports must agree
// with what The Sleuth Kit (fsstat) and an independent reader (facts.json) saw in it.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "support.h"

namespace {

std::string text(const std::string &path) {
    std::vector<uint8_t> bytes = readWholeFile(path);
    return {bytes.begin(), bytes.end()};
}

// The number of `key` in facts.json, inside the object named `object` when one is given.
long long fact(const std::string &json, const std::string &key, const std::string &object = "") {
    size_t from = object.empty() ? 0 : json.find("\"" + object + "\"");
    std::smatch m;
    std::string rest = json.substr(from == std::string::npos ? 0 : from);
    if (!std::regex_search(rest, m, std::regex("\"" + key + "\": *(\\d+)"))) ADD_FAILURE() << key;
    return m.empty() ? -1 : std::stoll(m[1]);
}

// The value printed for a label in a tab-separated report line.
std::string reported(const std::string &out, const std::string &label) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex(std::string("\t") + std::regex_replace(label, std::regex("[+()]"), "\\$&") +
                                              " *\t([^\n]*)")))
        return "<missing " + label + ">";
    return m[1];
}

}  // namespace

TEST(CorpusVolume, BareVolumeAgreesWithFsstatAndFacts) {
    std::string image = corpusPath("dfvfs/hfsplus.raw");
    if (image.empty()) GTEST_SKIP() << "../shared/corpus is not present";
    std::string facts = text(image + ".facts.json"), fsstat = text(image + ".fsstat.txt");

    RunResult r = runTarnwick({image}, "color\nfs\nvolinfo\ncatalog\nattributes\n");
    ASSERT_EQ(r.status, 0);

    std::smatch name;
    ASSERT_TRUE(std::regex_search(fsstat, name, std::regex("Volume Name: ([^\n]*)")));
    EXPECT_NE(r.err.find("Volume label is " + name[1].str() + "\n"), std::string::npos);
    EXPECT_NE(r.err.find("Tarnwick(" + name[1].str() + ":/)> "), std::string::npos);

    char size[64];
    snprintf(size, sizeof size, "This is a drive of %f MB \n",
             static_cast<double>(fact(facts, "total_blocks") * fact(facts, "block_size")) / 1048576);
    EXPECT_NE(r.err.find(size), std::string::npos) << size;
    EXPECT_EQ(reported(r.err, "Signature:"), "0x482B (H+)");
    EXPECT_EQ(reported(r.err, "Version:"), std::to_string(fact(facts, "version")));
    EXPECT_EQ(reported(r.err, "Attributes:"), "80000100 - was last cleanly unmounted,");
    EXPECT_EQ(reported(r.err, "Number of Files:"), std::to_string(fact(facts, "vh_file_count")) + "\t");
    EXPECT_EQ(reported(r.err, "Number of Folders:"), std::to_string(fact(facts, "vh_folder_count")));
    EXPECT_EQ(reported(r.err, "Free Blocks:"), std::to_string(fact(facts, "free_blocks")));
    EXPECT_EQ(reported(r.err, "Total Blocks:"), std::to_string(fact(facts, "total_blocks")));
    EXPECT_EQ(reported(r.err, "Block Size:"), std::to_string(fact(facts, "block_size")));
    EXPECT_NE(fsstat.find("Creation Date: \t2022-01-14 08:19:41 (UTC)"), std::string::npos);
    EXPECT_EQ(reported(r.err, "Created on:"), "Fri Jan 14 08:19:41 2022");
    EXPECT_NE(fsstat.find("Last Written Date: \t2022-01-14 07:19:46 (UTC)"), std::string::npos);
    EXPECT_EQ(reported(r.err, "Modified on:"), "Fri Jan 14 07:19:46 2022");
    EXPECT_EQ(reported(r.err, "Last Mounted by:"), "31302e30 (10.0) - Journal info block is @0");

    std::string catalog = r.out.substr(r.out.find("catalog B-Tree dump:"));
    std::string attributes = r.out.substr(r.out.find("attributes B-Tree dump:"));
    for (const char *object : {"catalog_btree", "attributes_btree"}) {
        const std::string &dump = std::string(object) == "catalog_btree" ? catalog : attributes;
        EXPECT_EQ(reported(dump, "Tree depth:"), std::to_string(fact(facts, "depth", object))) << object;
        EXPECT_EQ(reported(dump, "Leaf records"), std::to_string(fact(facts, "leaf_records", object))) << object;
        EXPECT_EQ(reported(dump, "Total nodes:"), std::to_string(fact(facts, "total_nodes", object))) << object;
        EXPECT_EQ(reported(dump, "Free nodes:"), std::to_string(fact(facts, "free_nodes", object))) << object;
        EXPECT_EQ(reported(dump, "Node size:"), std::to_string(fact(facts, "node_size", object))) << object;
    }
    EXPECT_EQ(reported(catalog, "Compare:"), "CF - Case Folding (case-insensitive)");
    EXPECT_EQ(reported(attributes, "Compare:"), "0 - None (ok for attribute B-Trees)");
}

// Journals written by Mac OS X (little-endian, emptied at unmount): the info block is where fsstat
// says, and the header holds what its bytes (read apart with xxd) hold.
TEST(CorpusVolume, JournalAsWritten) {
    struct Case {
        const char *image, *report;
    } cases[] = {
        {"hdi-mac/test-disk-image-hfsp-j.dmg", "\tSequence:           \t6623273\n"},
        {"hdi-mac/test-disk-image-hfsp-j-c.dmg", "\tSequence:           \t666181\n"},
        {"hdi-mac/test-disk-image-hfsp.dmg", nullptr},
    };
    for (const Case &c : cases) {
        std::string image = corpusPath(c.image);
        if (image.empty()) GTEST_SKIP() << "../shared/corpus is not present";
        RunResult r = runTarnwick({image}, "journal\n");
        EXPECT_EQ(r.err.find("unreplayed"), std::string::npos) << c.image;
        if (!c.report) {
            EXPECT_NE(r.err.find("The volume is not journaled\n"), std::string::npos) << c.image;
            continue;
        }
        std::smatch m;
        std::string fsstat = text(image + ".fsstat.txt");
        ASSERT_TRUE(std::regex_search(fsstat, m, std::regex("Journal Info Block: (\\d+)"))) << c.image;
        EXPECT_EQ(r.out.substr(std::min(r.out.find("Journal info block:"), r.out.size())),
                  "Journal info block:\t" + m[1].str() +
                             "\n\tFlags:              \t0x1 - in the file system\n\tOffset:             \t12288\n"
                             "\tSize:               \t524288\nJournal header:\tlittle-endian\n"
                             "\tStart:              \t47104\n\tEnd:                \t47104\n"
                             "\tHeader size:        \t512\n\tBlock list size:    \t8192\n"
                             "\tChecksum:           \t0x0a3ea1f5 (correct)\n" +
                             c.report + "No transaction waits to be replayed\n")
            << c.image;
    }
}
