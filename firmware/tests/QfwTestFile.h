#pragma once
// A .qfw header written to a file, for tests of what reads headers (the
// wizard). The sections are left absent: their checks are the integrity
// check's business.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace kvr::test {

struct QfwFields {
    bool magic = true;
    std::int32_t swId = 0x100;
    std::int32_t swVersion = 0x300;
    std::int16_t hardwareId = 1;
    std::int16_t compatibleHardwareVersion = 1;
    std::string date = "20261208", time = "09300000";
};

inline void WriteQfwHeaderFile(const std::string& path, const QfwFields& f) {
    std::vector<std::uint8_t> b(96, 0);
    auto le = [&b](std::size_t at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    const std::string magic = f.magic ? "qFoW" : "qFoX";
    for (std::size_t i = 0; i < 8; ++i) {
        if (i < 4) b[i] = static_cast<std::uint8_t>(magic[i]);
        b[0x08 + i] = static_cast<std::uint8_t>(f.date[i]);
        b[0x10 + i] = static_cast<std::uint8_t>(f.time[i]);
    }
    le(0x18, static_cast<std::uint32_t>(f.swId), 4);
    le(0x1C, static_cast<std::uint32_t>(f.swVersion), 4);
    le(0x20, static_cast<std::uint16_t>(f.hardwareId), 2);
    le(0x22, static_cast<std::uint16_t>(f.compatibleHardwareVersion), 2);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), 96);
}

}  // namespace kvr::test
