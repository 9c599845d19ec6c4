// One libFuzzer target; FUZZ_HARNESS names its harness in harness.h.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::runSilenced(fuzz::FUZZ_HARNESS, data, size);
    return 0;
}
