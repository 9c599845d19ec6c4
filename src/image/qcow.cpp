// QCOW images (versions 1 to 3) through libqcow.
#ifdef TARNWICK_HAVE_LIBQCOW

#include <libqcow.h>

#include "image/library_image.h"

namespace {

const LibraryCalls kQcow = {"libqcow", libqcow_file_close, libqcow_file_free, libqcow_file_read_buffer_at_offset,
                            libqcow_error_backtrace_sprint, libqcow_error_free};

}  // namespace

std::unique_ptr<Image> openQcow(const std::string &path, Messages &messages) {
    std::unique_ptr<LibraryHandle> handle =
        openLibraryHandle(kQcow, libqcow_file_initialize, libqcow_file_open, LIBQCOW_OPEN_READ, path, messages);
    if (!handle) return nullptr;
    uint32_t encryption = 0;
    size64_t size = 0;
    if (libqcow_file_get_encryption_method(handle->get(), &encryption, handle->error()) != 1 ||
        libqcow_file_get_media_size(handle->get(), &size, handle->error()) != 1)
        return sayCannotOpen(*handle, path, messages);
    if (encryption != LIBQCOW_ENCRYPTION_METHOD_NONE) {
        messages.err("This QCOW image is encrypted; Tarnwick cannot read encrypted images\n");
        return nullptr;
    }
    std::string backing = handle->text(handle->get(), libqcow_file_get_utf8_backing_filename_size,
                                       libqcow_file_get_utf8_backing_filename);
    if (!backing.empty()) return sayNeedsParent(path, "a QCOW image", backing, messages);
    return std::make_unique<LibraryImage>(std::move(handle), size);
}

#endif
