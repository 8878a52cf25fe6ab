// libFuzzer target: any bytes the adapter hands over as one received frame.
// ReadNDIS (and the frame codec below it) must never read past the frame, and
// what it accepts must be consistent (a payload inside the frame).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "AdapterTestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static kvr::FakeClock clock;
    static bool once = [] {
        kvr::SetClock(&clock);
        return true;
    }();
    (void)once;
    kvr::test::UseFakeSupp();
    kvr::test::Fake().rx.emplace_back(data, data + std::min<std::size_t>(size, 1514));

    kvr::SnapFrame frame;
    frame.payload.assign(3, 0xEE);
    if (ReadNDIS(0, frame)) {
        // The payload lies inside the frame, after the header of its version.
        if (frame.payload.size() + kvr::SnapPayloadOffset(frame.version) > size ||
            (frame.version != 0 && frame.version != 8))
            std::abort();
    }
    return 0;
}
