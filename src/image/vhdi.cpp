// VHD and VHDX images through libvhdi.
#ifdef TARNWICK_HAVE_LIBVHDI

#include <libvhdi.h>

#include "image/library_image.h"

namespace {

const LibraryCalls kVhdi = {"libvhdi", libvhdi_file_close, libvhdi_file_free, libvhdi_file_read_buffer_at_offset,
                            libvhdi_error_backtrace_sprint, libvhdi_error_free};

}  // namespace

std::unique_ptr<Image> openVhdi(const std::string &path, Messages &messages) {
    std::unique_ptr<LibraryHandle> handle =
        openLibraryHandle(kVhdi, libvhdi_file_initialize, libvhdi_file_open, LIBVHDI_OPEN_READ, path, messages);
    if (!handle) return nullptr;
    uint32_t diskType = 0;
    size64_t size = 0;
    if (libvhdi_file_get_disk_type(handle->get(), &diskType, handle->error()) != 1 ||
        libvhdi_file_get_media_size(handle->get(), &size, handle->error()) != 1)
        return sayCannotOpen(*handle, path, messages);
    if (diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
        std::string parent = handle->text(handle->get(), libvhdi_file_get_utf8_parent_filename_size,
                                          libvhdi_file_get_utf8_parent_filename);
        return sayNeedsParent(path, "a differencing disk", parent, messages);
    }
    return std::make_unique<LibraryImage>(std::move(handle), size);
}

#endif
