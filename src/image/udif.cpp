#include "image/udif.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

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
#include "base/progress.h"
#include "image/base64.h"
#include "image/udif_chunks.h"
#include "image/udif_image.h"
#include "image/verdict.h"
#include "image/xml.h"
#include "image/opener.h"

using namespace udif;

namespace {

constexpr unsigned kMaxThreads = 16;


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

}  // namespace

std::string udifPartitionKind(const std::string &name) {
    size_t paren = name.find('('), colon = name.find(" :", paren);
    return paren != std::string::npos && colon != std::string::npos ? name.substr(paren + 1, colon - paren - 1) : name;
}

std::optional<std::array<uint8_t, kKolySize>> udifTrailer(const Image &image) {
    std::array<uint8_t, kKolySize> trailer{};
    uint64_t end = image.size();
    if (end < kKolySize || image.readAt(trailer.data(), kKolySize, end - kKolySize) != static_cast<ssize_t>(kKolySize) ||
        memcmp(trailer.data(), "koly", 4) != 0)
        return std::nullopt;
    return trailer;
}

namespace {

// The kinds of the partitions a property list names: "Apple_APFS" for "disk image (Apple_APFS : 4)".
std::vector<std::string> partitionNames(const std::string &xml) {
    std::vector<std::string> names;
    const std::string key = "<key>Name</key>";
    for (size_t at = xml.find(key); at != std::string::npos; at = xml.find(key, at + key.size())) {
        size_t open = xml.find("<string>", at + key.size()), close = xml.find("</string>", open);
        if (open == std::string::npos || close == std::string::npos) break;
        std::string name = udifPartitionKind(xml.substr(open + 8, close - open - 8));
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

// The property list, up to its first NUL; nothing (said) when it lies outside the image.
std::optional<std::string> propertyList(const Image &image, Bytes koly, Messages &messages) {
    uint64_t xmlOffset = koly.be64(216), xmlLength = koly.be64(224), fileSize = image.size();
    if (xmlOffset > fileSize || xmlLength > fileSize - xmlOffset) {
        messages.err("The property list (%llu bytes from %llu) lies outside the image\n",
                     static_cast<unsigned long long>(xmlLength), static_cast<unsigned long long>(xmlOffset));
        return std::nullopt;
    }
    std::string xml(xmlLength, '\0');
    ssize_t got = image.readAt(xml.data(), xml.size(), xmlOffset);
    xml.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return std::string(xml.c_str());
}

// The Apple_HFS partition's table, from the property list.
std::optional<std::vector<uint8_t>> hfsBlockTable(const std::string &xml, int *verdict, Messages &messages) {
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

// The decoded block table of partition `index`, or (-1) of the one whose entry names Apple_HFS, or
// nothing (reported; a property list that names other partitions sets *verdict to kNotHFS).
std::optional<std::vector<uint8_t>> hfsBlockTable(const Image &image, Bytes koly, int index, int *verdict,
                                                  Messages &messages) {
    auto xml = propertyList(image, koly, messages);
    if (!xml) return std::nullopt;
    if (g_Debug) messages.err("XML: %s\n", visible(*xml).c_str());
    if (index >= 0) {
        std::vector<UdifTable> tables = udifBlockTables(*xml);
        if (static_cast<size_t>(index) < tables.size() && !tables[index].bytes.empty()) return tables[index].bytes;
        messages.err("The image has no partition %d with a block table (see parts)\n", index);
        return std::nullopt;
    }
    return hfsBlockTable(*xml, verdict, messages);
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


bool writeAt(int fd, const uint8_t *data, uint64_t length, uint64_t position) {
    for (uint64_t done = 0; done < length;) {
        ssize_t n = pwrite(fd, data + done, length - done, static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<uint64_t>(n);
    }
    return true;
}

// Decodes one chunk and writes it at its place; false stops the image.
bool expandChunk(const Planned &p, Decoder &d, const Image &image, int outFd, Said &said) {
    Bytes decoded;
    if (!decodeChunk(p, d, image, said, &decoded)) return false;
    // Zeros are not written: the output file reads zero where nothing was written, and costs no
    // space there, so chunks that repeat zeros cannot fill /tmp.
    if (!allZero(decoded.data, decoded.size) && !writeAt(outFd, decoded.data, decoded.size, p.place)) {
        say(said.err, "write: %s\n", strerror(errno));
        return false;
    }
    return true;
}

unsigned expansionThreads() {
    unsigned threads = std::thread::hardware_concurrency();
    if (const char *text = getenv("TARNWICK_THREADS")) threads = static_cast<unsigned>(strtoul(text, nullptr, 10));
    return std::clamp(threads, 1u, kMaxThreads);
}


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
bool expandChunks(const std::vector<Planned> &plan, const Image &image, int outFd, Messages &messages) {
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
                    outcome.ok = expandChunk(plan[i], decoder, image, outFd, outcome.said);
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
    // Only a file is known to take reads from several threads at once.
    unsigned most = image.descriptor() >= 0 ? expansionThreads() : 1;
    unsigned wanted = static_cast<unsigned>(std::min<size_t>(most, std::max<size_t>(limit, 1)));
    try {
        while (threads.size() < wanted) threads.emplace_back(work);
    } catch (const std::system_error &) {
        if (threads.empty()) work();   // no thread to be had: expand here
    }

    Progress progress("Expanding", total, messages);
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


// Opens the volume in the flat image read where it lies, after saying what the plan found.
int openInPlace(const std::shared_ptr<const Image> &file, std::vector<Planned> plan, uint64_t imageBytes,
                const VolumeOpener &open, Messages &messages) {
    for (const Planned &p : plan) messages.err("%s", p.before.c_str());
    int rc = open(std::make_shared<UdifImage>(file, std::move(plan), imageBytes), 0) ? 0 : -1;
    messages.out("RC was %d\n", rc);
    return rc;
}

// Expands the plan into /tmp/decompressed.dmg and opens the volume there; `tooBig` says (without
// a word) that the expansion cannot fit, so that the image is read in place instead.
int openExpanded(const Image &image, const std::vector<Planned> &plan, uint64_t imageBytes, const VolumeOpener &open,
                 bool *tooBig, Messages &messages) {
    struct stat st;
    if (lstat(kDecompressedPath, &st) == 0 && S_ISLNK(st.st_mode)) {
        messages.err("%s is a symbolic link: refusing to write through it\n", kDecompressedPath);
        return -1;
    }
    // The expansion goes to a file of its own, put in place only once the volume in it has opened.
    // Sectors no chunk writes stay holes, which cost nothing: the expanded size may be anything the
    // file system takes, and only the data written must fit in its free space.
    TemporaryFile file;
    if (!file.fd) {
        messages.err("mkstemp: %s\n", strerror(errno));
        return -1;
    }
    struct statvfs space;
    uint64_t data = workOf(plan).second;
    if (ftruncate(file.fd.get(), static_cast<off_t>(imageBytes)) != 0) {
        messages.err("The image expands to %llu bytes, more than a file in /tmp can hold: reading it in place\n",
                     static_cast<unsigned long long>(imageBytes));
        *tooBig = true;
        return -1;
    }
    if (fstatvfs(file.fd.get(), &space) == 0 && data / space.f_frsize > space.f_bavail) {
        messages.err("The image expands to %llu bytes of data, more than the %llu bytes free in /tmp: reading it in place\n",
                     static_cast<unsigned long long>(data),
                     static_cast<unsigned long long>(space.f_bavail) * space.f_frsize);
        *tooBig = true;
        return -1;
    }
    if (!expandChunks(plan, image, file.fd.get(), messages)) return -1;

    messages.err("decompression done - Writing %ld bytes to %s..\n", static_cast<long>(imageBytes), kDecompressedPath);
    messages.err("%llu bytes written..\n", static_cast<unsigned long long>(imageBytes));   // past 2 GiB too
    UniqueFd volume = file.reopenReadOnly();
    if (!volume) messages.err("Unable to open %s\n", kDecompressedPath);
    int number = volume.get();
    int rc = volume && open(std::make_shared<FileImage>(std::move(volume)), 0) ? 0 : -1;
    messages.out("RC was %d\n", rc);
    if (rc != 0) return -1;
    // The volume now holds the expansion open: put in place, it is released with the volume.
    return file.keep(messages) ? number : -1;
}

}  // namespace

int mountUDIF(const std::shared_ptr<const Image> &image, Bytes koly, const UdifChoice &choice, const VolumeOpener &open,
              Messages &messages) {
    const bool inPlace = choice.inPlace;
    const int partition = choice.partition;
    uint64_t fileSize = image->size();
    reportTrailer(koly, fileSize - kKolySize, messages);
    int verdict = -1;
    auto decoded = hfsBlockTable(*image, koly, partition, &verdict, messages);
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
    // before anything is read.
    uint32_t count = table.be32(200);
    for (uint32_t i = 0; i < count; ++i) {
        if (uint32_t type = chunkAt(table, i).type; !knownChunkType(type)) {
            messages.err("The image uses a compression Tarnwick does not read (type 0x%08x)\n", type);
            return -1;
        }
    }
    std::vector<Planned> plan = planOf(table, koly.be64(24), fileSize);

    bool tooBig = false;
    if (!inPlace) {
        int number = openExpanded(*image, plan, imageBytes, open, &tooBig, messages);
        if (!tooBig) return number;
    }
    return openInPlace(image, std::move(plan), imageBytes, open, messages);
}

std::vector<UdifTable> udifBlockTables(const std::string &xml) {
    std::vector<UdifTable> tables;
    size_t blkx = xml.find("<key>blkx</key>");
    size_t end = blkx == std::string::npos ? blkx : xml.find("</array>", blkx);
    for (size_t at = blkx; end != std::string::npos;) {
        size_t open = xml.find("<dict>", at), close = xml.find("</dict>", open);
        if (open == std::string::npos || close == std::string::npos || open > end) break;
        std::string_view dict = std::string_view(xml).substr(open, close - open);
        UdifTable table;
        size_t key = dict.find("<key>Name</key>");
        size_t name = key == std::string::npos ? key : dict.find("<string>", key);
        size_t nameEnd = name == std::string::npos ? name : dict.find("</string>", name);
        if (nameEnd != std::string::npos) table.name = dict.substr(name + 8, nameEnd - name - 8);
        if (auto data = getXMLelement(dict, "data"))
            if (auto decoded = base64decode(*data)) table.bytes = *decoded;
        tables.push_back(std::move(table));
        at = close;
    }
    return tables;
}

std::vector<Planned> planOf(Bytes table, uint64_t dataForkOffset, uint64_t fileSize) {
    // Chunk offsets count from the image's data: the data fork's offset plus the table's own.
    uint64_t base = dataForkOffset + table.be64(24), imageBytes = table.be64(16) * kSector;
    uint32_t count = table.has(kMishHeader, 0) ? table.be32(200) : 0;
    count = static_cast<uint32_t>(std::min<uint64_t>(count, table.size > kMishHeader ? (table.size - kMishHeader) / kChunkSize : 0));
    std::vector<Planned> plan;
    plan.reserve(count);
    for (uint32_t i = 0; i < count; ++i) plan.push_back(planChunk(chunkAt(table, i), i, count, fileSize, base, imageBytes));
    return plan;
}

std::vector<UdifPartition> udifPartitions(const std::shared_ptr<const Image> &file, Bytes koly) {
    Messages quiet;
    auto xml = propertyList(*file, koly, quiet);
    std::vector<UdifPartition> partitions;
    if (!xml) return partitions;
    for (const UdifTable &t : udifBlockTables(*xml)) {
        Bytes table{t.bytes.data(), t.bytes.size()};
        UdifPartition p{t.name, table.be64(8), table.be64(16), nullptr};
        if (table.has(0, 4) && memcmp(table.data, "mish", 4) == 0 && p.sectors <= static_cast<uint64_t>(INT64_MAX) / kSector)
            p.image = std::make_shared<UdifImage>(file, planOf(table, koly.be64(24), file->size()), p.sectors * kSector);
        partitions.push_back(std::move(p));
    }
    return partitions;
}
