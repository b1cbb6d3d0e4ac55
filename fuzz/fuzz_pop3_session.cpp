// libFuzzer entry: the POP3 session against a server answering with the input's pieces.
#include "fuzz_sessions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return tavik::runFuzzEntry(tavik::fuzzPop3Session, data, size);
}
