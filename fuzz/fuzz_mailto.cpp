// libFuzzer entry: mailto: links handed to the program or clicked in a message (the body lives in fuzz_targets.cpp).
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return tavik::runFuzzEntry(tavik::fuzzMailto, data, size);
}
