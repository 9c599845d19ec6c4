// Writes the starting corpus of every fuzz target into DIR/corpus-<target>/, from images the
// builder makes: small volumes (512-byte blocks and nodes, so inputs stay short), HFSX, the demo
// volume, the containers around them, their B-trees, records and compressed forks.
#include <bzlib.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "hfsbuild/codecs.h"
#include "hfsbuild/containers.h"
#include "hfsbuild/encrypted.h"
#include "hfsbuild/hfsbuild.h"
#include "hfsbuild/hostile.h"
#include "hfsbuild/pending.h"
#include "hfsbuild/sparse.h"

namespace {

using ByteVec = std::vector<uint8_t>;
using namespace hfsbuild;

std::string g_root;

void seed(const std::string &target, const std::string &name, const ByteVec &bytes) {
    std::string dir = g_root + "/corpus-" + target;
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint64_t be(const ByteVec &v, size_t at, int width) {
    uint64_t x = 0;
    for (int i = 0; i < width; ++i) x = x << 8 | v.at(at + i);
    return x;
}

void appendBE(ByteVec &v, uint64_t x, int width) {
    for (int i = width - 1; i >= 0; --i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

ByteVec concat(ByteVec a, const ByteVec &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

ByteVec text(const std::string &s) { return ByteVec(s.begin(), s.end()); }

ByteVec counted(const ByteVec &part) { return concat(ByteVec{static_cast<uint8_t>(part.size())}, part); }

// The tree whose fork data lies at `forkOffset` of the header (one extent, as the builder writes).
ByteVec treeOf(const ByteVec &volume, size_t forkOffset) {
    uint64_t blockSize = be(volume, 1024 + 40, 4), fork = 1024 + forkOffset;
    uint64_t start = be(volume, fork + 16, 4) * blockSize, length = be(volume, fork, 8);
    return ByteVec(volume.begin() + static_cast<long>(start), volume.begin() + static_cast<long>(start + length));
}

// Every record of the tree's used nodes, each to the end of its node.
std::vector<ByteVec> recordsOf(const ByteVec &tree) {
    std::vector<ByteVec> records;
    if (tree.empty()) return records;
    size_t nodeSize = be(tree, 32, 2);
    for (size_t base = nodeSize; base + nodeSize <= tree.size(); base += nodeSize) {
        size_t count = be(tree, base + 10, 2);
        for (size_t r = 0; r < count && r < 64; ++r) {
            size_t offset = be(tree, base + nodeSize - 2 * (r + 1), 2);
            if (offset < nodeSize) records.emplace_back(tree.begin() + static_cast<long>(base + offset),
                                                        tree.begin() + static_cast<long>(base + nodeSize));
        }
    }
    return records;
}

ByteVec catalogKey(uint32_t parent, const std::u16string &name) {
    ByteVec key;
    appendBE(key, 6 + 2 * name.size(), 2);
    appendBE(key, parent, 4);
    appendBE(key, name.size(), 2);
    for (char16_t unit : name) appendBE(key, unit, 2);
    return key;
}

ByteVec attributeKey(uint32_t fileID, const std::u16string &name) {
    ByteVec key;
    appendBE(key, 12 + 2 * name.size(), 2);
    appendBE(key, 0, 2);
    appendBE(key, fileID, 4);
    appendBE(key, 0, 4);
    appendBE(key, name.size(), 2);
    for (char16_t unit : name) appendBE(key, unit, 2);
    return key;
}

ByteVec pattern(size_t size) {
    ByteVec data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i % 251 < 128 ? 'a' + i % 7 : i * 13);
    return data;
}

Volume smallVolume(bool hfsx) {
    Volume v;
    v.label = hfsx ? "Fuzz X" : "Fuzz";
    v.hfsx = hfsx;
    v.blockSize = 512;
    v.catalogNodeSize = v.attributesNodeSize = 512;
    v.nodes.push_back({.path = "/a/b/c.txt", .data = text("nested\n")});
    v.nodes.push_back({.path = "/a/big.bin", .data = pattern(5000), .extentBlocks = 1});   // overflow records
    Node attrs{.path = "/x.txt", .data = text("attributes\n")};
    attrs.attributes.push_back({"com.example.one", text("1")});
    attrs.attributes.push_back({kSecurityAttribute, fileSecurity(Guid{1}, Guid{2}, {{Guid{3}, 1, 0x200000}})});
    v.nodes.push_back(attrs);
    v.nodes.push_back(symlinkNode("/link", "a/b"));
    v.nodes.push_back(hardLinkNode("/a/hard", "/x.txt"));
    v.nodes.push_back({.path = "/z/inline.txt", .data = pattern(600), .compression = 3});
    v.nodes.push_back({.path = "/z/fork.bin", .data = pattern(70000), .compression = 4});
    v.nodes.push_back({.path = "/\xC3\xA9t\xC3\xA9/\xF0\x9F\x98\x80", .data = text("unicode\n")});
    for (int i = 0; i < 12; ++i) v.nodes.push_back({.path = "/many/file" + std::to_string(i), .data = text("x")});
    return v;
}

ByteVec deflated(const ByteVec &data) { return hfsbuild::zlibCompress(data); }

ByteVec bzipped(const ByteVec &data) {
    unsigned size = static_cast<unsigned>(data.size() + data.size() / 100 + 600);
    ByteVec out(size);
    BZ2_bzBuffToBuffCompress(reinterpret_cast<char *>(out.data()), &size,
                             const_cast<char *>(reinterpret_cast<const char *>(data.data())),
                             static_cast<unsigned>(data.size()), 9, 0, 0);
    out.resize(size);
    return out;
}

// The udif_chunks input (see fuzz::udifImage): sectors, chunk count, chunk entries, data fork.
ByteVec chunkInput(const ByteVec &disk, const std::vector<uint32_t> &types) {
    uint64_t sectors = (disk.size() + 511) / 512, per = (sectors + types.size() - 1) / types.size();
    ByteVec entries, fork;
    for (size_t i = 0; i < types.size(); ++i) {
        uint64_t first = i * per, count = std::min(per, sectors - std::min(sectors, first));
        ByteVec plain(count * 512, 0);
        for (uint64_t b = 0; b < plain.size() && first * 512 + b < disk.size(); ++b) plain[b] = disk[first * 512 + b];
        ByteVec data = types[i] == udif::kRaw    ? plain
                       : types[i] == udif::kZlib  ? deflated(plain)
                       : types[i] == udif::kBzip2 ? bzipped(plain)
                       : types[i] == udif::kAdc   ? adcCompress(plain)
                       : types[i] == udif::kLzfse ? lzfseEncode(plain)
                                                  : ByteVec{};
        appendBE(entries, types[i], 4);
        appendBE(entries, 0, 4);
        appendBE(entries, first, 8);
        appendBE(entries, count, 8);
        appendBE(entries, fork.size(), 8);
        appendBE(entries, data.size(), 8);
        fork = concat(fork, data);
    }
    ByteVec input;
    appendBE(input, sectors, 8);
    input.push_back(static_cast<uint8_t>(types.size()));
    return concat(concat(input, entries), fork);
}

// A decmpfs resource fork: header, block table, zlib blocks of 64 KiB.
ByteVec resourceFork(const ByteVec &content) {
    std::vector<ByteVec> blocks;
    for (size_t at = 0; at < content.size(); at += 65536)
        blocks.push_back(deflated(ByteVec(content.begin() + static_cast<long>(at),
                                          content.begin() + static_cast<long>(std::min(content.size(), at + 65536)))));
    blocks.push_back(concat(ByteVec{0xFF}, text("stored")));
    ByteVec fork(0x100 + 8 + 8 * blocks.size(), 0);
    fork[2] = 0x01;
    auto le32 = [&](size_t at, uint32_t x) {
        for (int i = 0; i < 4; ++i) fork[at + i] = static_cast<uint8_t>(x >> (8 * i));
    };
    le32(0x104, static_cast<uint32_t>(blocks.size()));
    for (size_t i = 0; i < blocks.size(); ++i) {
        le32(0x108 + 8 * i, static_cast<uint32_t>(fork.size() - 0x104));
        le32(0x10C + 8 * i, static_cast<uint32_t>(blocks[i].size()));
        fork = concat(fork, blocks[i]);
    }
    return fork;
}

// Types 8, 10, 12: offsets of the 64 KiB blocks and of their end, then the blocks.
ByteVec offsetFork(const ByteVec &content, ByteVec (*encode)(std::span<const uint8_t>)) {
    std::vector<ByteVec> blocks;
    for (size_t at = 0; at < content.size(); at += 65536)
        blocks.push_back(encode(std::span(content).subspan(at, std::min<size_t>(65536, content.size() - at))));
    ByteVec fork;
    uint64_t offset = 4 * (blocks.size() + 1);
    for (size_t i = 0; i <= blocks.size(); ++i) {
        for (int b = 0; b < 4; ++b) fork.push_back(static_cast<uint8_t>(offset >> (8 * b)));
        if (i < blocks.size()) offset += blocks[i].size();
    }
    for (const ByteVec &block : blocks) fork = concat(fork, block);
    return fork;
}

ByteVec withSize(uint8_t selector, uint32_t size, const ByteVec &data) {
    ByteVec input{selector};
    appendBE(input, size, 4);
    return concat(input, data);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    g_root = argv[1];
    mkdir(g_root.c_str(), 0755);

    const ByteVec small = buildVolume(smallVolume(false)), hfsx = buildVolume(smallVolume(true));
    const ByteVec demo = buildVolume(demoVolume());
    const ByteVec bare = buildVolume(Volume{.withAttributesFile = false});
    const std::vector<std::pair<std::string, ByteVec>> volumes{{"small", small}, {"hfsx", hfsx}, {"bare", bare}};
    for (const auto &[name, volume] : volumes)
        for (const char *target : {"volume_open", "alloc", "shell", "find", "stat"}) seed(target, name, volume);
    for (const char *target : {"shell", "find", "stat"}) seed(target, "demo", demo);
    // Directory hard links: to a folder, back to the folder above, to another link, to nothing; a file link.
    Volume links{.label = "L", .nodes = {fileNode("/A/one.txt", "1"), folderLinkNode("/A/sub/up", "/A"),
                                         folderLinkNode("/B", "/A"), folderLinkNode("/chain", 20), folderLinkNode("/gone", 4000),
                                         hardLinkNode("/A/two.txt", "/A/one.txt")}};
    for (const char *target : {"folder_links", "find", "stat"}) seed(target, "links", buildVolume(links));
    // The HFS wrapper: the volume is opened where the master directory block says it is.
    for (const char *target : {"volume_open", "shell"}) seed(target, "wrapped", wrapHFS(small));
    // Small journals, one of them in big-endian order with two lists, the first across the ring's end.
    Volume journaled{.label = "J", .nodes = {fileNode("/a", "a")}, .journal = Journal{.size = 8192}};
    seed("journal", "clean", buildVolume(journaled));
    journaled.journal = Journal{.size = 16384, .littleEndian = false, .start = 14336,
                                .transactions = {{{16, ByteVec(512, 1)}, {24, ByteVec(512, 2)}}, {{40, ByteVec(4096, 3)}}}};
    seed("journal", "dirty", buildVolume(journaled));
    seed("shell", "journal", buildVolume(journaled));
    seed("replay", "dirty", buildVolume(journaled));
    for (const std::string &name : pendingJournalNames()) {
        seed("replay", name, pendingJournal(name).before);
        // After a delete the ring keeps the removed records: the deleted records' carving.
        seed("deleted", name, pendingJournal(name).after);
    }
    for (const auto &[name, volume] : volumes) seed("check", name, volume);
    for (const char *target : {"check", "deleted"}) seed(target, "demo", demo);
    seed("shell", "img4", wrapIMG4(small));

    const ByteVec gpt = buildGpt(macGpt(small)), apm = buildApm(macApm(small));
    const ByteVec lwvm = lwvmImage(small, {.volumeOffset = 0x1000});
    auto probe = [](ByteVec disk) {   // the target reads no further
        disk.resize(4096);
        return disk;
    };
    seed("gpt", "mac", probe(gpt));
    seed("gpt", "two", probe(buildGpt(GptDisk{{{.type = kGptEfiSystem, .name = u"EFI", .sectors = 8}, {.content = small}}})));
    seed("apm", "mac", apm);
    seed("lwvm", "small", lwvm);
    seed("lwvm", "at512", lwvmImage(small, {.signatureOffset = 512, .volumeOffset = 0x1000}));
    seed("shell", "gpt", gpt);
    seed("shell", "apm", apm);

    using udif::kAdc, udif::kBzip2, udif::kRaw, udif::kZlib, udif::kZero, udif::kComment;
    const std::vector<std::vector<uint32_t>> encodings{{kZlib}, {kRaw, kAdc, kBzip2, kZlib}, {kAdc}, {kZero, kComment, kRaw},
                                                       {udif::kLzfse}, {udif::kLzfse, kZlib}};
    for (size_t e = 0; e < encodings.size(); ++e) {
        UdifOptions options{.chunkSectors = 64};
        const std::vector<uint32_t> &types = encodings[e];
        options.encoding = [&types](uint64_t chunk, std::span<const uint8_t> data) {
            uint32_t type = types[chunk % types.size()];
            bool zero = std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; });
            return (type == kZero || type == kComment) && !zero ? kRaw : type == kComment ? kZero : type;
        };
        seed("udif", "small" + std::to_string(e), buildUdif(small, options));
        seed("udif_chunks", "small" + std::to_string(e), chunkInput(small, types));
    }
    seed("udif", "gpt", buildUdif(gpt, {.partitions = udifPartitions(macGpt(small))}));
    seed("shell", "udif", buildUdif(small));
    seed("sparse_image", "small", buildSparseImage(small, {.sectorsPerBand = 8, .size = 0}));
    seed("sparse_bundle", "small", concat(concat(text(sparseBundleInfo(small.size(), small.size())), ByteVec{0}), small));
    // The harness opens these with this password when so few iterations are asked.
    seed("encrypted", "aes128", encryptedImage(small, {.password = "fuzz", .keyBits = 128, .iterations = 1, .blockSize = 512}));
    seed("encrypted", "aes256-udif", encryptedImage(buildUdif(small), {.password = "fuzz", .iterations = 16}));
    // The forged images that once exhausted memory or disk, or passed damage off as success (those
    // small enough to be seeds).
    for (const HostileImage &image : hostileImages())
        if (ByteVec bytes = image.build(); bytes.size() <= (1u << 20)) seed("shell", std::string("hostile-") + image.name, bytes);

    for (const auto &[name, volume] : volumes) {
        ByteVec catalog = treeOf(volume, 272), attributes = treeOf(volume, 352), extents = treeOf(volume, 192);
        // /a/big.bin's fork record as eight one-block extents, so its overflow record comes next.
        ByteVec owner, fork(80, 0);
        appendBE(owner, cnidOf(smallVolume(false), "/a/big.bin"), 4);
        owner.push_back(0);
        fork[7] = 0x88, fork[6] = 0x13, fork[15] = 10;   // 5000 bytes in 10 blocks
        for (int i = 0; i < 8; ++i) fork[19 + 8 * i] = static_cast<uint8_t>(1 + i), fork[23 + 8 * i] = 1;
        seed("overflow", name, concat(concat(owner, fork), extents));
        seed("btree_walk", name + "-catalog", catalog);
        if (!attributes.empty()) seed("btree_walk", name + "-attributes", attributes);
        seed("path", name + "-nested", concat(counted(text("/a/b/c.txt")), catalog));
        seed("path", name + "-relative", concat(counted(text("a/../link/c.txt")), catalog));
        seed("path", name + "-unicode", concat(counted(text("/\xC3\xA9t\xC3\xA9/\xF0\x9F\x98\x80")), catalog));
        seed("key_search", name + "-thread", concat(counted(catalogKey(2, u"")), catalog));
        seed("key_search", name + "-name", concat(counted(catalogKey(2, u"x.txt")), catalog));
        if (!attributes.empty())
            seed("key_search", name + "-attribute", concat(counted(attributeKey(20, u"com.apple.decmpfs")), attributes));
        int n = 0;
        for (const ByteVec &record : recordsOf(catalog))
            seed("record_dump", name + "-catalog" + std::to_string(n++), concat(ByteVec{0x10}, record));
        for (const ByteVec &record : recordsOf(attributes))
            seed("record_dump", name + "-attributes" + std::to_string(n++), concat(ByteVec{0x01}, record));
    }

    for (const char *sample : {"hello", "Stra\xC3\x9F" "e", "\xF0\x9F\x98\x80 \xE2\x82\xAC", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80"})
        seed("unicode", std::to_string(std::string(sample).size()) + "-" + std::to_string(sample[0] & 0xFF), text(sample));

    ByteVec content = pattern(150000);
    seed("decmpfs", "fork", withSize(0, static_cast<uint32_t>(content.size()), resourceFork(content)));
    ByteVec header{'f', 'p', 'm', 'c', 3, 0, 0, 0, 0x58, 0x02, 0, 0, 0, 0, 0, 0};
    seed("decmpfs", "attribute", withSize(1, 600, concat(header, deflated(pattern(600)))));
    seed("decmpfs", "stored", withSize(1, 5, concat(header, text("\x0F" "abcde"))));

    // Selectors 0x80.. pick types 1, 7, 8, 9, 10, 11, 12 (see fuzz::decmpfs).
    ByteVec sample = pattern(600), modernHeader(16, 0);
    seed("decmpfs", "type1", withSize(0x80, 600, concat(modernHeader, sample)));
    seed("decmpfs", "type7", withSize(0x81, 600, concat(modernHeader, lzvnEncode(sample))));
    seed("decmpfs", "type8", withSize(0x82, 150000, offsetFork(content, lzvnEncode)));
    seed("decmpfs", "type10", withSize(0x84, 150000, offsetFork(content, [](std::span<const uint8_t> b) {
        return ByteVec(b.begin(), b.end());
    })));
    seed("decmpfs", "type11", withSize(0x85, 600, concat(modernHeader, lzfseEncode(sample))));
    seed("decmpfs", "type12", withSize(0x86, 150000, offsetFork(content, lzfseEncode)));
    for (size_t size : {10, 300, 5000}) {
        ByteVec data = pattern(size);
        ByteVec input;
        appendBE(input, size, 2);
        seed("adc", std::to_string(size), concat(input, adcCompress(data)));
        ByteVec lzvnInput = input;
        lzvnInput.push_back(0);
        seed("lzvn", std::to_string(size), concat(lzvnInput, lzvnEncode(data)));
        ByteVec lzfseInput;
        appendBE(lzfseInput, (size + 15) / 16, 2);
        seed("lzfse", std::to_string(size), concat(lzfseInput, lzfseEncode(data)));
    }
    return 0;
}
