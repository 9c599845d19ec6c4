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

#include "base/output.h"
#include "base/utf.h"
#include "commands/tree_report.h"
#include "commands/node_dump.h"
#include "btree/search.h"
#include "commands/file_security.h"
#include "catalog/decmpfs.h"
#include "catalog/deleted.h"
#include "commands/listing.h"
#include "catalog/path.h"
#include "commands/record_dump.h"
#include "catalog/unicode.h"
#include "codecs/lzfse.h"
#include "codecs/lzvn.h"
#include "codecs/adc.h"
#include "image/apm.h"
#include "image/encrypted.h"
#include "image/gpt.h"
#include "image/lwvm.h"
#include "image/sparse.h"
#include "image/sparse_bundle.h"
#include "image/udif.h"
#include "shell/shell.h"
#include "volume/fork.h"
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

// The image `fd` as the shell reads one; it keeps a descriptor of its own.
inline std::shared_ptr<const Image> imageOf(int fd) { return std::make_shared<FileImage>(UniqueFd(dup(fd))); }

// A volume at `offset` in the image `fd`, opened as the shell opens one.
inline std::unique_ptr<Volume> openVolume(int fd, uint64_t offset = 0) {
    Messages messages;
    return Volume::open(imageOf(fd), offset, messages);
}

inline void putBE(std::vector<uint8_t> &out, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

// A volume around parts given alone, as the shell always has one: 512-byte blocks over `image`
// (its bytes 1024-1535 give way to the header), and `tree`, if any, after it as the volume's tree
// of type `treeType`, so that it is read as the shell reads one.
inline std::unique_ptr<Volume> standInVolume(Bytes image, int treeType = 0, Bytes tree = {}) {
    constexpr size_t kBlock = 512;
    auto blocks = [](size_t size) { return (size + kBlock - 1) / kBlock; };
    size_t treeBlock = std::max<size_t>(blocks(image.size), 16);   // the header is read with 8 KiB around it
    std::vector<uint8_t> bytes(image.data, image.data + image.size);
    bytes.resize((treeBlock + blocks(tree.size)) * kBlock);
    if (tree.size) std::copy(tree.data, tree.data + tree.size, bytes.begin() + static_cast<long>(treeBlock * kBlock));
    std::fill_n(bytes.begin() + kVolumeHeaderOffset, kVolumeHeaderSize, 0);
    size_t header = kVolumeHeaderOffset;
    std::copy_n("H+", 2, bytes.begin() + header);
    putBE(bytes, header + 2, 4, 2);
    putBE(bytes, header + 40, kBlock, 4);
    putBE(bytes, header + 44, bytes.size() / kBlock, 4);
    if (tree.size) {
        size_t fork = header + (treeType == kExtentsTree ? kExtentsForkOffset
                                : treeType == kCatalogTree ? kCatalogForkOffset
                                                           : kAttributesForkOffset);
        putBE(bytes, fork, blocks(tree.size) * kBlock, 8);
        putBE(bytes, fork + 12, blocks(tree.size), 4);
        putBE(bytes, fork + 16, treeBlock, 4);
        putBE(bytes, fork + 20, blocks(tree.size), 4);
    }
    return openVolume(inputFile(Bytes{bytes.data(), bytes.size()}));
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

inline void volumeOpen(Bytes in) { openVolume(inputFile(in)); }

// Header report and the node walks, in both trees' record layouts, plain and as XML with traces.
inline void btreeWalk(Bytes in) {
    auto volume = standInVolume(in);
    BTree tree = treeOf(in);
    dumpBTree(&tree, "fuzz");
    for (int pass = 0; pass < 2; ++pass) {
        int type = pass ? kAttributesTree : kCatalogTree;
        useXML = g_Debug = pass;
        RecordShow show = [&](Bytes record, int kind) { dumpRecord(*volume, record, kind, type, 0, 0); };
        walkNodes(&tree, tree.firstLeafNode(), 0, show, nullptr, true);
        walkNodes(&tree, tree.rootNode(), 0, show, [&](Bytes record, int kind, uint32_t, uint16_t) {
            return dumpRecord(*volume, record, kind, type, kRootFolderID, kListXattr | kListFinder);
        }, true);
        for (uint32_t n = 0; n < tree.totalNodes() && n < 64; ++n) readNode(&tree, n, 0, show);
    }
}

// Input: a counted key, then the tree.
inline void keySearch(Bytes in) {
    std::string key = prefixText(in);
    Bytes k{reinterpret_cast<const uint8_t *>(key.data()), key.size()};
    BTree tree = treeOf(in);
    Messages said;
    searchKey(&tree, 0, kCatalogTree, k, tree.keyCompareType(), said);
    searchKey(&tree, tree.firstLeafNode(), kAttributesTree, k, tree.keyCompareType(), said);
    searchKeyInOrder(&tree, kAttributesTree, k, compareAttributeKeysByName, said);
}

// Input: a selector byte (tree type, node kind, listing flags), then one record.
inline void recordDump(Bytes in) {
    auto volume = standInVolume(in);
    uint8_t selector = in.u8(0);
    Bytes record = in.from(1);
    int type = selector & 1 ? kAttributesTree : kCatalogTree;
    int kind = selector & 2 ? kIndexNode : kLeafNode;
    useXML = selector >> 7;
    dumpRecord(*volume, record, kind, type, selector & 4 ? record.be32(2) : 0, (selector >> 2) & 0x1F);
    if (isFileSecAttr(record)) dumpFileSecAttr(record);
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
    printStoredName(stdout, in, false);
    printStoredName(stdout, in, true);
    uint8_t name[kHFSUniStr255Size];
    unicodify(name, text);
    printStoredName(stdout, Bytes{name, sizeof name}, true);
}

// Input: a counted path, then a catalog tree, looked up from the root.
inline void path(Bytes in) {
    std::string typed = prefixText(in);
    Messages said;
    if (auto volume = standInVolume({}, kCatalogTree, in)) searchPath(*volume, kRootFolderID, typed, said);
}

// Input: a selector byte (odd: type 3), four bytes of size, then the compressed data.
// A first byte below 0x80 picks zlib (type 3 or 4), as the kept inputs expect; above, the others.
inline void decmpfs(Bytes in) {
    static const uint32_t kOthers[] = {1, 7, 8, 9, 10, 11, 12};
    uint8_t pick = in.u8(0);
    uint32_t type = pick & 0x80 ? kOthers[(pick & 0x7F) % 7] : pick & 1 ? kDecmpfsZlibAttribute : kDecmpfsZlibFork;
    // Sizes past 4 MiB only cost time zero-filling; the bounds they test are the same.
    Messages said;
    decmpfsDecompress(in.from(5), type, std::min<uint32_t>(in.be32(1), 4u << 20), said);
}

// File ID (4 bytes), fork type (1), a fork's 80-byte record, then an extents overflow tree: the
// fork is mapped through the tree's records, read by ranges, read whole and copied.
inline void overflow(Bytes in) {
    auto volume = standInVolume(in, kExtentsTree, in.from(5 + kForkDataSize));
    ForkOwner owner{in.be32(0), in.u8(4)};
    Bytes fork = in.sub(5, kForkDataSize);
    ForkMap map = volume->mapFork(fork, owner);
    std::vector<uint8_t> buffer(4096);
    for (uint64_t offset : {uint64_t{0}, uint64_t{700}, uint64_t{1} << 20})
        readMappedFork(map, volume->image(), offset, buffer.data(), buffer.size());
    Messages messages;
    readFork(*volume, fork, messages, nullptr, owner);
    UniqueFd sink(open("/dev/null", O_WRONLY));
    bool failed = false;
    copyFork(*volume, fork, owner, fork.be64(0), sink.get(), &failed, messages);
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

inline void run(Session &session, const std::string &line) { dispatchLine(session, line.c_str()); }

// Input: an image, opened as a volume for `alloc`.
inline void alloc(Bytes in) {
    Session session;
    session.volume = openVolume(inputFile(in));
    if (session.volume) run(session, "alloc");
}

inline void gpt(Bytes in) {
    std::vector<uint8_t> probe(kProbeSize, 0);
    std::copy(in.data, in.data + std::min(in.size, probe.size()), probe.begin());
    Bytes view{probe.data(), probe.size()};
    if (isGPT(view).empty()) return;
    uint64_t offset = 0;
    Messages said;
    validateGPTHeader(view, 1, in.size, &offset, said);
    validateGPTHeader(view, 0, 0, &offset, said);
}

// The volume is looked for 4096 bytes in, just past the map, and opened where it is found.
inline void lwvm(Bytes in) {
    setenv("PARTOFF", "0x1000", 1);
    uint64_t offset = 0;
    Messages said;
    if (std::optional<Probe> probe = openProbe(pathOf(inputFile(in)).c_str(), said))
        mountLwVM(*probe, &offset, [&](const Image &, uint64_t at) { return Volume::open(probe->image, at, said) != nullptr; }, said);
    unsetenv("PARTOFF");
}

inline void apm(Bytes in) {
    auto image = imageOf(inputFile(in));
    uint64_t offset = 0;
    Messages said;
    if (doAPM(*image, &offset, said) > 0) Volume::open(image, offset, said);
}

// The whole image, its trailer being its last 512 bytes: expanded, then read in place.
inline void udif(Bytes in) {
    if (in.size < kKolySize) return;
    for (bool inPlace : {false, true}) {
        std::unique_ptr<Volume> volume;
        Messages said;
        mountUDIF(imageOf(inputFile(in)), in.sub(in.size - kKolySize, kKolySize), UdifChoice{-1, inPlace},
                  [&](const std::shared_ptr<const Image> &image, uint64_t at) {
                      volume = Volume::open(image, at, said);
                      return volume != nullptr;
                  }, said);
    }
}

// A sparse image, read at its start and opened as a volume.
inline void sparseImage(Bytes in) {
    Messages said;
    std::unique_ptr<Image> image = openSparseImage(std::make_unique<FileImage>(UniqueFd(dup(inputFile(in)))), said);
    std::vector<uint8_t> buffer(1 << 16);
    if (image && image->readAt(buffer.data(), buffer.size(), 0) >= 0) Volume::open(std::move(image), 0, said);
}

// Input: Info.plist, a NUL, then the bytes of band 0, written to a bundle of this process's own.
inline void sparseBundle(Bytes in) {
    static const std::string folder = "/tmp/tarnwick-fuzz-" + std::to_string(getpid()) + ".sparsebundle";
    mkdir(folder.c_str(), 0700);
    mkdir((folder + "/bands").c_str(), 0700);
    size_t plist = static_cast<size_t>(std::find(in.data, in.data + in.size, 0) - in.data);
    for (auto [name, part] : {std::pair{"/Info.plist", in.sub(0, plist)}, std::pair{"/bands/0", in.from(plist + 1)}}) {
        UniqueFd fd(open((folder + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!writeFully(fd.get(), part.data, part.size)) abort();
    }
    Messages said;
    std::string token;
    if (std::unique_ptr<Image> image = openSparseBundle(folder, &token, said)) Volume::open(std::move(image), 0, said);
}

// An encrypted image. One whose key derivation is cheap is opened with the password of the seeds
// (so that mutations reach the data area past the key unwrap) and read whole.
inline void encrypted(Bytes in) {
    Messages said;
    std::optional<EncryptedHeader> header = parseEncryptedHeader(in, in.size, said);
    if (!header || header->iterations > 16) return;
    auto image = openEncrypted(std::make_unique<FileImage>(UniqueFd(dup(inputFile(in)))), "fuzz", said);
    std::vector<uint8_t> buffer(5000);   // across blocks of any size
    for (uint64_t at = 0; image && image->readAt(buffer.data(), buffer.size(), at) > 0; at += buffer.size()) {}
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

// A session with the input selected by `fs`, as a user would select it; no volume when that failed.
inline Session sessionOn(Bytes in) {
    Session session;
    run(session, "fs " + pathOf(inputFile(in)));
    return session;
}

// Pulls into /tmp/NAME only when nothing is there yet, and removes what it wrote.
inline void pullOnce(Session &session, const std::string &name) {
    std::string output = "/tmp/" + name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    struct stat st;
    if (name.empty() || lstat(output.c_str(), &st) == 0) return;
    run(session, "pull " + name);
    unlink(output.c_str());
}

constexpr size_t kMaxFolders = 16, kMaxEntries = 24, kMaxDepth = 4, kMaxDumpedNodes = 16;

inline void dumpNodes(Session &session) {
    run(session, "dump");
    const BTree *tree = session.activeTree;
    for (uint32_t n = 0; tree && n < tree->totalNodes() && n < kMaxDumpedNodes; ++n) run(session, "dump " + std::to_string(n));
}

// Input: an image. Opening it looks for unreplayed transactions; then the journal report and volinfo.
inline void journal(Bytes in) {
    Session session;
    session.volume = openVolume(inputFile(in));
    if (!session.volume) return;
    run(session, "journal");
    run(session, "volinfo");
}

// Input: an image. Its journal replayed in memory, the replayed view walked, then the view on disk;
// the deleted records of both.
inline void replay(Bytes in) {
    Session session;
    session.volume = openVolume(inputFile(in));
    if (!session.volume) return;
    for (const char *line : {"journal", "replay", "volinfo", "find / -m", "deleted", "journal", "replay off", "deleted -m", "ls"})
        run(session, line);
}

// Input: an image. `fs` on it, then a fixed script through the command dispatcher: listings,
// every folder and file reached (bounded), searches, node dumps of both trees, the reports.
inline void shell(Bytes in) {
    Session session = sessionOn(in);
    if (!session.volume) return;
    for (const char *line : {"color", "volinfo", "ls", "ls -@Oh"}) run(session, line);
    std::vector<std::string> folders{"/"}, names;
    for (size_t f = 0; f < folders.size() && f < kMaxFolders; ++f) {
        run(session, "cd " + folders[f]);
        run(session, "ls -@Oh");
        for (const FolderEntry &entry : folderEntries(*session.volume, session.cwdID, kMaxEntries, sayNow())) {
            std::string full = (folders[f] == "/" ? "" : folders[f]) + "/" + entry.name;
            names.push_back(entry.name);
            if (entry.folder) {
                if (std::count(full.begin(), full.end(), '/') <= static_cast<long>(kMaxDepth)) folders.push_back(full);
                continue;
            }
            pullOnce(session, entry.name);
            run(session, "cd " + entry.name);   // a symbolic link may lead to a folder
            run(session, "ls");
            run(session, "cd " + folders[f]);
        }
        run(session, "cd ..");
        run(session, "cd -");
    }
    run(session, "cd /");
    run(session, "catalog");
    for (int id = 1; id <= 40; ++id) run(session, "search " + std::to_string(id));
    for (size_t i = 0; i < names.size() && i < kMaxEntries; ++i) run(session, "search " + names[i]);
    dumpNodes(session);
    for (const char *line : {"xml", "dump 1", "ls", "xml", "attributes"}) run(session, line);
    dumpNodes(session);
    for (int id = 16; id <= 40; ++id) run(session, "search " + std::to_string(id));
    for (const char *line : {"snapshot", "catalog", "alloc", "volinfo", "check", "owner 0", "owner 40"}) run(session, line);
}

// Input: an image. find in every form from the root, then stat of the first CNIDs.
inline void findCommand(Bytes in) {
    Session session = sessionOn(in);
    if (!session.volume) return;
    for (const char *line : {"find", "find / -m", "find / -name *a* -type f", "find / -type l", "find #2 -type d"})
        run(session, line);
}

inline void statCommand(Bytes in) {
    Session session = sessionOn(in);
    if (!session.volume) return;
    for (int id = 1; id <= 48; ++id) run(session, "stat #" + std::to_string(id));
    run(session, "stat /");
}

// Input: an image. Directory hard links resolved every way: listed, entered, walked through, stat.
inline void folderLinks(Bytes in) {
    Session session = sessionOn(in);
    if (!session.volume) return;
    for (const char *line : {"ls /", "ls /B", "cd /A/sub/up/sub", "ls", "find / -m", "stat /B", "stat #20", "cd #21"})
        run(session, line);
}

// Input: an image. Its deleted records carved from the journal, node slack and free nodes, listed
// both ways, and the first few pulled by CNID.
inline void deletedCommand(Bytes in) {
    Session session;
    session.volume = openVolume(inputFile(in));
    if (!session.volume) return;
    run(session, "deleted");
    run(session, "deleted -m");
    Messages quiet;
    const std::vector<DeletedRecord> records = findDeletedRecords(*session.volume, quiet);
    for (size_t i = 0; i < records.size() && i < 4; ++i) {
        const std::string output = "/tmp/fuzz-deleted-" + std::to_string(records[i].cnid);
        struct stat st;
        if (lstat(output.c_str(), &st) == 0) continue;
        run(session, "pull #" + std::to_string(records[i].cnid) + " " + output);
        unlink(output.c_str());
    }
}

// Input: an image. The whole volume checked, then the owners of its first blocks and of a byte.
inline void checkCommand(Bytes in) {
    Session session;
    session.volume = openVolume(inputFile(in));
    if (!session.volume) return;
    for (const char *line : {"check", "owner 0", "owner 1", "owner 2", "owner 0x10", "owner -o 4096", "owner 40"}) run(session, line);
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
    {"journal", journal},         {"sparse_image", sparseImage}, {"sparse_bundle", sparseBundle},
    {"encrypted", encrypted},    {"folder_links", folderLinks}, {"replay", replay},
    {"deleted", deletedCommand}, {"check", checkCommand},
};

// Each input starts from the output switches a fresh process has (the shell's toggles are global).
inline void runSilenced(void (*harness)(Bytes), const uint8_t *data, size_t size) {
    Silenced quiet;
    g_Debug = g_Verbose = useXML = 0;
    g_Color = 1;
    harness(Bytes{data, size});
}

}  // namespace fuzz
