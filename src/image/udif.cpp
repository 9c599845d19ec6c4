#include "image/udif.h"

#include <bzlib.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <lzma.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/output.h"
#include "codecs/adc.h"
#include "image/base64.h"
#include "image/verdict.h"
#include "image/xml.h"
#include "codecs/lzfse.h"
#include "image/opener.h"

namespace {

constexpr uint64_t kSector = 512;
constexpr size_t kMishHeader = 204, kChunkSize = 40;
constexpr uint32_t kZero = 0, kRaw = 1, kIgnore = 2, kComment = 0x7FFFFFFE, kADC = 0x80000004, kZlib = 0x80000005,
                   kBzip2 = 0x80000006, kLzfse = 0x80000007, kLzma = 0x80000008,
                   kTerminator = 0xFFFFFFFF;
// Each thread holds one chunk in and out at a time; real images use chunks of 1 MiB, so a chunk
// claiming more than this is damage, not data.
constexpr uint64_t kMaxChunkBytes = 64ull << 20;
constexpr int kADCCapacity = 200000000;
// hdiutil's LZMA chunks use small dictionaries; a header asking for more is damage.
constexpr uint64_t kLzmaMemoryLimit = 128ull << 20;
constexpr unsigned kMaxThreads = 16;

struct Chunk {
    uint32_t type;
    Bytes comment;
    uint64_t firstSector, sectorCount, offset, length;
};

Chunk chunkAt(Bytes table, uint32_t i) {
    Bytes c = table.sub(kMishHeader + kChunkSize * i, kChunkSize);
    return {c.be32(0), c.sub(4, 4), c.be64(8), c.be64(16), c.be64(24), c.be64(32)};
}

void reportTrailer(Bytes koly, uint64_t position, Messages &messages) {
    messages.out("KOLY header found at %lld:\n\tUDIF version %d, Header Size: %d\n\tFlags:%d\n",
                 static_cast<long long>(position), koly.be32(4), koly.be32(8), koly.be32(12));
    if (koly.be64(40) == 0)
        messages.out("\tRsrc fork: None\n");
    else
        messages.out("\tRsrc fork: from %lld, spanning %lld bytes\n", static_cast<long long>(koly.be64(40)),
                     static_cast<long long>(koly.be64(48)));
    messages.out("\tData fork: from %lld, spanning %lld bytes\n", static_cast<long long>(koly.be64(24)),
                 static_cast<long long>(koly.be64(32)));
    messages.out("\tXML plist: from %lld, spanning %lld bytes (to %lld)\n", static_cast<long long>(koly.be64(216)),
                 static_cast<long long>(koly.be64(224)), static_cast<long long>(koly.be64(216) + koly.be64(224)));
    messages.out("\tSegment #: %d, Count: %d\n", koly.be32(56), koly.be32(60));
    messages.out("\tSegment UUID: %08x-%08x-%08x-%08x\n", koly.le32(64), koly.le32(68), koly.le32(72), koly.le32(76));
    messages.out("\tRunning Data fork offset %lld\n", static_cast<long long>(koly.be64(16)));
    messages.out("\tSectors: %lld\n", static_cast<long long>(koly.be64(492)));
    if (koly.be64(24) + koly.be64(32) != koly.be64(216))
        messages.err("Warning: XML doesn't start immediately after image\n");
}

// The kinds of the partitions a property list names: "Apple_APFS" for "disk image (Apple_APFS : 4)".
std::vector<std::string> partitionNames(const std::string &xml) {
    std::vector<std::string> names;
    const std::string key = "<key>Name</key>";
    for (size_t at = xml.find(key); at != std::string::npos; at = xml.find(key, at + key.size())) {
        size_t open = xml.find("<string>", at + key.size()), close = xml.find("</string>", open);
        if (open == std::string::npos || close == std::string::npos) break;
        std::string name = xml.substr(open + 8, close - open - 8);
        size_t paren = name.find('('), colon = name.find(" :", paren);
        if (paren != std::string::npos && colon != std::string::npos) name = name.substr(paren + 1, colon - paren - 1);
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

// The decoded block table of the partition whose entry names Apple_HFS, or nothing (reported; a
// property list that names other partitions sets *verdict to kNotHFS).
std::optional<std::vector<uint8_t>> hfsBlockTable(int fd, Bytes koly, uint64_t fileSize, int *verdict, Messages &messages) {
    uint64_t xmlOffset = koly.be64(216), xmlLength = koly.be64(224);
    if (xmlOffset > fileSize || xmlLength > fileSize - xmlOffset) {
        messages.err("The property list (%llu bytes from %llu) lies outside the image\n",
                     static_cast<unsigned long long>(xmlLength), static_cast<unsigned long long>(xmlOffset));
        return std::nullopt;
    }
    std::string xml(xmlLength, '\0');
    ssize_t got = readAt(fd, xml.data(), xml.size(), xmlOffset);
    xml.resize(got < 0 ? 0 : static_cast<size_t>(got));
    xml = xml.c_str();   // the text ends at its first NUL
    if (g_Debug) messages.err("XML: %s\n", visible(xml).c_str());
    size_t hfs = xml.find("Apple_HFS");
    if (hfs == std::string::npos) {
        std::vector<std::string> partitions = partitionNames(xml);
        if (partitions.empty())
            messages.err("No HFS detected in this image\n");
        else
            *verdict = sayNotHFS(partitions, messages);
        return std::nullopt;
    }
    messages.err("Apple_HFS detected\n");
    auto dict = getXMLElementContaining(xml, hfs, "dict");
    auto data = dict ? getXMLelement(*dict, "data") : std::nullopt;
    if (!data) {
        messages.err("The Apple_HFS partition has no block table in the property list\n");
        return std::nullopt;
    }
    auto table = base64decode(*data);
    if (!table || table->empty()) {
        messages.err("Base 64 Decoding failed. DMG must be corrupted (or I have a bug?!)\n");
        return std::nullopt;
    }
    return table;
}

bool checkBlockTable(Bytes table, uint64_t imageBytes, Messages &messages) {
    if (g_Debug) {
        messages.err("%d bytes decoded (BLKX: %ld) - ", static_cast<int>(table.size), 72L);
        messages.err("DMG decompressed size is %lld\n", static_cast<long long>(imageBytes));
    }
    if (!table.has(0, 4) || memcmp(table.data, "mish", 4) != 0) {
        messages.err("Decoded BLXX, but didn't find DMGBLX_MAGIC ('mish'). Instead have %x", table.le32(0));
        return false;
    }
    if (table.be32(4) != 1) {
        messages.err("Decoded BLXX, got DMGBLX_MAGIC ('mish'), but version is  %x", table.le32(4));
        return false;
    }
    uint32_t chunks = table.be32(200);
    if (!table.has(kMishHeader, static_cast<uint64_t>(chunks) * kChunkSize)) {
        messages.err("The block table holds %zu bytes, too few for its %u chunks\n", table.size, chunks);
        return false;
    }
    if (g_Debug) {
        messages.out("Decompressing %x blocks, Desc %x\n", chunks, table.be32(36));
        messages.err("%lld sectors - %lld bytes\n", static_cast<long long>(table.be64(16)),
                     static_cast<long long>(imageBytes));
    }
    return true;
}

// What a chunk has to say, kept by the thread that expands it and written in chunk order.
struct Said {
    std::string out, err;
};

[[gnu::format(printf, 2, 3)]] void say(std::string &to, const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    to += line;
}

void reportChunkError(Said &said, const Chunk &c, uint64_t produced) {
    say(said.err, "Decompression error: From offset %lld, %lld bytes decompressed to %d (should have been %lld)\n",
        static_cast<long long>(c.offset), static_cast<long long>(c.length), static_cast<int>(produced),
        static_cast<long long>(c.sectorCount * kSector));
}

// zlib, fed in pieces so that no count has to fit in 32 bits.
bool inflateChunk(Bytes in, uint8_t *out, uint64_t room, const Chunk &c, Said &said, uint64_t *produced) {
    z_stream s{};
    if (int rc = inflateInit(&s); rc != Z_OK) {
        say(said.out, "Error %d initializing Zlib\n", rc);
        return false;
    }
    size_t inPos = 0, outPos = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        s.next_in = const_cast<uint8_t *>(in.data + inPos);
        s.avail_in = static_cast<uInt>(std::min<size_t>(in.size - inPos, UINT_MAX));
        s.next_out = out + outPos;
        s.avail_out = static_cast<uInt>(std::min<size_t>(room - outPos, UINT_MAX));
        uInt inBefore = s.avail_in, outBefore = s.avail_out;
        rc = inflate(&s, Z_NO_FLUSH);
        inPos += inBefore - s.avail_in;
        outPos += outBefore - s.avail_out;
        if (rc == Z_OK && inBefore == s.avail_in && outBefore == s.avail_out) rc = Z_BUF_ERROR;   // no progress
    }
    inflateEnd(&s);
    *produced = outPos;
    if (rc != Z_STREAM_END) {
        say(said.err, "Decompression problem... RC: %d\n", rc);
        reportChunkError(said, c, outPos);
        return false;
    }
    return true;
}

bool bunzipChunk(Bytes in, uint8_t *out, uint64_t room, Said &said, uint64_t *produced) {
    bz_stream s{};
    if (int rc = BZ2_bzDecompressInit(&s, 0, 0); rc != BZ_OK) {
        say(said.out, "Error %d initializing BZlib\n", rc);
        return false;
    }
    size_t inPos = 0, outPos = 0;
    int rc = BZ_OK;
    while (rc == BZ_OK) {
        s.next_in = reinterpret_cast<char *>(const_cast<uint8_t *>(in.data + inPos));
        s.avail_in = static_cast<unsigned>(std::min<size_t>(in.size - inPos, UINT_MAX));
        s.next_out = reinterpret_cast<char *>(out + outPos);
        s.avail_out = static_cast<unsigned>(std::min<size_t>(room - outPos, UINT_MAX));
        unsigned inBefore = s.avail_in, outBefore = s.avail_out;
        rc = BZ2_bzDecompress(&s);
        inPos += inBefore - s.avail_in;
        outPos += outBefore - s.avail_out;
        if (rc == BZ_OK && inBefore == s.avail_in && outBefore == s.avail_out) rc = BZ_OUTBUFF_FULL;
    }
    BZ2_bzDecompressEnd(&s);
    *produced = outPos;
    if (rc != BZ_STREAM_END) {
        say(said.err, "Decompression problem... RC: %d\n", rc);
        return false;
    }
    return true;
}

// One .xz stream, as hdiutil writes each LZMA chunk.
bool unxzChunk(Bytes in, uint8_t *out, uint64_t room, const Chunk &c, Said &said, uint64_t *produced) {
    lzma_stream s = LZMA_STREAM_INIT;
    lzma_ret rc = lzma_stream_decoder(&s, kLzmaMemoryLimit, 0);
    if (rc != LZMA_OK) {
        say(said.out, "Error %d initializing LZMA\n", static_cast<int>(rc));
        return false;
    }
    s.next_in = in.data;
    s.avail_in = in.size;
    s.next_out = out;
    s.avail_out = room;
    // With all the input given and the output's room fixed, every call makes progress or fails.
    do rc = lzma_code(&s, LZMA_FINISH);
    while (rc == LZMA_OK && s.avail_out > 0);
    *produced = s.total_out;
    lzma_end(&s);
    if (rc != LZMA_STREAM_END) {
        say(said.err, "Decompression problem... RC: %d\n", static_cast<int>(rc));
        reportChunkError(said, c, *produced);
        return false;
    }
    return true;
}

bool knownChunkType(uint32_t type) {
    switch (type) {
    case kZero: case kRaw: case kIgnore: case kComment: case kADC: case kZlib: case kBzip2: case kLzfse:
    case kLzma: case kTerminator: return true;
    default: return false;
    }
}

const char *debugWord(uint32_t type) {
    switch (type) {
    case kZero: return "ZERO\n";
    case kRaw: return "RAW\n";
    case kIgnore: return "IGNORE\n";
    case kADC: return "ADC\n";
    case kZlib: return "Zlib\n";
    case kBzip2: return "BZlib\n";
    case kLzfse: return "LZFSE\n";
    case kLzma: return "LZMA\n";
    default: return "";
    }
}

// A chunk as checked before anything is expanded: where its bytes go, and what is said about it.
struct Planned {
    Chunk c{};
    uint32_t index = 0;
    uint64_t offset = 0, place = 0, room = 0;   // its data in the image file; its bytes in the expanded image
    std::string before;                         // debug trace, cuts, terminator
    bool expand = false;                        // has data to decode and write
    bool stop = false;                          // damage that stops the image
};

Planned planChunk(const Chunk &c, uint32_t i, uint32_t count, uint64_t fileSize, uint64_t base, uint64_t imageBytes) {
    Planned p;
    p.c = c;
    p.index = i;
    if (g_Debug) {
        say(p.before, "Block %d - %lld (%lld sectors) - Compressed to %lld, %lld bytes ", i,
            static_cast<long long>(c.firstSector), static_cast<long long>(c.sectorCount),
            static_cast<long long>(c.offset), static_cast<long long>(c.length));
        if (c.type == kComment) {
            std::string word;   // up to four characters, ended by a NUL
            for (size_t k = 0; k < 4 && c.comment.u8(k) != 0; ++k) word += static_cast<char>(c.comment.u8(k));
            say(p.before, "COMMENT - %s\n", visible(word).c_str());
        } else {
            p.before += debugWord(c.type);
        }
    }
    if (c.type == kTerminator) {
        p.before += i + 1 == count ? "Found Terminator in last block. Good\n" : "Warning: Last block is not a terminator!\n";
        return p;
    }
    if (c.type == kZero || c.type == kIgnore || c.type == kComment) return p;
    // The chunk's place in the expanded image, cut at its end.
    p.place = c.firstSector < imageBytes / kSector ? c.firstSector * kSector : imageBytes;
    uint64_t want = c.sectorCount <= (imageBytes - p.place) / kSector ? c.sectorCount * kSector : imageBytes - p.place;
    if (want != c.sectorCount * kSector)
        say(p.before, "Chunk %u (sectors %llu+%llu) runs past the expanded image: cut\n", i,
            static_cast<unsigned long long>(c.firstSector), static_cast<unsigned long long>(c.sectorCount));
    p.offset = base + c.offset;
    if (p.offset < base || p.offset > fileSize || c.length > fileSize - p.offset) {
        say(p.before, "Chunk %u: its %llu bytes at %llu lie beyond the end of the image\n", i,
            static_cast<unsigned long long>(c.length), static_cast<unsigned long long>(p.offset));
        p.stop = true;
        return p;
    }
    p.room = c.type == kRaw ? std::min(c.length, want) : want;
    if (c.type == kRaw && c.length > want) say(p.before, "Chunk %u: raw data longer than its place: cut\n", i);
    if (p.room > kMaxChunkBytes || c.length > kMaxChunkBytes) {
        say(p.before, "Chunk %u claims %llu bytes: more than a chunk can hold\n", i,
            static_cast<unsigned long long>(std::max(p.room, c.length)));
        p.stop = true;
        return p;
    }
    p.expand = p.room > 0;
    return p;
}

// What one expanding thread holds: its buffers and inflater, reused from chunk to chunk.
struct Decoder {
    std::vector<uint8_t> in, out;
    libdeflate_decompressor *deflate = libdeflate_alloc_decompressor();
    Decoder() = default;
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    ~Decoder() { libdeflate_free_decompressor(deflate); }
};

bool writeAt(int fd, const uint8_t *data, uint64_t length, uint64_t position) {
    for (uint64_t done = 0; done < length;) {
        ssize_t n = pwrite(fd, data + done, length - done, static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<uint64_t>(n);
    }
    return true;
}

// Reads, expands and writes one chunk at its place; false stops the image.
bool expandChunk(const Planned &p, Decoder &d, int imageFd, int outFd, Said &said) {
    const Chunk &c = p.c;
    uint64_t wanted = c.type == kRaw ? p.room : c.length;
    d.in.resize(wanted);
    if (readAt(imageFd, d.in.data(), wanted, p.offset) != static_cast<ssize_t>(wanted)) {
        say(said.err, "Chunk %u: short read of its data at %llu\n", p.index, static_cast<unsigned long long>(p.offset));
        return false;
    }
    Bytes in{d.in.data(), d.in.size()};
    const uint8_t *result = d.in.data();
    uint64_t produced = p.room;
    bool ok = true;
    if (c.type != kRaw) {
        d.out.resize(p.room);
        result = d.out.data();
    }
    if (c.type == kADC) {
        int made = 0;
        int capacity = static_cast<int>(std::min<uint64_t>(p.room, kADCCapacity));
        adc_decompress(static_cast<int>(in.size), in.data, capacity, d.out.data(), &made);
        produced = static_cast<uint64_t>(made);
        if (produced != c.sectorCount * kSector) {
            reportChunkError(said, c, produced);
            ok = false;
        }
    } else if (c.type == kZlib) {
        size_t made = 0;
        // libdeflate is the fast path; zlib takes what it refuses, and says why a chunk is bad.
        if (libdeflate_zlib_decompress(d.deflate, in.data, in.size, d.out.data(), p.room, &made) == LIBDEFLATE_SUCCESS)
            produced = made;
        else
            ok = inflateChunk(in, d.out.data(), p.room, c, said, &produced);
    } else if (c.type == kLzfse) {
        std::optional<size_t> made = lzfseDecode(in, d.out.data(), p.room);
        if (made) {
            produced = *made;   // a short stream leaves zeros
        } else {
            say(said.err, "Chunk %u: the LZFSE stream is damaged\n", p.index);
            reportChunkError(said, c, 0);
            ok = false;
        }
    } else if (c.type == kLzma) {
        ok = unxzChunk(in, d.out.data(), p.room, c, said, &produced);
    } else if (c.type == kBzip2) {
        ok = bunzipChunk(in, d.out.data(), p.room, said, &produced);
    }
    // Every sector a chunk claims must come out of it: a stream that ends early is damage, not zeros.
    if (ok && c.type != kRaw && c.type != kADC && produced != p.room) {
        say(said.err, "Chunk %u: its stream ends early\n", p.index);
        reportChunkError(said, c, produced);
        ok = false;
    }
    // Zeros are not written: the output file reads zero where nothing was written, and costs no
    // space there, so chunks that repeat zeros cannot fill /tmp.
    if (ok && !allZero(result, produced) && !writeAt(outFd, result, produced, p.place)) {
        say(said.err, "write: %s\n", strerror(errno));
        ok = false;
    }
    return ok;
}

unsigned expansionThreads() {
    unsigned threads = std::thread::hardware_concurrency();
    if (const char *text = getenv("TARNWICK_THREADS")) threads = static_cast<unsigned>(strtoul(text, nullptr, 10));
    return std::clamp(threads, 1u, kMaxThreads);
}

// A line on a terminal's standard error, redrawn in place while a long expansion runs.
class Progress {
public:
    Progress(uint64_t total, Messages &messages)
        : total_(total), shown_(isatty(STDERR_FILENO) == 1), messages(messages) {}
    void update(uint64_t done) {
        double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        if (!shown_ || seconds < 1 || Clock::now() - drawn_ < std::chrono::milliseconds(200)) return;
        drawn_ = Clock::now();
        double rate = static_cast<double>(done) / seconds;
        double left = rate > 0 ? static_cast<double>(total_ - std::min(done, total_)) / rate : 0;
        messages.err("\rExpanding: %3d%%, %.1f MB/s, %.0f s left  ",
                     total_ ? static_cast<int>(100 * static_cast<double>(done) / static_cast<double>(total_)) : 100,
                     rate / 1e6, left);
        drawing_ = true;
    }
    void clear() {
        if (drawing_) messages.err("\r\033[K");
        drawing_ = false;
    }

private:
    using Clock = std::chrono::steady_clock;
    uint64_t total_;
    bool shown_, drawing_ = false;
    Messages &messages;
    Clock::time_point start_ = Clock::now(), drawn_{};
};

// The chunks to expand, those before the first one whose damage was seen without expanding it, and
// the bytes they write.
std::pair<size_t, uint64_t> workOf(const std::vector<Planned> &plan) {
    uint64_t total = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].stop) return {i, total};
        if (plan[i].expand) total += plan[i].room;
    }
    return {plan.size(), total};
}

// Expands the planned chunks into outFd on a few threads, each taking the next chunk and writing it
// in place, while this thread writes what each chunk said, in chunk order, and stops at the first
// chunk that fails (or at Ctrl-C). The threads are joined before it returns.
bool expandChunks(const std::vector<Planned> &plan, int imageFd, int outFd, Messages &messages) {
    size_t limit = 0;   // not a structured binding: the workers' lambda captures it
    uint64_t total = 0;
    std::tie(limit, total) = workOf(plan);
    struct Outcome {
        bool done = false, ok = true;
        Said said;
    };
    std::vector<Outcome> outcomes(limit);
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> expanded{0};
    auto work = [&] {
        Decoder decoder;
        while (!stop && !g_Interrupted) {
            size_t i = next++;
            if (i >= limit) break;
            Outcome outcome;
            if (plan[i].expand) {
                try {
                    outcome.ok = expandChunk(plan[i], decoder, imageFd, outFd, outcome.said);
                } catch (const std::bad_alloc &) {
                    say(outcome.said.err, "out of memory allocating %lld bytes\n", static_cast<long long>(plan[i].c.length));
                    outcome.ok = false;
                }
                expanded += plan[i].room;
            }
            outcome.done = true;
            std::lock_guard lock(mutex);
            outcomes[i] = std::move(outcome);
            finished.notify_all();
        }
    };
    std::vector<std::thread> threads;
    unsigned wanted = static_cast<unsigned>(std::min<size_t>(expansionThreads(), std::max<size_t>(limit, 1)));
    try {
        while (threads.size() < wanted) threads.emplace_back(work);
    } catch (const std::system_error &) {
        if (threads.empty()) work();   // no thread to be had: expand here
    }

    Progress progress(total, messages);
    bool ok = true;
    for (size_t i = 0; i < plan.size() && ok; ++i) {
        if (i < limit) {
            std::unique_lock lock(mutex);
            while (!outcomes[i].done && !g_Interrupted) {
                finished.wait_for(lock, std::chrono::milliseconds(100));
                progress.update(expanded);
            }
        }
        if (g_Interrupted) {
            ok = false;
            break;
        }
        if (!plan[i].before.empty() || (i < limit && !outcomes[i].ok)) progress.clear();
        messages.err("%s", plan[i].before.c_str());
        if (i == limit) {
            ok = false;
            break;
        }
        messages.out("%s", outcomes[i].said.out.c_str());
        messages.err("%s", outcomes[i].said.err.c_str());
        ok = outcomes[i].ok;
    }
    stop = true;
    for (std::thread &thread : threads) thread.join();
    progress.clear();
    return ok;
}

// The expansion's own file. Where the file system allows, it has no name until the volume in it has
// opened, so that nothing is left behind however the program ends (Ctrl-C, a kill, a crash);
// elsewhere it has a temporary name of its own, removed unless it is kept.
class TemporaryFile {
public:
    TemporaryFile() {
        std::string folder(kDecompressedPath, strrchr(kDecompressedPath, '/') + 1);
        fd = UniqueFd(open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
        if (fd) return;
        path_ = std::string(kDecompressedPath) + ".XXXXXX";
        fd = UniqueFd(mkostemp(path_.data(), O_CLOEXEC));
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;
    ~TemporaryFile() {
        if (fd && !path_.empty() && !kept_) unlink(path_.c_str());
    }

    // The file reopened read-only (a named one only when its name still names the file written).
    UniqueFd reopenReadOnly() const {
        UniqueFd volume(open(named().c_str(), O_RDONLY | O_CLOEXEC | (path_.empty() ? 0 : O_NOFOLLOW)));
        struct stat written, opened;
        if (volume && (fstat(fd.get(), &written) != 0 || fstat(volume.get(), &opened) != 0 ||
                       written.st_dev != opened.st_dev || written.st_ino != opened.st_ino))
            volume = UniqueFd();
        return volume;
    }

    // Puts the file at kDecompressedPath, in place of what was there; says why not.
    bool keep(Messages &messages) {
        if (!path_.empty()) {
            kept_ = rename(path_.c_str(), kDecompressedPath) == 0;
            if (!kept_) messages.err("rename: %s\n", strerror(errno));
            return kept_;
        }
        // A link cannot replace a name: the old one goes first (another run may put one back between).
        for (int tries = 0; tries < 3 && !kept_; ++tries) {
            kept_ = linkat(AT_FDCWD, named().c_str(), AT_FDCWD, kDecompressedPath, AT_SYMLINK_FOLLOW) == 0;
            if (!kept_ && (errno != EEXIST || (unlink(kDecompressedPath) != 0 && errno != ENOENT))) break;
        }
        if (!kept_) messages.err("link: %s\n", strerror(errno));
        return kept_;
    }

    UniqueFd fd;

private:
    std::string named() const { return path_.empty() ? "/proc/self/fd/" + std::to_string(fd.get()) : path_; }

    std::string path_;   // empty while the file has no name
    bool kept_ = false;
};

void reportNoRoom(uint64_t imageBytes, uint64_t sectors, Messages &messages) {
    // A size past what a file can hold is printed whole, not wrapped.
    if (sectors > UINT64_MAX / kSector)
        messages.err("Can't allocate enough memory (%llu sectors) for decompression\n", static_cast<unsigned long long>(sectors));
    else
        messages.err("Can't allocate enough memory (%llu) for decompression\n", static_cast<unsigned long long>(imageBytes));
}

}  // namespace

int mountUDIF(int imageFd, Bytes koly, const VolumeOpener &open, Messages &messages) {
    uint64_t fileSize = sizeOfFd(imageFd);
    reportTrailer(koly, fileSize - kKolySize, messages);
    int verdict = -1;
    auto decoded = hfsBlockTable(imageFd, koly, fileSize, &verdict, messages);
    if (!decoded) return verdict;
    Bytes table{decoded->data(), decoded->size()};
    uint64_t sectors = table.be64(16);
    uint64_t imageBytes = sectors * kSector;
    if (sectors > static_cast<uint64_t>(INT64_MAX) / kSector) {
        reportNoRoom(imageBytes, sectors, messages);
        return -1;
    }
    if (!checkBlockTable(table, imageBytes, messages)) return -1;
    // An unknown kind would leave its sectors zero and the volume quietly wrong: refuse the image
    // before anything is written.
    uint32_t count = table.be32(200);
    for (uint32_t i = 0; i < count; ++i) {
        if (uint32_t type = chunkAt(table, i).type; !knownChunkType(type)) {
            messages.err("The image uses a compression Tarnwick does not read (type 0x%08x)\n", type);
            return -1;
        }
    }
    struct stat st;
    if (lstat(kDecompressedPath, &st) == 0 && S_ISLNK(st.st_mode)) {
        messages.err("%s is a symbolic link: refusing to write through it\n", kDecompressedPath);
        return -1;
    }

    // Chunk offsets count from the image's data: the data fork's offset plus the table's own.
    uint64_t base = koly.be64(24) + table.be64(24);
    std::vector<Planned> plan;
    plan.reserve(count);
    for (uint32_t i = 0; i < count; ++i) plan.push_back(planChunk(chunkAt(table, i), i, count, fileSize, base, imageBytes));

    // The expansion goes to a file of its own, put in place only once the volume in it has opened.
    // Sectors no chunk writes stay holes, which cost nothing: the expanded size may be anything the
    // file system takes, and only the data written must fit in its free space.
    TemporaryFile file;
    if (!file.fd) {
        messages.err("mkstemp: %s\n", strerror(errno));
        return -1;
    }
    if (ftruncate(file.fd.get(), static_cast<off_t>(imageBytes)) != 0) {
        reportNoRoom(imageBytes, sectors, messages);
        return -1;
    }
    struct statvfs space;
    uint64_t data = workOf(plan).second;
    if (fstatvfs(file.fd.get(), &space) == 0 && data / space.f_frsize > space.f_bavail) {
        messages.err("The image expands to %llu bytes of data, more than the %llu bytes free in /tmp\n",
                     static_cast<unsigned long long>(data),
                     static_cast<unsigned long long>(space.f_bavail) * space.f_frsize);
        return -1;
    }
    if (!expandChunks(plan, imageFd, file.fd.get(), messages)) return -1;

    messages.err("decompression done - Writing %ld bytes to %s..\n", static_cast<long>(imageBytes), kDecompressedPath);
    messages.err("%llu bytes written..\n", static_cast<unsigned long long>(imageBytes));   // past 2 GiB too
    UniqueFd volume = file.reopenReadOnly();
    if (!volume) messages.err("Unable to open %s\n", kDecompressedPath);
    int number = volume.get();
    int rc = volume && open(volume, 0) ? 0 : -1;
    messages.out("RC was %d\n", rc);
    if (rc != 0) return -1;
    // The volume now holds the expansion open: put in place, it is released with the volume.
    return file.keep(messages) ? number : -1;
}
