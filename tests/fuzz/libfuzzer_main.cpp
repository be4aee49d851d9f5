// The libFuzzer entry for one target, chosen when the target is built.
#include "tests/fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return KIRIHA_FUZZ_TARGET(data, size);
}
