// libFuzzer target: any bytes the adapter hands over as one received frame.
// ReadNDIS must never read past the frame, and what it accepts must be
// consistent (payload of exactly the reported length, inside the frame).
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

    std::vector<std::uint8_t> src, payload(3, 0xEE);
    std::uint8_t type = 0, status = 0;
    std::int16_t label = 0, len = 0;
    if (ReadNDIS(0, src, 0, type, label, status, len, payload)) {
        if (len < 0 || payload.size() != static_cast<std::size_t>(len) || static_cast<std::size_t>(len) + 28 > size ||
            src.size() != 13 || src[12] != 0)
            std::abort();
    }
    return 0;
}
