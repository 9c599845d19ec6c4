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
#include <thread>

#include "hfsbuild/containers.h"
#include "hfsbuild/hfsbuild.h"
#include "support.h"
#include "volume/bits.h"

namespace {

using ByteVec = std::vector<uint8_t>;
using namespace hfsbuild;

constexpr size_t kHeader = 1024;   // the volume header's place in the volume
constexpr size_t kAllocationFork = 112, kExtentsFork = 192, kCatalogFork = 272, kAttributesFork = 352;
constexpr uint32_t kAll32 = 0xFFFFFFFF;
constexpr uint64_t kLwvmVolumeOffset = 0x1000;
const std::string kMemoryLimit = "--as=" + std::to_string(768ull << 20);

// The files pulled by the script land in /tmp under these names, and are removed after each run.
const std::vector<std::string> kPulledNames{"tw-sweep-notes.txt", "tw-sweep-big.bin", "tw-sweep-inline.txt",
                                            "tw-sweep-fork.bin", "tw-sweep-hard", "tw-sweep-lzvn.bin",
                                            "tw-sweep-lzfse.bin"};

Node file(const std::string &path, ByteVec data, uint32_t compression = 0) {
    Node node;
    node.path = path;
    node.data = std::move(data);
    node.compression = compression;
    return node;
}

Volume sweepVolume(bool hfsx) {
    Volume v;
    v.label = "Sweep";
    v.hfsx = hfsx;
    if (!hfsx) {   // small nodes: a catalog with index nodes and several leaves
        v.blockSize = 512;
        v.catalogNodeSize = v.attributesNodeSize = 512;
    }
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
    return v;
}

std::string script() {
    std::string s = "color\nvolinfo\nls\nls -@Oh\ncd docs\nls -@Oh\npull tw-sweep-notes.txt\ncd ..\ncd tw-sweep-link\n"
                    "ls\ncd /\npull docs/tw-sweep-big.bin\npull tw-sweep-inline.txt\npull tw-sweep-fork.bin\n"
                    "pull tw-sweep-hard\npull tw-sweep-lzvn.bin\npull tw-sweep-lzfse.bin\ncd /many\nls -h\ncd -\nsearch tw-sweep-notes.txt\nsearch entry-7\n";
    for (int id = 1; id <= 40; ++id) s += "search " + std::to_string(id) + "\n";
    for (int n = 0; n <= 12; ++n) s += "dump " + std::to_string(n) + "\n";
    s += "catalog\ndump\nattributes\ndump\ndump 1\ndump 2\nextents\ndump\ndump 1\nsnapshot\n";
    for (int id = 16; id <= 30; ++id) s += "search " + std::to_string(id) + "\n";
    return s + "snapshot\ncatalog\nxml\nls\ndump 1\nxml\nalloc\nvolinfo\n";
}

// ---- where things lie in a built volume ----

uint32_t be32(const ByteVec &v, size_t at) { return at + 4 <= v.size() ? Bytes{v.data(), v.size()}.be32(at) : 0; }
uint16_t be16(const ByteVec &v, size_t at) { return at + 2 <= v.size() ? Bytes{v.data(), v.size()}.be16(at) : 0; }
void put16(ByteVec &v, size_t at, uint16_t x) { if (at + 2 <= v.size()) putBE16(v, at, x); }
void put32(ByteVec &v, size_t at, uint32_t x) { if (at + 4 <= v.size()) putBE32(v, at, x); }
void put64(ByteVec &v, size_t at, uint64_t x) { put32(v, at, static_cast<uint32_t>(x >> 32)), put32(v, at + 4, static_cast<uint32_t>(x)); }

struct Tree {
    size_t base = 0;             // byte offset of node 0 in the volume (the builder writes one extent)
    uint16_t nodeSize = 512;
    uint32_t totalNodes = 0;
    size_t node(uint32_t n) const { return base + size_t{n} * nodeSize; }
};

Tree treeIn(const ByteVec &v, size_t forkOffset) {
    Tree t;
    t.base = size_t{be32(v, kHeader + forkOffset + 16)} * be32(v, kHeader + 40);
    t.nodeSize = be16(v, t.base + 32);
    t.totalNodes = be32(v, t.base + 36);
    return t;
}

// Used nodes of one kind (-1 leaf, 0 index), in node order.
std::vector<uint32_t> nodesOfKind(const ByteVec &v, const Tree &t, int8_t kind) {
    std::vector<uint32_t> nodes;
    for (uint32_t n = 1; n < t.totalNodes && t.node(n + 1) <= v.size(); ++n)
        if (static_cast<int8_t>(v[t.node(n) + 8]) == kind && be16(v, t.node(n) + 10) > 0) nodes.push_back(n);
    return nodes;
}

// Byte offsets of every leaf record of a tree, and of the data that follows each key.
struct Record {
    size_t key, data;
};

std::vector<Record> leafRecords(const ByteVec &v, const Tree &t) {
    std::vector<Record> records;
    for (uint32_t n : nodesOfKind(v, t, -1))
        for (uint16_t r = 0; r < be16(v, t.node(n) + 10); ++r) {
            size_t key = t.node(n) + be16(v, t.node(n) + t.nodeSize - 2 * (r + 1));
            records.push_back({key, key + 2 + be16(v, key)});
        }
    return records;
}

std::vector<Record> catalogRecordsOfType(const ByteVec &v, uint16_t type) {
    std::vector<Record> all = leafRecords(v, treeIn(v, kCatalogFork)), chosen;
    for (const Record &r : all)
        if (be16(v, r.data) == type) chosen.push_back(r);
    return chosen;
}

// ---- the corruptions ----

struct Damage {
    std::string name;
    std::function<void(ByteVec &)> apply;
};

void addField(std::vector<Damage> &list, const std::string &name, size_t offset, int width,
              std::initializer_list<uint64_t> values) {
    for (uint64_t value : values)
        list.push_back({name + "=" + std::to_string(value), [=](ByteVec &v) {
                            if (width == 2) put16(v, offset, static_cast<uint16_t>(value));
                            if (width == 4) put32(v, offset, static_cast<uint32_t>(value));
                            if (width == 8) put64(v, offset, value);
                        }});
}

// Fields of the volume header: block size and counts, and the forks of the three files read.
void headerDamages(std::vector<Damage> &list) {
    addField(list, "blockSize", kHeader + 40, 4, {0, 1, 513, 0x80000000, kAll32});
    addField(list, "totalBlocks", kHeader + 44, 4, {0, kAll32});
    for (auto [fork, name] : {std::pair{kAllocationFork, "allocation"}, {kExtentsFork, "extents"}, {kCatalogFork, "catalog"},
                              {kAttributesFork, "attributes"}}) {
        std::string f = name;
        addField(list, f + ".logicalSize", kHeader + fork, 8, {0, ~0ull});
        addField(list, f + ".totalBlocks", kHeader + fork + 12, 4, {0, 1, kAll32});
        addField(list, f + ".startBlock", kHeader + fork + 16, 4, {0, 1, kAll32});
        addField(list, f + ".blockCount", kHeader + fork + 20, 4, {0, kAll32});
    }
}

// A change to a tree found in the volume being damaged.
Damage inTree(const std::string &name, size_t forkOffset, std::function<void(ByteVec &, const Tree &)> change) {
    return {name, [=](ByteVec &v) { change(v, treeIn(v, forkOffset)); }};
}

Damage treeField(const std::string &name, size_t forkOffset, size_t offset, int width, uint32_t value) {
    return inTree(name + "=" + std::to_string(value), forkOffset, [=](ByteVec &v, const Tree &t) {
        if (width == 1 && t.base + offset < v.size()) v[t.base + offset] = static_cast<uint8_t>(value);
        if (width == 2) put16(v, t.base + offset, static_cast<uint16_t>(value));
        if (width == 4) put32(v, t.base + offset, value);
    });
}

// In the first node of a kind (if any): a change given the node's byte offset.
Damage inNode(const std::string &name, size_t forkOffset, int8_t kind, std::function<void(ByteVec &, const Tree &, size_t)> change) {
    return inTree(name, forkOffset, [=](ByteVec &v, const Tree &t) {
        std::vector<uint32_t> nodes = nodesOfKind(v, t, kind);
        if (!nodes.empty()) change(v, t, t.node(nodes.front()));
    });
}

// Header record fields, node descriptors, links that loop, index pointers, record offsets, keys.
void treeDamages(std::vector<Damage> &list, size_t fork, const std::string &tree) {
    struct Field {
        const char *name;
        size_t offset;
        int width;
        std::vector<uint32_t> values;
    } fields[] = {
        {"depth", 14, 2, {0, 0xFFFF}},
        {"root", 16, 4, {0, 1, kAll32}},
        {"firstLeaf", 24, 4, {0, kAll32}},
        {"nodeSize", 32, 2, {0, 1, 14, 256, 1024, 0xFFFF}},
        {"totalNodes", 36, 4, {0, 1, kAll32}},
        {"btreeType", 50, 1, {1, 0xFF}},
        {"keyCompare", 51, 1, {0, 0xBC, 0xFF}},
        {"headerKind", 8, 1, {0, 0xFF}},
        {"headerRecords", 10, 2, {0, 0xFFFF}},
    };
    for (const Field &f : fields)
        for (uint32_t value : f.values) list.push_back(treeField(tree + "." + f.name, fork, f.offset, f.width, value));
    // The first leaf: forward links into loops and past the tree, record counts and offsets.
    auto leaf = [&](const std::string &name, std::function<void(ByteVec &, const Tree &, size_t)> change) {
        list.push_back(inNode(tree + ".leaf." + name, fork, -1, change));
    };
    leaf("fLinkSelf", [](ByteVec &v, const Tree &t, size_t at) { put32(v, at, static_cast<uint32_t>((at - t.base) / t.nodeSize)); });
    leaf("fLinkHeader", [](ByteVec &v, const Tree &, size_t at) { put32(v, at, 0); });
    leaf("fLinkFar", [](ByteVec &v, const Tree &, size_t at) { put32(v, at, kAll32); });
    leaf("numRecordsHuge", [](ByteVec &v, const Tree &, size_t at) { put16(v, at + 10, 0xFFFF); });
    leaf("kindIndex", [](ByteVec &v, const Tree &, size_t at) { v[at + 8] = 0; });
    leaf("kindMap", [](ByteVec &v, const Tree &, size_t at) { v[at + 8] = 2; });
    leaf("kindOdd", [](ByteVec &v, const Tree &, size_t at) { v[at + 8] = 0x80; });
    for (uint16_t offset : {0, 13, 0xFFFF}) {
        leaf("offset0=" + std::to_string(offset), [offset](ByteVec &v, const Tree &t, size_t at) { put16(v, at + t.nodeSize - 2, offset); });
    }
    leaf("offset0=end", [](ByteVec &v, const Tree &t, size_t at) { put16(v, at + t.nodeSize - 2, static_cast<uint16_t>(t.nodeSize - 1)); });
    leaf("offsetsAllFirst", [](ByteVec &v, const Tree &t, size_t at) {
        for (uint16_t r = 0; r < be16(v, at + 10); ++r) put16(v, at + t.nodeSize - 2 * (r + 1), 14);
    });
    leaf("keyLengthHuge", [](ByteVec &v, const Tree &t, size_t at) { put16(v, at + be16(v, at + t.nodeSize - 2), 0xFFFF); });
    leaf("keyLengthZero", [](ByteVec &v, const Tree &t, size_t at) { put16(v, at + be16(v, at + t.nodeSize - 2), 0); });
    // Every leaf links back to the first: a cycle through the whole chain, also under a header
    // that claims 2^32 nodes, which must not make the walk that long.
    for (uint32_t claimed : {0u, kAll32})
        list.push_back(inTree(tree + ".leaf.cycle.totalNodes=" + std::to_string(claimed), fork, [claimed](ByteVec &v, const Tree &t) {
            std::vector<uint32_t> leaves = nodesOfKind(v, t, -1);
            for (uint32_t n : leaves) put32(v, t.node(n), leaves.front());
            if (claimed) put32(v, t.base + 36, claimed);
        }));
    // Index records: children that point at their own node, the header, past the tree, a leaf's parent.
    for (uint32_t child : {0u, 1u, kAll32}) {
        list.push_back(inNode(tree + ".index.child=" + std::to_string(child), fork, 0, [child](ByteVec &v, const Tree &t, size_t at) {
            size_t key = at + be16(v, at + t.nodeSize - 2);
            put32(v, key + 2 + be16(v, key), child);
        }));
    }
    list.push_back(inNode(tree + ".index.childSelf", fork, 0, [](ByteVec &v, const Tree &t, size_t at) {
        for (uint16_t r = 0; r < be16(v, at + 10); ++r) {
            size_t key = at + be16(v, at + t.nodeSize - 2 * (r + 1));
            put32(v, key + 2 + be16(v, key), static_cast<uint32_t>((at - t.base) / t.nodeSize));
        }
    }));
    list.push_back(inNode(tree + ".index.kindLeaf", fork, 0, [](ByteVec &v, const Tree &, size_t at) { v[at + 8] = 0xFF; }));
    list.push_back(inNode(tree + ".index.numRecordsHuge", fork, 0, [](ByteVec &v, const Tree &, size_t at) { put16(v, at + 10, 0xFFFF); }));
    list.push_back(inTree(tree + ".leaves.numRecordsZero", fork, [](ByteVec &v, const Tree &t) {
        for (uint32_t n : nodesOfKind(v, t, -1)) put16(v, t.node(n) + 10, 0);
    }));
}

// A change to every catalog record of a type, at an offset into its data.
Damage everyRecord(const std::string &name, uint16_t type, std::function<void(ByteVec &, const Record &)> change) {
    return {name, [=](ByteVec &v) {
                for (const Record &r : catalogRecordsOfType(v, type)) change(v, r);
            }};
}

void recordDamages(std::vector<Damage> &list) {
    constexpr uint16_t kFolder = 1, kFile = 2, kFolderThread = 3;
    for (size_t fork : {88, 168})   // data and resource forks of files
        for (std::pair<size_t, uint64_t> change : {std::pair<size_t, uint64_t>{0, ~0ull}, {12, kAll32}, {16, kAll32}, {20, kAll32}, {16, 0}}) {
            auto [field, value] = change;
            std::string name = "files.fork" + std::to_string(fork) + "+" + std::to_string(field) + "=" + std::to_string(value);
            list.push_back(everyRecord(name, kFile, [fork, change](ByteVec &v, const Record &r) {
                if (change.first == 0)
                    put64(v, r.data + fork, change.second);
                else
                    put32(v, r.data + fork + change.first, static_cast<uint32_t>(change.second));
            }));
        }
    list.push_back(everyRecord("files.linkTarget=huge", kFile, [](ByteVec &v, const Record &r) { put32(v, r.data + 44, kAll32); }));
    list.push_back(everyRecord("files.type=folder", kFile, [](ByteVec &v, const Record &r) { put16(v, r.data, kFolder); }));
    list.push_back(everyRecord("folders.id=root", kFolder, [](ByteVec &v, const Record &r) { put32(v, r.data + 8, 2); }));
    list.push_back(everyRecord("folders.id=huge", kFolder, [](ByteVec &v, const Record &r) { put32(v, r.data + 8, kAll32); }));
    list.push_back(everyRecord("folders.type=file", kFolder, [](ByteVec &v, const Record &r) { put16(v, r.data, kFile); }));
    list.push_back(everyRecord("threads.nameLength=huge", kFolderThread, [](ByteVec &v, const Record &r) { put16(v, r.data + 8, 0xFFFF); }));
    list.push_back(everyRecord("threads.parent=self", kFolderThread, [](ByteVec &v, const Record &r) { put32(v, r.data + 4, be32(v, r.key + 2)); }));
    list.push_back({"keys.nameLength=300", [](ByteVec &v) {
                        for (const Record &r : leafRecords(v, treeIn(v, kCatalogFork))) put16(v, r.key + 6, 300);
                    }});
    // Attribute records: sizes past the node, other record types, decmpfs headers that lie.
    auto everyAttribute = [&](const std::string &name, std::function<void(ByteVec &, const Record &)> change) {
        list.push_back({"attributes." + name, [=](ByteVec &v) {
                            for (const Record &r : leafRecords(v, treeIn(v, kAttributesFork))) change(v, r);
                        }});
    };
    everyAttribute("size=huge", [](ByteVec &v, const Record &r) { put32(v, r.data + 12, kAll32); });
    everyAttribute("type=fork", [](ByteVec &v, const Record &r) { put32(v, r.data, 0x20); });
    everyAttribute("nameLength=huge", [](ByteVec &v, const Record &r) { put16(v, r.key + 12, 0xFFFF); });
    everyAttribute("decmpfs.size=huge", [](ByteVec &v, const Record &r) { put32(v, r.data + 16 + 8, kAll32); });
    everyAttribute("decmpfs.size=0", [](ByteVec &v, const Record &r) { put64(v, r.data + 16 + 8, 0); });
    for (uint32_t type : {3u, 4u, 7u, 8u, 10u, 11u, 12u})   // every payload read as every codec
        everyAttribute("decmpfs.type=" + std::to_string(type),
                       [type](ByteVec &v, const Record &r) { put32(v, r.data + 16 + 4, type << 24); });
    everyAttribute("secAcl.count=huge", [](ByteVec &v, const Record &r) { put32(v, r.data + 16 + 36, kAll32); });
}

// Seeded bit flips in a region [from, from + length) of whatever is being damaged.
void flipDamages(std::vector<Damage> &list, const std::string &name, std::function<std::pair<size_t, size_t>(const ByteVec &)> region,
                 int count, uint32_t seed) {
    for (int i = 0; i < count; ++i)
        list.push_back({name + ".flips" + std::to_string(i), [=](ByteVec &v) {
                            std::mt19937 random(seed + static_cast<uint32_t>(i));
                            auto [from, length] = region(v);
                            if (length == 0) return;
                            for (int k = 0; k <= i % 4; ++k) {
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

std::pair<size_t, size_t> treeRegion(const ByteVec &v, size_t fork) {
    Tree t = treeIn(v, fork);
    return {t.base, std::min<size_t>(size_t{t.totalNodes} * t.nodeSize, v.size() - std::min(v.size(), t.base))};
}

std::vector<Damage> volumeDamages() {
    std::vector<Damage> list;
    headerDamages(list);
    treeDamages(list, kCatalogFork, "catalog");
    treeDamages(list, kAttributesFork, "attributes");
    treeDamages(list, kExtentsFork, "extents");
    recordDamages(list);
    flipDamages(list, "header", [](const ByteVec &) { return std::pair<size_t, size_t>{kHeader, 512}; }, 12, 100);
    flipDamages(list, "catalog", [](const ByteVec &v) { return treeRegion(v, kCatalogFork); }, 24, 200);
    flipDamages(list, "attributes", [](const ByteVec &v) { return treeRegion(v, kAttributesFork); }, 16, 300);
    flipDamages(list, "extents", [](const ByteVec &v) { return treeRegion(v, kExtentsFork); }, 16, 350);
    flipDamages(list, "anywhere", [](const ByteVec &v) { return std::pair<size_t, size_t>{0, v.size()}; }, 8, 400);
    truncations(list, "volume");
    return list;
}

// ---- the containers ----

struct Wrapper {
    std::string name;
    std::function<ByteVec(const ByteVec &)> wrap;
    std::vector<std::string> env = {};
};

const std::vector<Wrapper> &wrappers() {
    static const std::vector<Wrapper> list{
        {"bare", [](const ByteVec &v) { return v; }},
        {"img4", [](const ByteVec &v) { return wrapIMG4(v); }},
        {"gpt", [](const ByteVec &v) { return buildGpt(macGpt(v)); }},
        {"apm", [](const ByteVec &v) { return buildApm(macApm(v)); }},
        {"lwvm", [](const ByteVec &v) {
             LwvmOptions options;
             options.volumeOffset = kLwvmVolumeOffset;
             return lwvmImage(v, options);
         }, {"PARTOFF=0x1000"}},
        {"udif", [](const ByteVec &v) {
             UdifOptions options;
             options.chunkSectors = 64;
             return buildUdif(v, options);
         }},
        {"udif-lzfse-lzma", [](const ByteVec &v) {
             UdifOptions options;
             options.chunkSectors = 64;
             options.encoding = [](uint64_t chunk, std::span<const uint8_t>) { return chunk % 2 ? udif::kLzma : udif::kLzfse; };
             return buildUdif(v, options);
         }},
    };
    return list;
}

// Damage done to the container file itself: its first and last sectors, and its length.
std::vector<Damage> fileDamages() {
    std::vector<Damage> list;
    flipDamages(list, "file.start", [](const ByteVec &v) { return std::pair<size_t, size_t>{0, std::min<size_t>(v.size(), 4096)}; }, 8, 500);
    flipDamages(list, "file.end", [](const ByteVec &v) {
        size_t length = std::min<size_t>(v.size(), 4096);
        return std::pair<size_t, size_t>{v.size() - length, length};
    }, 8, 600);
    truncations(list, "file");
    return list;
}

// ---- running ----

bool binaryHasASan() {
    static const bool asan = [] {
        ByteVec binary = readWholeFile(TARNWICK_BIN);
        std::string_view text(reinterpret_cast<const char *>(binary.data()), binary.size());
        return text.find("__asan_init") != std::string_view::npos;
    }();
    return asan;
}

RunResult runLimited(const std::string &image, const std::vector<std::string> &env) {
    std::vector<std::string> argv{"timeout", "-k", "5", binaryHasASan() ? "60" : "10"};
    if (!binaryHasASan()) argv.insert(argv.end(), {"prlimit", kMemoryLimit, "--"});
    argv.insert(argv.end(), {TARNWICK_BIN, image});
    std::vector<std::string> environment{"TZ=UTC", "-ORLODEBUG", "-PARTOFF"};
    environment.insert(environment.end(), env.begin(), env.end());
    return runCommand(argv, script(), environment);
}

// One damaged image; a failure keeps the image in the scratch folder and names it.
struct Job {
    std::string name;
    const Wrapper *wrapper;
    std::function<ByteVec()> image;
};

void check(const Job &job, int worker) {
    ByteVec image = job.image();
    std::string path = writeScratch("sweep" + std::to_string(worker) + ".img", image);
    RunResult r = runLimited(path, job.wrapper->env);
    for (const std::string &pulled : kPulledNames) unlink(("/tmp/" + pulled).c_str());
    bool sanitizer = r.err.find("runtime error") != std::string::npos || r.err.find("Sanitizer") != std::string::npos;
    if (r.status == 0 && !sanitizer) return;
    std::string file = job.wrapper->name + "-" + job.name;
    std::replace(file.begin(), file.end(), '/', '_');
    std::string kept = writeScratch(file, image);
    ADD_FAILURE() << job.wrapper->name << " / " << job.name << ": status " << r.status
                  << (r.status == 124 ? " (timeout)" : "") << ", image kept as " << kept << "\n"
                  << r.err.substr(r.err.size() > 3000 ? r.err.size() - 3000 : 0);
}

// The pristine image, every stride-th volume damage (a third as many under ASan, which is slower)
// inside the wrapper, and the damage done to the wrapped file.
void addJobs(std::vector<Job> &jobs, const Volume &volume, const Wrapper &wrapper, size_t stride) {
    auto pristine = std::make_shared<const ByteVec>(buildVolume(volume));
    const Wrapper *w = &wrapper;
    jobs.push_back({"pristine", w, [=] { return w->wrap(*pristine); }});
    static const std::vector<Damage> onVolume = volumeDamages(), onFile = fileDamages();
    for (size_t i = 0; i < onVolume.size(); i += stride * (binaryHasASan() ? 3 : 1))
        jobs.push_back({onVolume[i].name, w, [=] {
                            ByteVec copy = *pristine;
                            onVolume[i].apply(copy);
                            return w->wrap(copy);
                        }});
    auto wrapped = std::make_shared<const ByteVec>(w->wrap(*pristine));
    for (const Damage &damage : onFile)
        jobs.push_back({damage.name, w, [=, &damage] {
                            ByteVec copy = *wrapped;
                            damage.apply(copy);
                            return copy;
                        }});
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
    for (bool hfsx : {false, true}) addJobs(jobs, sweepVolume(hfsx), wrappers()[0], 1);
    runJobs(jobs);
}

TEST(DamageSweep, Containers) {
    std::vector<Job> jobs;
    for (size_t w = 1; w < wrappers().size(); ++w) addJobs(jobs, sweepVolume(false), wrappers()[w], 5);
    runJobs(jobs);
}

// Every open of the image is read-only; whatever is opened for writing lies under /tmp.
TEST(DamageSweep, ImageOpenedReadOnlyAndOutputsUnderTmp) {
    if (!haveTool("strace")) GTEST_SKIP() << "strace is not installed (apt-get install strace)";
    for (const Wrapper &wrapper : wrappers()) {
        std::string image = writeScratch("traced-" + wrapper.name + ".img", wrapper.wrap(buildVolume(sweepVolume(false))));
        std::string log = scratchDir() + "/strace-" + wrapper.name + ".log";
        // LeakSanitizer cannot run under ptrace.
        std::vector<std::string> env{"TZ=UTC", "-ORLODEBUG", "-PARTOFF", "ASAN_OPTIONS=detect_leaks=0"};
        env.insert(env.end(), wrapper.env.begin(), wrapper.env.end());
        RunResult r = runCommand({"strace", "-f", "-qq", "-e", "trace=open,openat,creat", "-o", log, TARNWICK_BIN, image},
                                 script(), env);
        for (const std::string &pulled : kPulledNames) unlink(("/tmp/" + pulled).c_str());
        ASSERT_EQ(r.status, 0) << r.err;
        if (r.err.find("PTRACE") != std::string::npos) GTEST_SKIP() << "strace cannot trace here: " << r.err;
        ByteVec trace = readWholeFile(log);
        std::string text(trace.begin(), trace.end());
        size_t imageOpens = 0, writes = 0;
        for (size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            size_t quote = line.find('"');
            if (quote == std::string::npos || line.find(" = -1 ") != std::string::npos) continue;
            std::string path = line.substr(quote + 1, line.find('"', quote + 1) - quote - 1);
            bool writing = line.find("O_WRONLY") != std::string::npos || line.find("O_RDWR") != std::string::npos ||
                           line.find("O_CREAT") != std::string::npos || line.find("creat(") != std::string::npos;
            if (path == image) {
                ++imageOpens;
                EXPECT_FALSE(writing) << wrapper.name << ": " << line;
                EXPECT_NE(line.find("O_RDONLY"), std::string::npos) << wrapper.name << ": " << line;
            } else if (writing) {
                ++writes;
                EXPECT_TRUE(path.starts_with("/tmp/")) << wrapper.name << ": " << line;
            }
        }
        EXPECT_GT(imageOpens, 0u) << wrapper.name << "\n" << text;
        EXPECT_GT(writes, 0u) << wrapper.name << ": the script's outputs were not seen being written";
    }
}
