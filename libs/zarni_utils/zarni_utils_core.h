#pragma once
// Internals of zarni_utils shared with its tests and benchmarks (not exported).
#include <cstdint>

namespace zarni_utils {

// Current monotonic counter reading (microseconds) and its frequency (1 MHz).
std::uint64_t ReadCounter();
std::uint64_t CounterFrequency();

// The stopwatch arithmetic for given readings: the unsigned 32-bit difference
// of the low words, scaled to milliseconds by the low word of the frequency
// (the raw difference when that low word is 0).
double ElapsedMs(std::uint64_t start, std::uint64_t now, std::uint64_t frequency);
// The same truncated toward zero to whole milliseconds.
std::int64_t ElapsedMsTruncated(std::uint64_t start, std::uint64_t now, std::uint64_t frequency);

}  // namespace zarni_utils
