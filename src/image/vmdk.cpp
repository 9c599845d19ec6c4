// VMDK images through libvmdk: a sparse file, or a descriptor file naming its extent files.
#ifdef TARNWICK_HAVE_LIBVMDK

#include <libvmdk.h>
#include <sys/stat.h>

#include "base/output.h"
#include "image/library_image.h"

namespace {

const LibraryCalls kVmdk = {"libvmdk", libvmdk_handle_close, libvmdk_handle_free, libvmdk_handle_read_buffer_at_offset,
                            libvmdk_error_backtrace_sprint, libvmdk_error_free};

// libvmdk opens each extent file the descriptor names beside the descriptor, under the last part
// of its name. One there that is no regular file (a FIFO would hold the open forever) is named
// here, before anything opens it; missing ones are left to libvmdk to say.
std::string irregularExtent(LibraryHandle &handle, const std::string &path) {
    int count = 0;
    if (libvmdk_handle_get_number_of_extents(handle.get(), &count, handle.error()) != 1) handle.takeError();
    std::string folder = path.substr(0, path.rfind('/') + 1);
    for (int i = 0; i < count; ++i) {
        libvmdk_extent_descriptor_t *extent = nullptr;
        if (libvmdk_handle_get_extent_descriptor(handle.get(), i, &extent, handle.error()) != 1) {
            handle.takeError();
            continue;
        }
        std::string name = handle.text(extent, libvmdk_extent_descriptor_get_utf8_filename_size,
                                       libvmdk_extent_descriptor_get_utf8_filename);
        libvmdk_extent_descriptor_free(&extent, handle.error());
        handle.takeError();
        name.erase(0, name.rfind('/') + 1);
        struct stat st;
        if (stat((folder + name).c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return name;
    }
    return "";
}

}  // namespace

std::unique_ptr<Image> openVmdk(const std::string &path, Messages &messages) {
    std::unique_ptr<LibraryHandle> handle =
        openLibraryHandle(kVmdk, libvmdk_handle_initialize, libvmdk_handle_open, LIBVMDK_OPEN_READ, path, messages);
    if (!handle) return nullptr;
    std::string parent = handle->text(handle->get(), libvmdk_handle_get_utf8_parent_filename_size,
                                      libvmdk_handle_get_utf8_parent_filename);
    if (!parent.empty()) return sayNeedsParent(path, "a VMDK image", parent, messages);
    if (std::string odd = irregularExtent(*handle, path); !odd.empty()) {
        messages.err("The extent %s of this VMDK image is not a regular file: not opened\n", visible(odd).c_str());
        return nullptr;
    }
    size64_t size = 0;
    if (libvmdk_handle_open_extent_data_files(handle->get(), handle->error()) != 1 ||
        libvmdk_handle_get_media_size(handle->get(), &size, handle->error()) != 1)
        return sayCannotOpen(*handle, path, messages);
    return std::make_unique<LibraryImage>(std::move(handle), size);
}

#endif
