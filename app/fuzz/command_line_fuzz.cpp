// libFuzzer entry: arbitrary bytes as a command line and as an argv.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "CommandLineFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!automationfuzz::RunOne(data, size)) std::abort();
    return 0;
}
