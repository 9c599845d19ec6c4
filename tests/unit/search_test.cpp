// Key comparison, the bounded descent and paths from thread records, on small trees built byte by byte.
#include "btree/btree.h"
#include "btree/records.h"
#include "btree/search.h"
#include "catalog/path.h"
#include "tiny_tree.h"
#include "unit.h"

using namespace tiny;
using unit::view;

namespace {

std::optional<SearchResult> find(const BTree &tree, int type, const ByteVec &key, std::string *out = nullptr) {
    testing::internal::CaptureStdout();
    auto found = searchKey(&tree, 0, type, view(key));
    std::string printed = testing::internal::GetCapturedStdout();
    if (out) *out = printed;
    return found;
}

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
    compareType = 0xCF;
    TinyTree t(1, {{kIndexNode, {withChild(catalogKey(2, u""), 2), withChild(catalogKey(20, u""), 3)}},
                   {kLeafNode, {catalogKey(2, u""), catalogKey(2, u"a"), catalogKey(2, u"b")}},
                   {kLeafNode, {catalogKey(20, u""), catalogKey(20, u"x")}}});
    // Node and record found, 0 for none: 1 sorts before the root's first key, 5 falls in leaf 2 with no equal record.
    std::tuple<uint32_t, std::u16string, uint32_t, uint16_t> cases[] = {
        {2, u"B", 2, 2}, {20, u"x", 3, 1}, {20, u"", 3, 0}, {2, u"", 2, 0}, {1, u"", 0, 0}, {5, u"", 0, 0}, {21, u"", 0, 0}};
    for (const auto &[parent, name, node, record] : cases) {
        std::string out;
        auto found = find(t.tree, 4, catalogKey(parent, name), &out);
        EXPECT_EQ(out, "");
        ASSERT_EQ(found.has_value(), node != 0) << parent;
        if (!found) continue;
        EXPECT_EQ(found->node, node);
        EXPECT_EQ(found->record, record);
        EXPECT_EQ(found->recordKey.be32(2), parent);
        EXPECT_EQ(found->treeType, 4u);
    }
    TinyTree attrs(1, {{kLeafNode, {attributeKey(16), attributeKey(17), attributeKey(17), attributeKey(18)}}});
    auto found = find(attrs.tree, 8, attributeKey(17));   // matches on the file alone
    ASSERT_TRUE(found);
    EXPECT_EQ(found->record, 1);
}

TEST(SearchKey, DamagedTreesEndWithAMessage) {
    compareType = 0xCF;
    const std::string outside = " lies outside the 1024 bytes loaded for the tree (node size 512)\n";
    TinyTree corrupt(1, {{kLeafNode, {catalogKey(5, u"")}}});
    put16(corrupt.tree.bytes, 2 * kNode - 2, kNode + 1);
    TinyTree huge(1, {{kLeafNode, {catalogKey(5, u"")}}});   // more records than the offset table can hold
    put16(huge.tree.bytes, kNode + 10, 0xFFFF);
    struct Case {
        TinyTree tree;
        uint32_t parent;
        std::string output;
    } cases[] = {
        {TinyTree(1, {{kIndexNode, {withChild(catalogKey(1, u""), 1)}}}), 5, "Search abandoned after 32 levels: the index of the tree loops\n"},
        {TinyTree(2, {{kLeafNode, {catalogKey(5, u"")}}}), 5, "exiting\nNode 2 is greater than # of nodes in the tree (2)\n"},
        {TinyTree(7, {{kLeafNode, {catalogKey(5, u"")}}}, 100), 5, "Node 7" + outside},
        {TinyTree(1, {{kIndexNode, {withChild(catalogKey(1, u""), 60)}}}, 100), 5, "Node 60" + outside},
        {TinyTree(1, {{kLeafNode, {}}}), 5, ""},
        {corrupt, 5, "Corrupt record offset for record 0 of node 1: 512\n"},
        // Sorts after whatever the table points at; entry 250 is the node's own record count, 0xFFFF.
        {huge, 0xFFFFFFFF, "Corrupt record offset for record 250 of node 1: 512\n"},
    };
    for (const Case &c : cases) {
        std::string out;
        EXPECT_FALSE(find(c.tree.tree, 4, catalogKey(c.parent, u""), &out).has_value()) << c.output;
        EXPECT_EQ(out, c.output);
    }
}

TEST(Records, DataFollowsTheKeyAndKindsHaveNames) {
    ByteVec thread = concat(catalogKey(2, u""), {0, 3, 0, 0, 0, 0, 0, 1}), bad = {0xFF, 0xFF, 0};
    Bytes data = getRecordData(view(thread));
    EXPECT_EQ(data.data, thread.data() + 8);
    EXPECT_EQ(data.be16(0), 3);
    EXPECT_TRUE(getRecordData(view(bad)).empty());
    EXPECT_STREQ(kindToText(-1), "leaf");
    EXPECT_STREQ(kindToText(2), "map");
    EXPECT_STREQ(kindToText(3), "?");
    EXPECT_STREQ(kindToText(-2), "?");
}

TEST(CatalogPath, FromThreadRecordsUpToTheRoot) {
    compareType = 0xCF;
    auto thread = [](uint32_t cnid, uint8_t type, uint32_t parent, const std::u16string &name) {
        ByteVec data = {0, type, 0, 0}, counted = catalogKey(0, name);
        append32(data, parent);
        return concat(concat(catalogKey(cnid, u""), data), ByteVec(counted.begin() + 6, counted.end()));
    };
    TinyTree t(1, {{kLeafNode, {thread(2, 3, 1, u"Vol"), thread(16, 3, 2, u"a/b"), thread(17, 3, 16, u"c\x1b"),
                                thread(30, 3, 31, u"x"), thread(31, 3, 30, u"y"), thread(40, 3, 41, u"w")}}});
    std::pair<ByteVec, std::string> cases[] = {
        {concat(catalogKey(17, u"f"), {0, 2}), "/a:b/c\\x1b/f"},   // a stored '/' shows as ':'
        {concat(catalogKey(1, u"Vol"), {0, 1}), "/"}, {thread(2, 3, 1, u"Vol"), "/"}, {thread(50, 4, 16, u"g"), "/a:b/g"},
        {concat(catalogKey(30, u"z"), {0, 2}), "?/y/x/z (the chain of parent folders loops at CNID 30)"},
        {concat(catalogKey(40, u"z"), {0, 2}), "?/w/z (no folder thread record for CNID 41)"},
    };
    for (const auto &[record, path] : cases) EXPECT_EQ(catalogPath(&t.tree, view(record)), path);
}
