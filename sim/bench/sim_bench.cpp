// Simulator throughput: the device model alone, one request/answer exchange
// over a virtual segment, and one discovery answered by 250 devices.
//   sim_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "libs/zarnisupp/vseg/Segment.h"
#include "sim/DeviceModel.h"
#include "sim/Simulator.h"
#include "sim/tests/TestWire.h"

using namespace simtest;
using namespace kvr::sim;

namespace {

// A private segment root for the run, removed at exit.
struct Root {
    std::string dir;
    Root() {
        char tmpl[] = "/tmp/kvrsim-bench-XXXXXX";
        if (mkdtemp(tmpl)) dir = tmpl;
        setenv("KVR_SEGMENT_DIR", dir.c_str(), 1);
    }
    ~Root() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
} g_root;

Mac DeviceMac(unsigned i) { return Mac{0x00, 0x07, 0xF5, 0x7E, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}; }

// Receives until `want` frames came or 5 s passed; returns the count.
std::size_t Receive(kvr::vseg::Station& st, std::size_t want) {
    std::uint8_t buf[kvr::vseg::kMaxFrame];
    std::size_t got = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got < want && std::chrono::steady_clock::now() < end) {
        if (!st.Wait(100)) continue;
        while (got < want && st.Receive(buf, sizeof buf) > 0) ++got;
    }
    return got;
}

void BM_ModelDiscoveryAnswer(benchmark::State& state) {
    DeviceConfig c;
    c.mac = DeviceMac(1);
    DeviceModel m(c);
    m.SetLogging(false);
    Bytes req = HostFrame(kGroup, 8, 0, 2, DiscoveryPayload());
    std::uint16_t label = 2;
    for (auto _ : state) {
        req[25] = static_cast<std::uint8_t>(label & 0xFF);
        req[26] = static_cast<std::uint8_t>(label >> 8);
        label = static_cast<std::uint16_t>(label == 32767 ? 1 : label + 1);
        auto outs = m.OnFrame(req, 0);
        benchmark::DoNotOptimize(outs);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ModelDiscoveryAnswer);

void BM_SegmentExchange(benchmark::State& state) {
    std::string segment = "bench-x" + std::to_string(getpid());
    Simulator sim;
    DeviceConfig c;
    c.mac = DeviceMac(1);
    sim.AddDevice(c);
    sim.SetFrameLogging(false);
    std::string err;
    if (!sim.StartOnSegment(segment, &err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    auto host = kvr::vseg::Station::Attach(segment, kHost, &err);
    std::uint16_t label = 2;
    std::size_t lost = 0;
    for (auto _ : state) {
        Bytes req = HostFrame(c.mac, 8, 0, label, Payload().Query(0xFC0E).bytes);
        label = static_cast<std::uint16_t>(label == 32767 ? 1 : label + 1);
        host->Send(req.data(), req.size());
        if (Receive(*host, 2) != 2) ++lost;
    }
    state.counters["exchanges/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["incomplete"] = static_cast<double>(lost);
}
BENCHMARK(BM_SegmentExchange)->UseRealTime();

void BM_DiscoveryOfManyDevices(benchmark::State& state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    std::string segment = "bench-d" + std::to_string(getpid()) + "-" + std::to_string(n);
    Simulator sim;
    for (unsigned i = 0; i < n; ++i) {
        DeviceConfig c;
        c.mac = DeviceMac(i + 1);
        c.name = "Device " + std::to_string(i + 1);
        sim.AddDevice(c);
    }
    sim.SetFrameLogging(false);
    std::string err;
    if (!sim.StartOnSegment(segment, &err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    auto host = kvr::vseg::Station::Attach(segment, kHost, &err);
    std::uint16_t label = 2;
    std::size_t missing = 0;
    for (auto _ : state) {
        Bytes req = HostFrame(kGroup, 8, 0, label++, DiscoveryPayload());
        host->Send(req.data(), req.size());
        missing += 2 * n - Receive(*host, 2 * n);  // an ACK and a response from each
    }
    state.counters["frames_missing"] = static_cast<double>(missing);
    state.counters["devices"] = n;
}
BENCHMARK(BM_DiscoveryOfManyDevices)->Arg(1)->Arg(250)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
