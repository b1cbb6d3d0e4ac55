// libFuzzer entry: a mailbox pair and the store's operations on it (the body lives in fuzz_targets.cpp).
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return tavik::runFuzzEntry(tavik::fuzzMailboxPair, data, size);
}
