// catalog, extents, attributes: a tree's header record, and the tree dump and snapshot then read.
#include <cstdio>

#include "commands/tree_report.h"
#include "commands/commands.h"
#include "commands/session.h"

namespace {

void select(Session &session, BTree *tree, int type) {
    session.activeTree = tree;
    session.activeType = type;
}

}  // namespace

int doCatalog(Session &session, const char *) {
    BTree *tree = session.selectCatalog();
    if (!tree) {
        fprintf(stderr, "Can't read catalog B-Tree. This is odd. Is the filesystem corrupt?\n");
        return 1;
    }
    dumpBTree(tree, "catalog");
    return 0;
}

int doExtents(Session &session, const char *) {
    BTree *tree = session.volume->extents();
    if (!tree) {
        fprintf(stderr, "The volume has no extents overflow B-Tree that could be read\n");
        return 1;
    }
    dumpBTree(tree, "extents");
    select(session, tree, kExtentsTree);
    return 0;
}

int doAttrs(Session &session, const char *) {
    Volume &volume = *session.volume;
    BTree *tree = volume.attributes();
    if (!tree && forkTotalBlocks(volume.header().fork(kAttributesForkOffset)) == 0) {
        fprintf(stderr, "The volume has no attributes file\n");
        return 0;
    }
    if (!tree) {
        Messages messages;
        tree = volume.reloadTree(kAttributesTree, messages);
        messages.print();
    }
    if (!tree) {
        fprintf(stderr, "This is peculiar: I can't get the attribute B-Tree. Some DMGs don't have any\n");
        return 1;
    }
    dumpBTree(tree, "attributes");
    select(session, tree, kAttributesTree);
    return 0;
}
