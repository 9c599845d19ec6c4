// dump (one node of the active tree) and snapshot (the whole tree to /tmp/snapshot.hfs).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <algorithm>

#include "commands/node_dump.h"
#include "commands/record_dump.h"
#include "commands/commands.h"
#include "commands/session.h"

namespace {

constexpr const char *kSnapshotPath = "/tmp/snapshot.hfs";

bool requireActiveTree(const Session &session) {
    if (session.activeTree) return true;
    fprintf(stderr, "No B-Tree selected. Use \"catalog\" or \"attributes\" to select, respectively\n");
    return false;
}

int snapshotBTree(const BTree *tree) {
    uint64_t size = static_cast<uint64_t>(tree->nodeSize()) * tree->totalNodes();
    if (size > tree->size()) {
        fprintf(stderr, "The header claims %llu bytes but %llu were loaded: writing what was loaded\n",
                static_cast<unsigned long long>(size), static_cast<unsigned long long>(tree->size()));
        size = tree->size();
    }
    UniqueFd fd = createOutputFile(kSnapshotPath, sayNow());
    long long written = -1;
    if (fd) {
        // Streamed a piece at a time: the tree is never held whole. Bytes no extent gives are zeros.
        std::vector<uint8_t> piece;
        bool ok = true;
        for (uint64_t at = 0; ok && at < size;) {
            piece.assign(std::min<uint64_t>(size - at, 1 << 20), 0);
            tree->read(at, piece.data(), piece.size());
            ok = writeFully(fd.get(), piece.data(), piece.size());
            at += piece.size();
        }
        written = ok ? static_cast<long long>(size) : -1;
    }
    if (fd && written < 0) {
        // A full disk leaves no partial snapshot that could pass for the tree.
        fprintf(stderr, "write: %s: %s: removed\n", kSnapshotPath, strerror(errno));
        unlink(kSnapshotPath);
    } else if (fd || errno != ELOOP) {
        fprintf(stderr, "Wrote %d bytes to %s\n", static_cast<int>(written), kSnapshotPath);
        if (written < 0) perror("write");
    }
    printf("Total num nodes: %ld\n", static_cast<long>(tree->totalNodes()));
    // A tree cut short is saved as far as it goes, and the command fails, as pull does.
    return written >= 0 && size == static_cast<uint64_t>(tree->nodeSize()) * tree->totalNodes() ? 0 : 1;
}

}  // namespace

int doDump(Session &session, const char *line) {
    if (!requireActiveTree(session)) return 1;
    const BTree *tree = session.activeTree;
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
    int type = session.activeType;
    const Volume &volume = *session.volume;
    uint32_t next = readNode(tree, node, 0, [&](Bytes record, int kind) { dumpRecord(volume, record, kind, type, 0, 0); });
    return loaded && next != kCorruptNode ? 0 : 1;
}

int doSnapshot(Session &session, const char *) {
    if (!requireActiveTree(session)) return 1;
    int type = session.activeType;
    fprintf(stderr, "Saving snapshot of %s B-Tree\n",
            type == kCatalogTree ? "catalog" : type == kExtentsTree ? "extents overflow" : "attribute");
    return snapshotBTree(session.activeTree);
}
