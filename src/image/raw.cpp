#include "image/raw.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>

#include "base/output.h"
#include "image/gpt.h"
#include "image/lwvm.h"

int mountRaw(const Probe &image, uint64_t *partitionOffset, const HeaderCheck &hasVolume, Messages &messages) {
    Bytes probe = image.view();
    if (!isGPT(probe).empty()) {
        messages.err("Found GPT header\n");
        validateGPTHeader(probe, g_Verbose, image.size(), partitionOffset, messages);
        // Without an HFS+ entry there is nothing to open here: the image probes say what it holds.
        std::vector<std::string> types = gptPartitionTypes(probe);
        return std::find(types.begin(), types.end(), "HFS+") != types.end() ? 0 : -1;
    }
    return mountLwVM(image, partitionOffset, hasVolume, messages);
}
