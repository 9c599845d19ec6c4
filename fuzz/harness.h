// Fuzz harnesses: one entry per parser, shared by the libFuzzer targets (fuzz/target.cpp) and the
// regression tests that replay the inputs kept under tests/regressions/<target>/.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "btree/node.h"
#include "btree/record_dump.h"
#include "btree/records.h"
#include "btree/search.h"
#include "btree/xattr.h"
#include "catalog/alloc.h"
#include "catalog/decmpfs.h"
#include "catalog/ls.h"
#include "catalog/path.h"
#include "catalog/pull.h"
#include "base/utf.h"
#include "catalog/unicode.h"
#include "codecs/lzfse.h"
#include "codecs/lzvn.h"
#include "containers/adc.h"
#include "containers/apm.h"
#include "containers/gpt.h"
#include "containers/lwvm.h"
#include "containers/udif.h"
#include "shell/a.h"
#include "volume/fork.h"
#include "volume/overflow.h"
#include "volume/volume.h"

extern "C" void __sanitizer_set_report_fd(void *fd) __attribute__((weak));

namespace fuzz {

// Sends both streams to /dev/null while the program runs; sanitizer reports keep the real stderr.
class Silenced {
public:
    Silenced() {
        static const int reportFd = [] {
            int fd = dup(2);
            if (__sanitizer_set_report_fd) __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
            return fd;
        }();
        (void)reportFd;
        fflush(nullptr);
        out_ = dup(1);
        err_ = dup(2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~Silenced() {
        fflush(nullptr);
        dup2(out_, 1);
        dup2(err_, 2);
        close(out_);
        close(err_);
    }
    Silenced(const Silenced &) = delete;
    Silenced &operator=(const Silenced &) = delete;

private:
    int out_, err_;
};

// The input as a file: one memfd per process, refilled for each input.
inline int inputFile(Bytes in) {
    static const int fd = memfd_create("tarnwick-fuzz", 0);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, in.data, in.size, 0) != static_cast<ssize_t>(in.size)) abort();
    return fd;
}

inline std::string pathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The program's state as a fresh process has it.
inline void reset() {
    releaseVolumesForReuse();
    setCWD("/", kRootFolderID);
    g_Debug = g_Verbose = useXML = 0;
    g_Color = 1;
}

// A volume behind trees and records given alone, as the shell always has one: 512-byte blocks on
// the input itself, for the symbolic links whose targets listings read.
inline void standInVolume(Bytes in) {
    uint8_t header[kVolumeHeaderSize] = {};
    header[42] = 2;
    setActiveVH(header);
    setActiveFSDescriptor(open(pathOf(inputFile(in)).c_str(), O_RDONLY));
}

inline BTree treeOf(Bytes in) { return BTree{std::vector<uint8_t>(in.data, in.data + in.size)}; }

// A counted prefix: the first byte gives the length of the part that follows it.
inline std::string prefixText(Bytes &in) {
    size_t length = in.u8(0);
    Bytes text = in.from(1).sub(0, length);
    if (text.size != length) text = in.from(1);
    in = in.from(1 + text.size);
    return std::string(reinterpret_cast<const char *>(text.data), text.size);
}

inline void volumeOpen(Bytes in) {
    reset();
    openHFSPartitionInFd(inputFile(in), 0, 512);
    reset();
}

// Header report and the node walks, in both trees' record layouts, plain and as XML with traces.
inline void btreeWalk(Bytes in) {
    reset();
    standInVolume(in);
    BTree tree = treeOf(in);
    setCompareType(tree.keyCompareType());
    dumpBTree(&tree, "fuzz");
    for (int pass = 0; pass < 2; ++pass) {
        int type = pass ? kAttributesTree : kCatalogTree;
        useXML = g_Debug = pass;
        walkNodes(&tree, tree.firstLeafNode(), 0, type, nullptr, 0, 0, true);
        walkNodes(&tree, tree.rootNode(), 0, type, dumpRecord, kRootFolderID, kListXattr | kListFinder, true);
        for (uint32_t n = 0; n < tree.totalNodes() && n < 64; ++n) readNode(&tree, n, 0, type, nullptr, 0, 0);
    }
    reset();
}

// Input: a counted key, then the tree.
inline void keySearch(Bytes in) {
    reset();
    std::string key = prefixText(in);
    Bytes k{reinterpret_cast<const uint8_t *>(key.data()), key.size()};
    BTree tree = treeOf(in);
    setCompareType(tree.keyCompareType());
    searchKey(&tree, 0, kCatalogTree, k);
    searchKey(&tree, tree.firstLeafNode(), kAttributesTree, k);
    searchKeyInOrder(&tree, kAttributesTree, k, compareAttributeKeysByName);
    reset();
}

// Input: a selector byte (tree type, node kind, listing flags), then one record.
inline void recordDump(Bytes in) {
    reset();
    standInVolume(in);
    uint8_t selector = in.u8(0);
    Bytes record = in.from(1);
    int type = selector & 1 ? kAttributesTree : kCatalogTree;
    int kind = selector & 2 ? kIndexNode : kLeafNode;
    useXML = selector >> 7;
    dumpRecord(record, kind, type, selector & 4 ? record.be32(2) : 0, (selector >> 2) & 0x1F);
    if (isFileSecAttr(record)) dumpFileSecAttr(record);
    reset();
}

// Input: UTF-8 text, read again as host-order UTF-16 and as a stored name, and escaped.
inline void unicode(Bytes in) {
    std::string_view text(reinterpret_cast<const char *>(in.data), in.size);
    UTF16toUTF8(UTF8toUTF16(text));
    for (unsigned char c : xmlEscaped(text))
        if (c < 0x20 || c == 0x7F) abort();   // no control byte gets through
    std::u16string units(in.size / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(in.be16(2 * i));
    UTF8toUTF16(UTF16toUTF8(units));
    dumpUnicode(stdout, in, 0);
    dumpUnicode(stdout, in, 1);
    uint8_t name[kHFSUniStr255Size];
    unicodify(name, text);
    dumpUnicode(stdout, Bytes{name, sizeof name}, 1);
}

// Input: a counted path, then a catalog tree.
inline void path(Bytes in) {
    reset();
    std::string typed = prefixText(in);
    BTree tree = treeOf(in);
    setCompareType(tree.keyCompareType());
    searchPath(&tree, typed, kCatalogTree);
    reset();
}

// Input: a selector byte (odd: type 3), four bytes of size, then the compressed data.
// A first byte below 0x80 picks zlib (type 3 or 4), as the kept inputs expect; above, the others.
inline void decmpfs(Bytes in) {
    static const uint32_t kOthers[] = {1, 7, 8, 9, 10, 11, 12};
    uint8_t pick = in.u8(0);
    uint32_t type = pick & 0x80 ? kOthers[(pick & 0x7F) % 7] : pick & 1 ? kDecmpfsZlibAttribute : kDecmpfsZlibFork;
    // Sizes past 4 MiB only cost time zero-filling; the bounds they test are the same.
    decmpfsDecompress(in.from(5), type, std::min<uint32_t>(in.be32(1), 4u << 20));
}

// File ID (4 bytes), fork type (1), a fork's 80-byte record, then an extents overflow tree: the
// fork is mapped through the tree's records, read by ranges, read whole and copied.
inline void overflow(Bytes in) {
    reset();
    standInVolume(in);
    ForkOwner owner{in.be32(0), in.u8(4)};
    Bytes fork = in.sub(5, kForkDataSize);
    BTree tree = treeOf(in.from(5 + kForkDataSize));
    indexOverflowExtents(&tree);
    ForkMap map = mapFork(fork, 512, 0, owner);
    std::vector<uint8_t> buffer(4096);
    for (uint64_t offset : {uint64_t{0}, uint64_t{700}, uint64_t{1} << 20})
        readMappedFork(map, getActiveFS(), offset, buffer.data(), buffer.size());
    readFork(fork, getActiveVH(), getActiveFS(), 0, nullptr, owner);
    int sink = open("/dev/null", O_WRONLY);
    bool failed = false;
    copyFork(fork, getActiveVH(), getActiveFS(), 0, owner, fork.be64(0), sink, &failed);
    close(sink);
    reset();
}

// Capacity (16 bits), length of output already produced, then the stream, copied to its exact
// size so that an overread shows.
inline void lzvn(Bytes in) {
    std::vector<uint8_t> out(in.be16(0), 0xAA);
    size_t pos = std::min<size_t>(in.u8(2), out.size());
    Bytes stream = in.from(3);
    std::vector<uint8_t> input(stream.data, stream.data + stream.size);
    auto end = lzvnDecode(Bytes{input.data(), input.size()}, out.data(), pos, out.size());
    if (end && (*end < pos || *end > out.size())) abort();
}

// Capacity in units of 16 bytes (up to 1 MiB), then the stream.
inline void lzfse(Bytes in) {
    std::vector<uint8_t> out(static_cast<size_t>(in.be16(0)) * 16);
    Bytes stream = in.from(2);
    std::vector<uint8_t> input(stream.data, stream.data + stream.size);
    auto produced = lzfseDecode(Bytes{input.data(), input.size()}, out.data(), out.size());
    if (produced && *produced > out.size()) abort();
}

inline void alloc(Bytes in) {
    reset();
    std::string path = pathOf(inputFile(in));
    if (openHFSPartitionInFd(inputFile(in), 0, 512) == 0) {
        setActiveFSDescriptor(open(path.c_str(), O_RDONLY));
        doAlloc("alloc");
    }
    reset();
}

inline void gpt(Bytes in) {
    std::vector<uint8_t> probe(kProbeSize, 0);
    std::copy(in.data, in.data + std::min(in.size, probe.size()), probe.begin());
    Bytes view{probe.data(), probe.size()};
    if (isGPT(view).empty()) return;
    validateGPTHeader(view, 1, in.size);
    validateGPTHeader(view, 0, 0);
    setPartitionOffset(0);
}

// The volume is looked for 4096 bytes in, just past the map.
inline void lwvm(Bytes in) {
    reset();
    setenv("PARTOFF", "0x1000", 1);
    mountLwVM(pathOf(inputFile(in)).c_str());
    unsetenv("PARTOFF");
    reset();
}

inline void apm(Bytes in) {
    reset();
    int fd = inputFile(in);
    int blockSize = doAPM(fd);
    if (blockSize > 0) openHFSPartitionInFd(fd, 0, blockSize);
    reset();
}

// The whole image, its trailer being its last 512 bytes.
inline void udif(Bytes in) {
    reset();
    if (in.size >= kKolySize) {
        int fd = mountUDIF(inputFile(in), in.sub(in.size - kKolySize, kKolySize));
        if (fd >= 0) close(fd);
    }
    reset();
}

inline std::string base64(Bytes data) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < data.size; i += 3) {
        uint32_t group = data.u8(i) << 16 | data.u8(i + 1) << 8 | data.u8(i + 2);
        for (size_t k = 0; k < 4; ++k) text += k <= data.size - i ? digits[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return text;
}

inline void putBE(std::vector<uint8_t> &out, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

// Input: the image's sector count (8 bytes), a chunk count (1 byte), that many 40-byte chunk
// entries, then the data fork. The harness wraps them in a block table, property list and trailer,
// so that the fuzzer works on the chunks rather than on Base64.
inline std::vector<uint8_t> udifImage(Bytes in) {
    uint64_t sectors = in.be64(0);
    size_t chunks = in.u8(8);
    Bytes entries = in.from(9).sub(0, 40 * chunks);
    if (entries.size != 40 * chunks) chunks = 0;
    Bytes dataFork = in.from(9 + entries.size);
    std::vector<uint8_t> table(204 + entries.size, 0);
    std::copy(entries.data, entries.data + entries.size, table.begin() + 204);
    std::copy_n("mish", 4, table.begin());
    putBE(table, 4, 1, 4);
    putBE(table, 16, sectors, 8);
    putBE(table, 200, chunks, 4);
    std::string xml = "<plist><dict><key>blkx</key><array><dict><key>Name</key><string>disk image (Apple_HFS : 1)"
                      "</string><key>Data</key><data>" + base64(Bytes{table.data(), table.size()}) +
                      "</data></dict></array></dict></plist>";
    std::vector<uint8_t> image(dataFork.data, dataFork.data + dataFork.size);
    image.insert(image.end(), xml.begin(), xml.end());
    std::vector<uint8_t> koly(kKolySize, 0);
    std::copy_n("koly", 4, koly.begin());
    putBE(koly, 4, 4, 4);
    putBE(koly, 8, kKolySize, 4);
    putBE(koly, 32, dataFork.size, 8);
    putBE(koly, 216, dataFork.size, 8);
    putBE(koly, 224, xml.size(), 8);
    image.insert(image.end(), koly.begin(), koly.end());
    return image;
}

inline void udifChunks(Bytes in) {
    std::vector<uint8_t> image = udifImage(in);
    udif(Bytes{image.data(), image.size()});
}

// Input: two bytes of output capacity, then the codes.
inline void adc(Bytes in) {
    std::vector<uint8_t> out(in.be16(0));
    int produced = 0;
    Bytes codes = in.from(2);
    std::vector<uint8_t> input(codes.data, codes.data + codes.size);   // exact size, so overreads show
    adc_decompress(static_cast<int>(input.size()), input.data(), static_cast<int>(out.size()), out.data(), &produced);
    if (produced < 0 || static_cast<size_t>(produced) > out.size()) abort();
}

// ---- the whole shell ----

struct Entry {
    std::string name;
    bool folder;
};

// A record processor collecting the names of one folder's files and folders (option: its CNID).
inline uint32_t collectEntry(Bytes record, int kind, int, uint64_t context, int64_t folder) {
    if (kind != kLeafNode) return kNotThis;
    if (record.be32(2) != static_cast<uint32_t>(folder)) return kStop;
    int16_t type = static_cast<int16_t>(getRecordData(record).be16(0));
    if (type != kFolderRecord && type != kFileRecord) return kNotThis;
    Bytes name = record.from(6);
    std::u16string units;
    for (size_t i = 0; i < name.be16(0) && i < kMaxNameUnits; ++i) units += static_cast<char16_t>(name.be16(2 + 2 * i));
    reinterpret_cast<std::vector<Entry> *>(static_cast<uintptr_t>(context))->push_back({UTF16toUTF8(units), type == kFolderRecord});
    return kNotThis;
}

inline std::vector<Entry> entriesOfCWD() {
    std::vector<Entry> entries;
    uint8_t key[kCatalogKeyMax] = {};
    for (int i = 0; i < 4; ++i) key[2 + i] = static_cast<uint8_t>(getCWDID() >> (24 - 8 * i));
    const BTree *catalog = getCatalogBTree();
    if (auto thread = searchKey(catalog, 0, kCatalogTree, Bytes{key, sizeof key}))
        walkNodes(catalog, thread->node, thread->record, kCatalogTree, collectEntry,
                  static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&entries)), static_cast<int32_t>(getCWDID()));
    return entries;
}

inline void run(const std::string &line) { dispatchLine(line.c_str()); }

// Pulls into /tmp/NAME only when nothing is there yet, and removes what it wrote.
inline void pullOnce(const std::string &name) {
    std::string output = "/tmp/" + name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    struct stat st;
    if (name.empty() || lstat(output.c_str(), &st) == 0) return;
    run("pull " + name);
    unlink(output.c_str());
}

constexpr size_t kMaxFolders = 16, kMaxEntries = 24, kMaxDepth = 4, kMaxDumpedNodes = 16;

inline void dumpNodes() {
    run("dump");
    const BTree *tree = getActiveBTree();
    for (uint32_t n = 0; tree && n < tree->totalNodes() && n < kMaxDumpedNodes; ++n) run("dump " + std::to_string(n));
}

// Input: an image. Opening it looks for unreplayed transactions; then the journal report and volinfo.
inline void journal(Bytes in) {
    reset();
    int fd = inputFile(in);
    if (openHFSPartitionInFd(fd, 0, 512) == 0) {
        setActiveFSDescriptor(open(pathOf(fd).c_str(), O_RDONLY));
        run("journal");
        run("volinfo");
    }
    reset();
}

// Input: an image. `fs` on it, then a fixed script through the command dispatcher: listings,
// every folder and file reached (bounded), searches, node dumps of both trees, the reports.
inline void shell(Bytes in) {
    reset();
    run("fs " + pathOf(inputFile(in)));
    if (!getActiveVH()) {
        reset();
        return;
    }
    run("color");
    run("volinfo");
    run("ls");
    run("ls -@Oh");
    std::vector<std::string> folders{"/"}, names;
    for (size_t f = 0; f < folders.size() && f < kMaxFolders; ++f) {
        run("cd " + folders[f]);
        run("ls -@Oh");
        std::vector<Entry> entries = entriesOfCWD();
        for (size_t e = 0; e < entries.size() && e < kMaxEntries; ++e) {
            const Entry &entry = entries[e];
            std::string full = (folders[f] == "/" ? "" : folders[f]) + "/" + entry.name;
            names.push_back(entry.name);
            if (entry.folder) {
                if (std::count(full.begin(), full.end(), '/') <= static_cast<long>(kMaxDepth)) folders.push_back(full);
                continue;
            }
            pullOnce(entry.name);
            run("cd " + entry.name);   // a symbolic link may lead to a folder
            run("ls");
            run("cd " + folders[f]);
        }
        run("cd ..");
        run("cd -");
    }
    run("cd /");
    run("catalog");
    for (int id = 1; id <= 40; ++id) run("search " + std::to_string(id));
    for (size_t i = 0; i < names.size() && i < kMaxEntries; ++i) run("search " + names[i]);
    dumpNodes();
    run("xml");
    run("dump 1");
    run("ls");
    run("xml");
    run("attributes");
    dumpNodes();
    for (int id = 16; id <= 40; ++id) run("search " + std::to_string(id));
    run("snapshot");
    run("catalog");
    run("alloc");
    run("volinfo");
    reset();
}

// Input: an image. find in every form from the root, then stat of the first CNIDs.
inline void findCommand(Bytes in) {
    reset();
    run("fs " + pathOf(inputFile(in)));
    if (getActiveVH()) {
        for (const char *line : {"find", "find / -m", "find / -name *a* -type f", "find / -type l", "find #2 -type d"})
            run(line);
    }
    reset();
}

inline void statCommand(Bytes in) {
    reset();
    run("fs " + pathOf(inputFile(in)));
    for (int id = 1; getActiveVH() && id <= 48; ++id) run("stat #" + std::to_string(id));
    if (getActiveVH()) run("stat /");
    reset();
}

struct Target {
    const char *name;
    void (*run)(Bytes);
};

// Every harness, by the name of its fuzz target and of its folder of kept inputs.
inline const Target kTargets[] = {
    {"volume_open", volumeOpen}, {"btree_walk", btreeWalk}, {"key_search", keySearch},
    {"record_dump", recordDump}, {"unicode", unicode},      {"path", path},
    {"decmpfs", decmpfs},        {"alloc", alloc},          {"gpt", gpt},
    {"lwvm", lwvm},              {"apm", apm},              {"udif", udif},
    {"udif_chunks", udifChunks}, {"adc", adc},              {"shell", shell},
    {"lzvn", lzvn},              {"lzfse", lzfse},          {"overflow", overflow},
    {"find", findCommand},       {"stat", statCommand},
    {"journal", journal},
};

inline void runSilenced(void (*harness)(Bytes), const uint8_t *data, size_t size) {
    Silenced quiet;
    harness(Bytes{data, size});
}

}  // namespace fuzz
