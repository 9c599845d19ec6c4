#include "image/opener.h"

#include <cstdio>

#include "base/output.h"

void announcePartitionOffset(uint64_t offset, Messages &messages) {
    if (g_Debug) messages.err("Setting partition offset to 0x%llx\n", static_cast<unsigned long long>(offset));
}
