// CPU cost of ReadNDIS called back to back on a quiet adapter: the receive
// window must sleep in the library, not spin. Runs over a private virtual
// segment through the shipped library. Reports cpu_percent (process CPU time
// over wall time while reading) and the time of one silent read.
//   adapter_bench --benchmark_min_time=10
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Segment.h"
#include "Seams.h"
#include "ZarniLibs.h"
#include "modZarniSupp.h"

namespace {

double CpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_ReadNdisSilence(benchmark::State& state) {
    char tmpl[] = "/tmp/kvr-adapter-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string root = tmpl;
    ::setenv("KVR_SEGMENT_DIR", root.c_str(), 1);
    const std::string segment = "bench" + std::to_string(::getpid());
    auto device = kvr::vseg::Station::Attach(segment, {0x00, 0x07, 0xF5, 0x01, 0x02, 0x03});
    kvr::SetLibraryDirectory(KVR_BUNDLE_DIR);
    kvr::ResetZarniSuppModule();
    kvr::FakeClock fast;  // no 2-second scan pauses
    kvr::SetClock(&fast);
    GetNumAdapters();
    kvr::SetClock(nullptr);
    std::int32_t h = -1;
    if (!device || !OpenNdisDeviceByDesc(h, "KVR virtual segment " + segment)) {
        state.SkipWithError("cannot open the virtual segment");
    } else {
        kvr::SnapFrame frame;
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        std::int64_t frames = 0;
        for (auto _ : state) {
            if (ReadNDIS(h, frame)) ++frames;
        }
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;
        state.counters["cpu_percent"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
        state.counters["wall_s"] = wall;
        state.counters["frames"] = static_cast<double>(frames);
        CloseNdisRaw(h);
    }
    device.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}
BENCHMARK(BM_ReadNdisSilence)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(10.0);

}  // namespace

BENCHMARK_MAIN();
