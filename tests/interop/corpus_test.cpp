// Real images made by macOS: every UDIF image expands to exactly the volume the corpus names, every
// regular file pulls out with the content The Sleuth Kit (or 7-Zip) reads from it, and the volume
// reports agree with fsstat and an independent reader's facts.json.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "interop.h"

namespace {

struct CorpusImage {
    const char *path;
    const char *volumeSha256;   // of the HFS+ volume inside, as the corpus README gives it
};

const CorpusImage kImages[] = {
    {"dfvfs/hfsplus.raw", nullptr},
    {"dfvfs/hfsplus_zlib.dmg", "f5f011b0eda2244cf31b48c878eb8c3c67169866d00e8fc02b4901824853acff"},
    {"keramics/hfsplus_adc.dmg", "aef0a073e110c76daf340a49e5eaec27dc7594b8490493a6c25ebfe0ed53c3a0"},
    {"keramics/hfsplus_bzip2.dmg", "8e6e5b219d39991327abb1b922d26d7bc47f9db989292115cd273b596b3d6e81"},
    {"keramics/hfsplus_zlib.dmg", "5209b333bbbaef69311595bbf605599e8c2d67a16b86f5f4727ff04adba7fc37"},
    {"keramics/hfsplus_lzfse.dmg", "b1d333f7cbb34424dd087478ee2c6b38443e510dac30d7d268b80e0dfe1cc15c"},
    {"keramics/hfsplus_lzma.dmg", "76077eafa809a882607949c0f84d212407acbbcadcb7625ea69eaed672f79661"},
    {"hdi-mac/test-disk-image-hfsp.dmg", "c77b6ba27582b3211bf05a3f030a71266257bbdc074a99d82a7d9d42cabe2831"},
    {"hdi-mac/test-disk-image-hfsp-j.dmg", "77fe7f09feb9420361aceaed9d85f7cf9fa7961e2d0c042834a03a617a863f38"},
    {"hdi-mac/test-disk-image-hfsp-c.dmg", "a51fe47815dbf5266f56ad82ce8e71696e22847f0ae8697c7d3aae71939dd9b4"},
    {"hdi-mac/test-disk-image-hfsp-j-c.dmg", "58832d0f81711dd246afebf7d53411b261e9912c6a74c63714e74976d2fb797f"},
#define FORENSIC(kind) {"dmg-forensic/hfsplus_" kind ".dmg", "d017fed082e5e5c60b1814e79afb5fbc1eb2ff2781a75380947aac6cae6dc72a"}
    FORENSIC("adc"), FORENSIC("bzip2"), FORENSIC("compressed"), FORENSIC("udro"), FORENSIC("lzfse"), FORENSIC("lzma"),
};

std::string sha256Of(const std::string &path, uint64_t prefix = 0) {
    std::string source = prefix ? "head -c " + std::to_string(prefix) + " '" + path + "' | " : "cat '" + path + "' | ";
    return runCommand({"sh", "-c", source + "sha256sum"}).out.substr(0, 64);
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
    std::regex value("\t" + std::regex_replace(label, std::regex("[+()]"), "\\$&") + " *\t([^\n]*)");
    return std::regex_search(out, m, value) ? m[1].str() : "<missing " + label + ">";
}

}  // namespace

TEST(CorpusFiles, EveryImageOpensAndEveryFilePullsAsTheReadersSawIt) {
    if (corpusPath("dfvfs").empty()) GTEST_SKIP() << "../shared/corpus is not present";
    for (const CorpusImage &image : kImages) {
        std::string path = corpusPath(image.path);
        ASSERT_FALSE(path.empty()) << image.path;
        // The expansion is the same volume however many threads make it.
        RunResult opened = runTarnwick({path}, "", {"TARNWICK_THREADS=" + std::to_string(1 + (&image - kImages) % 4)});
        EXPECT_EQ(opened.status, 0) << image.path;
        EXPECT_EQ(opened.err.find("not recognized"), std::string::npos) << image.path << opened.err;
        if (image.volumeSha256) {
            std::string facts = textOf(path + ".facts.json");
            uint64_t volumeBytes = static_cast<uint64_t>(fact(facts, "block_size") * fact(facts, "total_blocks"));
            EXPECT_EQ(sha256Of("/tmp/decompressed.dmg", volumeBytes), image.volumeSha256) << image.path;
            runTarnwick({"--in-place", "-c", "expand /tmp/inplace.img", path}, "");
            EXPECT_EQ(sha256Of("/tmp/inplace.img", volumeBytes), image.volumeSha256) << image.path << " in place";
            unlink("/tmp/inplace.img");
        }
        std::istringstream rows(textOf(path + ".content.tsv"));
        std::string row;
        std::getline(rows, row);   // header
        while (std::getline(rows, row)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_search(row, m, std::regex("^([^\t]*)\t([^\t]*)\t([^\t]*)\t([^\t]*)"))) << row;
            std::string name = m[1], size = m[2], tsk = m[3], sevenZip = m[4];
            // Metadata files are no catalog entries.
            if (name.starts_with("$") || name.starts_with("^^^^")) continue;
            std::string expected = tsk != "ERR" ? tsk : sevenZip;
            std::string base = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
            unlink(("/tmp/" + base).c_str());
            RunResult r = runTarnwick({path}, "pull " + name + "\n");
            EXPECT_NE(r.err.find(size + " bytes written to /tmp/" + base + "\n"), std::string::npos)
                << image.path << " " << name << r.err;
            EXPECT_EQ(sha256Of("/tmp/" + base), expected) << image.path << " " << name;
            unlink(("/tmp/" + base).c_str());
        }
    }
}

TEST(CorpusFiles, ImagesWithoutAnHFSVolumeSayWhatTheyHold) {
    if (corpusPath("dfvfs").empty()) GTEST_SKIP() << "../shared/corpus is not present";
    const std::string apfs = "This disk image holds an APFS container, not an HFS+ volume\n";
    struct Case {
        std::string path, message;
        bool named;   // a one-line verdict, not "not recognized"
    };
    std::vector<Case> cases = {
        {"dmgwiz/input_aes256.dmg", "This disk image is encrypted and no password was given (--password-file FILE or TARNWICK_PASSWORD)\n", true},
        {"apm-partition-forensic/apm_map_32k.bin",
         "The partition at byte 32768 lies past the end of the device (32768 bytes): not used\n", false},
    };
    for (std::string codec : {"zlib", "bzip2", "lzfse", "lzma", "adc", "ro"}) cases.push_back({("dmgwiz/input_" + codec + ".dmg"), apfs, true});
    for (const Case &c : cases) {
        std::string path = corpusPath(c.path);
        ASSERT_FALSE(path.empty()) << c.path;
        RunResult r = runTarnwick({"-c", "fs " + path}, "");
        EXPECT_EQ(r.status, 1) << c.path;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.path << r.err;
        EXPECT_EQ(r.err.find(path + " not recognized as a DMG\n") == std::string::npos, c.named) << c.path << r.err;
        EXPECT_EQ(r.err.find("successfully detected HFS+"), std::string::npos) << c.path << r.err;
    }
    // Decrypted, the encrypted image is its APFS twin; a wrong password reads nothing.
    for (const auto &[password, line] : {std::pair{"test123", apfs}, {"test124", "Wrong password for this encrypted disk image\n"}}) {
        RunResult r = runTarnwick({"-c", "fs " + corpusPath("dmgwiz/input_aes256.dmg")}, "", {std::string("TARNWICK_PASSWORD=") + password});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(line), std::string::npos) << password << r.err;
    }
}

// Names typed as a Linux keyboard gives them reach what macOS stored: precomposed for decomposed,
// letter case aside, and a link through /Volumes/LABEL stays on its own volume.
TEST(CorpusFiles, NamesAsTyped) {
    std::string image = corpusPath("keramics/hfsplus_zlib.dmg");
    if (image.empty()) GTEST_SKIP() << "../shared/corpus is not present";
    const std::string nfc = "nfc_t\xC3\xA9stfil\xC3\xA8";
    struct Row {
        std::string script, out, err;   // parts of stdout and stderr
    } rows[] = {
        {"pull " + nfc, "", "0 bytes written to /tmp/" + nfc + "\n"},
        {"cd directory_symboliclink1\nls", " testfile1\n", "recursing on /testdir1\n"},
        {"search NFC_T\xC3\x89STFIL\xC3\x88", "PATH: /nfc_te\xCC\x81stfile\xCC\x80\n", "FOUND: Node 2, record 10:\n"},
    };
    for (const Row &row : rows) {
        RunResult r = runTarnwick({image}, row.script + "\n");
        EXPECT_NE(r.out.find(row.out), std::string::npos) << row.script << "\n" << r.out;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << row.script << "\n" << r.err;
    }
    unlink(("/tmp/" + nfc).c_str());
}

// An 8 KiB attribute macOS stored as fork data comes out as 7-Zip extracts it.
TEST(CorpusFiles, ForkDataAttributeAsSevenZipReadsIt) {
    std::string image = corpusPath("keramics/hfsplus_zlib.dmg");
    if (image.empty()) GTEST_SKIP() << "../shared/corpus is not present";
    if (!haveTool("7zz")) GTEST_SKIP() << "7zz is not installed";
    std::string dir = scratchDir() + "/keramics-7z";
    runCommand({"7zz", "x", "-y", "-o" + dir, image});
    std::vector<uint8_t> expected = readWholeFile(dir + "/hfsplus_test/testdir1/large_xattr:mylargexattr");
    ASSERT_EQ(expected.size(), 8158u);
    ShellRun r = shell(image, "xattr /testdir1/large_xattr mylargexattr\n", "large_xattr.mylargexattr");
    EXPECT_NE(r.err.find("8158 bytes written to /tmp/large_xattr.mylargexattr\n"), std::string::npos) << r.err;
    EXPECT_TRUE(r.written == expected);
}

TEST(CorpusVolume, BareVolumeAgreesWithFsstatAndFacts) {
    std::string image = corpusPath("dfvfs/hfsplus.raw");
    if (image.empty()) GTEST_SKIP() << "../shared/corpus is not present";
    std::string facts = textOf(image + ".facts.json");
    auto fsstat = fields(textOf(image + ".fsstat.txt"));
    RunResult r = runTarnwick({image}, "color\nfs\nvolinfo\ncatalog\nattributes\n");
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("Volume label is " + fsstat["Volume Name"] + "\n"), std::string::npos);
    EXPECT_NE(r.err.find("Tarnwick(" + fsstat["Volume Name"] + ":/)> "), std::string::npos);

    char size[64];
    snprintf(size, sizeof size, "This is a drive of %f MB \n",
             static_cast<double>(fact(facts, "total_blocks") * fact(facts, "block_size")) / 1048576);
    EXPECT_NE(r.err.find(size), std::string::npos) << size;
    EXPECT_EQ(reported(r.err, "Signature:"), "0x482B (H+)");
    EXPECT_EQ(reported(r.err, "Attributes:"), "80000100 - was last cleanly unmounted,");
    EXPECT_EQ(reported(r.err, "Number of Files:"), std::to_string(fact(facts, "vh_file_count")) + "\t");
    for (auto [label, key] : {std::pair{"Version:", "version"}, {"Number of Folders:", "vh_folder_count"},
                              {"Free Blocks:", "free_blocks"}, {"Total Blocks:", "total_blocks"}, {"Block Size:", "block_size"}})
        EXPECT_EQ(reported(r.err, label), std::to_string(fact(facts, key))) << label;
    EXPECT_EQ(reported(r.err, "Created on:") + ", " + reported(r.err, "Modified on:"), "Fri Jan 14 08:19:41 2022, Fri Jan 14 07:19:46 2022");
    EXPECT_EQ(reported(r.err, "Last Mounted by:"), "31302e30 (10.0) - Journal info block is @0");

    std::string catalog = r.out.substr(r.out.find("catalog B-Tree dump:"));
    std::string attributes = r.out.substr(r.out.find("attributes B-Tree dump:"));
    for (const char *object : {"catalog_btree", "attributes_btree"})
        for (auto [label, key] : {std::pair{"Tree depth:", "depth"}, {"Leaf records", "leaf_records"},
                                  {"Total nodes:", "total_nodes"}, {"Free nodes:", "free_nodes"}, {"Node size:", "node_size"}})
            EXPECT_EQ(reported(object[0] == 'c' ? catalog : attributes, label), std::to_string(fact(facts, key, object)))
                << object << " " << label;
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
        std::string block = fields(textOf(image + ".fsstat.txt"))["Journal Info Block"];
        ASSERT_FALSE(block.empty()) << c.image;
        EXPECT_EQ(r.out.substr(std::min(r.out.find("Journal info block:"), r.out.size())),
                  "Journal info block:\t" + block + "\n\tFlags:              \t0x1 - in the file system\n"
                  "\tOffset:             \t12288\n\tSize:               \t524288\nJournal header:\tlittle-endian\n"
                  "\tStart:              \t47104\n\tEnd:                \t47104\n\tHeader size:        \t512\n"
                  "\tBlock list size:    \t8192\n\tChecksum:           \t0x0a3ea1f5 (correct)\n" +
                      c.report + "No transaction waits to be replayed\n") << c.image;
    }
}
