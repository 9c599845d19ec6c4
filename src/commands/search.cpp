// search: a record by CNID (its thread, or one attribute), or every catalog record of a name.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/output.h"
#include "btree/records.h"
#include "btree/search.h"
#include "commands/record_dump.h"
#include "commands/commands.h"
#include "commands/session.h"

int doSearch(Session &session, const char *line) {
    const char *space = strchr(line, ' ');
    if (!space) {
        fprintf(stderr, "Search requires an argument\n");
        return 1;
    }
    int type = session.activeType;
    const Volume *volume = session.volume.get();
    BTree *tree = !volume ? nullptr : type == kCatalogTree ? volume->catalog() : type == kAttributesTree ? volume->attributes() : nullptr;
    if (!tree) {
        fprintf(stderr, "No B-Tree selected. Use \"catalog\" or \"attributes\" to select, respectively\n");
        return 1;
    }
    // A CNID is a number and nothing else: 123abc.txt is a name.
    char *end = nullptr;
    errno = 0;
    long long parsed = strtoll(space, &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    bool isNumber = end != space && *end == '\0' && errno == 0 && parsed >= INT32_MIN && parsed <= UINT32_MAX;
    int number = isNumber ? static_cast<int>(static_cast<uint32_t>(parsed)) : 0;
    if (number == 0) {
        if (searchFile(*volume, tree, space + 1) != 0) return 0;
        fprintf(stderr, "No record found for name '%s'\n", space + 1);
        return 1;
    }
    if (g_Debug)
        fprintf(stderr, "Searching for Catalog ID %d in %s\n", number, tree == volume->catalog() ? "catalog" : "attrs");
    auto id = static_cast<uint32_t>(number);
    std::optional<SearchResult> found;
    if (type == kCatalogTree)
        found = searchKey(tree, 0, type, CatalogKey(id).view(), volume->compareType(), sayNow());
    else
        found = searchKey(tree, 0, type, AttributeKey(id).view(), volume->compareType(), sayNow());
    if (!found) {
        fprintf(stderr, "No record found for CNID %d\n", number);
        return 1;
    }
    dumpRecord(*volume, found->recordKey, kLeafNode, type, 0, 0);
    printf("\n");
    return 0;
}
