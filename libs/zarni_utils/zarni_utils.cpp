#include "zarni_utils.h"

#include <array>
#include <cmath>
#include <ctime>

#include "zarni_utils_core.h"

namespace {

// Reflected polynomial 0x04C11DB7, built once for the life of the library.
constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t x = i;
        for (int k = 0; k < 8; ++k) x = (x & 1u) ? (x >> 1) ^ 0xEDB88320u : x >> 1;
        table[i] = x;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

inline std::uint32_t RunCrc(std::uint32_t c, const std::uint8_t* data, std::int32_t length) {
    for (std::int32_t i = 0; i < length; ++i) c = (c >> 8) ^ kCrcTable[(c ^ data[i]) & 0xFFu];
    return c;
}

}  // namespace

namespace zarni_utils {

std::uint64_t ReadCounter() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t CounterFrequency() { return 1000000u; }

double ElapsedMs(std::uint64_t start, std::uint64_t now, std::uint64_t frequency) {
    const std::uint32_t d = static_cast<std::uint32_t>(now) - static_cast<std::uint32_t>(start);
    const auto f = static_cast<std::uint32_t>(frequency);
    if (f == 0) return static_cast<double>(d);
    return static_cast<double>((1000.0L / f) * d);
}

std::int64_t ElapsedMsTruncated(std::uint64_t start, std::uint64_t now, std::uint64_t frequency) {
    return static_cast<std::int64_t>(std::trunc(ElapsedMs(start, now, frequency)));
}

}  // namespace zarni_utils

extern "C" {

uint32_t crc32_gen(const uint8_t* data, int32_t length) {
    if (length <= 0 || data == nullptr) return 0;
    return RunCrc(0xFFFFFFFFu, data, length) ^ 0xFFFFFFFFu;
}

void crc32_rgen(const uint8_t* data, int32_t length, uint32_t* crc) {
    if (crc == nullptr || length <= 0 || data == nullptr) return;
    *crc = RunCrc(*crc, data, length);
}

double QueryElapsedTimeMs(uint32_t startLow, uint32_t startHigh) {
    const std::uint64_t start = (static_cast<std::uint64_t>(startHigh) << 32) | startLow;
    const std::uint64_t now = zarni_utils::ReadCounter();
    return zarni_utils::ElapsedMs(start, now, zarni_utils::CounterFrequency());
}

int64_t QueryElapsedTimeMsLongInt(const int64_t* start) {
    if (start == nullptr) return 0;
    return zarni_utils::ElapsedMsTruncated(static_cast<std::uint64_t>(*start), zarni_utils::ReadCounter(),
                                           zarni_utils::CounterFrequency());
}

int32_t LeMakeWord(int32_t a, int32_t b) {
    return static_cast<int32_t>(((static_cast<std::uint32_t>(a) & 0xFFu) << 8) | (static_cast<std::uint32_t>(b) & 0xFFu));
}

uint8_t LeHiByte(int32_t x) { return static_cast<uint8_t>(static_cast<std::uint32_t>(x) & 0xFFu); }

uint8_t LeLoByte(int32_t x) { return static_cast<uint8_t>(static_cast<std::uint32_t>(x) >> 8); }

int32_t LeMakeLong(int32_t a, int32_t b, int32_t c, int32_t d) {
    const std::uint32_t v = ((static_cast<std::uint32_t>(a) & 0xFFu) << 24) |
                            ((static_cast<std::uint32_t>(b) & 0xFFu) << 16) |
                            ((static_cast<std::uint32_t>(c) & 0xFFu) << 8) | (static_cast<std::uint32_t>(d) & 0xFFu);
    return static_cast<int32_t>(v);
}

int16_t LeHiWord(int32_t x) { return static_cast<int16_t>(static_cast<std::uint16_t>(static_cast<std::uint32_t>(x) & 0xFFFFu)); }

int16_t LeLoWord(int32_t x) { return static_cast<int16_t>(x >> 16); }

}  // extern "C"
