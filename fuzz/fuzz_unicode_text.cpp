// libFuzzer entry: charset conversion, UTF-8 checks and cuts (the body lives in fuzz_targets.cpp).
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return tavik::runFuzzEntry(tavik::fuzzUnicodeText, data, size);
}
