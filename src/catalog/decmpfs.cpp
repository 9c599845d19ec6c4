#include "catalog/decmpfs.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/output.h"
#include "codecs/lzfse.h"
#include "codecs/lzvn.h"

namespace {

constexpr uint64_t kZlibMaxRatio = 1032;   // deflate cannot expand further than this
// LZVN and LZFSE have no such bound: an inline stream claiming more than this is a forged size
// (macOS keeps data inline only when the whole compressed file fits in the attribute).
constexpr uint64_t kMaxInlineExpansion = 64ull << 20;
// A block expands to 64 KiB, and no coder needs 16 times that to say so: a longer one is damage,
// and is not read into memory.
constexpr uint64_t kMaxCompressedBlock = 16 * kDecmpfsBlock;

enum class Codec { Stored, Zlib, Lzvn, Lzfse };

struct Type {
    uint32_t type;
    Codec codec;
    bool fork;
    const char *text;   // as stat describes it
};

constexpr Type kTypes[] = {
    {kDecmpfsStoredAttribute, Codec::Stored, false, "stored in the attribute"},
    {kDecmpfsZlibAttribute, Codec::Zlib, false, "zlib in the attribute"},
    {kDecmpfsZlibFork, Codec::Zlib, true, "zlib in the resource fork"},
    {kDecmpfsLzvnAttribute, Codec::Lzvn, false, "LZVN in the attribute"},
    {kDecmpfsLzvnFork, Codec::Lzvn, true, "LZVN in the resource fork"},
    {kDecmpfsRawAttribute, Codec::Stored, false, "stored in the attribute (type 9)"},
    {kDecmpfsRawFork, Codec::Stored, true, "stored in the resource fork"},
    {kDecmpfsLzfseAttribute, Codec::Lzfse, false, "LZFSE in the attribute"},
    {kDecmpfsLzfseFork, Codec::Lzfse, true, "LZFSE in the resource fork"},
};

const Type *typeOf(uint32_t type) {
    for (const Type &t : kTypes)
        if (t.type == type) return &t;
    return nullptr;
}

const char *codecName(Codec codec) {
    switch (codec) {
    case Codec::Stored: return "stored";
    case Codec::Zlib: return "zlib";
    case Codec::Lzvn: return "LZVN";
    case Codec::Lzfse: return "LZFSE";
    }
    return "";
}

// ---- type 3 and type 4: zlib ----

// Type 4 keeps its blocks in a classic resource fork with one resource. The fork begins with this
// header; the resource's data begins with its 4-byte length, then comes the block table: a
// little-endian count, then an (offset, size) pair per block, the offsets counted from the count.
struct ResourceHeader {
    static constexpr size_t kSize = 16;
    Bytes bytes;
    uint32_t dataOffset() const { return bytes.be32(0); }
    uint32_t mapOffset() const { return bytes.be32(4); }
    uint32_t dataLength() const { return bytes.be32(8); }
    uint32_t mapLength() const { return bytes.be32(12); }
    uint64_t blockTable() const { return static_cast<uint64_t>(dataOffset()) + 4; }   // past the data's length
};
constexpr size_t kBlockEntrySize = 8;

// A block table read a window of entries at a time: a table claiming billions of entries costs
// one window of memory, not the table.
class TableReader {
public:
    TableReader(const DecmpfsFork &fork, uint64_t start, size_t entrySize)
        : fork_(fork), start_(start), entrySize_(entrySize) {}
    // Entry i, or an empty view when it does not lie in the fork.
    Bytes entry(uint64_t i) {
        if (i < first_ || i - first_ >= kWindow) {
            first_ = i;
            window_ = fork_.read(start_ + i * entrySize_, kWindow * entrySize_, bytes_);
            // Near the fork's end a whole window does not fit: read what is left of it.
            if (window_.empty() && start_ + i * entrySize_ < fork_.size)
                window_ = fork_.read(start_ + i * entrySize_, fork_.size - start_ - i * entrySize_, bytes_);
        }
        return window_.sub((i - first_) * entrySize_, entrySize_);
    }

private:
    static constexpr uint64_t kWindow = 4096;
    const DecmpfsFork &fork_;
    uint64_t start_;
    size_t entrySize_;
    uint64_t first_ = UINT64_MAX;
    std::vector<uint8_t> bytes_;
    Bytes window_;
};

// Damaged blocks are named up to a few; the rest are counted, so a forged file of millions of bad
// blocks says a handful of lines.
class DamageReport {
public:
    DamageReport(Messages &messages, uint64_t &count) : messages_(messages), count_(count), before_(count) {}
    // Whether this damage is still to be said in full (the caller then says it).
    bool sayNext() { return ++count_ - before_ <= kNamed; }
    // Damage that is always said (it ends the walk): counted, not among the named.
    void sayAlways() { ++count_, ++before_; }
    ~DamageReport() {
        if (count_ - before_ > kNamed)
            messages_.err("... and %llu more damaged blocks\n", static_cast<unsigned long long>(count_ - before_ - kNamed));
    }

private:
    static constexpr uint64_t kNamed = 5;
    Messages &messages_;
    uint64_t &count_;
    uint64_t before_;
};

// Where the block table begins, from the fork's first four bytes.
uint64_t blockTableOf(const DecmpfsFork &fork, std::vector<uint8_t> &scratch) {
    return ResourceHeader{fork.read(0, 4, scratch)}.blockTable();
}

// One zlib stream into out[0, room); returns the bytes produced.
uint64_t inflateInto(Bytes source, uint8_t *out, uint64_t room, int *status) {
    uLongf produced = room;
    *status = uncompress(out, &produced, source.data, source.size);
    return produced;
}

// Type 4: a classic resource fork whose one resource holds a table of (offset, size) pairs.
void expandZlibBlocks(const DecmpfsFork &fork, uint64_t size, const DecmpfsSink &sink, Messages &messages,
                      uint64_t &damaged) {
    std::vector<uint8_t> scratch, out;
    ResourceHeader header{fork.read(0, ResourceHeader::kSize, scratch)};
    if (g_Debug)
        messages.out("Block start: %x, Stream: %x, Data: %x, Header: %x\n", header.dataOffset(), header.mapOffset(),
                     header.dataLength(), header.mapLength());
    uint64_t base = header.blockTable();
    uint32_t blocks = fork.read(base, 4, scratch).le32(0);
    TableReader table(fork, base + 4, kBlockEntrySize);
    DamageReport damage(messages, damaged);
    uint64_t room = size, position = 0;
    for (uint32_t i = 0; i < blocks && !g_Interrupted; ++i) {
        Bytes entry = table.entry(i);
        if (entry.empty()) {
            damage.sayAlways();
            messages.err("The block table claims %u blocks but the resource fork holds %u: the rest left empty\n",
                         blocks, i);
            break;
        }
        uint64_t at = base + entry.le32(0);
        uint32_t length = entry.le32(4);
        // Every block but the last expands to 64 KiB, so each has a fixed place in the output.
        position = std::min<uint64_t>(static_cast<uint64_t>(i) * kDecmpfsBlock, size);
        room = size - position;
        if (g_Debug)
            messages.err("Block %d: offset 0x%x, size 0x%x (remaining: %d, pos: %d, of %d)\n", i,
                         static_cast<unsigned>(at), length, static_cast<int>(room), static_cast<int>(position),
                         static_cast<int>(room + position));
        Bytes block = length <= kMaxCompressedBlock ? fork.read(at, length, scratch) : Bytes{};
        if (block.empty()) {
            if (damage.sayNext())
                messages.err("Block %u (offset 0x%llx, size 0x%x) lies outside the resource fork: left empty\n", i,
                             static_cast<unsigned long long>(at), length);
            continue;
        }
        out.assign(std::min<uint64_t>(room, kDecmpfsBlock), 0);
        uint64_t produced = 0;
        if (block.u8(0) == 0xFF) {
            if (g_Debug) messages.err("Uncompressed block\n");
            Bytes stored = block.from(1);
            produced = std::min<uint64_t>(stored.size, out.size());
            if (stored.size > out.size()) messages.err("Block %u holds more than the file's size: cut\n", i);
            if (produced) memcpy(out.data(), stored.data, produced);
        } else {
            int status = Z_OK;
            produced = inflateInto(block, out.data(), out.size(), &status);
            if (status != Z_OK && damage.sayNext())
                messages.err("Error decompressing in block %d: (Zlib error %d)\n", i, status);
        }
        room -= produced;
        sink(position, out.data(), out.size());
    }
    if (g_Debug) messages.err(" Got %d in last block\n", static_cast<int>(room));
}

void expandZlibAttribute(Bytes data, std::vector<uint8_t> &out, Messages &messages, uint64_t &damaged) {
    if (data.empty()) return;
    if ((data.u8(0) & 0x0F) == 0x0F) {   // stored, not compressed
        Bytes stored = data.from(1);
        if (stored.size > out.size()) messages.err("The attribute holds more than the file's size: cut\n");
        // An empty file has no buffer to copy into (memcpy to null is undefined even for 0 bytes).
        if (!stored.empty() && !out.empty())
            memcpy(out.data(), stored.data, stored.size < out.size() ? stored.size : out.size());
        return;
    }
    int status = Z_OK;
    inflateInto(data, out.data(), out.size(), &status);
    if (status != Z_OK) {
        ++damaged;
        messages.err("Error decompressing the attribute's data: (Zlib error %d)\n", status);
    }
}

// ---- types 1 and 7 to 12 ----

// A block that the compressor could not shrink is kept stored behind a marker byte: 0x06 (LZVN's
// end-of-stream opcode) for LZVN, 0xFF or 0xCC otherwise; a marker is never the start of a valid
// stream. Stored types may carry the marker too: there the block's length tells whether it does.
// Nothing when the block is not stored.
std::optional<Bytes> storedPart(Codec codec, Bytes block, size_t want) {
    uint8_t first = block.u8(0);
    bool marked = !block.empty() && (codec == Codec::Lzvn ? first == 0x06 : first == 0xFF || first == 0xCC);
    if (codec == Codec::Stored) return marked && block.size == want + 1 ? block.from(1) : block;
    if (marked) return block.from(1);
    return std::nullopt;
}

// Expands one block into out[0, want); false when it is damaged or short.
bool expandBlock(Codec codec, Bytes block, uint8_t *out, size_t want) {
    if (want == 0) return true;
    if (std::optional<Bytes> stored = storedPart(codec, block, want)) {
        if (stored->size < want) return false;
        memcpy(out, stored->data, want);
        return true;
    }
    std::optional<size_t> produced =
        codec == Codec::Lzvn ? lzvnDecode(block, out, 0, want) : lzfseDecode(block, out, want);
    return produced == want;
}

void expandInline(Codec codec, Bytes data, std::vector<uint8_t> &out, Messages &messages, uint64_t &damaged) {
    if (!expandBlock(codec, data, out.data(), out.size())) {
        std::fill(out.begin(), out.end(), 0);
        ++damaged;
        messages.err("Error decompressing the attribute's data (%s): left empty\n", codecName(codec));
    }
}

// Types 8, 10 and 12: the fork starts with little-endian offsets from its start, one per 64 KiB
// block and one for the end of the last; block i lies between offsets i and i + 1.
void expandOffsetBlocks(Codec codec, const DecmpfsFork &fork, uint64_t size, const DecmpfsSink &sink,
                        Messages &messages, uint64_t &damaged) {
    uint64_t blocks = (size + kDecmpfsBlock - 1) / kDecmpfsBlock;
    std::vector<uint8_t> scratch, out;
    TableReader table(fork, 0, 4);   // the size was checked against its first offset
    DamageReport damage(messages, damaged);
    for (uint64_t i = 0; i < blocks && !g_Interrupted; ++i) {
        uint64_t at = table.entry(i).le32(0), end = table.entry(i + 1).le32(0);
        uint64_t position = i * kDecmpfsBlock;
        out.assign(std::min<uint64_t>(kDecmpfsBlock, size - position), 0);
        if (g_Debug)
            messages.err("Block %llu: offset 0x%llx, size 0x%llx (%s)\n", static_cast<unsigned long long>(i),
                         static_cast<unsigned long long>(at), static_cast<unsigned long long>(end - at), codecName(codec));
        Bytes block = end >= at && end - at <= kMaxCompressedBlock ? fork.read(at, end - at, scratch) : Bytes{};
        if (end < at || (block.empty() && end > at)) {
            if (damage.sayNext())
                messages.err("Block %llu (offset 0x%llx, end 0x%llx) lies outside the resource fork: left empty\n",
                             static_cast<unsigned long long>(i), static_cast<unsigned long long>(at),
                             static_cast<unsigned long long>(end));
        } else if (!expandBlock(codec, block, out.data(), out.size())) {
            std::fill(out.begin(), out.end(), 0);
            if (damage.sayNext())
                messages.err("Error decompressing in block %llu (%s): left empty\n", static_cast<unsigned long long>(i),
                             codecName(codec));
        }
        sink(position, out.data(), out.size());
    }
}

// The largest size a resource fork can honestly expand to.
uint64_t forkExpansionLimit(const DecmpfsFork &fork, uint32_t type) {
    std::vector<uint8_t> scratch;
    if (type == kDecmpfsZlibFork) {
        uint64_t blocks = fork.read(blockTableOf(fork, scratch), 4, scratch).le32(0);
        uint64_t fits = fork.size / kBlockEntrySize;   // each block takes a table entry of the fork
        return std::min(blocks, fits) * kDecmpfsBlock;
    }
    // One 4-byte offset per block and one for the end; the first tells the table's size.
    uint64_t table = std::min<uint64_t>(fork.read(0, 4, scratch).le32(0), fork.size);
    return table >= 8 ? (table / 4 - 1) * kDecmpfsBlock : 0;
}

// The largest size inline data can honestly expand to.
uint64_t inlineExpansionLimit(Bytes compressed, Codec codec) {
    uint64_t data = compressed.size > kDecmpfsHeaderSize ? compressed.size - kDecmpfsHeaderSize : 0;
    switch (codec) {
    case Codec::Zlib: return compressed.size * kZlibMaxRatio + 64;
    case Codec::Stored: return data;
    default: return kMaxInlineExpansion;
    }
}

}  // namespace

const char *decmpfsTypeText(uint32_t type) {
    const Type *t = typeOf(type);
    return t ? t->text : "unknown";
}

bool decmpfsTypeKnown(uint32_t type) { return typeOf(type) != nullptr; }

bool decmpfsInResourceFork(uint32_t type) {
    const Type *t = typeOf(type);
    return t && t->fork;
}

bool decmpfsExpandFork(const DecmpfsFork &fork, uint32_t type, uint64_t size, const DecmpfsSink &sink,
                       Messages &messages, uint64_t *damagedBlocks) {
    uint64_t ignored = 0;
    uint64_t &damaged = damagedBlocks ? *damagedBlocks : ignored;
    if (g_Debug)
        messages.err("Uncompressing %d->%d (Type: %d)\n", static_cast<int>(fork.size), static_cast<int>(size), type);
    const Type *t = typeOf(type);
    if (!t || !t->fork) {
        messages.err("The file uses a compression Tarnwick does not read (type %u)\n", type);
        return false;
    }
    std::vector<uint8_t> scratch;
    if (type == kDecmpfsZlibFork && fork.read(blockTableOf(fork, scratch), 4, scratch).empty()) {
        messages.err("The resource fork's header points outside the fork (%llu bytes)\n",
                     static_cast<unsigned long long>(fork.size));
        return false;
    }
    if (size > forkExpansionLimit(fork, type)) {
        messages.err("The file claims %llu bytes, more than its compressed data can hold\n",
                     static_cast<unsigned long long>(size));
        return false;
    }
    if (type == kDecmpfsZlibFork)
        expandZlibBlocks(fork, size, sink, messages, damaged);
    else
        expandOffsetBlocks(t->codec, fork, size, sink, messages, damaged);
    return true;
}

std::optional<std::vector<uint8_t>> decmpfsDecompress(Bytes compressed, uint32_t type, uint64_t size,
                                                      Messages &messages, uint64_t *damagedBlocks) {
    uint64_t ignored = 0;
    uint64_t &damaged = damagedBlocks ? *damagedBlocks : ignored;
    const Type *t = typeOf(type);
    if (t && t->fork) {
        DecmpfsFork fork{compressed.size, [compressed](uint64_t offset, uint64_t length, std::vector<uint8_t> &) {
                             return offset <= compressed.size ? compressed.sub(offset, length) : Bytes{};
                         }};
        std::vector<uint8_t> out;
        bool expanded = decmpfsExpandFork(fork, type, size, [&](uint64_t position, const uint8_t *data, size_t length) {
            if (out.size() < position + length) out.resize(position + length, 0);
            if (length) memcpy(out.data() + position, data, length);
        }, messages, &damaged);
        if (!expanded) return std::nullopt;
        out.resize(size, 0);
        return out;
    }
    if (g_Debug)
        messages.err("Uncompressing %d->%d (Type: %d)\n", static_cast<int>(compressed.size), static_cast<int>(size),
                     type);
    if (!t) {
        messages.err("The file uses a compression Tarnwick does not read (type %u)\n", type);
        return std::nullopt;
    }
    if (size > inlineExpansionLimit(compressed, t->codec)) {
        messages.err("The file claims %llu bytes, more than its compressed data can hold\n",
                     static_cast<unsigned long long>(size));
        return std::nullopt;
    }
    std::vector<uint8_t> out(size, 0);
    if (type == kDecmpfsZlibAttribute)
        expandZlibAttribute(compressed.from(kDecmpfsHeaderSize), out, messages, damaged);
    else
        expandInline(t->codec, compressed.from(kDecmpfsHeaderSize), out, messages, damaged);
    return out;
}
