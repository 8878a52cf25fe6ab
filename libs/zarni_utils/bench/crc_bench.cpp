// crc32_gen throughput on a 16 MiB buffer against zlib's crc32 on the same data.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "zarni_utils.h"

namespace {

const std::vector<std::uint8_t>& Buffer() {
    static const std::vector<std::uint8_t> buf = [] {
        std::vector<std::uint8_t> b(16u << 20);
        std::uint32_t x = 2463534242u;
        for (auto& v : b) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            v = static_cast<std::uint8_t>(x);
        }
        return b;
    }();
    return buf;
}

void BM_crc32_gen(benchmark::State& state) {
    const auto& b = Buffer();
    for (auto _ : state) benchmark::DoNotOptimize(crc32_gen(b.data(), static_cast<std::int32_t>(b.size())));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(b.size()));
}
BENCHMARK(BM_crc32_gen)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_zlib_crc32(benchmark::State& state) {
    const auto& b = Buffer();
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0L, b.data(), static_cast<uInt>(b.size())));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(b.size()));
}
BENCHMARK(BM_zlib_crc32)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
