// Wall and CPU time of a whole fleet's firmware download against kvrsim
// devices (1 MiB file, the protocol's real waits and the simulator's restart
// and erase times), as a ratio to one device downloaded the same way in the
// same run:
//
//   fleet_bench [--devices 20] [--parallel 64] [--bytes 1048576] [--veth]
//
// The fleet goes through RunInLanes with a FirmwareDownload per device, as
// the scripted run's --match-mac all --parallel N hands its devices over;
// once the runner drives it, the same figures come from timing
//   KVRinstaller /U ... --match-mac all --parallel N
// against `kvrsim --segment S --device ...` started with the same devices.
// --veth puts the simulator on one end of a veth pair in a network namespace
// of this process and the program on the other, instead of a virtual segment.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "DownloadLanes.h"
#include "FirmwareDownload.h"
#include "Globals.h"
#include "VethLab.h"
#include "ZarniLibs.h"
#include "basDebug.h"
#include "clsZarn.h"
#include "modZarniSupp.h"
#include "sim/QfwMaker.h"
#include "sim/Simulator.h"

namespace {

using Steady = std::chrono::steady_clock;

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string FindDescription(const std::string& key) {
    char text[1025];
    for (std::int32_t i = 0; i < kvr::ZarniSuppAdapterCount(); ++i) {
        std::string name, desc;
        if (kvr::zs::GetAdapterName(i, text, 1024) == 1) name = text;
        if (kvr::zs::GetAdapterDesc(i, text, 1024) == 1) desc = text;
        if (name == key || desc.find(key) != std::string::npos) return desc;
    }
    return {};
}

kvr::sim::DeviceConfig Device(unsigned n) {
    kvr::sim::DeviceConfig d;
    d.mac = {0x00, 0x07, 0xF5, 0x6B, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    d.name = "Fleet " + std::to_string(n);
    return d;
}

struct Result {
    double wall = 0, cpu = 0;
    int ok = 0;
};

// Downloads `file` into devices first..first+count-1 of the simulator at this parallelism.
Result Fleet(const std::string& nic, unsigned first, unsigned count, int parallel, const std::string& file) {
    std::vector<std::shared_ptr<clsZarn>> devices;
    for (unsigned i = first; i < first + count; ++i) {
        auto z = std::make_shared<clsZarn>();
        z->MAC = kvr::sim::MacText(Device(i).mac);
        z->NICName = nic;
        z->ProtocolVersion = 8;
        z->HardwareID = z->HardwareVersion = 1;
        devices.push_back(z);
    }
    std::atomic<int> ok{0};
    const double cpu0 = CpuSeconds();
    const auto t0 = Steady::now();
    kvr::RunInLanes(devices, {parallel, {}}, [&](std::size_t i) {
        kvr::MemoryProgressBar a, b, c;
        kvr::FirmwareDownload dl(devices[i], a, b, c);
        if (dl.PerformDownload(file) && dl.VersionMatchesFile()) ++ok;
    });
    Result r;
    r.wall = std::chrono::duration<double>(Steady::now() - t0).count();
    r.cpu = CpuSeconds() - cpu0;
    r.ok = ok;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned devices = 20;
    int parallel = 64;
    std::size_t bytes = 1u << 20;
    bool veth = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--devices" && i + 1 < argc) devices = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--parallel" && i + 1 < argc) parallel = std::atoi(argv[++i]);
        else if (a == "--bytes" && i + 1 < argc) bytes = static_cast<std::size_t>(std::atol(argv[++i]));
        else if (a == "--veth") veth = true;
        else {
            std::fprintf(stderr, "usage: %s [--devices N] [--parallel N] [--bytes N] [--veth]\n", argv[0]);
            return 2;
        }
    }
    char tmpl[] = "/tmp/kvr-fleetbench-XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    const std::string root = tmpl;
    ::setenv("KVR_SEGMENT_DIR", root.c_str(), 1);
    VethLab lab;
    if (veth) {
        std::string reason;
        if (!lab.Start(&reason) ||
            !VethLab::Ip({"link", "add", "kvrfleetA", "type", "veth", "peer", "name", "kvrfleetB"}) ||
            !VethLab::Ip({"link", "set", "kvrfleetA", "up"}) || !VethLab::Ip({"link", "set", "kvrfleetB", "up"})) {
            std::fprintf(stderr, "no veth pair: %s\n", reason.c_str());
            return 1;
        }
        ::setenv("KVR_ADAPTERS", "real", 1);
    } else {
        ::setenv("KVR_ADAPTERS", "virtual", 1);
    }
    kvr::SetLibraryDirectory(KVR_BUNDLE_DIR);
    kvr::ResetZarniSuppModule();
    G().DebugLoggingLevel = kvr::LEVEL_NONE;

    kvr::sim::QfwSpec spec;
    spec.swVersion = 0x0300;
    spec.image1 = kvr::sim::QfwFiller(bytes, 1);
    const std::vector<std::uint8_t> qfw = kvr::sim::MakeQfw(spec);
    const std::string file = root + "/fleet.qfw";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(qfw.data()),
                                                static_cast<std::streamsize>(qfw.size()));

    kvr::sim::Simulator sim;
    for (unsigned i = 0; i <= devices; ++i) sim.AddDevice(Device(i));
    sim.SetFrameLogging(false);
    std::string err;
    const std::string segment = "fleet" + std::to_string(::getpid());
    if (!(veth ? sim.StartOnInterface("kvrfleetB", &err) : sim.StartOnSegment(segment, &err))) {
        std::fprintf(stderr, "simulator: %s\n", err.c_str());
        return 1;
    }
    if (veth) ::usleep(300000);  // carrier up
    GetNumAdapters();
    const std::string nic = FindDescription(veth ? "kvrfleetA" : "vseg:" + segment);
    if (nic.empty()) {
        std::fprintf(stderr, "adapter not found\n");
        return 1;
    }
    // Device 0 alone, then the others as one fleet.
    const Result one = Fleet(nic, 0, 1, 1, file);
    const Result fleet = Fleet(nic, 1, devices, parallel, file);
    std::printf("medium %s, %zu-byte image\n", veth ? "veth" : "virtual segment", bytes);
    std::printf("one device:        %6.2f s wall, %5.2f s CPU, %d of 1 upgraded\n", one.wall, one.cpu, one.ok);
    std::printf("%3u devices at %2d: %6.2f s wall, %5.2f s CPU (%.2f cores), %d of %u upgraded\n", devices, parallel,
                fleet.wall, fleet.cpu, fleet.wall > 0 ? fleet.cpu / fleet.wall : 0.0, fleet.ok, devices);
    std::printf("ratio fleet / one: %.2f\n", one.wall > 0 ? fleet.wall / one.wall : 0.0);
    sim.Stop();
    std::filesystem::remove_all(root);
    return fleet.ok == static_cast<int>(devices) && one.ok == 1 ? 0 : 1;
}
