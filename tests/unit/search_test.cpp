// Key comparison, the bounded descent and paths from thread records, on small trees built byte by byte.
#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/records.h"
#include "btree/search.h"
#include "catalog/path.h"
#include "tiny_tree.h"

namespace {

using namespace tiny;

std::optional<SearchResult> find(const BTree &tree, int type, const ByteVec &key) {
    return searchKey(&tree, 0, type, Bytes{key.data(), key.size()});
}

}  // namespace

TEST(CompareKeys, CatalogOrder) {
    struct Case {
        uint32_t recordParent;
        std::u16string recordName;
        uint32_t searchParent;
        std::u16string searchName;
        uint8_t type;
        int expected;
    } cases[] = {
        {2, u"readme", 2, u"README", 0xCF, 0},
        {2, u"Stra\u00DFe", 2, u"STRASSE", 0xCF, -1},   // nothing expands: 'ß' > 'S'
        {2, u"\u00E9", 2, u"\u00C9", 0xCF, -1},         // only ASCII folds
        {2, u"a", 2, u"B", 0xBC, -1},                   // binary: 'a' (0x61) after 'B' (0x42)
        {2, u"a", 2, u"B", 0xCF, 1},
        {2, u"abc", 2, u"abcd", 0xCF, 1},
        {2, u"abcd", 2, u"abc", 0xCF, -1},
        {5, u"", 0x80000000u, u"", 0xCF, 1},            // parent IDs are unsigned
        {7, u"zzz", 7, u"aaa", 0xFF, 0},                // 0xFF: parents only
        {7, u"x", 6, u"x", 0xFF, -1},
    };
    for (const Case &c : cases) {
        ByteVec r = catalogKey(c.recordParent, c.recordName), s = catalogKey(c.searchParent, c.searchName);
        EXPECT_EQ(compareKeys(Bytes{r.data(), r.size()}, Bytes{s.data(), s.size()}, 4, 0x100 | c.type), c.expected)
            << c.recordParent << " vs " << c.searchParent << " type " << int(c.type);
    }
    ByteVec a = attributeKey(20), b = attributeKey(21);
    EXPECT_EQ(compareKeys(Bytes{a.data(), a.size()}, Bytes{b.data(), b.size()}, 8, 0), 1);
    EXPECT_EQ(compareKeys(Bytes{b.data(), b.size()}, Bytes{a.data(), a.size()}, 8, 0), -1);
    EXPECT_EQ(compareKeys(Bytes{a.data(), a.size()}, Bytes{b.data(), b.size()}, 6, 0), 0);
}

TEST(SearchKey, DescendsToTheEqualLeafRecordOnly) {
    compareType = 0xCF;
    TinyTree t(1, {
                      {kIndexNode, {withChild(catalogKey(2, u""), 2), withChild(catalogKey(20, u""), 3)}},
                      {kLeafNode, {catalogKey(2, u""), catalogKey(2, u"a"), catalogKey(2, u"b")}},
                      {kLeafNode, {catalogKey(20, u""), catalogKey(20, u"x")}},
                  });
    struct Case {
        uint32_t parent;
        std::u16string name;
        std::optional<std::pair<uint32_t, uint16_t>> at;
    } cases[] = {
        {2, u"B", std::pair{2u, uint16_t{2}}}, {20, u"x", std::pair{3u, uint16_t{1}}},
        {20, u"", std::pair{3u, uint16_t{0}}}, {2, u"", std::pair{2u, uint16_t{0}}},
        {1, u"", std::nullopt},  // sorts before the root's first key
        {5, u"", std::nullopt},  // falls in leaf 2, no equal record
        {21, u"", std::nullopt},
    };
    testing::internal::CaptureStdout();
    for (const Case &c : cases) {
        auto found = find(t.tree, 4, catalogKey(c.parent, c.name));
        ASSERT_EQ(found.has_value(), c.at.has_value()) << c.parent;
        if (!found) continue;
        EXPECT_EQ(found->node, c.at->first);
        EXPECT_EQ(found->record, c.at->second);
        EXPECT_EQ(found->recordKey.be32(2), c.parent);
        EXPECT_EQ(found->treeType, 4u);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SearchKey, DamagedTreesEndWithAMessage) {
    compareType = 0xCF;
    ByteVec key = catalogKey(5, u"");
    struct Case {
        const char *what;
        TinyTree tree;
        std::string output;
    } cases[] = {
        {"index pointing at itself", TinyTree(1, {{kIndexNode, {withChild(catalogKey(1, u""), 1)}}}),
         "Search abandoned after 32 levels: the index of the tree loops\n"},
        {"root beyond totalNodes", TinyTree(2, {{kLeafNode, {catalogKey(5, u"")}}}),
         "exiting\nNode 2 is greater than # of nodes in the tree (2)\n"},
        {"header claims more nodes than loaded", TinyTree(7, {{kLeafNode, {catalogKey(5, u"")}}}, 100),
         "Node 7 lies outside the 1024 bytes loaded for the tree (node size 512)\n"},
        {"child beyond the loaded bytes", TinyTree(1, {{kIndexNode, {withChild(catalogKey(1, u""), 60)}}}, 100),
         "Node 60 lies outside the 1024 bytes loaded for the tree (node size 512)\n"},
        {"empty node", TinyTree(1, {{kLeafNode, {}}}), ""},
    };
    for (Case &c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(find(c.tree.tree, 4, key).has_value()) << c.what;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.what;
    }

    TinyTree corrupt(1, {{kLeafNode, {catalogKey(5, u"")}}});
    put16(corrupt.tree.bytes, 2 * kNode - 2, kNode + 1);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(find(corrupt.tree, 4, key).has_value());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Corrupt record offset for record 0 of node 1: 512\n");

    TinyTree huge(1, {{kLeafNode, {catalogKey(5, u"")}}});   // more records than the offset table can hold
    put16(huge.tree.bytes, kNode + 10, 0xFFFF);
    testing::internal::CaptureStdout();
    find(huge.tree, 4, catalogKey(0xFFFFFFFF, u""));   // sorts after whatever the table points at
    // Entry 250 of the table is the node's own record count, 0xFFFF: past the node.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Corrupt record offset for record 250 of node 1: 512\n");
}

TEST(SearchKey, AttributeSearchMatchesOnTheFileAlone) {
    TinyTree t(1, {{kLeafNode, {attributeKey(16), attributeKey(17), attributeKey(17), attributeKey(18)}}});
    auto found = find(t.tree, 8, attributeKey(17));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->record, 1);
}

TEST(Records, DataFollowsTheKeyAndKindsHaveNames) {
    ByteVec thread = catalogKey(2, u"");
    thread.insert(thread.end(), {0, 3, 0, 0, 0, 0, 0, 1});
    Bytes data = getRecordData(Bytes{thread.data(), thread.size()});
    EXPECT_EQ(data.data, thread.data() + 8);
    EXPECT_EQ(data.be16(0), 3);
    ByteVec bad = {0xFF, 0xFF, 0};
    EXPECT_TRUE(getRecordData(Bytes{bad.data(), bad.size()}).empty());
    EXPECT_STREQ(kindToText(-1), "leaf");
    EXPECT_STREQ(kindToText(2), "map");
    EXPECT_STREQ(kindToText(3), "?");
    EXPECT_STREQ(kindToText(-2), "?");
}

TEST(CatalogPath, FromThreadRecordsUpToTheRoot) {
    compareType = 0xCF;
    auto thread = [](uint32_t cnid, int16_t type, uint32_t parent, const std::u16string &name) {
        ByteVec data = {0, static_cast<uint8_t>(type), 0, 0};
        append32(data, parent);
        ByteVec counted = catalogKey(0, name);
        return concat(concat(catalogKey(cnid, u""), data), ByteVec(counted.begin() + 6, counted.end()));
    };
    TinyTree t(1, {{kLeafNode,
                    {thread(2, 3, 1, u"Vol"), thread(16, 3, 2, u"a/b"), thread(17, 3, 16, u"c\x1b"),
                     thread(30, 3, 31, u"x"), thread(31, 3, 30, u"y"), thread(40, 3, 41, u"w")}}});
    struct Case {
        ByteVec record;
        std::string path;
    } cases[] = {
        {concat(catalogKey(17, u"f"), {0, 2}), "/a:b/c\\x1b/f"},   // a stored '/' shows as ':'
        {concat(catalogKey(1, u"Vol"), {0, 1}), "/"},
        {thread(2, 3, 1, u"Vol"), "/"},
        {thread(50, 4, 16, u"g"), "/a:b/g"},
        {concat(catalogKey(30, u"z"), {0, 2}), "?/y/x/z (the chain of parent folders loops at CNID 30)"},
        {concat(catalogKey(40, u"z"), {0, 2}), "?/w/z (no folder thread record for CNID 41)"},
    };
    for (const Case &c : cases) EXPECT_EQ(catalogPath(&t.tree, Bytes{c.record.data(), c.record.size()}), c.path);
}
