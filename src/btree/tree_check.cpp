#include "btree/tree_check.h"

#include <cstdarg>
#include <string>
#include <vector>

#include "base/output.h"
#include "btree/records.h"
#include "btree/search.h"
#include "volume/leaf_cursor.h"
#include "volume/overflow.h"

void Findings::say(const char *prefix, const char *format, va_list arguments) {
    char line[1024];
    vsnprintf(line, sizeof line, format, arguments);
    messages_.out("%s%s\n", prefix, line);
}

void Findings::add(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    say("", format, arguments);
    va_end(arguments);
    ++count_;
}

void Findings::note(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    say("note: ", format, arguments);
    va_end(arguments);
}

void reportRuns(uint64_t count, const std::function<int(uint64_t)> &state,
                const std::function<void(int, uint64_t, uint64_t)> &say, const char *what, Findings &findings) {
    uint64_t runs = 0;
    for (uint64_t i = 0; i < count;) {
        int s = state(i);
        uint64_t last = i;
        while (last + 1 < count && state(last + 1) == s) ++last;
        if (s != 0 && runs++ < kMaxRuns) say(s, i, last);
        i = last + 1;
    }
    if (runs > kMaxRuns) findings.note("... and %llu more runs of %s", static_cast<unsigned long long>(runs - kMaxRuns), what);
}

namespace {

constexpr int kUnjudged = 2;   // a comparison this order cannot make
constexpr uint8_t kBinaryOrder = 0xBC;

int sign(uint64_t a, uint64_t b) { return a < b ? -1 : a > b ? 1 : 0; }

bool plainASCII(Bytes catalogKey) {
    CatalogKeyView key{catalogKey};
    for (size_t i = 0; i < key.nameLength(); ++i)
        if (key.nameUnit(i) == 0 || key.nameUnit(i) >= 0x80) return false;
    return true;
}

// -1, 0 or 1 as key a sorts before, with or after key b in the tree's order.
int keyOrder(Bytes a, Bytes b, int treeType, uint8_t compareType) {
    if (treeType == kExtentsTree) {
        ExtentKeyView x{a}, y{b};
        if (int s = sign(x.fileID(), y.fileID())) return s;
        if (int s = sign(x.forkType(), y.forkType())) return s;
        return sign(x.startBlock(), y.startBlock());
    }
    if (treeType == kAttributesTree) {
        if (int s = compareAttributeKeysByName(a, b)) return s > 0 ? -1 : 1;
        return sign(AttributeKeyView{a}.startBlock(), AttributeKeyView{b}.startBlock());
    }
    // The case-folding order folds more than ASCII (and sorts NUL last): names outside it are not judged.
    if (compareType != kBinaryOrder && CatalogKeyView{a}.parentID() == CatalogKeyView{b}.parentID() &&
        (!plainASCII(a) || !plainASCII(b)))
        return kUnjudged;
    int s = compareCatalogKeys(a, b, compareType == kBinaryOrder ? compareType : 0xCF);
    return s > 0 ? -1 : s < 0 ? 1 : 0;
}

// Where the records of a node end: the free space's offset, or the offset table when that entry
// cannot be one (some writers leave it zero).
size_t recordsEnd(Bytes node) {
    const size_t table = 2 * (size_t{nodeNumRecords(node)} + 1);
    if (table > node.size) return 0;
    const size_t freeSpace = node.be16(node.size - table);
    return freeSpace >= kNodeDescriptorSize && freeSpace < node.size - table ? freeSpace : node.size - table;
}

// What is wrong with a record's key (`record` bounded to the record's bytes), or null: it must fit
// the record and hold the fields and name of the tree's keys.
const char *keyFault(Bytes record, int treeType) {
    if (record.size < 2 || size_t{record.be16(0)} + 2 > record.size) return "runs past the record";
    const size_t length = record.be16(0);
    if (treeType == kExtentsTree) return length == ExtentKeyView::kSize - 2 ? nullptr : "is not that of an extent key";
    const size_t needed = treeType == kCatalogTree ? 6 + 2 * size_t{CatalogKeyView{record}.nameLength()}
                                                   : AttributeKeyView::kNameOffset - 2 + 2 * size_t{AttributeKeyView{record}.nameLength()};
    return length < needed ? "is too short for its fields and name" : nullptr;
}

class TreeWalk {
public:
    TreeWalk(const BTree &tree, int treeType, uint8_t compareType, const char *name, Findings &findings)
        : tree_(tree), type_(treeType), compare_(compareType), name_(name), f_(findings),
          nodes_(tree.walkableNodes()), reachable_(nodes_, false) {}

    void run() {
        const uint64_t held = tree_.nodeSize() ? tree_.size() / tree_.nodeSize() : 0;
        if (held != tree_.totalNodes())
            f_.add("%s: the header counts %u nodes, the file holds %u", name_, tree_.totalNodes(),
                   static_cast<unsigned>(std::min<uint64_t>(held, UINT32_MAX)));
        if (nodes_ > 0) reachable_[0] = true;
        mapNodes();
        levels();
        mapBits();
    }

private:
    struct Pending {
        uint32_t node;
        HeldBytes parentKey;   // the index record that points to it
    };

    // The map nodes chained from the header node, marked as in use.
    void mapNodes() {
        uint32_t n = tree_.mapNode();
        HeldBytes header = tree_.node(0);
        appendMap(header.bytes, 2);
        for (uint32_t steps = 0; n != 0 && steps < nodes_; ++steps) {
            if (n >= nodes_ || reachable_[n]) {
                f_.add("%s: the map node chain leads to node %u, %s", name_, n, n >= nodes_ ? "outside the tree" : "met before");
                return;
            }
            reachable_[n] = true;
            HeldBytes node = tree_.node(n);
            if (nodeKind(node.bytes) != kMapNode) {
                f_.add("%s: node %u is in the map node chain but of kind %d", name_, n, nodeKind(node.bytes));
                return;
            }
            appendMap(node.bytes, 0);
            n = nodeFLink(node.bytes);
        }
    }

    // A map record ends where the next offset (the free space's) says: writers pad it otherwise.
    void appendMap(Bytes node, uint16_t index) {
        uint16_t offset = 0, end = 0;
        if (!recordOffset(node, index, &offset)) return;
        Bytes record = recordInNode(node, offset);
        if (recordOffset(node, index + 1, &end) && end > offset) record = record.sub(0, std::min<size_t>(end - offset, record.size));
        map_.insert(map_.end(), record.data, record.data + record.size);
    }

    void levels() {
        const uint32_t root = tree_.rootNode();
        const int depth = tree_.treeDepth();
        if (root == 0) {
            if (depth != 0 || tree_.leafRecords() != 0 || tree_.firstLeafNode() != 0 || tree_.lastLeafNode() != 0)
                f_.add("%s: no root node, yet the header gives depth %d, %u leaf records and leaves %u to %u", name_, depth,
                       tree_.leafRecords(), tree_.firstLeafNode(), tree_.lastLeafNode());
            return;
        }
        if (depth == 0 || depth > kMaxSearchLevels) {
            f_.add("%s: the header gives depth %d with root node %u", name_, depth, root);
            return;
        }
        std::vector<Pending> level{{root, {}}};
        uint64_t leafRecords = 0;
        uint32_t firstLeaf = 0, lastLeaf = 0;
        for (int height = depth; height >= 1 && !level.empty(); --height) {
            std::vector<Pending> next;
            uint32_t previous = 0;
            HeldBytes previousNode, previousKey;
            for (const Pending &p : level) {
                if (g_Interrupted) return;
                uint32_t n = p.node;
                if (n == 0 || n >= nodes_ || reachable_[n]) {
                    f_.add("%s: an index record points to node %u, %s", name_, n,
                           n == 0 || n >= nodes_ ? "outside the tree" : "reached before");
                    continue;
                }
                reachable_[n] = true;
                HeldBytes held = tree_.node(n);
                Bytes node = held.bytes;
                const int8_t wanted = height == 1 ? kLeafNode : kIndexNode;
                if (nodeKind(node) != wanted || node.u8(9) != height) {
                    f_.add("%s: node %u is of kind %d at height %u where kind %d at height %d belongs", name_, n, nodeKind(node),
                           node.u8(9), wanted, height);
                    continue;
                }
                if (nodeBLink(node) != previous)
                    f_.add("%s: node %u's backward link is %u, not %u", name_, n, nodeBLink(node), previous);
                if (!previousNode.empty() && nodeFLink(previousNode.bytes) != n)
                    f_.add("%s: node %u's forward link is %u, not %u", name_, previous, nodeFLink(previousNode.bytes), n);
                uint16_t sound = soundRecords(node);
                if (sound < nodeNumRecords(node))
                    f_.add("%s: node %u holds %u records, but the offset of record %u is damaged", name_, n,
                           nodeNumRecords(node), sound);
                if (sound == 0) f_.add("%s: node %u holds no records", name_, n);
                for (uint16_t r = 0; r < sound; ++r) {
                    uint16_t offset = 0, end = 0;
                    recordOffset(node, r, &offset);
                    if (r + 1 == sound || !recordOffset(node, r + 1, &end)) end = static_cast<uint16_t>(recordsEnd(node));
                    HeldBytes key{held.owner, recordInNode(node, offset)};
                    Bytes record = key.bytes.sub(0, end > offset ? end - offset : 0);
                    if (const char *fault = keyFault(record, type_)) {
                        f_.add("%s: node %u, record %u: its key length %u %s (%zu bytes)", name_, n, r, key.bytes.be16(0), fault,
                               record.size);
                        continue;
                    }
                    if (r == 0 && !p.parentKey.empty() && keyOrder(key.bytes, p.parentKey.bytes, type_, compare_) == -1)
                        f_.add("%s: node %u's first key sorts before the index key that points to it", name_, n);
                    if (!previousKey.empty()) {
                        int order = keyOrder(previousKey.bytes, key.bytes, type_, compare_);
                        if (order == 0 || order == 1)
                            f_.add("%s: node %u, record %u: key %s the key before it%s", name_, n, r,
                                   order == 0 ? "equals" : "sorts before", r == 0 ? " (the last of the node before)" : "");
                    }
                    previousKey = key;
                    if (height > 1) next.push_back({childNode(key.bytes), key});
                }
                if (height == 1) {
                    leafRecords += nodeNumRecords(node);
                    if (!firstLeaf) firstLeaf = n;
                    lastLeaf = n;
                }
                previous = n;
                previousNode = held;
            }
            if (!previousNode.empty() && nodeFLink(previousNode.bytes) != 0)
                f_.add("%s: node %u, the last at height %d, links forward to %u", name_, previous, height,
                       nodeFLink(previousNode.bytes));
            level = std::move(next);
        }
        if (leafRecords != tree_.leafRecords())
            f_.add("%s: the header counts %u leaf records, the leaves hold %llu", name_, tree_.leafRecords(),
                   static_cast<unsigned long long>(leafRecords));
        if (firstLeaf != tree_.firstLeafNode() || lastLeaf != tree_.lastLeafNode())
            f_.add("%s: the header gives leaves %u to %u, the tree's run from %u to %u", name_, tree_.firstLeafNode(),
                   tree_.lastLeafNode(), firstLeaf, lastLeaf);
    }

    void mapBits() {
        const uint64_t counted = std::min<uint64_t>(nodes_, uint64_t{map_.size()} * 8);
        if (counted < nodes_) f_.add("%s: the node map covers %llu of %u nodes", name_, static_cast<unsigned long long>(counted), nodes_);
        auto used = [&](uint64_t n) { return (map_[n / 8] >> (7 - n % 8)) & 1; };
        uint64_t free = 0;
        for (uint64_t n = 0; n < counted; ++n) free += !used(n);
        // Bits past the last node stand for nothing: a writer leaves them clear.
        uint64_t pastEnd = 0;
        for (uint64_t n = counted; n < uint64_t{map_.size()} * 8; ++n) pastEnd += used(n);
        if (pastEnd)
            f_.add("%s: the node map marks %llu nodes past the tree's last as used", name_, static_cast<unsigned long long>(pastEnd));
        if (counted == tree_.totalNodes() && free != tree_.freeNodes())
            f_.add("%s: the header counts %u free nodes, the map %llu", name_, tree_.freeNodes(), static_cast<unsigned long long>(free));
        reportRuns(counted, [&](uint64_t n) { return used(n) == reachable_[n] ? 0 : used(n) ? 1 : 2; },
                   [&](int state, uint64_t first, uint64_t last) {
                       f_.add("%s: node%s %llu%s%s %s", name_, first == last ? "" : "s", static_cast<unsigned long long>(first),
                              first == last ? "" : "-", first == last ? "" : std::to_string(last).c_str(),
                              state == 1 ? "marked used in the map but not in the tree" : "in the tree but marked free in the map");
                   },
                   "nodes the map and the tree disagree on", f_);
    }

    const BTree &tree_;
    const int type_;
    const uint8_t compare_;
    const char *name_;
    Findings &f_;
    const uint32_t nodes_;
    std::vector<bool> reachable_;
    std::vector<uint8_t> map_;
};

}  // namespace

void checkTree(const BTree &tree, int treeType, uint8_t compareType, const char *name, Findings &findings) {
    TreeWalk(tree, treeType, compareType, name, findings).run();
}
