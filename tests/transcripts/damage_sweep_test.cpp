// Damaged images through the real binary with a script that touches every command: each must end
// in a clean exit, within a time limit and (without ASan) a memory limit, with no sanitizer
// report. A trace of the system calls shows the image opened only for reading.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "hfsbuild/encrypted.h"
#include "hfsbuild/sparse.h"
#include "hfsbuild/containers.h"
#include "hfsbuild/hfsbuild.h"
#include "hfsbuild/pending.h"
#include "support.h"
#include "base/bits.h"

namespace {

using ByteVec = std::vector<uint8_t>;
using namespace hfsbuild;

constexpr size_t kHeader = 1024;   // the volume header's place in the volume
constexpr size_t kCatalogFork = 272, kAttributesFork = 352, kExtentsFork = 192;
constexpr uint32_t kAll32 = 0xFFFFFFFF;
constexpr uint64_t kSelf = 1ull << 62, kEnd = 1ull << 61;   // a node's own number (or a key's parent); nodeSize - 1
const std::string kMemoryLimit = "--as=" + std::to_string(768ull << 20);

// The files pulled by the script land in /tmp under these names, and are removed after each run.
const std::vector<std::string> kPulledNames{"tw-sweep-notes.txt", "tw-sweep-big.bin", "tw-sweep-inline.txt", "tw-sweep-fork.bin",
                                            "tw-sweep-hard", "tw-sweep-lzvn.bin", "tw-sweep-lzfse.bin"};

Node file(const std::string &path, ByteVec data, uint32_t compression = 0) {
    Node node = fileNode(path, std::move(data));
    node.compression = compression;
    return node;
}

Volume sweepVolume(bool hfsx) {
    Volume v;
    v.label = "Sweep";
    v.hfsx = hfsx;
    if (!hfsx) v.blockSize = v.catalogNodeSize = v.attributesNodeSize = 512;   // index nodes and several leaves
    ByteVec big(9000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + i / 977);
    v.nodes.push_back(file("/docs/tw-sweep-notes.txt", {'n', 'o', 't', 'e', 's', '\n'}));
    v.nodes.push_back(file("/docs/tw-sweep-big.bin", big));
    v.nodes.back().extentBlocks = 1;   // 18 extents: ten in the overflow file
    Node secured = file("/tw-sweep-inline.txt", ByteVec(700, 'i'), 3);
    secured.attributes.push_back({"com.example.tag", {'t', 'a', 'g'}});
    secured.attributes.push_back({kSecurityAttribute, fileSecurity(Guid{1}, Guid{2}, {{Guid{3}, 1, 0x200000}})});
    v.nodes.push_back(secured);
    v.nodes.push_back(file("/tw-sweep-fork.bin", big, 4));
    v.nodes.push_back(file("/tw-sweep-lzvn.bin", big, 8));
    std::string phrase;
    while (phrase.size() < 3000) phrase += "an LZFSE stream inline, " + std::to_string(phrase.size() % 7);
    v.nodes.push_back(file("/tw-sweep-lzfse.bin", ByteVec(phrase.begin(), phrase.end()), 11));
    v.nodes.push_back(symlinkNode("/tw-sweep-link", "docs"));
    v.nodes.push_back(hardLinkNode("/tw-sweep-hard", "/docs/tw-sweep-notes.txt"));
    for (int i = 0; i < 30; ++i) v.nodes.push_back(file("/many/entry-" + std::to_string(i), {'x'}));
    v.nodes.push_back(folderLinkNode("/docs/many-again", "/many"));   // /many becomes a directory hard link too
    return v;
}

std::string script() {
    std::string s = "color\nvolinfo\nls\nls -@Oh\ncd docs\nls -@Oh\npull tw-sweep-notes.txt\ncd ..\ncd tw-sweep-link\n"
                    "ls\ncd /\npull docs/tw-sweep-big.bin\npull tw-sweep-inline.txt\npull tw-sweep-fork.bin\n"
                    "pull tw-sweep-hard\npull tw-sweep-lzvn.bin\npull tw-sweep-lzfse.bin\ncd /many\nls -h\ncd -\nsearch tw-sweep-notes.txt\nsearch entry-7\n"
                    "cd /docs/many-again\nls\ncd /\nstat /many\nfind / -m\n";
    for (int id = 1; id <= 40; ++id) s += "search " + std::to_string(id) + "\n";
    for (int n = 0; n <= 12; ++n) s += "dump " + std::to_string(n) + "\n";
    s += "catalog\ndump\nattributes\ndump\ndump 1\ndump 2\nextents\ndump\ndump 1\nsnapshot\n";
    for (int id = 16; id <= 30; ++id) s += "search " + std::to_string(id) + "\n";
    s += "check\nowner 0\nowner 40\nowner -o 30000\n";
    return s + "snapshot\ncatalog\nxml\nls\ndump 1\nxml\nalloc\nvolinfo\njournal\nreplay\nvolinfo\nfind / -m\ndeleted\nreplay off\ndeleted -m\n";
}

// ---- where a damage lands in a built volume ----

uint32_t be32(const ByteVec &v, size_t at) { return at + 4 <= v.size() ? Bytes{v.data(), v.size()}.be32(at) : 0; }
uint16_t be16(const ByteVec &v, size_t at) { return at + 2 <= v.size() ? Bytes{v.data(), v.size()}.be16(at) : 0; }

struct Tree {
    size_t base = 0;             // byte offset of node 0 in the volume (the builder writes one extent)
    uint16_t nodeSize = 512;
    uint32_t totalNodes = 0;
    size_t node(uint32_t n) const { return base + size_t{n} * nodeSize; }
};

Tree treeIn(const ByteVec &v, size_t forkOffset) {
    size_t base = size_t{be32(v, kHeader + forkOffset + 16)} * be32(v, kHeader + 40);
    return {base, be16(v, base + 32), be32(v, base + 36)};
}

// Where a change is made: the volume header, a tree's header node, the first leaf or index node
// (a negative offset counts from the node's end), every leaf, the first leaf's first key or all its
// record offsets, the child pointer of the first (or every) record of the first index node, or
// every leaf record's data or key (of a catalog record type, 0 for all).
enum Where { kVolume, kTreeHeader, kLeaf, kIndex, kLeaves, kLeafKey, kLeafSlots, kIndexChild, kIndexChildren, kRecData, kRecKey };

struct Change {
    Where where;
    int64_t offset;
    int width;
    uint64_t value;   // or kSelf, kEnd
    size_t fork = 0;
    uint16_t type = 0;
};

// Byte offsets of the change, each with what kSelf stands for there.
std::vector<std::pair<size_t, uint64_t>> spots(const ByteVec &v, const Change &c) {
    if (c.where == kVolume) return {{kHeader + c.offset, 0}};
    Tree t = treeIn(v, c.fork);
    if (c.where == kTreeHeader) return {{t.base + c.offset, 0}};
    std::vector<std::pair<size_t, uint64_t>> out;
    std::vector<uint32_t> nodes;   // used nodes of the kind, in node order
    bool index = c.where == kIndex || c.where == kIndexChild || c.where == kIndexChildren;
    for (uint32_t n = 1; n < t.totalNodes && t.node(n + 1) <= v.size(); ++n)
        if (static_cast<int8_t>(v[t.node(n) + 8]) == (index ? 0 : -1) && be16(v, t.node(n) + 10) > 0) nodes.push_back(n);
    if (nodes.size() > 1 && c.where != kLeaves && c.where != kRecData && c.where != kRecKey) nodes.resize(1);
    for (uint32_t n : nodes) {
        size_t at = t.node(n);
        auto slot = [&](uint16_t r) { return at + t.nodeSize - 2 * (r + 1); };
        auto key = [&](uint16_t r) { return at + be16(v, slot(r)); };
        auto data = [&](uint16_t r) { return key(r) + 2 + be16(v, key(r)); };
        uint16_t records = be16(v, at + 10);
        for (uint16_t r = 0; r < records; ++r) {
            if (c.where == kLeafSlots) out.push_back({slot(r), n});
            if (c.where == kIndexChildren || (c.where == kIndexChild && r == 0)) out.push_back({data(r), n});
            if ((c.where == kRecData || c.where == kRecKey) && (!c.type || be16(v, data(r)) == c.type))
                out.push_back({(c.where == kRecData ? data(r) : key(r)) + c.offset, be32(v, key(r) + 2)});
        }
        if (c.where == kLeafKey) out.push_back({key(0), n});
        if (c.where == kLeaf || c.where == kIndex || c.where == kLeaves)
            out.push_back({c.offset < 0 ? at + t.nodeSize + c.offset : at + c.offset, nodes.front()});
    }
    return out;
}

void apply(ByteVec &v, const Change &c) {
    for (auto [at, self] : spots(v, c)) {
        uint64_t x = c.value == kSelf ? self : c.value == kEnd ? treeIn(v, c.fork).nodeSize - 1 : c.value;
        for (int i = 0; i < c.width; ++i)
            if (at + c.width <= v.size()) v[at + i] = static_cast<uint8_t>(x >> 8 * (c.width - 1 - i));
    }
}

// ---- the corruptions ----

struct Damage { std::string name; std::function<void(ByteVec &)> apply; };

struct Row {
    std::string name;
    Where where;
    int64_t offset;
    int width;
    std::vector<uint64_t> values;
    uint16_t type = 0;
};

void addRows(std::vector<Damage> &list, const std::string &prefix, size_t fork, const std::vector<Row> &rows) {
    for (const Row &row : rows)
        for (uint64_t value : row.values) {
            Change c{row.where, row.offset, row.width, value, fork, row.type};
            std::string shown = value == kSelf ? "self" : value == kEnd ? "end" : std::to_string(value);
            list.push_back({prefix + row.name + "=" + shown, [c](ByteVec &v) { apply(v, c); }});
        }
}

constexpr uint64_t kHuge16 = 0xFFFF;

// Header record fields, node descriptors, links that loop, index pointers, record offsets, keys.
const std::vector<Row> kTreeRows{
    {"depth", kTreeHeader, 14, 2, {0, kHuge16}}, {"root", kTreeHeader, 16, 4, {0, 1, kAll32}},
    {"firstLeaf", kTreeHeader, 24, 4, {0, kAll32}}, {"nodeSize", kTreeHeader, 32, 2, {0, 1, 14, 256, 1024, kHuge16}},
    {"totalNodes", kTreeHeader, 36, 4, {0, 1, kAll32}}, {"btreeType", kTreeHeader, 50, 1, {1, 0xFF}},
    {"keyCompare", kTreeHeader, 51, 1, {0, 0xBC, 0xFF}}, {"headerKind", kTreeHeader, 8, 1, {0, 0xFF}},
    {"headerRecords", kTreeHeader, 10, 2, {0, kHuge16}},
    {"leaf.fLink", kLeaf, 0, 4, {kSelf, 0, kAll32}},   // into a loop, the header, past the tree
    {"leaf.numRecords", kLeaf, 10, 2, {kHuge16}}, {"leaf.kind", kLeaf, 8, 1, {0, 2, 0x80}},
    {"leaf.offset0", kLeaf, -2, 2, {0, 13, kHuge16, kEnd}}, {"leaf.offsetsAll", kLeafSlots, 0, 2, {14}},
    {"leaf.keyLength", kLeafKey, 0, 2, {kHuge16, 0}},
    {"leaves.cycle", kLeaves, 0, 4, {kSelf}},   // every leaf links back to the first
    {"index.child", kIndexChild, 0, 4, {0, 1, kAll32}}, {"index.childSelf", kIndexChildren, 0, 4, {kSelf}},
    {"index.kind", kIndex, 8, 1, {0xFF}}, {"index.numRecords", kIndex, 10, 2, {kHuge16}},
    {"leaves.numRecords", kLeaves, 10, 2, {0}},
};

constexpr uint16_t kFolder = 1, kFile = 2, kFolderThread = 3;

// Catalog records: forks of files past everything, types swapped, IDs and thread names that lie.
const std::vector<Row> kCatalogRecordRows{
    {"data.logicalSize", kRecData, 88, 8, {~0ull}, kFile}, {"rsrc.logicalSize", kRecData, 168, 8, {~0ull}, kFile},
    {"data.totalBlocks", kRecData, 88 + 12, 4, {kAll32}, kFile}, {"rsrc.totalBlocks", kRecData, 168 + 12, 4, {kAll32}, kFile},
    {"data.start0", kRecData, 88 + 16, 4, {0, kAll32}, kFile}, {"rsrc.start0", kRecData, 168 + 16, 4, {0, kAll32}, kFile},
    {"data.count0", kRecData, 88 + 20, 4, {kAll32}, kFile}, {"rsrc.count0", kRecData, 168 + 20, 4, {kAll32}, kFile},
    {"files.linkTarget", kRecData, 44, 4, {kAll32}, kFile}, {"files.type", kRecData, 0, 2, {kFolder}, kFile},
    {"folders.id", kRecData, 8, 4, {2, kAll32}, kFolder}, {"folders.type", kRecData, 0, 2, {kFile}, kFolder},
    {"threads.nameLength", kRecData, 8, 2, {kHuge16}, kFolderThread}, {"threads.type", kRecData, 0, 2, {0x7F}, kFolderThread},
    {"threads.parent", kRecData, 4, 4, {kSelf}, kFolderThread}, {"keys.nameLength", kRecKey, 6, 2, {300}},
};

// Attribute records: sizes past the node, other record types, decmpfs headers that lie, every
// payload read as every codec.
const std::vector<Row> kAttributeRecordRows{
    {"size", kRecData, 12, 4, {kAll32}}, {"type", kRecData, 0, 4, {0x20}}, {"nameLength", kRecKey, 12, 2, {kHuge16}},
    {"decmpfs.size", kRecData, 16 + 8, 4, {kAll32}}, {"decmpfs.size64", kRecData, 16 + 8, 8, {0}},
    {"decmpfs.type", kRecData, 16 + 4, 4, {3u << 24, 4u << 24, 7u << 24, 8u << 24, 10u << 24, 11u << 24, 12u << 24}},
    {"secAcl.count", kRecData, 16 + 36, 4, {kAll32}},
};

// Seeded bit flips in a region [from, from + length) of whatever is being damaged.
void flipDamages(std::vector<Damage> &list, const std::string &name, std::function<std::pair<size_t, size_t>(const ByteVec &)> region,
                 int count, uint32_t seed) {
    for (int i = 0; i < count; ++i)
        list.push_back({name + ".flips" + std::to_string(i), [=](ByteVec &v) {
                            std::mt19937 random(seed + static_cast<uint32_t>(i));
                            auto [from, length] = region(v);
                            for (int k = 0; length && k <= i % 4; ++k) {
                                size_t at = from + random() % length;
                                if (at < v.size()) v[at] ^= static_cast<uint8_t>(1u << (random() % 8));
                            }
                        }});
}

void truncations(std::vector<Damage> &list, const std::string &name) {
    for (int part : {1, 2, 3, 5, 7})
        list.push_back({name + ".truncated" + std::to_string(part) + "/8", [part](ByteVec &v) { v.resize(v.size() * part / 8); }});
    list.push_back({name + ".lastByteCut", [](ByteVec &v) { v.pop_back(); }});
}

std::vector<Damage> volumeDamages() {
    std::vector<Damage> list;
    addRows(list, "", 0, {{"blockSize", kVolume, 40, 4, {0, 1, 513, 0x80000000, kAll32}}, {"totalBlocks", kVolume, 44, 4, {0, kAll32}}});
    for (auto [fork, name] : {std::pair{112, "allocation"}, {kExtentsFork, "extents"}, {kCatalogFork, "catalog"}, {kAttributesFork, "attributes"}})
        addRows(list, std::string(name) + ".", 0,
                {{"logicalSize", kVolume, fork, 8, {0, ~0ull}}, {"totalBlocks", kVolume, fork + 12, 4, {0, 1, kAll32}},
                 {"startBlock", kVolume, fork + 16, 4, {0, 1, kAll32}}, {"blockCount", kVolume, fork + 20, 4, {0, kAll32}}});
    for (auto [fork, name] : {std::pair{kCatalogFork, "catalog"}, {kAttributesFork, "attributes"}, {kExtentsFork, "extents"}}) {
        addRows(list, std::string(name) + ".", fork, kTreeRows);
        // The cycle under a header that claims 2^32 nodes, which must not make the walk that long.
        Change cycle{kLeaves, 0, 4, kSelf, fork}, claim{kTreeHeader, 36, 4, kAll32, fork};
        list.push_back({std::string(name) + ".leaves.cycle.totalNodes=huge", [=](ByteVec &v) { apply(v, cycle), apply(v, claim); }});
        auto region = [at = fork](const ByteVec &v) {
            Tree t = treeIn(v, at);
            return std::pair<size_t, size_t>{t.base, std::min<size_t>(size_t{t.totalNodes} * t.nodeSize, v.size() - std::min(v.size(), t.base))};
        };
        flipDamages(list, name, region, fork == kCatalogFork ? 24 : 16, fork == kCatalogFork ? 200 : fork == kExtentsFork ? 350 : 300);
    }
    addRows(list, "catalog.", kCatalogFork, kCatalogRecordRows);
    addRows(list, "attributes.", kAttributesFork, kAttributeRecordRows);
    flipDamages(list, "header", [](const ByteVec &) { return std::pair<size_t, size_t>{kHeader, 512}; }, 12, 100);
    flipDamages(list, "anywhere", [](const ByteVec &v) { return std::pair<size_t, size_t>{0, v.size()}; }, 8, 400);
    truncations(list, "volume");
    return list;
}

// ---- the containers ----

struct Wrapper { std::string name; std::function<ByteVec(const ByteVec &)> wrap; std::vector<std::string> env = {}; };

ByteVec udif(const ByteVec &v, bool mixed) {
    UdifOptions options;
    options.chunkSectors = 64;
    if (mixed) options.encoding = [](uint64_t chunk, std::span<const uint8_t>) { return chunk % 2 ? udif::kLzma : udif::kLzfse; };
    return buildUdif(v, options);
}

const std::vector<Wrapper> kWrappers{
    {"bare", [](const ByteVec &v) { return v; }},
    {"img4", [](const ByteVec &v) { return wrapIMG4(v); }},
    {"gpt", [](const ByteVec &v) { return buildGpt(macGpt(v)); }},
    {"apm", [](const ByteVec &v) { return buildApm(macApm(v)); }},
    {"lwvm", [](const ByteVec &v) { return lwvmImage(v, LwvmOptions{.volumeOffset = 0x1000}); }, {"PARTOFF=0x1000"}},
    {"udif", [](const ByteVec &v) { return udif(v, false); }},
    {"udif-lzfse-lzma", [](const ByteVec &v) { return udif(v, true); }},
    {"udif-in-place", [](const ByteVec &v) { return udif(v, false); }, {"TARNWICK_IN_PLACE=1"}},
    {"sparseimage", [](const ByteVec &v) { return hfsbuild::buildSparseImage(buildGpt(macGpt(v)), {.sectorsPerBand = 16}); }},
    {"encrypted", [](const ByteVec &v) { return hfsbuild::encryptedImage(v, {.password = "pw", .iterations = 1, .blockSize = 512}); },
     {"TARNWICK_PASSWORD=pw"}},
};

// Damage done to the container file itself: its first and last sectors, and its length.
std::vector<Damage> fileDamages() {
    std::vector<Damage> list;
    auto edge = [](bool end) {
        return [end](const ByteVec &v) {
            size_t length = std::min<size_t>(v.size(), 4096);
            return std::pair<size_t, size_t>{end ? v.size() - length : 0, length};
        };
    };
    flipDamages(list, "file.start", edge(false), 8, 500);
    flipDamages(list, "file.end", edge(true), 8, 600);
    truncations(list, "file");
    return list;
}

// ---- running ----

// The script run on an image, under `prefix` (a time limit, a tracer); the pulled files removed.
RunResult runScript(std::vector<std::string> argv, const std::string &image, const std::vector<std::string> &env) {
    argv.insert(argv.end(), {TARNWICK_BIN, image});
    std::vector<std::string> environment{"TZ=UTC", "-ORLODEBUG", "-PARTOFF"};
    environment.insert(environment.end(), env.begin(), env.end());
    RunResult r = runCommand(argv, script(), environment);
    for (const std::string &pulled : kPulledNames) unlink(("/tmp/" + pulled).c_str());
    return r;
}

// One damaged image; a failure keeps the image in the scratch folder and names it.
struct Job { std::string name; const Wrapper *wrapper; std::function<ByteVec()> image; };

void check(const Job &job, int worker) {
    ByteVec image = job.image();
    std::vector<std::string> limits{"timeout", "-k", "5", binaryHasASan() ? "60" : "10"};
    if (!binaryHasASan()) limits.insert(limits.end(), {"prlimit", kMemoryLimit, "--"});
    RunResult r = runScript(limits, writeScratch("sweep" + std::to_string(worker) + ".img", image), job.wrapper->env);
    bool sanitizer = r.err.find("runtime error") != std::string::npos || r.err.find("Sanitizer") != std::string::npos;
    if (r.status == 0 && !sanitizer) return;
    std::string file = job.wrapper->name + "-" + job.name;
    std::replace(file.begin(), file.end(), '/', '_');
    ADD_FAILURE() << job.wrapper->name << " / " << job.name << ": status " << r.status << (r.status == 124 ? " (timeout)" : "")
                  << ", image kept as " << writeScratch(file, image) << "\n" << r.err.substr(r.err.size() > 3000 ? r.err.size() - 3000 : 0);
}

ByteVec damaged(ByteVec copy, const Damage &damage) {
    damage.apply(copy);
    return copy;
}

// The pristine image, every stride-th volume damage (a third as many under ASan, which is slower)
// inside the wrapper, and the damage done to the wrapped file.
void addJobs(std::vector<Job> &jobs, const Volume &volume, const Wrapper &wrapper, size_t stride) {
    auto pristine = std::make_shared<const ByteVec>(buildVolume(volume));
    const Wrapper *w = &wrapper;
    jobs.push_back({"pristine", w, [=] { return w->wrap(*pristine); }});
    static const std::vector<Damage> onVolume = volumeDamages(), onFile = fileDamages();
    for (size_t i = 0; i < onVolume.size(); i += stride * (binaryHasASan() ? 3 : 1))
        jobs.push_back({onVolume[i].name, w, [=] { return w->wrap(damaged(*pristine, onVolume[i])); }});
    auto wrapped = std::make_shared<const ByteVec>(w->wrap(*pristine));
    for (const Damage &damage : onFile) jobs.push_back({damage.name, w, [=, &damage] { return damaged(*wrapped, damage); }});
}

// Two at a time, except UDIF images: they all expand into the one /tmp/decompressed.dmg, so a
// single worker runs them.
void runJobs(const std::vector<Job> &jobs) {
    std::vector<const Job *> shared, firstOnly;
    for (const Job &job : jobs) (job.wrapper->name.starts_with("udif") ? firstOnly : shared).push_back(&job);
    std::atomic<size_t> next{0};
    auto worker = [&](int id) {
        if (id == 0)
            for (const Job *job : firstOnly) check(*job, id);
        for (size_t i; (i = next++) < shared.size();) check(*shared[i], id);
    };
    std::thread second(worker, 1);
    worker(0);
    second.join();
}

}  // namespace

// Every corruption of the plain volumes; a sample of them inside each container, with damage to
// the container itself.
TEST(DamageSweep, PlainVolumes) {
    std::vector<Job> jobs;
    for (bool hfsx : {false, true}) addJobs(jobs, sweepVolume(hfsx), kWrappers[0], 1);
    runJobs(jobs);
}

TEST(DamageSweep, Containers) {
    std::vector<Job> jobs;
    for (size_t w = 1; w < kWrappers.size(); ++w) addJobs(jobs, sweepVolume(false), kWrappers[w], 5);
    runJobs(jobs);
}

// A volume whose journal waits to be replayed, its journal damaged: the info block, the header,
// the first list (across the ring's end) and anywhere in it; cut short.
TEST(DamageSweep, PendingJournal) {
    constexpr size_t kInfo = 2 * 4096, kJournal = 3 * 4096, kFirstList = kJournal + 32000;   // as the builder lays it out
    auto pristine = std::make_shared<const ByteVec>(pendingJournal("little").before);
    std::vector<Damage> damages;
    for (auto [name, from, length] : {std::tuple{"info", kInfo, size_t{52}}, {"header", kJournal, size_t{48}},
                                      {"firstList", kFirstList, size_t{256}}, {"journal", kJournal, size_t{32768}}})
        flipDamages(damages, name, [from, length](const ByteVec &) { return std::pair{from, length}; }, 12, 700);
    truncations(damages, "pending");
    std::vector<Job> jobs{{"pristine", &kWrappers[0], [=] { return *pristine; }}};
    for (const Damage &damage : damages)
        jobs.push_back({damage.name, &kWrappers[0], [=] { return damaged(*pristine, damage); }});
    runJobs(jobs);
}

// Every open of the image is read-only; whatever is opened for writing lies under /tmp.
TEST(DamageSweep, ImageOpenedReadOnlyAndOutputsUnderTmp) {
    if (!haveTool("strace")) GTEST_SKIP() << "strace is not installed (apt-get install strace)";
    for (const Wrapper &wrapper : kWrappers) {
        std::string image = writeScratch("traced-" + wrapper.name + ".img", wrapper.wrap(buildVolume(sweepVolume(false))));
        std::string log = scratchDir() + "/strace-" + wrapper.name + ".log";
        std::vector<std::string> env = wrapper.env;
        env.push_back("ASAN_OPTIONS=detect_leaks=0");   // LeakSanitizer cannot run under ptrace
        RunResult r = runScript({"strace", "-f", "-qq", "-e", "trace=open,openat,creat", "-o", log}, image, env);
        ASSERT_EQ(r.status, 0) << r.err;
        if (r.err.find("PTRACE") != std::string::npos) GTEST_SKIP() << "strace cannot trace here: " << r.err;
        ByteVec trace = readWholeFile(log);
        std::istringstream lines(std::string(trace.begin(), trace.end()));
        size_t imageOpens = 0, writes = 0;
        for (std::string line; std::getline(lines, line);) {
            size_t quote = line.find('"');
            if (quote == std::string::npos || line.find(" = -1 ") != std::string::npos) continue;
            std::string path = line.substr(quote + 1, line.find('"', quote + 1) - quote - 1);
            bool writing = false;
            for (const char *mark : {"O_WRONLY", "O_RDWR", "O_CREAT", "creat("}) writing |= line.find(mark) != std::string::npos;
            if (path == image) {
                ++imageOpens;
                EXPECT_TRUE(!writing && line.find("O_RDONLY") != std::string::npos) << wrapper.name << ": " << line;
            } else if (writing) {
                ++writes;
                EXPECT_TRUE(path.starts_with("/tmp/")) << wrapper.name << ": " << line;
            }
        }
        EXPECT_GT(imageOpens, 0u) << wrapper.name;
        EXPECT_GT(writes, 0u) << wrapper.name << ": the script's outputs were not seen being written";
    }
}

// Each damage the sweep makes to the volume's structures (random bit flips aside: most land in
// record fields, node free space and header fields no check judges) is a finding of `check` that
// names the damaged structure. The compare type of the extents and attributes trees, and of an
// HFS Plus catalog, orders nothing: no reader judges it, so neither does check.
TEST(DamageSweep, CheckNamesEachDamage) {
    for (bool hfsx : {false, true}) {
        const ByteVec pristine = buildVolume(sweepVolume(hfsx));
        for (const Damage &d : volumeDamages()) {
            const std::string tree = d.name.substr(0, d.name.find_first_of(".="));
            ByteVec bad = damaged(pristine, d);
            if (d.name.find(".flips") != std::string::npos || bad == pristine ||
                (d.name.find(".keyCompare=") != std::string::npos && (tree != "catalog" || !hfsx)))
                continue;
            RunResult r = runCommand({TARNWICK_BIN, "-c", "check", writeScratch("checked.img", bad)}, "", {"TZ=UTC"});
            // A damaged file record is named by the file's fork.
            const std::regex named(tree == "catalog" ? "catalog|fork" : tree == "attributes" ? "attribute" :
                                   tree == "extents" || tree == "allocation" ? tree : "volume header");
            EXPECT_EQ(r.status, 1) << d.name;
            EXPECT_TRUE(std::regex_search(r.out, named)) << (hfsx ? "HFSX " : "") << d.name << ":\n" << r.out;
        }
    }
}
