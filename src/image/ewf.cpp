// EWF (E01) images through libewf: a set of segment files (.E01, .E02, ...) found from the first.
#ifdef TARNWICK_HAVE_LIBEWF

#include <libewf.h>

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
    return std::make_unique<LibraryImage>(std::move(handle), size);
}

#endif
