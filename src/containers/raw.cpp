#include "containers/raw.h"

#include <fcntl.h>

#include <cstdio>

#include "containers/gpt.h"
#include "containers/lwvm.h"
#include "shell/a.h"

int mountRaw(const char *path) {
    UniqueFd fd(open(path, O_RDONLY));
    if (!fd) {
        perror("open");
        return -1;
    }
    uint8_t buffer[kProbeSize] = {};   // a shorter file leaves the rest zero
    if (readAt(fd.get(), buffer, sizeof buffer, 0) < 0) {
        perror("read");
        return -1;
    }
    Bytes probe{buffer, sizeof buffer};
    if (!isGPT(probe).empty()) {
        fprintf(stderr, "Found GPT header\n");
        validateGPTHeader(probe, g_Verbose, sizeOfFd(fd.get()));
        return 0;
    }
    return mountLwVM(path);
}
