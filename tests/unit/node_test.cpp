// Node walking, record dumps and the text builders of the listing, on hand-built nodes.
#include "base/output.h"
#include "btree/node.h"
#include "btree/record_dump.h"
#include "btree/xattr.h"
#include "catalog/ls.h"
#include "tiny_tree.h"
#include "unit.h"

using namespace tiny;
using unit::capture, unit::Printed, unit::view;

namespace {

ByteVec folderThread(uint32_t id, std::u16string name) {
    ByteVec record = catalogKey(id, u"");
    append16(record, 3), append16(record, 0), append32(record, 2), append16(record, static_cast<uint16_t>(name.size()));
    for (char16_t unit : name) append16(record, unit);
    return record;
}

ByteVec inlineAttribute(uint32_t fileID, std::u16string name, ByteVec value, uint32_t type = 0x10) {
    ByteVec record = attributeKey(fileID, name);
    append32(record, type), append32(record, 0), append32(record, 0), append32(record, static_cast<uint32_t>(value.size()));
    record.insert(record.end(), value.begin(), value.end());
    if (record.size() % 2) record.push_back(0);
    return record;
}

std::vector<uint32_t> g_answers;
uint32_t scripted(Bytes, int, int, uint64_t, int64_t) {
    uint32_t answer = g_answers.front();
    g_answers.erase(g_answers.begin());
    return answer;
}

TinyTree threeThreads() {
    return TinyTree(1, {{kLeafNode, {folderThread(16, u"a"), folderThread(17, u"b"), folderThread(18, u"c")}}});
}

Printed read(const BTree &tree, uint32_t node, uint16_t first, int xml, RecordProcessor p = nullptr, uint32_t *result = nullptr) {
    uint32_t r = 0;
    useXML = xml;
    Printed printed = capture([&] { r = readNode(&tree, node, first, 4, p, 0, 0); });
    useXML = 0;
    if (result) *result = r;
    return printed;
}

Printed dump(const ByteVec &record, int kind = kLeafNode) {
    return capture([&] { dumpRecord(view(record), kind, 8, 0, 0); });
}

const std::string kNode1 = "<Node num=\"1\" kind=\"-1\" bLink=\"0\" fLink=\"0\" numRecords=\"3\">\n";

}  // namespace

TEST(ReadNode, ProcessorAnswersDecideTheWalk) {
    struct Case {
        int xml;
        std::vector<uint32_t> answers;
        std::string out, err;
    } cases[] = {
        {0, {10000}, "\tfolderthread\t2a\n", "FOUND: Node 1, record 0:\n"},
        {0, {20000, 0x10000 + 40000, 7}, "\tfolderthread\t2b\n", "FOUND: Node 1, record 1:\n"},   // low 16 bits decide
        {1, {20000, 30000}, kNode1 + "\t<Record num=\"0\" offset=\"14\">\n\t</Record>\n\t<Record num=\"1\" offset=\"34\"></Node>", ""},
        {1, {10000}, kNode1 + "\t<Record num=\"0\" offset=\"14\">\tfolderthread\t2a\n", "FOUND: Node 1, record 0:\n"},
    };
    TinyTree t = threeThreads();
    for (const Case &c : cases) {
        g_answers = c.answers;
        uint32_t result = 1;
        Printed p = read(t.tree, 1, 0, c.xml, scripted, &result);
        EXPECT_EQ(p.out, c.out);
        EXPECT_EQ(p.err, c.err);
        EXPECT_EQ(result, 0u);
    }
}

TEST(ReadNode, PlainXmlDebugAndHeaderForms) {
    TinyTree t = threeThreads();
    EXPECT_EQ(read(t.tree, 1, 1, 0).out, "\tfolderthread\t2b\n\n\tfolderthread\t2c\n\n");
    g_Debug = 1;
    EXPECT_EQ(read(t.tree, 1, 2, 0).out, "0 <- 1 -> 0: 3 records, leaf\n---02 (@  54): \tfolderthread\t2c\n\n");
    g_Debug = 0;
    EXPECT_EQ(read(t.tree, 1, 3, 1).out, kNode1 + "</Node>\n");
    EXPECT_EQ(read(t.tree, 0, 0, 1).out, "<Node num=\"0\" kind=\"1\" bLink=\"0\" fLink=\"0\" numRecords=\"3\">\n"
                                         "\t<Record num=\"0\" offset=\"0\">\t</Record>\n\t<Record num=\"1\" offset=\"0\">\t</Record>\n"
                                         "\t<Record num=\"2\" offset=\"0\">\t</Record>\n</Node>\n");
    Printed header = read(t.tree, 0, 0, 0);
    EXPECT_EQ(header.out, "0 <- 0 -> 0: 3 records, header\n");
    EXPECT_EQ(header.err, "TODO..\nTODO..\nTODO..\n");
    EXPECT_EQ(read(t.tree, 2, 0, 0).out, "Node 2 is greater than # of nodes in the tree (2)\n");
}

TEST(ReadNode, DamageIsReportedAndBounded) {
    const std::string corruptText = "<ERROR>Corrupt record offset for record 2 of node 1: 512</ERROR>\n";
    TinyTree corrupt = threeThreads();
    put16(corrupt.tree.bytes, 2 * kNode - 6, kNode + 1);   // record 2's offset
    uint32_t result = 0;
    EXPECT_EQ(read(corrupt.tree, 1, 1, 1, nullptr, &result).out,
              kNode1 + "\t<Record num=\"1\" offset=\"34\">\tfolderthread\t2b\n\n\t</Record>\n\t<Record num=\"2\" offset=\"513\">" + corruptText);
    EXPECT_EQ(result, kCorruptNode);
    EXPECT_EQ(capture([&] { walkNodes(&corrupt.tree, 1, 2, 4, nullptr, 0, 0); }).out,
              corruptText + "Node -10 is greater than # of nodes in the tree (2)\n");

    TinyTree loop(1, {{kLeafNode, {folderThread(16, u"x")}}, {kLeafNode, {folderThread(17, u"y")}}});
    put32(loop.tree.bytes, kNode, 2), put32(loop.tree.bytes, 2 * kNode, 1);   // 1 -> 2 -> 1
    EXPECT_EQ(capture([&] { walkNodes(&loop.tree, 1, 0, 4, nullptr, 0, 0); }).out,
              "\tfolderthread\t2x\n\n\tfolderthread\t2y\n\n\tfolderthread\t2x\n\n"
              "The chain of nodes is longer than the tree's 3 nodes: it loops. Walk stopped.\n");

    EXPECT_EQ(read(TinyTree(1, {{kMapNode, {ByteVec(4, 0xFF)}}}).tree, 1, 0, 0).out, "\n\t<!-- This is a map node !-->");

    TinyTree cut(1, {{kLeafNode, {folderThread(16, u"abc")}}});
    put16(cut.tree.bytes, kNode + 14 + 16, 240);   // a name of 240 units runs into the offset table
    EXPECT_EQ(read(cut.tree, 1, 0, 0).out, "\tfolderthread\t2abc (record runs past the end of its node)\n\n");
}

TEST(RecordDump, AttributeRecords) {
    ByteVec sec;
    append32(sec, kFileSecMagic);
    for (int i = 0; i < 32; ++i) sec.push_back(static_cast<uint8_t>(i));
    append32(sec, 2), append32(sec, 0x10);   // entries, flags
    for (uint32_t e = 0; e < 2; ++e) {
        sec.insert(sec.end(), 16, static_cast<uint8_t>(0xA0 + e));
        append32(sec, e == 0 ? 0x1 | 0x200000 : 0), append32(sec, 7);
    }
    const std::string owners = "17s\tOWNER: 00010203-0405-0607-0809-0a0b0c0d0e0f\nGROUP: 10111213-1415-1617-1819-1a1b1c1d1e1f\n"
                               "# Entries: 2\tFlags: 0x10\n 0: a0a0a0a0-a0a0-a0a0-a0a0-a0a0a0a0a0a0, all,permit,\n";
    struct Case {
        ByteVec record;
        std::string out;
        bool whole;   // else the data follows in hexadecimal
    } cases[] = {
        {inlineAttribute(16, u"ab", {1, 2, 3}), "16ab\t2013", true},   // odd size takes the pad byte
        {inlineAttribute(16, u"f", {}, 0x20), "16f\t(fork data record: the attribute's data is not stored inline)", true},
        {inlineAttribute(17, u"s", sec), owners + " 1: a1a1a1a1-a1a1-a1a1-a1a1-a1a1a1a1a1a1, \n", false},
        {inlineAttribute(17, u"s", ByteVec(sec.begin(), sec.begin() + 68)),   // claims 2 entries, holds 1
         owners + " (1 more entries lie beyond the attribute's data)\n", false},
    };
    for (const Case &c : cases) {
        std::string out = dump(c.record).out;
        EXPECT_EQ(c.whole ? out : out.substr(0, c.out.size()), c.out);
    }
    ByteVec big = inlineAttribute(16, u"a", {0xAA, 0xBB});
    put32(big, big.size() - 6, 5000);   // attrSize far past the record
    EXPECT_EQ(dump(big).out, "16a\tbbaa (attribute data of 5000 bytes runs past the end of its node)");
    EXPECT_EQ(dump(withChild(attributeKey(16, u"a"), 9), kIndexNode).out, "16a\tptr to 9");
}

TEST(ListingText, Builders) {
    std::pair<uint32_t, const char *> modes[] = {{0100644, "rw-r--r--"}, {04777, "rwsrwxrwx"}, {0, "---------"},
                                                 {07666, "rwSrwSrwT"}, {041777, "rwxrwxrwt"}, {02750, "rwxr-s---"}};
    for (auto [mode, text] : modes) EXPECT_EQ(permissionsToText(mode), text);
    std::pair<uint64_t, const char *> sizes[] = {{0, "0B"}, {1024, "1024B"}, {1025, "1K"}, {1536, "1K"},
                                                 {2048, "2K"}, {5ull << 30, "5G"}, {~0ull, "15E"}};
    for (auto [size, text] : sizes) EXPECT_EQ(humanReadable(size), text) << size;
    EXPECT_EQ(catalogFlagsToLS(0), "  ");
    EXPECT_EQ(catalogFlagsToLS(0x4), "@ ");
    EXPECT_EQ(catalogFlagsToLS(0x8), "+ ");
    EXPECT_EQ(catalogFlagsToLS(0xC), "@+");
    EXPECT_EQ(aceFlagsToText(0), "");
    EXPECT_EQ(aceFlagsToText(0x1), "permit,");
    EXPECT_EQ(aceFlagsToText(0x2 | 0x800000 | 0x1000000 | 0x400000), "execute,read,write,deny,");
    ByteVec hidden(64, 0);
    hidden[56] = 0x40;
    EXPECT_EQ(finderFlagsToLS(view(hidden)), "hidden");
    EXPECT_EQ(finderFlagsToLS(Bytes{}), "      ");
}
