#include "hfsbuild/containers.h"
#include "hfsbuild/codecs.h"
#include "hfsbuild/hfsbuild.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <stdexcept>

namespace hfsbuild {

namespace {

using Bytes = std::vector<uint8_t>;

void appendLE(Bytes &out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void appendBE(Bytes &out, uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void appendText(Bytes &out, const std::string &text, size_t width) {
    if (text.size() > width) throw std::invalid_argument("\"" + text + "\" is longer than " + std::to_string(width));
    out.insert(out.end(), text.begin(), text.end());
    out.resize(out.size() + width - text.size(), 0);
}

void appendUtf16(Bytes &out, const std::u16string &name, size_t units) {
    if (name.size() > units) throw std::invalid_argument("a partition name is longer than " + std::to_string(units));
    for (char16_t unit : name) appendLE(out, unit, 2);
    out.resize(out.size() + 2 * (units - name.size()), 0);
}

void place(Bytes &image, uint64_t offset, const Bytes &bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<ptrdiff_t>(offset));
}

// zlib's CRC32 of `data`, continuing from `crc` (0 to start).
uint32_t crc32Of(std::span<const uint8_t> data, uint32_t crc = 0) {
    uLong value = crc;
    for (uint64_t done = 0; done < data.size();) {
        uInt step = static_cast<uInt>(std::min<uint64_t>(data.size() - done, UINT_MAX));
        value = crc32(value, data.data() + done, step);
        done += step;
    }
    return static_cast<uint32_t>(value);
}

uint64_t roundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

// Partition places in sectors (GPT) or blocks (APM). Unplaced ones (first 0) go after every
// placed one, in order, each rounded up to `alignment`.
struct Extent {
    uint64_t first, count;
};

std::vector<Extent> layOut(const std::vector<Extent> &wanted, uint64_t floor, uint64_t alignment) {
    uint64_t end = floor;
    for (const Extent &e : wanted) {
        if (e.count == 0) throw std::invalid_argument("a partition has no size");
        if (e.first && e.first < floor) throw std::invalid_argument("a partition starts inside the map");
        if (e.first) end = std::max(end, e.first + e.count);
    }
    std::vector<Extent> placed;
    for (const Extent &e : wanted) {
        if (e.first) {
            placed.push_back(e);
            continue;
        }
        placed.push_back({roundUp(end, alignment), e.count});
        end = placed.back().first + e.count;
    }
    return placed;
}

uint64_t endOf(const std::vector<Extent> &extents, uint64_t floor) {
    for (const Extent &e : extents) floor = std::max(floor, e.first + e.count);
    return floor;
}

uint64_t unitsFor(uint64_t given, const Bytes &content, uint64_t unit) {
    uint64_t needed = (content.size() + unit - 1) / unit;
    if (given && given < needed) throw std::invalid_argument("partition content does not fit its size");
    return given ? given : needed;
}

// ---- GPT ----

constexpr uint64_t kGptEntries = 128, kGptEntrySize = 128;
constexpr uint64_t kGptTableSectors = kGptEntries * kGptEntrySize / kSectorBytes;   // 32
constexpr uint64_t kGptFirstUsable = 2 + kGptTableSectors;

std::string numberedGuid(uint64_t n) {
    char text[48];
    snprintf(text, sizeof text, "5441524E-5749-434B-8000-%012llX", static_cast<unsigned long long>(n & 0xFFFFFFFFFFFFu));
    return text;
}

std::vector<Extent> gptExtents(const GptDisk &disk) {
    std::vector<Extent> wanted;
    for (const GptPartition &p : disk.partitions)
        wanted.push_back({p.firstLba, unitsFor(p.sectors, p.content, kSectorBytes)});
    return layOut(wanted, kGptFirstUsable, disk.alignment);
}

uint64_t gptSectors(const GptDisk &disk, const std::vector<Extent> &extents) {
    return roundUp(endOf(extents, kGptFirstUsable), disk.alignment) + 1 + kGptTableSectors;
}

Bytes gptHeader(uint64_t myLba, uint64_t otherLba, uint64_t entriesLba, uint64_t sectors, uint32_t entriesCrc) {
    Bytes h{'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
    appendLE(h, 0x00010000, 4);
    appendLE(h, 92, 4);
    appendLE(h, 0, 4);   // header CRC, below
    appendLE(h, 0, 4);
    appendLE(h, myLba, 8);
    appendLE(h, otherLba, 8);
    appendLE(h, kGptFirstUsable, 8);
    appendLE(h, sectors - 2 - kGptTableSectors, 8);
    Bytes diskGuid = gptGuidBytes(numberedGuid(0));
    h.insert(h.end(), diskGuid.begin(), diskGuid.end());
    appendLE(h, entriesLba, 8);
    appendLE(h, kGptEntries, 4);
    appendLE(h, kGptEntrySize, 4);
    appendLE(h, entriesCrc, 4);
    Bytes crc;
    appendLE(crc, crc32Of(h), 4);
    place(h, 16, crc);
    h.resize(kSectorBytes, 0);
    return h;
}

Bytes protectiveMbr(uint64_t sectors) {
    Bytes m(446, 0);
    for (uint8_t b : {0x00, 0x00, 0x02, 0x00, 0xEE, 0xFF, 0xFF, 0xFF}) m.push_back(b);
    appendLE(m, 1, 4);
    appendLE(m, std::min<uint64_t>(sectors - 1, UINT32_MAX), 4);
    m.resize(510, 0);
    m.push_back(0x55);
    m.push_back(0xAA);
    return m;
}

// ---- UDIF ----

bool allZero(std::span<const uint8_t> data) {
    return std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; });
}

// One .xz stream, as hdiutil writes an LZMA chunk.
Bytes xzCompress(std::span<const uint8_t> data) {
    Bytes out(lzma_stream_buffer_bound(data.size()));
    size_t size = 0;
    if (lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, data.data(), data.size(), out.data(), &size,
                                out.size()) != LZMA_OK)
        throw std::runtime_error("lzma_easy_buffer_encode failed");
    out.resize(size);
    return out;
}

Bytes encodeChunk(uint32_t type, std::span<const uint8_t> data) {
    switch (type) {
    case udif::kZero:
    case udif::kIgnore:
        if (!allZero(data)) throw std::invalid_argument("zero and ignore chunks must hold zeros");
        return {};
    case udif::kRaw: return {data.begin(), data.end()};
    case udif::kAdc: return adcCompress(data);
    case udif::kZlib: return zlibCompress(data.data(), data.size());
    case udif::kLzfse: return lzfseEncode(data);
    case udif::kLzma: return xzCompress(data);
    case udif::kBzip2: {
        if (data.size() > UINT_MAX / 2) throw std::invalid_argument("chunk too large for bzip2");
        unsigned size = static_cast<unsigned>(data.size() + data.size() / 100 + 600);
        Bytes out(size);
        if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char *>(out.data()), &size,
                                     const_cast<char *>(reinterpret_cast<const char *>(data.data())),
                                     static_cast<unsigned>(data.size()), 9, 0, 0) != BZ_OK)
            throw std::runtime_error("BZ2_bzBuffToBuffCompress failed");
        out.resize(size);
        return out;
    }
    default: throw std::invalid_argument("not a chunk encoding: " + std::to_string(type));
    }
}

struct ChunkEntry {
    uint32_t type;
    uint64_t firstSector, sectors, offset, length;
};

Bytes mishTable(uint64_t firstSector, uint64_t sectors, uint64_t dataOffset, uint64_t chunkSectors,
                uint32_t index, uint32_t crc, const std::vector<ChunkEntry> &entries) {
    Bytes t{'m', 'i', 's', 'h'};
    appendBE(t, 1, 4);
    appendBE(t, firstSector, 8);
    appendBE(t, sectors, 8);
    appendBE(t, dataOffset, 8);
    appendBE(t, std::min<uint64_t>(chunkSectors, UINT32_MAX), 4);   // buffers needed
    appendBE(t, index, 4);                                           // block descriptors
    t.resize(t.size() + 24, 0);
    appendBE(t, 2, 4);    // checksum type CRC32
    appendBE(t, 32, 4);   // bits
    appendBE(t, crc, 4);
    t.resize(t.size() + 31 * 4, 0);
    appendBE(t, entries.size(), 4);
    for (const ChunkEntry &e : entries) {
        appendBE(t, e.type, 4);
        appendBE(t, 0, 4);   // comment
        appendBE(t, e.firstSector, 8);
        appendBE(t, e.sectors, 8);
        appendBE(t, e.offset, 8);
        appendBE(t, e.length, 8);
    }
    return t;
}

// Base64 in lines of 52 characters, each indented by `indent`, as Disk Utility writes the tables.
std::string base64Lines(const Bytes &bytes, const std::string &indent) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string flat;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = uint32_t{bytes[i]} << 16;
        if (i + 1 < bytes.size()) group |= uint32_t{bytes[i + 1]} << 8;
        if (i + 2 < bytes.size()) group |= bytes[i + 2];
        for (size_t k = 0; k < 4; ++k)
            flat += i + k <= bytes.size() ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
    std::string lines;
    for (size_t i = 0; i < flat.size(); i += 52) lines += indent + flat.substr(i, 52) + "\n";
    return lines;
}

std::string xmlEscaped(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

std::string plist(const std::vector<UdifPartition> &partitions, const std::vector<Bytes> &tables) {
    std::string x =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n\t<key>resource-fork</key>\n\t<dict>\n\t\t<key>blkx</key>\n\t\t<array>\n";
    for (size_t i = 0; i < tables.size(); ++i) {
        std::string name = xmlEscaped(partitions[i].name);
        x += "\t\t\t<dict>\n"
             "\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"
             "\t\t\t\t<key>CFName</key>\n\t\t\t\t<string>" + name + "</string>\n"
             "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n" + base64Lines(tables[i], "\t\t\t\t") + "\t\t\t\t</data>\n"
             "\t\t\t\t<key>ID</key>\n\t\t\t\t<string>" + std::to_string(static_cast<int64_t>(i) - 1) + "</string>\n"
             "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>" + name + "</string>\n"
             "\t\t\t</dict>\n";
    }
    return x + "\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";
}

Bytes kolyTrailer(const UdifOptions &o, uint64_t dataForkLength, uint32_t dataCrc, uint64_t xmlOffset,
                  uint64_t xmlLength, uint32_t masterCrc, uint64_t sectors) {
    Bytes k{'k', 'o', 'l', 'y'};
    appendBE(k, 4, 4);     // version
    appendBE(k, 512, 4);   // header size
    appendBE(k, 1, 4);     // flags: flattened
    appendBE(k, 0, 8);     // running data fork offset
    appendBE(k, o.dataForkOffset, 8);
    appendBE(k, dataForkLength, 8);
    appendBE(k, 0, 8);     // resource fork offset
    appendBE(k, 0, 8);     // and length
    appendBE(k, 1, 4);     // segment number
    appendBE(k, 1, 4);     // segment count
    Bytes segment = gptGuidBytes(numberedGuid(0x5E6));
    k.insert(k.end(), segment.begin(), segment.end());
    appendBE(k, 2, 4);     // data fork checksum: CRC32
    appendBE(k, 32, 4);
    appendBE(k, dataCrc, 4);
    k.resize(k.size() + 31 * 4, 0);
    appendBE(k, xmlOffset, 8);
    appendBE(k, xmlLength, 8);
    k.resize(352, 0);
    appendBE(k, 2, 4);
    appendBE(k, 32, 4);
    appendBE(k, masterCrc, 4);
    k.resize(488, 0);
    appendBE(k, 1, 4);     // image variant: device image
    appendBE(k, sectors, 8);
    k.resize(512, 0);
    return k;
}

std::string udifKind(const std::string &gptType) {
    if (gptType == kGptHfsPlus) return "Apple_HFS";
    if (gptType == kGptAppleBoot) return "Apple_Boot";
    return gptType;
}

// Names each run of the disk "name (kind : n)", gaps "(Apple_Free : n)"; runs come in sector order.
struct NamedRun {
    uint64_t first, sectors;
    std::string name, kind;
};

std::vector<UdifPartition> namedRuns(std::vector<NamedRun> runs, uint64_t diskSectors) {
    std::sort(runs.begin(), runs.end(), [](const NamedRun &a, const NamedRun &b) { return a.first < b.first; });
    std::vector<UdifPartition> out;
    uint64_t at = 0;
    auto add = [&](const std::string &name, const std::string &kind, uint64_t sectors) {
        out.push_back({(name.empty() ? "" : name + " ") + "(" + kind + " : " + std::to_string(out.size()) + ")", sectors});
        at += sectors;
    };
    for (const NamedRun &r : runs) {
        if (r.first < at) throw std::invalid_argument("partitions overlap");
        if (r.first > at) add("", "Apple_Free", r.first - at);
        add(r.name, r.kind, r.sectors);
    }
    if (diskSectors > at) add("", "Apple_Free", diskSectors - at);
    return out;
}

std::string narrow(const std::u16string &name) {
    std::string out;
    for (char16_t unit : name) out += unit < 0x80 ? static_cast<char>(unit) : '?';
    return out;
}

// ---- APM ----

std::vector<Extent> apmExtents(const ApmDisk &disk) {
    if (disk.blockSize < kSectorBytes || disk.blockSize % kSectorBytes)
        throw std::invalid_argument("APM blocks must be whole sectors");
    if (disk.mapBlocks < 1 + disk.partitions.size()) throw std::invalid_argument("the map is too small");
    std::vector<Extent> wanted;
    for (const ApmPartition &p : disk.partitions) wanted.push_back({p.firstBlock, unitsFor(p.blocks, p.content, disk.blockSize)});
    return layOut(wanted, 1 + disk.mapBlocks, 1);
}

Bytes apmEntry(const ApmDisk &disk, uint32_t entries, uint64_t first, uint64_t blocks, const std::string &name,
               const std::string &type, uint32_t status) {
    if (first + blocks > UINT32_MAX) throw std::invalid_argument("APM block numbers are 32 bits");
    Bytes e{'P', 'M', 0, 0};
    appendBE(e, disk.mapEntryCount ? disk.mapEntryCount : entries, 4);
    appendBE(e, first, 4);
    appendBE(e, blocks, 4);
    appendText(e, name, 32);
    appendText(e, type, 32);
    appendBE(e, 0, 4);        // logical data start
    appendBE(e, blocks, 4);   // data block count
    appendBE(e, status, 4);
    e.resize(disk.blockSize, 0);
    return e;
}

}  // namespace

std::vector<uint8_t> gptGuidBytes(const std::string &text) {
    std::string hex;
    for (char c : text)
        if (c != '-') hex += c;
    if (hex.size() != 32 || text.size() != 36) throw std::invalid_argument("not a GUID: " + text);
    Bytes raw;
    for (size_t i = 0; i < 32; i += 2) raw.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    std::reverse(raw.begin(), raw.begin() + 4);
    std::reverse(raw.begin() + 4, raw.begin() + 6);
    std::reverse(raw.begin() + 6, raw.begin() + 8);
    return raw;
}

std::vector<uint8_t> buildGpt(const GptDisk &disk) {
    if (disk.partitions.size() > kGptEntries) throw std::invalid_argument("more than 128 GPT entries");
    if (disk.alignment == 0) throw std::invalid_argument("alignment 0");
    std::vector<Extent> extents = gptExtents(disk);
    uint64_t sectors = gptSectors(disk, extents);

    Bytes entries;
    for (size_t i = 0; i < disk.partitions.size(); ++i) {
        const GptPartition &p = disk.partitions[i];
        for (const std::string &guid : {p.type, numberedGuid(i + 1)}) {
            Bytes bytes = gptGuidBytes(guid);
            entries.insert(entries.end(), bytes.begin(), bytes.end());
        }
        appendLE(entries, extents[i].first, 8);
        appendLE(entries, extents[i].first + extents[i].count - 1, 8);
        appendLE(entries, p.attributes, 8);
        appendUtf16(entries, p.name, 36);
    }
    entries.resize(kGptEntries * kGptEntrySize, 0);
    uint32_t entriesCrc = crc32Of(entries);

    Bytes image = protectiveMbr(sectors);
    Bytes primary = gptHeader(1, sectors - 1, 2, sectors, entriesCrc);
    image.insert(image.end(), primary.begin(), primary.end());
    image.insert(image.end(), entries.begin(), entries.end());
    image.resize(sectors * kSectorBytes, 0);
    for (size_t i = 0; i < disk.partitions.size(); ++i)
        place(image, extents[i].first * kSectorBytes, disk.partitions[i].content);
    uint64_t backupEntries = sectors - 1 - kGptTableSectors;
    place(image, backupEntries * kSectorBytes, entries);
    place(image, (sectors - 1) * kSectorBytes, gptHeader(sectors - 1, 1, backupEntries, sectors, entriesCrc));
    return image;
}

GptDisk macGpt(const std::vector<uint8_t> &volume, uint64_t volumeLba) {
    GptDisk disk;
    GptPartition efi;
    efi.type = kGptEfiSystem;
    efi.name = u"EFI System Partition";
    efi.sectors = 64;
    GptPartition hfs;
    hfs.name = u"disk image";
    hfs.firstLba = volumeLba;
    hfs.content = volume;
    disk.partitions = {efi, hfs};
    return disk;
}

std::vector<UdifPartition> udifPartitions(const GptDisk &disk) {
    std::vector<Extent> extents = gptExtents(disk);
    uint64_t sectors = gptSectors(disk, extents);
    std::vector<NamedRun> runs = {
        {0, 1, "Protective Master Boot Record", "MBR"},
        {1, 1, "GPT Header", "Primary GPT Header"},
        {2, kGptTableSectors, "GPT Partition Data", "Primary GPT Table"},
        {sectors - 1 - kGptTableSectors, kGptTableSectors, "GPT Partition Data", "Backup GPT Table"},
        {sectors - 1, 1, "GPT Header", "Backup GPT Header"},
    };
    for (size_t i = 0; i < extents.size(); ++i)
        runs.push_back({extents[i].first, extents[i].count, narrow(disk.partitions[i].name), udifKind(disk.partitions[i].type)});
    return namedRuns(runs, sectors);
}

std::vector<uint8_t> buildApm(const ApmDisk &disk) {
    std::vector<Extent> extents = apmExtents(disk);
    uint64_t blocks = endOf(extents, 1 + disk.mapBlocks);
    if (blocks > UINT32_MAX || disk.blockSize > UINT16_MAX) throw std::invalid_argument("too large for APM");
    uint32_t entries = static_cast<uint32_t>(1 + disk.partitions.size());

    Bytes image{'E', 'R'};
    appendBE(image, disk.blockSize, 2);
    appendBE(image, blocks, 4);
    image.resize(disk.blockSize, 0);
    Bytes map = apmEntry(disk, entries, 1, disk.mapBlocks, "Apple", "Apple_partition_map", 0x00000003);
    image.insert(image.end(), map.begin(), map.end());
    for (size_t i = 0; i < disk.partitions.size(); ++i) {
        const ApmPartition &p = disk.partitions[i];
        Bytes entry = apmEntry(disk, entries, extents[i].first, extents[i].count, p.name, p.type, p.status);
        image.insert(image.end(), entry.begin(), entry.end());
    }
    image.resize(blocks * disk.blockSize, 0);
    for (size_t i = 0; i < disk.partitions.size(); ++i)
        place(image, extents[i].first * disk.blockSize, disk.partitions[i].content);
    return image;
}

ApmDisk macApm(const std::vector<uint8_t> &volume, uint64_t volumeBlock) {
    ApmDisk disk;
    ApmPartition free;
    free.type = "Apple_Free";
    free.blocks = 16;
    free.status = 0;
    ApmPartition hfs;
    hfs.name = "disk image";
    hfs.firstBlock = volumeBlock;
    hfs.content = volume;
    disk.partitions = {free, hfs};
    disk.mapBlocks = std::min<uint64_t>(63, volumeBlock - 1);
    return disk;
}

std::vector<UdifPartition> udifPartitions(const ApmDisk &disk) {
    std::vector<Extent> extents = apmExtents(disk);
    uint64_t perBlock = disk.blockSize / kSectorBytes;
    std::vector<NamedRun> runs = {
        {0, perBlock, "Driver Descriptor Map", "DDM"},
        {perBlock, disk.mapBlocks * perBlock, "Apple", "Apple_partition_map"},
    };
    for (size_t i = 0; i < extents.size(); ++i) {
        const ApmPartition &p = disk.partitions[i];
        runs.push_back({extents[i].first * perBlock, extents[i].count * perBlock, p.name, p.type});
    }
    return namedRuns(runs, endOf(extents, 1 + disk.mapBlocks) * perBlock);
}

std::vector<uint8_t> lwvmImage(const std::vector<uint8_t> &volume, const LwvmOptions &options) {
    static const Bytes kSignature = {0x6a, 0x90, 0x88, 0xcf, 0x8a, 0xfd, 0x63, 0x0a,
                                     0xe3, 0x51, 0xe2, 0x48, 0x87, 0xe0, 0xb9, 0x8b};
    uint64_t recordAt = options.signatureOffset + 512;
    if (options.volumeOffset < recordAt + 128) throw std::invalid_argument("the LwVM volume overlaps the map");
    uint64_t end = options.volumeOffset + volume.size();

    Bytes image(options.signatureOffset, 0);
    image.insert(image.end(), kSignature.begin(), kSignature.end());
    Bytes media = gptGuidBytes(numberedGuid(0x1111));
    image.insert(image.end(), media.begin(), media.end());
    appendLE(image, end, 8);
    appendLE(image, 1, 4);
    image.resize(recordAt, 0);
    for (const std::string &guid : {kGptHfsPlus, numberedGuid(0x2222)}) {
        Bytes bytes = gptGuidBytes(guid);
        image.insert(image.end(), bytes.begin(), bytes.end());
    }
    appendLE(image, options.volumeOffset, 8);
    appendLE(image, end, 8);
    appendLE(image, 0, 8);
    appendUtf16(image, options.name, 36);
    image.resize(options.volumeOffset, 0);
    image.insert(image.end(), volume.begin(), volume.end());
    return image;
}

std::vector<uint8_t> buildUdif(const std::vector<uint8_t> &diskBytes, const UdifOptions &options) {
    if (options.chunkSectors == 0) throw std::invalid_argument("chunks of 0 sectors");
    Bytes disk = diskBytes;
    disk.resize(roundUp(disk.size(), kSectorBytes), 0);
    uint64_t diskSectors = disk.size() / kSectorBytes;
    std::vector<UdifPartition> partitions = options.partitions;
    if (partitions.empty()) partitions.push_back({"whole disk (Apple_HFS : 0)", 0});
    std::function<uint32_t(uint64_t, std::span<const uint8_t>)> encoding = options.encoding;
    if (!encoding) encoding = [](uint64_t, std::span<const uint8_t> data) { return allZero(data) ? udif::kZero : udif::kZlib; };

    Bytes file(options.dataForkOffset + options.mishDataOffset, 0);
    uint64_t base = options.dataForkOffset + options.mishDataOffset;   // what chunk offsets count from
    std::vector<Bytes> tables;
    uint64_t sector = 0, chunk = 0;
    for (size_t i = 0; i < partitions.size(); ++i) {
        bool last = i + 1 == partitions.size();
        uint64_t sectors = partitions[i].sectors ? partitions[i].sectors : last ? diskSectors - sector : 0;
        if (sectors == 0 || sectors > diskSectors - sector) throw std::invalid_argument("bad UDIF partition sizes");
        std::vector<ChunkEntry> entries;
        uint32_t crc = 0;   // of the expanded sectors, ignored chunks left out as 7-Zip expects
        for (uint64_t rel = 0; rel < sectors; rel += options.chunkSectors) {
            uint64_t count = std::min(options.chunkSectors, sectors - rel);
            std::span<const uint8_t> data(disk.data() + (sector + rel) * kSectorBytes, count * kSectorBytes);
            uint32_t type = encoding(chunk++, data);
            Bytes packed = encodeChunk(type, data);
            if (type != udif::kIgnore) crc = crc32Of(data, crc);
            if (options.comments) entries.push_back({udif::kComment, rel, 0, file.size() - base, 0});
            entries.push_back({type, rel, count, file.size() - base, packed.size()});
            file.insert(file.end(), packed.begin(), packed.end());
        }
        if (last && options.zeroSectorsAfter) {
            entries.push_back({udif::kIgnore, sectors, options.zeroSectorsAfter, file.size() - base, 0});
            sectors += options.zeroSectorsAfter;
        }
        if (options.terminator == Terminator::Middle) {
            size_t at = entries.size() / 2;
            ChunkEntry next = at < entries.size() ? entries[at] : ChunkEntry{0, sectors, 0, file.size() - base, 0};
            entries.insert(entries.begin() + static_cast<ptrdiff_t>(at), {udif::kTerminator, next.firstSector, 0, next.offset, 0});
        } else if (options.terminator == Terminator::End) {
            entries.push_back({udif::kTerminator, sectors, 0, file.size() - base, 0});
        }
        tables.push_back(mishTable(sector, sectors, options.mishDataOffset, options.chunkSectors,
                                   static_cast<uint32_t>(i), crc, entries));
        sector += sectors;
    }
    sector -= options.zeroSectorsAfter;
    if (sector != diskSectors) throw std::invalid_argument("UDIF partitions do not cover the disk");

    Bytes tableCrcs;
    for (const Bytes &t : tables) tableCrcs.insert(tableCrcs.end(), t.begin() + 72, t.begin() + 76);
    uint64_t dataForkLength = file.size() - options.dataForkOffset;
    uint32_t dataCrc = crc32Of(std::span(file).subspan(options.dataForkOffset));
    std::string xml = plist(partitions, tables);
    uint64_t xmlOffset = file.size();
    file.insert(file.end(), xml.begin(), xml.end());
    Bytes trailer = kolyTrailer(options, dataForkLength, dataCrc, xmlOffset, xml.size(),
                                crc32Of(tableCrcs), diskSectors + options.zeroSectorsAfter);
    file.insert(file.end(), trailer.begin(), trailer.end());
    return file;
}

std::vector<uint8_t> adcCompress(std::span<const uint8_t> in) {
    constexpr size_t kMaxDistance = 65536, kMaxLength = 67, kChainDepth = 64;
    const size_t n = in.size();
    Bytes out;
    std::vector<int64_t> head(1 << 16, -1), previous(n, -1);
    auto hashAt = [&](size_t i) { return (in[i] * 40503u ^ in[i + 1] * 257u ^ in[i + 2]) & 0xFFFF; };
    auto remember = [&](size_t i) {
        if (i + 3 > n) return;
        uint32_t h = hashAt(i);
        previous[i] = head[h];
        head[h] = static_cast<int64_t>(i);
    };
    size_t pending = 0;   // first byte not yet written
    auto flushLiterals = [&](size_t upTo) {
        while (pending < upTo) {
            size_t run = std::min<size_t>(128, upTo - pending);
            out.push_back(static_cast<uint8_t>(0x80 | (run - 1)));
            out.insert(out.end(), in.begin() + static_cast<ptrdiff_t>(pending), in.begin() + static_cast<ptrdiff_t>(pending + run));
            pending += run;
        }
    };

    for (size_t i = 0; i < n;) {
        size_t bestLength = 0, bestDistance = 0;
        if (i + 3 <= n) {
            size_t depth = 0;
            for (int64_t c = head[hashAt(i)]; c >= 0 && depth < kChainDepth && i - c <= kMaxDistance;
                 c = previous[c], ++depth) {
                size_t from = static_cast<size_t>(c), length = 0;
                while (length < kMaxLength && i + length < n && in[from + length] == in[i + length]) ++length;
                if (length > bestLength) bestLength = length, bestDistance = i - from;
            }
        }
        size_t length = 0;
        if (bestLength >= 4 && (bestDistance > 1024 || bestLength > 18)) {
            length = bestLength;
            flushLiterals(i);
            out.push_back(static_cast<uint8_t>(0x40 | (length - 4)));
            appendBE(out, bestDistance - 1, 2);
        } else if (bestLength >= 3 && bestDistance <= 1024) {
            length = std::min<size_t>(bestLength, 18);
            flushLiterals(i);
            out.push_back(static_cast<uint8_t>((length - 3) << 2 | (bestDistance - 1) >> 8));
            out.push_back(static_cast<uint8_t>(bestDistance - 1));
        }
        for (size_t k = 0; k < std::max<size_t>(length, 1); ++k) remember(i + k);
        i += std::max<size_t>(length, 1);
        if (length) pending = i;
    }
    flushLiterals(n);
    return out;
}

}  // namespace hfsbuild
