// libFuzzer entry: arbitrary bytes as received frames and payloads.
#include <cstddef>
#include <cstdint>

#include "SnapFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    snapfuzz::RunOne(data, size);
    return 0;
}
