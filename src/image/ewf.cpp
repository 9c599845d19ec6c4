// EWF (E01) images through libewf: a set of segment files (.E01, .E02, ...) found from the first.
#ifdef TARNWICK_HAVE_LIBEWF

#include <libdeflate.h>
#include <libewf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <system_error>
#include <thread>

#include "image/library_image.h"

namespace {

// libewf hands over a chunk that fails its checksum as it is, and only lists the sectors: a read
// that overlaps them fails here rather than give damaged bytes as the disk's.
bool readDamaged(intptr_t *handle, uint64_t position, uint64_t length) {
    intptr_t *error = nullptr;
    uint32_t ranges = 0, sectorSize = 0;
    bool damaged = libewf_handle_get_number_of_checksum_errors(handle, &ranges, &error) != 1 ||
                   (ranges > 0 &&
                    (libewf_handle_get_bytes_per_sector(handle, &sectorSize, &error) != 1 || sectorSize == 0));
    for (uint32_t i = 0; i < ranges && !damaged; ++i) {
        uint64_t first = 0, count = 0;
        damaged = libewf_handle_get_checksum_error(handle, i, &first, &count, &error) != 1 ||
                  (first < (position + length + sectorSize - 1) / sectorSize && position / sectorSize < first + count);
    }
    if (error) libewf_error_free(&error);
    return damaged;
}

// Older releases named the read at an offset "read_random".
#if LIBEWF_VERSION < 20160000
constexpr auto kReadAt = libewf_handle_read_random;
#else
constexpr auto kReadAt = libewf_handle_read_buffer_at_offset;
#endif

// The MD5 and SHA1 the acquisition stored, those it has.
std::vector<StoredDigest> digests(intptr_t *handle) {
    std::vector<StoredDigest> found;
    const std::pair<const char *, int (*)(intptr_t *, uint8_t *, size_t, intptr_t **)> kinds[] = {
        {"MD5", libewf_handle_get_md5_hash}, {"SHA1", libewf_handle_get_sha1_hash}};
    for (const auto &[name, get] : kinds) {
        std::vector<uint8_t> value(std::string_view(name) == "MD5" ? 16 : 20);
        intptr_t *error = nullptr;
        if (get(handle, value.data(), value.size(), &error) == 1) found.push_back({name, value});
        libewf_error_free(&error);
    }
    return found;
}

const LibraryCalls kEwf = {"libewf", libewf_handle_close, libewf_handle_free, kReadAt, libewf_error_backtrace_sprint,
                           libewf_error_free, readDamaged, digests};

#if LIBEWF_VERSION < 20160000
// libewf inflates its chunks with zlib, on one core. Here the chunks of a read are taken from it
// as stored, then inflated with libdeflate (or their checksum checked) on a few threads; a read
// that follows the one before has the next run decoded meanwhile on a worker, while the caller
// uses this one. Whatever fails here (damage, a chunk libewf cannot give) is read through libewf
// as before, and libewf judges it.
constexpr uint64_t kRunBytes = 1 << 20;          // decoded ahead at once
constexpr uint32_t kMaxChunkBytes = 8 << 20;     // larger chunks are left to libewf's own reads
constexpr size_t kChunkSlack = 16;               // what a compressed chunk may hold past its size

using Inflater = std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)>;

class EwfImage final : public Image {
public:
    EwfImage(std::unique_ptr<LibraryHandle> handle, uint64_t size, uint32_t chunkBytes)
        : handle_(std::move(handle)), size_(std::min<uint64_t>(size, INT64_MAX)), chunkBytes_(chunkBytes),
          chunks_((size_ + chunkBytes - 1) / chunkBytes), runChunks_(std::max<uint64_t>(1, kRunBytes / chunkBytes)) {}
    ~EwfImage() override { settle(); }

    ssize_t readAt(void *buffer, size_t len, uint64_t position) const override {
        if (position >= size_ || len == 0) return 0;
        len = static_cast<size_t>(std::min<uint64_t>(len, size_ - position));
        uint64_t last = (position + len - 1) / chunkBytes_;
        for (size_t done = 0; done < len;) {
            uint64_t at = position + done, chunk = at / chunkBytes_, within = at % chunkBytes_;
            const Run &run = runHolding(chunk, std::min(last - chunk + 1, runChunks_));
            if (!run.holds(chunk) || !run.good[chunk - run.first]) {
                errno = EIO;
                return -1;
            }
            size_t take = static_cast<size_t>(std::min<uint64_t>(len - done, chunkBytes_ - within));
            memcpy(static_cast<uint8_t *>(buffer) + done, run.bytes.data() + (chunk - run.first) * chunkBytes_ + within, take);
            done += take;
        }
        bool sequential = position == lastEnd_;
        lastEnd_ = position + len;
        uint64_t next = current_.first + current_.count;
        if (sequential && !ahead_.valid() && next < chunks_) {
            try {
                ahead_ = std::async(std::launch::async, [this, next] { decode(next, runChunks_, next_); });
            } catch (const std::system_error &) {
                // No thread to be had: the next run is decoded when it is read.
            }
        }
        return static_cast<ssize_t>(len);
    }
    uint64_t size() const override { return size_; }
    std::vector<StoredDigest> storedDigests() const override {
        settle();
        return digests(handle_->get());
    }

private:
    // What libewf gave of a chunk: its compressed bytes, or its bytes stored as they are and their
    // Adler-32. Nothing (size 0) when it is to be read through libewf.
    struct Taken {
        size_t size = 0;
        bool compressed = false;
        uint32_t checksum = 0;
    };
    // Chunks [first, first + count) decoded, each in a place of chunkBytes_; good[i] when chunk i reads.
    struct Run {
        uint64_t first = 0, count = 0;
        std::vector<uint8_t> bytes;
        std::vector<char> good;
        bool holds(uint64_t chunk) const { return chunk >= first && chunk - first < count; }
    };

    // The run holding `chunk`: the current one, the one decoded ahead, or `count` chunks from it decoded now.
    const Run &runHolding(uint64_t chunk, uint64_t count) const {
        if (current_.holds(chunk)) return current_;
        settle();
        if (next_.holds(chunk)) std::swap(current_, next_);
        else decode(chunk, count, current_);
        return current_;
    }

    // Waits for the run decoded ahead: until then it and the handle are the worker's.
    void settle() const {
        if (ahead_.valid()) ahead_.get();
    }

    // Fills `run` with the chunks from `first`: their compressed bytes read in order (the handle
    // takes one caller at a time), inflated on several threads, then what is left read through libewf.
    void decode(uint64_t first, uint64_t count, Run &run) const noexcept {
        try {
            run.first = first;
            run.count = std::min(count, chunks_ - first);
            size_t stride = chunkBytes_ + kChunkSlack;
            run.bytes.resize(run.count * chunkBytes_);
            raw_.resize(run.count * stride);
            taken_.assign(run.count, {});
            run.good.assign(run.count, 0);
            for (uint64_t i = 0; i < run.count; ++i) {
                int8_t compressed = 0, checksumRead = 0;
                uint32_t checksum = 0;
                uint8_t stored[4];
                ssize_t got = -1;
                if (libewf_handle_seek_offset(handle_->get(), static_cast<off64_t>((first + i) * chunkBytes_), SEEK_SET,
                                              handle_->error()) >= 0)
                    got = libewf_handle_read_chunk(handle_->get(), raw_.data() + i * stride, stride, &compressed, stored,
                                                   &checksum, &checksumRead, handle_->error());
                if (got < 0) handle_->takeError();
                // Stored bytes come with their checksum after them, which libewf hands over apart.
                if (got > 0 && compressed) taken_[i] = {static_cast<size_t>(got), true, 0};
                else if (got >= 4 && checksumRead) taken_[i] = {static_cast<size_t>(got) - 4, false, checksum};
            }
            size_t threads = std::min<size_t>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u), run.count);
            auto inflate = [&](size_t from) {
                Inflater inflater(libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
                for (size_t i = from; inflater && i < run.count; i += threads) {
                    const Taken &t = taken_[i];
                    const uint8_t *in = raw_.data() + i * stride;
                    uint8_t *out = run.bytes.data() + i * chunkBytes_;
                    size_t made = 0;
                    if (t.compressed)
                        run.good[i] = libdeflate_zlib_decompress(inflater.get(), in, t.size, out, chunkBytes_, &made) ==
                                      LIBDEFLATE_SUCCESS;
                    else if (t.size > 0 && t.size <= chunkBytes_ && libdeflate_adler32(1, in, t.size) == t.checksum) {
                        memcpy(out, in, t.size);
                        made = t.size;
                        run.good[i] = 1;
                    }
                    run.good[i] = run.good[i] && made >= plainBytes(first + i);
                }
            };
            std::vector<std::thread> helpers;
            try {
                for (size_t t = 1; t < threads; ++t) helpers.emplace_back(inflate, t);
            } catch (const std::system_error &) {
                // Fewer helpers: the chunks of those missing are read through libewf below.
            }
            inflate(0);
            for (std::thread &helper : helpers) helper.join();
            for (uint64_t i = 0; i < run.count; ++i) {
                if (run.good[i]) continue;
                uint64_t at = (first + i) * chunkBytes_, plain = plainBytes(first + i);
                ssize_t got = kReadAt(handle_->get(), run.bytes.data() + i * chunkBytes_, plain, static_cast<off64_t>(at),
                                      handle_->error());
                if (got < 0) handle_->takeError();
                run.good[i] = got == static_cast<ssize_t>(plain) && !readDamaged(handle_->get(), at, plain);
            }
        } catch (const std::bad_alloc &) {
            run.count = 0;   // read as a failure
        }
    }

    // The media bytes chunk k holds: all its size but in the last.
    uint64_t plainBytes(uint64_t k) const { return std::min<uint64_t>(chunkBytes_, size_ - k * chunkBytes_); }

    std::unique_ptr<LibraryHandle> handle_;
    uint64_t size_;
    uint32_t chunkBytes_;
    uint64_t chunks_, runChunks_;
    mutable Run current_, next_;
    // The chunks as libewf gives them, for the run being decoded: like the handle, one run's at a time.
    mutable std::vector<uint8_t> raw_;
    mutable std::vector<Taken> taken_;
    mutable std::future<void> ahead_;   // decoding next_
    mutable uint64_t lastEnd_ = UINT64_MAX;
};
#endif

// The segment files' names, as libewf finds them beside the first; freed with the list.
struct SegmentNames {
    char **names = nullptr;
    int count = 0;
    ~SegmentNames() {
        intptr_t *error = nullptr;
        if (names) libewf_glob_free(names, count, &error);
        if (error) libewf_error_free(&error);
    }
};

}  // namespace

std::unique_ptr<Image> openEwf(const std::string &path, Messages &messages) {
    auto handle = std::make_unique<LibraryHandle>(kEwf);
    SegmentNames segments;
    // A name libewf cannot number from (no .E01, say) is opened alone.
    char *alone[] = {const_cast<char *>(path.c_str())};
    bool set = libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &segments.names, &segments.count,
                           handle->error()) == 1;
    handle->takeError();
    if (libewf_handle_initialize(handle->slot(), handle->error()) != 1 ||
        libewf_handle_open(handle->get(), set ? segments.names : alone, set ? segments.count : 1, LIBEWF_OPEN_READ,
                           handle->error()) != 1)
        return sayCannotOpen(*handle, path, messages);
    handle->markOpen();
    size64_t size = 0;
    if (libewf_handle_get_media_size(handle->get(), &size, handle->error()) != 1)
        return sayCannotOpen(*handle, path, messages);
    if (libewf_handle_segment_files_corrupted(handle->get(), handle->error()) != 0) {
        handle->takeError();
        messages.err("This E01 image is damaged or incomplete (a segment file cut short or missing): what it "
                     "lost cannot be read\n");
    }
#if LIBEWF_VERSION < 20160000
    size32_t chunkBytes = 0;
    if (libewf_handle_get_chunk_size(handle->get(), &chunkBytes, handle->error()) == 1 && chunkBytes > 0 &&
        chunkBytes <= kMaxChunkBytes)
        return std::make_unique<EwfImage>(std::move(handle), size, chunkBytes);
    handle->takeError();
#endif
    return std::make_unique<LibraryImage>(std::move(handle), size);
}

#endif
