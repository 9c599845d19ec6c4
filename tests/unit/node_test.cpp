// Node walking, record dumps and the text builders of the listing, on hand-built nodes.
#include <gtest/gtest.h>

#include "base/output.h"
#include "btree/node.h"
#include "btree/record_dump.h"
#include "btree/xattr.h"
#include "catalog/ls.h"
#include "tiny_tree.h"

namespace {

using namespace tiny;

ByteVec folderThread(uint32_t id, uint32_t parent, std::u16string name) {
    ByteVec record = catalogKey(id, u"");
    append16(record, 3);
    append16(record, 0);
    append32(record, parent);
    append16(record, static_cast<uint16_t>(name.size()));
    for (char16_t unit : name) append16(record, unit);
    return record;
}

ByteVec inlineAttribute(uint32_t fileID, std::u16string name, ByteVec value, uint32_t type = 0x10) {
    ByteVec record = attributeKey(fileID, name);
    append32(record, type);
    append32(record, 0), append32(record, 0);
    append32(record, static_cast<uint32_t>(value.size()));
    record.insert(record.end(), value.begin(), value.end());
    if (record.size() % 2) record.push_back(0);
    return record;
}

struct Output {
    std::string out, err;
    uint32_t result;
};

template <typename F>
Output capture(F f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    uint32_t result = f();
    fflush(nullptr);
    return {testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr(), result};
}

std::vector<uint32_t> g_answers;
uint32_t scripted(Bytes, int, int, uint64_t, int64_t) {
    uint32_t answer = g_answers.front();
    g_answers.erase(g_answers.begin());
    return answer;
}

const TinyTree &threeThreads() {
    static TinyTree t(1, {{kLeafNode, {folderThread(16, 2, u"a"), folderThread(17, 2, u"b"), folderThread(18, 2, u"c")}}});
    return t;
}

}  // namespace

TEST(ReadNode, ProcessorAnswersDecideTheWalk) {
    struct Case {
        const char *what;
        int xml;
        std::vector<uint32_t> answers;
        std::string out, err;
        uint32_t result;
    } cases[] = {
        {"found, stop", 0, {10000}, "\tfolderthread\t2a\n", "FOUND: Node 1, record 0:\n", 0},
        {"found, go on; low 16 bits decide", 0, {20000, 0x10000 + 40000, 7}, "\tfolderthread\t2b\n",
         "FOUND: Node 1, record 1:\n", 0},
        {"stop in XML closes the node without a newline", 1, {20000, 30000},
         "<Node num=\"1\" kind=\"-1\" bLink=\"0\" fLink=\"0\" numRecords=\"3\">\n"
         "\t<Record num=\"0\" offset=\"14\">\n\t</Record>\n\t<Record num=\"1\" offset=\"34\"></Node>",
         "", 0},
        {"found, stop in XML leaves the elements open", 1, {10000},
         "<Node num=\"1\" kind=\"-1\" bLink=\"0\" fLink=\"0\" numRecords=\"3\">\n"
         "\t<Record num=\"0\" offset=\"14\">\tfolderthread\t2a\n",
         "FOUND: Node 1, record 0:\n", 0},
    };
    for (const Case &c : cases) {
        g_answers = c.answers;
        useXML = c.xml;
        Output o = capture([] { return readNode(&threeThreads().tree, 1, 0, 4, scripted, 0, 0); });
        useXML = 0;
        EXPECT_EQ(o.out, c.out) << c.what;
        EXPECT_EQ(o.err, c.err) << c.what;
        EXPECT_EQ(o.result, c.result) << c.what;
    }
}

TEST(ReadNode, PlainXmlDebugAndHeaderForms) {
    const BTree *tree = &threeThreads().tree;
    Output plain = capture([&] { return readNode(tree, 1, 1, 4, nullptr, 0, 0); });
    EXPECT_EQ(plain.out, "\tfolderthread\t2b\n\n\tfolderthread\t2c\n\n");
    g_Debug = 1;
    Output debug = capture([&] { return readNode(tree, 1, 2, 4, nullptr, 0, 0); });
    g_Debug = 0;
    EXPECT_EQ(debug.out, "0 <- 1 -> 0: 3 records, leaf\n---02 (@  54): \tfolderthread\t2c\n\n");
    useXML = 1;
    Output none = capture([&] { return readNode(tree, 1, 3, 4, nullptr, 0, 0); });
    Output header = capture([&] { return readNode(tree, 0, 0, 4, nullptr, 0, 0); });
    useXML = 0;
    EXPECT_EQ(none.out, "<Node num=\"1\" kind=\"-1\" bLink=\"0\" fLink=\"0\" numRecords=\"3\">\n</Node>\n");
    EXPECT_EQ(header.out, "<Node num=\"0\" kind=\"1\" bLink=\"0\" fLink=\"0\" numRecords=\"3\">\n"
                          "\t<Record num=\"0\" offset=\"0\">\t</Record>\n\t<Record num=\"1\" offset=\"0\">\t</Record>\n"
                          "\t<Record num=\"2\" offset=\"0\">\t</Record>\n</Node>\n");
    Output plainHeader = capture([&] { return readNode(tree, 0, 0, 4, nullptr, 0, 0); });
    EXPECT_EQ(plainHeader.out, "0 <- 0 -> 0: 3 records, header\n");
    EXPECT_EQ(plainHeader.err, "TODO..\nTODO..\nTODO..\n");
    Output beyond = capture([&] { return readNode(tree, 2, 0, 4, nullptr, 0, 0); });
    EXPECT_EQ(beyond.out, "Node 2 is greater than # of nodes in the tree (2)\n");
}

TEST(ReadNode, DamageIsReportedAndBounded) {
    TinyTree corrupt = threeThreads();
    put16(corrupt.tree.bytes, 2 * kNode - 6, kNode + 1);   // record 2's offset
    useXML = 1;
    Output o = capture([&] { return readNode(&corrupt.tree, 1, 1, 4, nullptr, 0, 0); });
    useXML = 0;
    EXPECT_EQ(o.result, kCorruptNode);
    EXPECT_EQ(o.out, "<Node num=\"1\" kind=\"-1\" bLink=\"0\" fLink=\"0\" numRecords=\"3\">\n"
                     "\t<Record num=\"1\" offset=\"34\">\tfolderthread\t2b\n\n\t</Record>\n"
                     "\t<Record num=\"2\" offset=\"513\"><ERROR>Corrupt record offset for record 2 of node 1: 512"
                     "</ERROR>\n");
    Output walked = capture([&] { walkNodes(&corrupt.tree, 1, 2, 4, nullptr, 0, 0); return 0u; });
    EXPECT_EQ(walked.out, "<ERROR>Corrupt record offset for record 2 of node 1: 512</ERROR>\n"
                          "Node -10 is greater than # of nodes in the tree (2)\n");

    TinyTree loop(1, {{kLeafNode, {folderThread(16, 2, u"x")}}, {kLeafNode, {folderThread(17, 2, u"y")}}});
    put32(loop.tree.bytes, kNode, 2);       // 1 -> 2
    put32(loop.tree.bytes, 2 * kNode, 1);   // 2 -> 1
    Output looped = capture([&] { walkNodes(&loop.tree, 1, 0, 4, nullptr, 0, 0); return 0u; });
    EXPECT_EQ(looped.out, "\tfolderthread\t2x\n\n\tfolderthread\t2y\n\n\tfolderthread\t2x\n\n"
                          "The chain of nodes is longer than the tree's 3 nodes: it loops. Walk stopped.\n");

    TinyTree map(1, {{kMapNode, {ByteVec(4, 0xFF)}}});
    EXPECT_EQ(capture([&] { return readNode(&map.tree, 1, 0, 4, nullptr, 0, 0); }).out,
              "\n\t<!-- This is a map node !-->");

    // A record whose name would run into the offset table is cut there and says so.
    TinyTree cut(1, {{kLeafNode, {folderThread(16, 2, u"abc")}}});
    put16(cut.tree.bytes, kNode + 14 + 16, 240);   // name length 240 units
    Output o2 = capture([&] { return readNode(&cut.tree, 1, 0, 4, nullptr, 0, 0); });
    EXPECT_EQ(o2.out, "\tfolderthread\t2abc (record runs past the end of its node)\n\n");
}

TEST(RecordDump, AttributeRecords) {
    ByteVec sec;
    append32(sec, kFileSecMagic);
    for (int i = 0; i < 32; ++i) sec.push_back(static_cast<uint8_t>(i));
    append32(sec, 2);   // entries
    append32(sec, 0x10);
    for (uint32_t e = 0; e < 2; ++e) {
        for (int i = 0; i < 16; ++i) sec.push_back(static_cast<uint8_t>(0xA0 + e));
        append32(sec, e == 0 ? 0x1 | 0x200000 : 0);
        append32(sec, 7);
    }
    ByteVec shortSec(sec.begin(), sec.begin() + 44 + 24);   // claims 2 entries, holds 1
    struct Case {
        const char *what;
        ByteVec record;
        std::string out;
    } cases[] = {
        {"odd size takes the pad byte", inlineAttribute(16, u"ab", {1, 2, 3}), "16ab\t2013"},
        {"fork-data record", inlineAttribute(16, u"f", {}, 0x20), "16f\t(fork data record: the attribute's data is not stored inline)"},
        {"file security", inlineAttribute(17, u"s", sec),
         "17s\tOWNER: 00010203-0405-0607-0809-0a0b0c0d0e0f\nGROUP: 10111213-1415-1617-1819-1a1b1c1d1e1f\n"
         "# Entries: 2\tFlags: 0x10\n 0: a0a0a0a0-a0a0-a0a0-a0a0-a0a0a0a0a0a0, all,permit,\n"
         " 1: a1a1a1a1-a1a1-a1a1-a1a1-a1a1a1a1a1a1, \n"},
        {"entry count beyond the data", inlineAttribute(17, u"s", shortSec),
         "17s\tOWNER: 00010203-0405-0607-0809-0a0b0c0d0e0f\nGROUP: 10111213-1415-1617-1819-1a1b1c1d1e1f\n"
         "# Entries: 2\tFlags: 0x10\n 0: a0a0a0a0-a0a0-a0a0-a0a0-a0a0a0a0a0a0, all,permit,\n"
         " (1 more entries lie beyond the attribute's data)\n"},
    };
    for (const Case &c : cases) {
        Output o = capture([&] { return dumpRecord(Bytes{c.record.data(), c.record.size()}, kLeafNode, 8, 0, 0); });
        EXPECT_EQ(o.out.substr(0, c.out.size()), c.out) << c.what;
        // After the decoded structure, the data itself follows in hexadecimal.
        if (!std::string(c.what).ends_with("security") && !std::string(c.what).ends_with("data")) {
            EXPECT_EQ(o.out, c.out) << c.what;
        }
    }
    ByteVec big = inlineAttribute(16, u"a", {0xAA, 0xBB});
    put32(big, big.size() - 6, 5000);   // attrSize far past the record
    EXPECT_EQ(capture([&] { return dumpRecord(Bytes{big.data(), big.size()}, kLeafNode, 8, 0, 0); }).out,
              "16a\tbbaa (attribute data of 5000 bytes runs past the end of its node)");
    ByteVec index = withChild(attributeKey(16, u"a"), 9);
    EXPECT_EQ(capture([&] { return dumpRecord(Bytes{index.data(), index.size()}, kIndexNode, 8, 0, 0); }).out,
              "16a\tptr to 9");
}

TEST(ListingText, Builders) {
    EXPECT_EQ(permissionsToText(0100644), "rw-r--r--");
    EXPECT_EQ(permissionsToText(04777), "rwsrwxrwx");
    EXPECT_EQ(permissionsToText(0), "---------");
    EXPECT_EQ(permissionsToText(07666), "rwSrwSrwT");
    EXPECT_EQ(permissionsToText(041777), "rwxrwxrwt");   // .Trashes, the private folders
    EXPECT_EQ(permissionsToText(02750), "rwxr-s---");
    EXPECT_EQ(catalogFlagsToLS(0), "  ");
    EXPECT_EQ(catalogFlagsToLS(0x4), "@ ");
    EXPECT_EQ(catalogFlagsToLS(0x8), "+ ");
    EXPECT_EQ(catalogFlagsToLS(0xC), "@+");
    struct Size {
        uint64_t bytes;
        const char *text;
    } sizes[] = {{0, "0B"}, {1024, "1024B"}, {1025, "1K"}, {1536, "1K"}, {2048, "2K"},
                 {1234, "1K"}, {5ull << 30, "5G"}, {~0ull, "15E"}};
    for (const Size &s : sizes) EXPECT_EQ(humanReadable(s.bytes), s.text) << s.bytes;
    EXPECT_EQ(aceFlagsToText(0), "");
    EXPECT_EQ(aceFlagsToText(0x1), "permit,");
    EXPECT_EQ(aceFlagsToText(0x2 | 0x800000 | 0x1000000 | 0x400000), "execute,read,write,deny,");
    ByteVec hidden(64, 0);
    hidden[56] = 0x40;
    EXPECT_EQ(finderFlagsToLS(Bytes{hidden.data(), hidden.size()}), "hidden");
    EXPECT_EQ(finderFlagsToLS(Bytes{}), "      ");
}
