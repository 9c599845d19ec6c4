// The structure of one B-tree checked against its header record: node kinds and heights, sibling
// links both ways, key order within and across nodes, the leaf count, the first and last leaf, and
// the node map against the nodes reachable from the root.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>

#include "base/messages.h"
#include "volume/btree_file.h"

// What a check found, a line each, said as found and counted for the summary. A note is said but
// not counted: what costs space but loses nothing (blocks marked used that nothing claims).
class Findings {
public:
    explicit Findings(Messages &messages) : messages_(messages) {}
    void add(const char *format, ...) __attribute__((format(printf, 2, 3)));
    void note(const char *format, ...) __attribute__((format(printf, 2, 3)));
    size_t count() const { return count_; }

private:
    void say(const char *prefix, const char *format, va_list arguments);
    Messages &messages_;
    size_t count_ = 0;
};

// Over indexes [0, count): each run of equal non-zero `state` is a finding, `say(state, first, last)`
// writing it; past `kMaxRuns` runs the rest are counted in one note ending in `what`.
constexpr int kMaxRuns = 20;
void reportRuns(uint64_t count, const std::function<int(uint64_t)> &state,
                const std::function<void(int state, uint64_t first, uint64_t last)> &say, const char *what,
                Findings &findings);

// `name` is how the findings name the tree ("catalog B-tree"); `compareType` how catalog names compare.
void checkTree(const BTree &tree, int treeType, uint8_t compareType, const char *name, Findings &findings);
