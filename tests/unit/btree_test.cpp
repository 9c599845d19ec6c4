// The B-tree engine on small trees built byte by byte: key comparison, the bounded descent, paths
// from thread records, node walking, record dumps and the text builders of the listing.
#include "commands/node_dump.h"
#include "btree/records.h"
#include "btree/search.h"
#include "commands/file_security.h"
#include "commands/listing.h"
#include "catalog/path.h"
#include "commands/record_dump.h"
#include "volume/leaf_cursor.h"
#include "unit.h"

using namespace tiny;
using unit::capture, unit::Printed, unit::view;

namespace {

std::optional<SearchResult> find(const BTree &tree, int type, const ByteVec &key, std::string *out) {
    Messages said;
    auto found = searchKey(&tree, 0, type, view(key), kCaseFolding, said);
    *out = said.text(true);
    return found;
}

ByteVec folderThread(uint32_t id, std::u16string name) { return unit::threadRecord(id, 3, 2, name); }

ByteVec inlineAttribute(uint32_t fileID, std::u16string name, ByteVec value, uint32_t type = 0x10) {
    ByteVec record = attributeKey(fileID, name);
    append32(record, type), append32(record, 0), append32(record, 0), append32(record, static_cast<uint32_t>(value.size()));
    record.insert(record.end(), value.begin(), value.end());
    if (record.size() % 2) record.push_back(0);
    return record;
}

std::vector<uint32_t> g_answers;
uint32_t scripted(Bytes, int, uint32_t, uint16_t) {
    uint32_t answer = g_answers.front();
    g_answers.erase(g_answers.begin());
    return answer;
}

TinyTree threeThreads() {
    return TinyTree(1, {{kLeafNode, {folderThread(16, u"a"), folderThread(17, u"b"), folderThread(18, u"c")}}});
}

// Catalog records in the dump's line form.
void show(Bytes record, int kind) { dumpRecord(unit::emptyVolume(), record, kind, kCatalogTree, 0, 0); }

Printed read(const BTree &tree, uint32_t node, uint16_t first, int xml, RecordProcessor p = nullptr, uint32_t *result = nullptr) {
    useXML = xml;
    Printed printed = capture([&] { uint32_t r = readNode(&tree, node, first, show, p); if (result) *result = r; });
    useXML = 0;
    return printed;
}

Printed dump(const ByteVec &record, int kind = kLeafNode) {
    return capture([&] { dumpRecord(unit::emptyVolume(), view(record), kind, kAttributesTree, 0, 0); });
}

const std::string kNode1 = "<Node num=\"1\" kind=\"-1\" bLink=\"0\" fLink=\"0\" numRecords=\"3\">\n";

}  // namespace

TEST(CompareKeys, CatalogOrder) {
    // Only ASCII folds and nothing expands; 0xBC compares binary; parent IDs are unsigned; 0xFF: parents only.
    std::tuple<uint32_t, std::u16string, uint32_t, std::u16string, uint8_t, int> cases[] = {
        {2, u"readme", 2, u"README", 0xCF, 0}, {2, u"Stra\u00DFe", 2, u"STRASSE", 0xCF, -1}, {2, u"\u00E9", 2, u"\u00C9", 0xCF, -1},
        {2, u"a", 2, u"B", 0xBC, -1}, {2, u"a", 2, u"B", 0xCF, 1}, {2, u"abc", 2, u"abcd", 0xCF, 1}, {2, u"abcd", 2, u"abc", 0xCF, -1},
        {5, u"", 0x80000000u, u"", 0xCF, 1}, {7, u"zzz", 7, u"aaa", 0xFF, 0}, {7, u"x", 6, u"x", 0xFF, -1}};
    for (const auto &[rp, rn, sp, sn, type, expected] : cases) {
        ByteVec r = catalogKey(rp, rn), s = catalogKey(sp, sn);
        EXPECT_EQ(compareKeys(view(r), view(s), 4, 0x100 | type), expected) << rp << " vs " << sp << " type " << int(type);
    }
    ByteVec a = attributeKey(20), b = attributeKey(21);
    EXPECT_EQ(compareKeys(view(a), view(b), 8, 0), 1);
    EXPECT_EQ(compareKeys(view(b), view(a), 8, 0), -1);
    EXPECT_EQ(compareKeys(view(a), view(b), 6, 0), 0);
}

TEST(SearchKey, DescendsToTheEqualLeafRecordOnly) {
    TinyTree t(1, {{kIndexNode, {withChild(catalogKey(2, u""), 2), withChild(catalogKey(20, u""), 3)}},
                   {kLeafNode, {catalogKey(2, u""), catalogKey(2, u"a"), catalogKey(2, u"b")}},
                   {kLeafNode, {catalogKey(20, u""), catalogKey(20, u"x")}}});
    // Node and record found, 0 for none: 1 sorts before the root's first key, 5 falls in leaf 2 with no equal record.
    std::tuple<uint32_t, std::u16string, uint32_t, uint16_t> cases[] = {
        {2, u"B", 2, 2}, {20, u"x", 3, 1}, {20, u"", 3, 0}, {2, u"", 2, 0}, {1, u"", 0, 0}, {5, u"", 0, 0}, {21, u"", 0, 0}};
    for (const auto &[parent, name, node, record] : cases) {
        std::string out;
        auto found = find(t.tree(), 4, catalogKey(parent, name), &out);
        EXPECT_EQ(out, "");
        ASSERT_EQ(found.has_value(), node != 0) << parent;
        if (!found) continue;
        EXPECT_EQ(found->node, node);
        EXPECT_EQ(found->record, record);
        EXPECT_EQ(found->recordKey.be32(2), parent);
    }
    TinyTree attrs(1, {{kLeafNode, {attributeKey(16), attributeKey(17), attributeKey(17), attributeKey(18)}}});
    std::string out;
    EXPECT_EQ(find(attrs.tree(), 8, attributeKey(17), &out)->record, 1);   // matches on the file alone
}

TEST(SearchKey, DamagedTreesEndWithAMessage) {
    const std::string outside = " lies outside the 1024 bytes loaded for the tree (node size 512)\n";
    TinyTree corrupt(1, {{kLeafNode, {catalogKey(5, u"")}}});
    put16(corrupt.bytes, 2 * kNode - 2, kNode + 1);
    TinyTree huge(1, {{kLeafNode, {catalogKey(5, u"")}}});   // more records than the offset table can hold
    put16(huge.bytes, kNode + 10, 0xFFFF);
    std::tuple<TinyTree, uint32_t, std::string> cases[] = {   // tree, parent searched, what is printed
        {TinyTree(1, {{kIndexNode, {withChild(catalogKey(1, u""), 1)}}}), 5, "Search abandoned after 32 levels: the index of the tree loops\n"},
        {TinyTree(2, {{kLeafNode, {catalogKey(5, u"")}}}), 5, "exiting\nNode 2 is greater than # of nodes in the tree (2)\n"},
        {TinyTree(7, {{kLeafNode, {catalogKey(5, u"")}}}, 100), 5, "Node 7" + outside},
        {TinyTree(1, {{kIndexNode, {withChild(catalogKey(1, u""), 60)}}}, 100), 5, "Node 60" + outside},
        {TinyTree(1, {{kLeafNode, {}}}), 5, ""},
        {corrupt, 5, "Corrupt record offset for record 0 of node 1: 512\n"},
        // Sorts after whatever the table points at; entry 250 is the node's own record count, 0xFFFF.
        {huge, 0xFFFFFFFF, "Corrupt record offset for record 250 of node 1: 512\n"},
    };
    for (const auto &[tree, parent, output] : cases) {
        std::string out;
        EXPECT_FALSE(find(tree.tree(), 4, catalogKey(parent, u""), &out).has_value()) << output;
        EXPECT_EQ(out, output);
    }
    EXPECT_TRUE(getRecordData(view({0xFF, 0xFF, 0})).empty());   // a key length far past the record
}

TEST(NodeCache, ReadsANodeOnceWhileCachedAndKeepsWhatCallersHold) {
    ByteVec file(64 * kNode);
    for (size_t n = 0; n < 64; ++n) file[n * kNode + 100] = static_cast<uint8_t>(n);
    put16(file, 32, kNode), put32(file, 36, 64);   // the header record: node size, total nodes
    size_t reads = 0;
    BTree tree(file.size(), [&](uint64_t offset, uint8_t *out, uint64_t length) {
        ++reads;
        std::copy_n(file.begin() + static_cast<long>(offset), length, out);
        return length;
    }, 16 * kNode);   // room for 16 nodes
    HeldBytes first = tree.node(1);
    size_t before = reads;
    tree.node(1);
    EXPECT_EQ(reads, before);                        // cached
    for (uint32_t n = 2; n < 40; ++n) tree.node(n);   // node 1 drops out of the cache...
    EXPECT_EQ(first.bytes.u8(100), 1);               // ...but what its caller holds stays
    tree.node(1);
    EXPECT_EQ(reads, before + 39);                   // and is read again when asked for
    EXPECT_TRUE(tree.node(64).empty());              // past the file
}

TEST(LeafCursor, StopsAtTheFirstUnsoundOffsetOrLoop) {
    using End = LeafCursor::End;
    auto slot = [](int r) { return 2 * kNode - 2 * (r + 1); };   // node 1's offset table, from its end
    // change (byte offset in the tree, 16-bit value; none at 0), records walked, why the walk ended
    std::tuple<size_t, uint16_t, size_t, End> cases[] = {
        {0, 0, 3, End::kChainEnd},
        {static_cast<size_t>(slot(0)), 13, 0, End::kDamagedNode},                 // inside the descriptor
        {static_cast<size_t>(slot(2)), 34, 2, End::kDamagedNode},                 // not after the one before
        {static_cast<size_t>(slot(1)), kNode - 4, 1, End::kDamagedNode},          // in the offset table
        {static_cast<size_t>(slot(3)), 40, 2, End::kDamagedNode},                 // past where free space begins
        {kNode + 8, 0, 0, End::kNotALeaf},                                        // an index node
        {kNode + 2, 1, 6, End::kLoop},                                            // fLink to itself: each node once more
    };
    for (auto [at, value, walked, end] : cases) {
        TinyTree t = threeThreads();
        if (at) put16(t.bytes, at, value);
        BTree tree = t.tree();
        LeafCursor cursor(tree, 1);
        size_t n = 0;
        while (cursor.next()) ++n;
        EXPECT_EQ(n, walked) << at;
        EXPECT_EQ(cursor.end(), end) << at;
    }
}

TEST(CatalogPath, FromThreadRecordsUpToTheRoot) {
    auto thread = unit::threadRecord;
    BTree tree = TinyTree(1, {{kLeafNode, {thread(2, 3, 1, u"Vol"), thread(16, 3, 2, u"a/b"), thread(17, 3, 16, u"c\x1b"),
                                           thread(30, 3, 31, u"x"), thread(31, 3, 30, u"y"), thread(40, 3, 41, u"w")}}}).tree();
    std::pair<ByteVec, std::string> cases[] = {
        {joined({catalogKey(17, u"f"), {0, 2}}), "/a:b/c\\x1b/f"},   // a stored '/' shows as ':'
        {joined({catalogKey(1, u"Vol"), {0, 1}}), "/"}, {thread(2, 3, 1, u"Vol"), "/"}, {thread(50, 4, 16, u"g"), "/a:b/g"},
        {joined({catalogKey(30, u"z"), {0, 2}}), "?/y/x/z (the chain of parent folders loops at CNID 30)"},
        {joined({catalogKey(40, u"z"), {0, 2}}), "?/w/z (no folder thread record for CNID 41)"},
    };
    Messages said;
    for (const auto &[record, path] : cases) EXPECT_EQ(catalogPath(&tree, view(record), said), path);
}

TEST(ReadNode, ProcessorAnswersDecideTheWalk) {
    // xml, the processor's answers in turn, out, err
    std::tuple<int, std::vector<uint32_t>, std::string, std::string> cases[] = {
        {0, {10000}, "\tfolderthread\t2a\n", "FOUND: Node 1, record 0:\n"},
        {0, {20000, 0x10000 + 40000, 7}, "\tfolderthread\t2b\n", "FOUND: Node 1, record 1:\n"},   // low 16 bits decide
        {1, {20000, 30000}, kNode1 + "\t<Record num=\"0\" offset=\"14\">\n\t</Record>\n\t<Record num=\"1\" offset=\"34\"></Node>", ""},
        {1, {10000}, kNode1 + "\t<Record num=\"0\" offset=\"14\">\tfolderthread\t2a\n", "FOUND: Node 1, record 0:\n"},
    };
    BTree tree = threeThreads().tree();
    for (const auto &[xml, answers, out, err] : cases) {
        g_answers = answers;
        uint32_t result = 1;
        Printed p = read(tree, 1, 0, xml, scripted, &result);
        EXPECT_EQ(p.out, out);
        EXPECT_EQ(p.err, err);
        EXPECT_EQ(result, 0u);
    }
}

TEST(ReadNode, DebugAndHeaderForms) {   // the plain and XML forms: tests/transcripts/navigation
    BTree tree = threeThreads().tree();
    g_Debug = 1;
    EXPECT_EQ(read(tree, 1, 2, 0).out, "0 <- 1 -> 0: 3 records, leaf\n---02 (@  54): \tfolderthread\t2c\n\n");
    g_Debug = 0;
    EXPECT_EQ(read(tree, 0, 0, 1).out, "<Node num=\"0\" kind=\"1\" bLink=\"0\" fLink=\"0\" numRecords=\"3\">\n"
                                         "\t<Record num=\"0\" offset=\"0\">\t</Record>\n\t<Record num=\"1\" offset=\"0\">\t</Record>\n"
                                         "\t<Record num=\"2\" offset=\"0\">\t</Record>\n</Node>\n");
}

TEST(ReadNode, DamageIsReportedAndBounded) {
    const std::string corruptText = "<ERROR>Corrupt record offset for record 2 of node 1: 512</ERROR>\n";
    TinyTree corrupt = threeThreads();
    put16(corrupt.bytes, 2 * kNode - 6, kNode + 1);   // record 2's offset
    BTree tree = corrupt.tree();
    uint32_t result = 0;
    EXPECT_EQ(read(tree, 1, 1, 1, nullptr, &result).out,
              kNode1 + "\t<Record num=\"1\" offset=\"34\">\tfolderthread\t2b\n\n\t</Record>\n\t<Record num=\"2\" offset=\"513\">" + corruptText);
    EXPECT_EQ(result, kCorruptNode);
    EXPECT_EQ(capture([&] { walkNodes(&tree, 1, 2, show, nullptr); }).out,
              corruptText + "Node -10 is greater than # of nodes in the tree (2)\n");

    TinyTree loop(1, {{kLeafNode, {folderThread(16, u"x")}}, {kLeafNode, {folderThread(17, u"y")}}});
    put32(loop.bytes, kNode, 2), put32(loop.bytes, 2 * kNode, 1);   // 1 -> 2 -> 1
    tree = loop.tree();
    EXPECT_EQ(capture([&] { walkNodes(&tree, 1, 0, show, nullptr); }).out,
              "\tfolderthread\t2x\n\n\tfolderthread\t2y\n\n\tfolderthread\t2x\n\n"
              "The chain of nodes is longer than the tree's 3 nodes: it loops. Walk stopped.\n");

    EXPECT_EQ(read(TinyTree(1, {{kMapNode, {ByteVec(4, 0xFF)}}}).tree(), 1, 0, 0).out, "\n\t<!-- This is a map node !-->");

    TinyTree cut(1, {{kLeafNode, {folderThread(16, u"abc")}}});
    put16(cut.bytes, kNode + 14 + 16, 240);   // a name of 240 units runs into the offset table
    EXPECT_EQ(read(cut.tree(), 1, 0, 0).out, "\tfolderthread\t2abc (record runs past the end of its node)\n\n");
}

TEST(RecordDump, AttributeRecords) {
    ByteVec sec;
    append32(sec, kFileSecMagic);
    for (int i = 0; i < 32; ++i) sec.push_back(static_cast<uint8_t>(i));
    append32(sec, 2), append32(sec, 0x10);   // entries, flags, then only one entry
    sec.insert(sec.end(), 16, 0xA0);
    append32(sec, 0x1 | 0x200000), append32(sec, 7);
    const std::string owners = "17s\tOWNER: 00010203-0405-0607-0809-0a0b0c0d0e0f\nGROUP: 10111213-1415-1617-1819-1a1b1c1d1e1f\n"
                               "# Entries: 2\tFlags: 0x10\n 0: a0a0a0a0-a0a0-a0a0-a0a0-a0a0a0a0a0a0, all,permit,\n";
    // record, its dump, whether that is all of it (else the data follows in hexadecimal)
    std::tuple<ByteVec, std::string, bool> cases[] = {
        {inlineAttribute(16, u"ab", {1, 2, 3}), "16ab\t2013", true},   // odd size takes the pad byte
        {inlineAttribute(16, u"f", {}, 0x20), "16f\t(fork data record: the attribute's data is not stored inline)", true},
        {inlineAttribute(17, u"s", sec), owners + " (1 more entries lie beyond the attribute's data)\n", false},
    };
    for (const auto &[record, text, whole] : cases) {
        std::string out = dump(record).out;
        EXPECT_EQ(whole ? out : out.substr(0, text.size()), text);
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
    for (auto [flags, text] : {std::pair{0, "  "}, {0x4, "@ "}, {0x8, "+ "}, {0xC, "@+"}}) EXPECT_EQ(catalogFlagsToLS(flags), text);
    for (auto [flags, text] : {std::pair{0u, ""}, {0x1u, "permit,"}, {0x2 | 0x800000 | 0x1000000 | 0x400000u, "execute,read,write,deny,"}})
        EXPECT_EQ(aceFlagsToText(flags), text);
    ByteVec hidden(64, 0);
    hidden[56] = 0x40;
    EXPECT_EQ(finderFlagsToLS(view(hidden)), "hidden");
    EXPECT_EQ(finderFlagsToLS(Bytes{}), "      ");
}
