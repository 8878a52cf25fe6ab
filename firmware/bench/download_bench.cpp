// The chunk phase of a 4 MiB firmware download into a simulated device on a
// virtual segment (erase and restart delays 0), both protocols, beside bare
// exchanges of the same frame size (SendEx, and SendDownloadFrame alone): how
// much the download loop adds on top of its transport.
//
//   firmware_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "AdapterSession.h"
#include "FirmwareDownload.h"
#include "Globals.h"
#include "Rids.h"
#include "Seams.h"
#include "SnapLink.h"
#include "ZarniLibs.h"
#include "basDebug.h"
#include "clsNICpool.h"
#include "clsPayload.h"
#include "clsSnapCommand.h"
#include "clsZarn.h"
#include "modZarniSupp.h"
#include "sim/Simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kImageBytes = 4u << 20;
const kvr::sim::Mac kDev{0x00, 0x07, 0xF5, 0x4D, 0x00, 0x01};

std::uint32_t Crc(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t n) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = from; i < from + n; ++i) {
        crc ^= b[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

class Bench {
public:
    explicit Bench(bool v16, bool inDownloadMode = true, std::size_t imageBytes = kImageBytes) {
        char tmpl[] = "/tmp/kvr-fwbench-XXXXXX";
        if (!::mkdtemp(tmpl)) return;
        m_root = tmpl;
        ::setenv("KVR_SEGMENT_DIR", m_root.c_str(), 1);
        ::setenv("KVR_ADAPTERS", "virtual", 1);
        kvr::SetLibraryDirectory(KVR_BUNDLE_DIR);
        kvr::ResetZarniSuppModule();
        G().DebugLoggingLevel = kvr::LEVEL_NONE;
        kvr::sim::DeviceConfig d;
        d.mac = kDev;
        d.v16Download = v16;
        d.downloadMode = inDownloadMode;
        d.eraseMs = 0;
        d.restartMs = 0;
        m_sim.AddDevice(d);
        m_sim.SetFrameLogging(false);
        const std::string segment = "fwbench" + std::to_string(::getpid());
        if (!m_sim.StartOnSegment(segment, &error)) return;
        kvr::FakeClock fast;
        kvr::SetClock(&fast);
        GetNumAdapters();
        kvr::SetClock(nullptr);
        adapter = kvr::AdapterSession("KVR virtual segment " + segment);
        if (!adapter.IsOpen()) return;
        hNIC = adapter.Handle();

        m_imageBytes = imageBytes;
        file = MakeFile(0);
        device = std::make_shared<clsZarn>();
        device->MAC = kvr::sim::MacText(kDev);
        device->ProtocolVersion = 8;
        device->HardwareID = device->HardwareVersion = 1;
        ok = true;
    }
    ~Bench() {
        adapter.Close();
        m_sim.Stop();
        std::error_code ec;
        if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
    }
    // A file whose image has this version, the header's Image1 section as the
    // file has it.
    std::string MakeFile(std::uint32_t version) {
        std::vector<std::uint8_t> f(96 + m_imageBytes, 0);
        auto put = [&](std::size_t at, std::uint32_t v) {
            for (std::size_t i = 0; i < 4; ++i) f[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        };
        std::copy_n("qFoW", 4, f.begin());
        f[0x20] = f[0x22] = 1;  // hardware 1, up to version 1
        put(0x1C, version);
        for (std::size_t i = 0; i < m_imageBytes; ++i) f[96 + i] = static_cast<std::uint8_t>(i * 13 + version);
        header.Image1 = {96, {}, static_cast<std::int32_t>(m_imageBytes), Crc(f, 96, m_imageBytes)};
        put(0x30, 96);
        put(0x38, static_cast<std::uint32_t>(m_imageBytes));
        put(0x3C, header.Image1.Crc);
        const std::string path = m_root + "/bench" + std::to_string(version) + ".qfw";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data()),
                                                    static_cast<std::streamsize>(f.size()));
        return path;
    }
    void SetFaults(const kvr::sim::Faults& f) { m_sim.SetFaults(kDev, f); }
    std::uint32_t Runs() const { return m_sim.State(kDev).firmwareVersion; }
    void IntoDownloadMode() {
        m_sim.SetDownloadMode(kDev, true);
        device->IsInDownloadMode = true;
    }
    bool ok = false;
    std::string error, file;
    kvr::AdapterSession adapter;
    std::int32_t hNIC = -1;  // adapter's handle
    std::shared_ptr<clsZarn> device;
    kvr::QfwHeader header;

private:
    std::string m_root;
    std::size_t m_imageBytes = 0;
    kvr::sim::Simulator m_sim;
};

// Notes when the first record of each RID leaves (raw data frames under 0).
class PhaseClock : public kvr::SnapLink {
public:
    PhaseClock() : m_inner(kvr::CurrentSnapLink()) { kvr::SetSnapLink(this); }
    ~PhaseClock() override { kvr::SetSnapLink(nullptr); }
    bool Write(std::int32_t h, const std::string& d, std::int16_t v, std::uint8_t t, std::int16_t l, std::uint8_t dm,
               std::int16_t n, std::uint8_t m, std::vector<std::uint8_t>& p) override {
        const int rid = (t & 7) == SNAP_KIND_FW_DATA ? 0 : n >= 4 ? p[2] | (p[3] << 8) : -1;
        first.emplace(rid, Clock::now());
        return m_inner.Write(h, d, v, t, l, dm, n, m, p);
    }
    bool Read(std::int32_t h, kvr::SnapFrame& f) override { return m_inner.Read(h, f); }
    bool Open(const std::string& d, std::int32_t& h) override { return m_inner.Open(d, h); }
    bool Close(std::int32_t h) override { return m_inner.Close(h); }
    Clock::time_point At(int rid) const {
        auto it = first.find(rid);
        return it == first.end() ? Clock::time_point{} : it->second;
    }
    std::map<int, Clock::time_point> first;

private:
    kvr::SnapLink& m_inner;
};

// The chunks of one whole 4 MiB file (protocol 16) or section (protocol 1),
// up to the end record.
void BM_ChunkPhase(benchmark::State& state) {
    const bool v16 = state.range(0) == 16;
    Bench bench(v16);
    if (!bench.ok) return state.SkipWithError(("simulator: " + bench.error).c_str());
    kvr::MemoryProgressBar a, b, c;
    kvr::FirmwareDownload dl(bench.device, a, b, c);
    dl.SetAdapterHandle(bench.hNIC);
    if (!dl.LoadFile(bench.file)) return state.SkipWithError("file refused");
    for (auto _ : state) {
        bench.IntoDownloadMode();
        bool sent = false;
        Clock::time_point t0, t1;
        if (v16) {
            dl.SendStartDownload_V16(static_cast<std::int32_t>(kImageBytes + 96), 1);
            t0 = Clock::now();
            sent = dl.SendImage_V16(bench.file);
            t1 = Clock::now();
            dl.SendEndDownload(1);
        } else {
            dl.SendStartDownload(bench.header);
            PhaseClock phases;
            t0 = Clock::now();
            sent = dl.SendImage(bench.header.Image1);
            t1 = phases.At(RID_END_DOWNLOAD);
        }
        if (!sent) return state.SkipWithError("download failed");
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    const double bytes = static_cast<double>(v16 ? kImageBytes + 96 : kImageBytes);
    const double chunk = v16 ? 1442 : 1450;
    state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["chunks/s"] =
        benchmark::Counter(std::ceil(bytes / chunk), benchmark::Counter::kIsIterationInvariantRate);
}

// The transport alone: exchanges carrying a full protocol-16 chunk frame, through
// SendEx (range 0) or SendDownloadFrame as the chunk loop sends them (range 1).
void BM_TransportSameFrameSize(benchmark::State& state) {
    const bool downloadFrame = state.range(0) == 1;
    Bench bench(true);
    if (!bench.ok) return state.SkipWithError(("simulator: " + bench.error).c_str());
    clsPayload p;
    p.AddLenRIDBlock((1442 + 8) / 2, RID_DOWNLOAD_QFW_CHUNK);
    p.AddLongNoRID(0);
    p.AddIntNoRID(1442);
    p.AddBin(std::vector<std::uint8_t>(1442, 0x5A));
    clsSnapCommand cmd;
    cmd.ProtocolVersion = 8;
    constexpr int kExchanges = 500;
    for (auto _ : state) {
        for (int i = 0; i < kExchanges; ++i) {
            std::vector<std::uint8_t> bytes = p.GetPayload();
            bytes.resize(static_cast<std::size_t>(p.GetLength()));
            std::shared_ptr<clsSnapResponse> r;
            const bool ok = downloadFrame ? cmd.SendDownloadFrame(bench.hNIC, bench.device->MAC, 1, p.GetLength(),
                                                                   bytes, r, nullptr, 30, true, false)
                                          : cmd.SendEx(bench.hNIC, bench.device->MAC, 1, p.GetLength(), bytes, r);
            if (!ok)
                return state.SkipWithError("exchange failed");
        }
    }
    state.counters["exchanges/s"] = benchmark::Counter(kExchanges, benchmark::Counter::kIsIterationInvariantRate);
}

// One whole upgrade with the protocol's own waits, split into its phases:
// download mode (file read and check, command, 3 s pause, wait, probe), erase
// (the start record), chunks, and restart (end records, wait, version read).
void BM_WholeUpgrade(benchmark::State& state) {
    Bench bench(state.range(0) == 16, false);
    if (!bench.ok) return state.SkipWithError(("simulator: " + bench.error).c_str());
    double mode = 0, erase = 0, chunks = 0, restart = 0;
    auto ms = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    for (auto _ : state) {
        kvr::MemoryProgressBar a, b, c;
        kvr::FirmwareDownload dl(bench.device, a, b, c);
        dl.SetAdapterHandle(bench.hNIC);
        bench.device->IsInDownloadMode = false;
        PhaseClock phases;
        const auto t0 = Clock::now();
        if (!dl.PerformDownload(bench.file) || !dl.VersionMatchesFile()) return state.SkipWithError("upgrade failed");
        const auto t4 = Clock::now();
        const int startRid = state.range(0) == 16 ? RID_START_QFW_DOWNLOAD : RID_START_IMAGE_DOWNLOAD;
        const auto t1 = phases.At(startRid), t3 = phases.At(RID_END_DOWNLOAD);
        const auto t2 = phases.At(state.range(0) == 16 ? RID_DOWNLOAD_QFW_CHUNK : 0);
        mode += ms(t0, t1), erase += ms(t1, t2), chunks += ms(t2, t3), restart += ms(t3, t4);
        state.SetIterationTime(ms(t0, t4) / 1000.0);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["mode_ms"] = mode / n;
    state.counters["erase_ms"] = erase / n;
    state.counters["chunks_ms"] = chunks / n;
    state.counters["restart_ms"] = restart / n;
}

// Whole upgrades of a 16 KiB file under one transport fault each (seeded, the
// 3 s pause left out): how many applied the image, failed cleanly (old
// firmware kept, failure reported) or went wrong (anything else), and the
// longest one.
void BM_FaultedUpgrades(benchmark::State& state) {
    const bool v16 = state.range(1) == 16;
    Bench bench(v16, false, 16 * 1024);
    if (!bench.ok) return state.SkipWithError(("simulator: " + bench.error).c_str());
    std::uint32_t seed = 1;
    double applied = 0, failed = 0, wrong = 0, longestMs = 0;
    kvr::SetPrompter(nullptr);  // every question answered Cancel
    for (auto _ : state) {
        kvr::sim::Faults f;
        f.seed = seed++;
        switch (state.range(0)) {
        case 0: f.dropFirstAcks = 2; break;
        case 1: f.answerOnAttempt = 3; break;
        case 2: f.responseBeforeAck = true; break;
        case 3: f.duplicateResponses = 1; break;
        case 4: f.lateOldResponse = true; break;
        case 5: f.dropInFraction = 0.05; break;
        case 6: f.dropOutFraction = 0.05; break;
        }
        bench.SetFaults({});
        bench.IntoDownloadMode();
        bench.SetFaults(f);
        const std::uint32_t before = bench.Runs();
        const std::uint32_t version = f.seed;  // a version the device has never run
        const std::string file = bench.MakeFile(version);
        kvr::MemoryProgressBar a, b, c;
        kvr::FirmwareDownload dl(bench.device, a, b, c);
        dl.SetAdapterHandle(bench.hNIC);
        dl.SetWaits({0, 40000, 15000});
        const auto t0 = Clock::now();
        const bool ok = dl.PerformDownload(file);
        const double took = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        longestMs = std::max(longestMs, took);
        state.SetIterationTime(took / 1000.0);
        if (ok && dl.VersionMatchesFile() && bench.Runs() == version) ++applied;
        else if (!ok && bench.Runs() == before) ++failed;
        else ++wrong;
    }
    state.counters["applied"] = applied;
    state.counters["failed"] = failed;
    state.counters["wrong"] = wrong;
    state.counters["longest_ms"] = longestMs;
}

// Faults the transport gets past at once run 200 upgrades per protocol; the
// ones that cost time-outs (lost frames, answers only to the third send) fewer.
BENCHMARK(BM_FaultedUpgrades)->ArgsProduct({{0, 2, 3, 4}, {16, 1}})->Iterations(200)->UseManualTime();
BENCHMARK(BM_FaultedUpgrades)->ArgsProduct({{5}, {16, 1}})->Iterations(50)->UseManualTime();
BENCHMARK(BM_FaultedUpgrades)->ArgsProduct({{6, 1}, {16, 1}})->Iterations(2)->UseManualTime();
BENCHMARK(BM_WholeUpgrade)->Arg(16)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChunkPhase)->Arg(16)->Arg(1)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransportSameFrameSize)->Arg(0)->Arg(1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
