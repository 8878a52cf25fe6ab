// Wall time of a full discovery (two requests, then one profile-name
// transaction per device) against simulated devices on a virtual segment,
// compared with the collection windows every discovery must wait through.
//
//   devices_bench --benchmark_counters_tabular=true
//
// Counters per discovery: devices listed and lost, frames the host sent and
// received, the floor (collection windows), the time spent in the windows and
// in the profile reads, and the overhead over the floor in percent.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "Globals.h"
#include "Seams.h"
#include "SnapLink.h"
#include "ZarniLibs.h"
#include "clsDiscover.h"
#include "clsNICpool.h"
#include "modZarniSupp.h"
#include "sim/Simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t0, Clock::time_point t1) {
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

// Passes everything to the program's link and counts the frames.
class CountingLink : public kvr::SnapLink {
public:
    explicit CountingLink(kvr::SnapLink& inner) : m_inner(inner) {}
    bool Write(std::int32_t hNIC, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
               std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen, std::uint8_t modifiedSnap,
               std::vector<std::uint8_t>& payload) override {
        // The first request to one device starts the profile-name reads.
        if (!profilePhase && (frameType & 0x07) == 0 && destMAC != "0107F5000100") {
            profilePhase = true;
            profileStart = Clock::now();
        }
        if ((frameType & 0x07) == 0 && destMAC == "0107F5000100") requests.push_back(Clock::now());
        const bool ok =
            m_inner.Write(hNIC, destMAC, version, frameType, label, downloadMode, payloadLen, modifiedSnap, payload);
        if (ok) ++sent;
        return ok;
    }
    bool Read(std::int32_t hNIC, kvr::SnapFrame& frame) override {
        const bool ok = m_inner.Read(hNIC, frame);
        if (ok) ++received;
        return ok;
    }
    bool Open(const std::string& description, std::int32_t& hNIC) override { return m_inner.Open(description, hNIC); }
    bool Close(std::int32_t hNIC) override { return m_inner.Close(hNIC); }

    long sent = 0, received = 0;
    std::vector<Clock::time_point> requests;  // when each discovery request left
    bool profilePhase = false;
    Clock::time_point profileStart;

private:
    kvr::SnapLink& m_inner;
};

// N simulated devices on a private segment, the only adapter in the NIC pool.
class Bench {
public:
    explicit Bench(int devices) {
        char tmpl[] = "/tmp/kvr-devbench-XXXXXX";
        if (!::mkdtemp(tmpl)) return;
        m_root = tmpl;
        ::setenv("KVR_SEGMENT_DIR", m_root.c_str(), 1);
        kvr::SetLibraryDirectory(KVR_BUNDLE_DIR);
        kvr::ResetZarniSuppModule();
        for (int i = 0; i < devices; ++i) {
            kvr::sim::DeviceConfig d;
            d.mac = {0x00, 0x07, 0xF5, 0x10, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
            d.name = "Bench " + std::to_string(i);
            m_sim.AddDevice(d);
            m_macs.insert(kvr::sim::MacText(d.mac));
        }
        const std::string segment = "bench" + std::to_string(::getpid());
        if (!m_sim.StartOnSegment(segment, &error)) return;
        kvr::FakeClock fast;  // no scan pauses
        kvr::SetClock(&fast);
        GetNumAdapters();
        kvr::SetClock(nullptr);
        auto nic = std::make_shared<clsNIC>();
        nic->Name = "KVR virtual segment " + segment;
        NicPool().colNIC = {nic};
        ok = true;
    }
    ~Bench() {
        m_sim.Stop();
        NicPool().colNIC.clear();
        std::error_code ec;
        if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
    }
    bool ok = false;
    std::string error;
    std::set<std::string> m_macs;

private:
    std::string m_root;
    kvr::sim::Simulator m_sim;
};

void BM_DiscoverAllZarns(benchmark::State& state) {
    const int devices = static_cast<int>(state.range(0));
    constexpr int kRetries = 2;
    Bench bench(devices);
    if (!bench.ok) {
        state.SkipWithError(("simulator: " + bench.error).c_str());
        return;
    }
    kvr::SnapLink& program = kvr::CurrentSnapLink();
    double firstWindowMs = 0;
    double listed = 0, lost = 0, duplicates = 0, sent = 0, received = 0, windowsMs = 0, profileMs = 0, totalMs = 0;
    for (auto _ : state) {
        CountingLink link(program);
        kvr::SetSnapLink(&link);
        clsDiscover discover;
        std::shared_ptr<clsZarnPool> found;
        const auto t0 = Clock::now();
        discover.DiscoverAllZarns(8, found, nullptr, {}, kRetries);
        const auto t1 = Clock::now();
        kvr::SetSnapLink(nullptr);
        state.SetIterationTime(MsSince(t0, t1) / 1000.0);

        std::set<std::string> seen;
        std::size_t count = found ? found->Count() : 0;
        if (found)
            for (const auto& z : found->colZarn) seen.insert(z->MAC);
        std::size_t matched = 0;
        for (const auto& m : bench.m_macs) matched += seen.count(m);
        listed += static_cast<double>(count);
        lost += static_cast<double>(bench.m_macs.size() - matched);
        duplicates += static_cast<double>(count - seen.size());
        sent += static_cast<double>(link.sent);
        received += static_cast<double>(link.received);
        const auto profileStart = link.profilePhase ? link.profileStart : t1;
        windowsMs += MsSince(t0, profileStart);
        if (link.requests.size() >= 2) firstWindowMs += MsSince(link.requests[0], link.requests[1]);
        profileMs += MsSince(profileStart, t1);
        totalMs += MsSince(t0, t1);
    }
    if (lost > 0 || duplicates > 0) state.SkipWithError("devices were lost or listed twice");
    const double n = static_cast<double>(state.iterations());
    const double floorMs = kRetries * static_cast<double>(clsDiscover::kCollectWindowMs);
    state.counters["listed"] = listed / n;
    state.counters["lost"] = lost / n;
    state.counters["dup"] = duplicates / n;
    state.counters["host_sent"] = sent / n;
    state.counters["host_recv"] = received / n;
    state.counters["floor_ms"] = floorMs;
    state.counters["windows_ms"] = windowsMs / n;
    state.counters["window1_ms"] = firstWindowMs / n;
    state.counters["names_ms"] = profileMs / n;
    state.counters["overhead_%"] = 100.0 * (totalMs / n - floorMs) / floorMs;
}

BENCHMARK(BM_DiscoverAllZarns)
    ->Arg(1)
    ->Arg(250)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
