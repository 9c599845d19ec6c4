#include "btree/dump.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "btree/node.h"
#include "volume/bits.h"
#include "volume/volume.h"

namespace {

constexpr const char *kSnapshotPath = "/tmp/snapshot.hfs";

bool requireActiveTree() {
    if (getActiveBTree()) return true;
    fprintf(stderr, "No B-Tree selected. Use \"catalog\" or \"attributes\" to select, respectively\n");
    return false;
}

}  // namespace

int doDump(const char *line) {
    if (!requireActiveTree()) return 1;
    const BTree *tree = getActiveBTree();
    const char *argument = strchr(line, ' ');
    uint32_t node = tree->firstLeafNode();
    const char *text = argument ? argument + strspn(argument, " ") : "";
    if (*text) {
        char *end = nullptr;
        long long number = strtoll(text, &end, 10);
        if (end == text || end[strspn(end, " ")] != 0) {
            fprintf(stderr, "dump: '%s' is not a node number\n", text);
            return 1;
        }
        // strtoll's overflow gives LLONG_MIN/MAX, out of range like any other; the message shows what was typed.
        if (number < 0 || number >= static_cast<long long>(tree->totalNodes())) {
            fprintf(stderr, "dump: node %.*s is out of range (the tree has %u nodes)\n", static_cast<int>(end - text), text,
                    tree->totalNodes());
            return 1;
        }
        node = static_cast<uint32_t>(number);
    }
    printf("Scanning: %s\n", argument ? argument : "(null)");
    printf("Leaf node:%d\n", node);
    bool loaded = !tree->node(node).empty();
    uint32_t next = readNode(tree, node, 0, getActiveBTreeType(), nullptr, 0, 0);
    return loaded && next != kCorruptNode ? 0 : 1;
}

int doSnapshot(const char *) {
    if (!requireActiveTree()) return 1;
    int type = getActiveBTreeType();
    fprintf(stderr, "Saving snapshot of %s B-Tree\n",
            type == kCatalogTree ? "catalog" : type == kExtentsTree ? "extents overflow" : "attribute");
    return snapshotBTree(getActiveBTree());
}

int snapshotBTree(const BTree *tree) {
    uint64_t size = static_cast<uint64_t>(tree->nodeSize()) * tree->totalNodes();
    if (size > tree->bytes.size()) {
        fprintf(stderr, "The header claims %llu bytes but %zu were loaded: writing what was loaded\n",
                static_cast<unsigned long long>(size), tree->bytes.size());
        size = tree->bytes.size();
    }
    UniqueFd fd = createOutputFile(kSnapshotPath);
    long long written = -1;
    if (fd) written = writeFully(fd.get(), tree->bytes.data(), size) ? static_cast<long long>(size) : -1;
    if (fd || errno != ELOOP) {
        fprintf(stderr, "Wrote %d bytes to %s\n", static_cast<int>(written), kSnapshotPath);
        if (written < 0) perror("write");
    }
    printf("Total num nodes: %ld\n", static_cast<long>(tree->totalNodes()));
    // A tree cut short is saved as far as it was loaded, and the command fails, as pull does.
    return written >= 0 && size == static_cast<uint64_t>(tree->nodeSize()) * tree->totalNodes() ? 0 : 1;
}
