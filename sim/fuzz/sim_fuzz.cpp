// libFuzzer target: arbitrary bytes as frames reaching a simulated device. The
// first byte picks the device's setup and whether the input gets a valid SNAP
// header in front, so both the frame parser and the request handling (reads,
// writes, firmware records, data frames) are reached.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/DeviceModel.h"
#include "sim/SimFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    ++data;
    --size;

    kvr::sim::DeviceConfig c;
    c.mac = {0x00, 0x07, 0xF5, 0x01, 0x02, 0x03};
    c.downloadMode = (mode & 0x01) != 0;
    c.wpaCapable = (mode & 0x02) != 0;
    c.v16Download = (mode & 0x04) == 0;
    c.restartMs = 0;
    c.maxImageBytes = 1 << 16;
    kvr::sim::DeviceModel device(c);

    // Up to four frames, split at 0xFF 0xFE markers.
    std::vector<std::vector<std::uint8_t>> frames(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFE && frames.size() < 4) {
            frames.emplace_back();
            ++i;
            continue;
        }
        frames.back().push_back(data[i]);
    }
    std::int64_t now = 0;
    for (const auto& body : frames) {
        if (mode & 0x08) {
            // Wrap the bytes as a SNAP frame to the device; the kind from the mode.
            kvr::sim::SnapFrame f;
            f.dst = (mode & 0x10) ? kvr::sim::kSnapMulticast : c.mac;
            f.src = {0x02, 0, 0, 0, 0, 1};
            f.headerSrc = f.src;
            f.version = (mode & 0x20) ? 0 : 8;
            f.typeByte = static_cast<std::uint8_t>((mode >> 6) == 3 ? 4 : (mode >> 6));
            f.label = 2;
            f.payload.assign(body.begin(), body.begin() + static_cast<long>(body.size() > 1464 ? 1464 : body.size()));
            auto frame = kvr::sim::BuildSnapFrame(f);
            (void)device.OnFrame(frame, now);
        } else {
            (void)device.OnFrame(body, now);
        }
        now += 10;
    }
    (void)device.State(now);
    return 0;
}
