#pragma once
// One fuzz input through the receive path: the bytes are taken as a whole
// received Ethernet frame (the frame codec the raw frame I/O uses, which must
// build what it accepts back into a frame that reads the same; then the
// response reader's label, version and response-code handling) and,
// independently, as a payload for every RID decoder. Shared by the libFuzzer target and the regression test.
#include <cstddef>
#include <cstdint>

namespace snapfuzz {
void RunOne(const std::uint8_t* data, std::size_t size);
}
