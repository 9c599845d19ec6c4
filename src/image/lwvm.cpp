#include "image/lwvm.h"

#include <fcntl.h>
#include <string.h>

#include <cstdio>
#include <cstdlib>

#include "base/output.h"
#include "image/gpt.h"
#include "image/opener.h"

namespace {

constexpr uint8_t LWVM_GUID[16] = {0x6a, 0x90, 0x88, 0xcf, 0x8a, 0xfd, 0x63, 0x0a,
                                   0xe3, 0x51, 0xe2, 0x48, 0x87, 0xe0, 0xb9, 0x8b};
constexpr uint32_t kDefaultLwVMOffset = 0x800000;
constexpr size_t kRecordsOffset = 512, kRecordSize = 128;
constexpr size_t kLwVMSearched = 4096;   // the map lies in the first 4096 bytes

uint32_t offsetFromEnvironment(Messages &messages) {
    uint32_t offset = kDefaultLwVMOffset;
    const char *text = getenv("PARTOFF");
    if (!text) return offset;
    unsigned int value = offset;
    int matched = sscanf(text, "0x%x", &value);
    if (matched == 0) {
        messages.err("Partition offset specified in PARTOFF variable, but is malformed (need 0x...)\n");
        return offset;
    }
    if (matched == 1) offset = value;
    messages.err("Partition Offset set to 0x%x by environment variable\n", offset);
    return offset;
}

}  // namespace

int mountLwVM(const Probe &image, uint64_t *partitionOffset, const HeaderCheck &hasVolume, Messages &messages) {
    Bytes probe = image.view();
    const void *found = memmem(image.bytes, kLwVMSearched, LWVM_GUID, sizeof LWVM_GUID);
    if (!found) return -1;
    Bytes header = probe.sub(0, kLwVMSearched).from(static_cast<const uint8_t *>(found) - image.bytes);
    uint32_t partitions = header.le32(40);
    messages.err("LwVM partition with %d logical, spanning %lld bytes\n", partitions,
                 static_cast<long long>(header.le64(32)));
    for (uint32_t i = 0; i < partitions; ++i) {
        Bytes record = header.sub(kRecordsOffset + static_cast<uint64_t>(i) * kRecordSize, kRecordSize);
        if (record.empty()) break;
        const char *type = GPTTypeGUID(record.sub(0, 16), messages);
        messages.err("\t %d: Partition at 0x%llx-0x%llx Type: %s Name: %s\n", i,
                     static_cast<unsigned long long>(record.le64(32)), static_cast<unsigned long long>(record.le64(40)),
                     type, visible(partitionName(record.sub(56, 72))).c_str());
    }
    // Widened unsigned, so offsets of 2 GiB and more stay usable.
    uint64_t offset = offsetFromEnvironment(messages);
    if (!partitionInsideDevice(offset, image.size(), messages)) return -1;
    announcePartitionOffset(offset, messages);
    *partitionOffset = offset;
    return hasVolume(*image.image, offset) ? 0 : -1;
}
