// Request/response exchanges per second with SendEx against one simulated
// device, next to the bare frame round trip over the same medium in the same
// run. An exchange is two frames each way (request and ACK out; ACK and
// response in), so the goal is at least 40% of the bare round-trip rate.
//
//   snap_bench [seconds per measurement, default 3]
//
// The bare round trip, the device's own turnaround (request out, its ACK back)
// and SendEx are measured in turns of 0.25 s slices, so that a machine whose
// load changes during the run weighs on all three alike.
//
// 1. Virtual segment: bare = a SNAP frame through the adapter library's exports
//    to an echoing station in another process and back; SendEx = the whole
//    transport (WriteNDIS/ReadNDIS, label and ACK handling) against kvrsim.
// 2. veth pair (when this system allows network namespaces): the same, bare
//    against an echo on the far end of one pair, SendEx against kvrsim on a
//    second pair in the same namespace.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "Globals.h"
#include "Rids.h"
#include "Segment.h"
#include "SnapCodec.h"
#include "HexText.h"
#include "SegmentEcho.h"
#include "VethLab.h"
#include "ZarniLibs.h"
#include "clsPayload.h"
#include "clsSnapCommand.h"
#include "modZarniSupp.h"
#include "sim/Simulator.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

double Seconds(SteadyClock::time_point a, SteadyClock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Adapter index of the library adapter whose name or description contains
// `key`, among those of the last scan.
std::int32_t FindAdapter(const std::string& key, std::string* description) {
    const std::int32_t count = kvr::ZarniSuppAdapterCount();
    char text[1025];
    for (std::int32_t i = 0; i < count; ++i) {
        std::string name, desc;
        if (kvr::zs::GetAdapterName(i, text, 1024) == 1) name = text;
        if (kvr::zs::GetAdapterDesc(i, text, 1024) == 1) desc = text;
        if (name == key || desc.find(key) != std::string::npos) {
            if (description) *description = desc;
            return i;
        }
    }
    return -1;
}

// Completed operations and the time they took, summed over slices.
struct Meter {
    long done = 0;
    int lost = 0;
    double seconds = 0;
    double Rate() const { return seconds > 0 ? static_cast<double>(done) / seconds : 0.0; }
};

// Bare round trips through the exports against a peer that answers each frame
// with one carrying the same label (an echo, or a device's ACK), for `seconds`.
void BareSlice(std::int32_t index, const std::string& peer, double seconds, std::uint16_t& seq, Meter& m) {
    kvr::SnapFrame out{{}, 8, SNAP_KIND_READ_REQUEST, 0, 0, std::vector<std::uint8_t>(72, 0x55)};
    kvr::zs::GetAdapterMacAddress(index, out.sender.data());
    const kvr::MacAddress destination = kvr::ParseMac(peer).value_or(kvr::MacAddress{});
    std::vector<std::uint8_t> frame, buf(1514);
    const auto t0 = SteadyClock::now();
    auto now = t0;
    for (; Seconds(t0, now) < seconds; now = SteadyClock::now()) {
        seq = static_cast<std::uint16_t>(seq >= 32767 ? 2 : seq + 1);
        out.label = static_cast<std::int16_t>(seq);
        kvr::BuildSnapFrame(destination, out, frame);
        if (kvr::zs::SendRawPacket(index, static_cast<std::int32_t>(frame.size()), frame.data()) != 1) {
            ++m.lost;
            continue;
        }
        bool got = false;
        while (!got) {
            if (kvr::zs::WaitForRawPacket(index, 1000) != 1) break;
            std::int32_t no = 1, len = 0;
            if (kvr::zs::ReceiveRawPacket(index, &no, &len, buf.data()) != 1) break;
            kvr::SnapFrame in;
            got = !no && len > 0 &&
                  kvr::ParseSnapFrame(std::span(buf).first(std::min<std::size_t>(static_cast<std::size_t>(len), buf.size())),
                                      in) == kvr::SnapParse::Ok &&
                  static_cast<std::uint16_t>(in.label) == seq;
        }
        if (got) ++m.done; else ++m.lost;
    }
    m.seconds += Seconds(t0, now);
}

// Drops what a device still sends after the slice (its responses to requests
// that were only timed to the ACK).
void Drain(std::int32_t index) {
    std::vector<std::uint8_t> buf(1514);
    while (kvr::zs::WaitForRawPacket(index, 20) == 1) {
        std::int32_t no = 1, len = 0;
        if (kvr::zs::ReceiveRawPacket(index, &no, &len, buf.data()) != 1 || no) break;
    }
}

// SendEx exchanges against the device `mac` for `seconds`.
void SendExSlice(clsSnapCommand& cmd, std::int32_t hNIC, const std::string& mac, clsPayload& p, double seconds,
                 Meter& m) {
    std::vector<std::uint8_t> data = p.GetPayload();
    std::shared_ptr<clsSnapResponse> resp;
    const auto t0 = SteadyClock::now();
    auto now = t0;
    for (; Seconds(t0, now) < seconds; now = SteadyClock::now()) {
        if (cmd.SendEx(hNIC, mac, 0, p.GetLength(), data, resp)) ++m.done; else ++m.lost;
    }
    m.seconds += Seconds(t0, now);
}

// The three measurements of one medium, taken in turns of short slices so
// that all of them see the same load of the machine. `echoIndex` answers bare
// frames; the device `devMac` sits behind the adapter `simDesc`.
void MeasureMedium(const char* medium, std::int32_t echoIndex, const std::string& echoMac, const std::string& simDesc,
                   const std::string& devMac, double seconds) {
    constexpr double kSlice = 0.25;
    std::int32_t hNIC = -1;
    if (echoIndex < 0 || kvr::zs::OpenAdapter(echoIndex) != 1) {
        std::printf("%s: echo adapter unavailable\n", medium);
        return;
    }
    if (!OpenNdisDeviceByDesc(hNIC, simDesc)) {
        std::printf("%s: adapter of the simulated device unavailable\n", medium);
        kvr::zs::CloseAdapter(echoIndex);
        return;
    }
    clsPayload p;
    p.AddRID(RID_ACTIVE_PROFILE);
    p.AddRID(RID_DEVICE_NAME);
    p.AddRID(RID_FIRMWARE_VERSION);
    clsSnapCommand cmd;
    cmd.ProtocolVersion = 8;
    Meter warm, bare, device, sendEx;
    std::uint16_t echoSeq = 1, devSeq = 1;
    SendExSlice(cmd, hNIC, devMac, p, 0.1, warm);
    const int slices = std::max(1, static_cast<int>(seconds / kSlice + 0.5));
    for (int i = 0; i < slices; ++i) {
        BareSlice(echoIndex, echoMac, kSlice, echoSeq, bare);
        BareSlice(hNIC, devMac, kSlice, devSeq, device);
        Drain(hNIC);
        SendExSlice(cmd, hNIC, devMac, p, kSlice, sendEx);
    }
    CloseNdisRaw(hNIC);
    kvr::zs::CloseAdapter(echoIndex);
    std::printf("%-16s bare round trips %9.0f /s (lost %d)   SendEx exchanges %8.0f /s (failed %d)   ratio %5.1f%%\n",
                medium, bare.Rate(), bare.lost, sendEx.Rate(), sendEx.lost,
                bare.Rate() > 0 ? 100.0 * sendEx.Rate() / bare.Rate() : 0.0);
    std::printf("%-16s request -> ACK against the simulated device %9.0f /s (lost %d); SendEx at %.1f%% of it\n", "",
                device.Rate(), device.lost, device.Rate() > 0 ? 100.0 * sendEx.Rate() / device.Rate() : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    // Quiet: the transport logs nothing at these levels without a sink anyway.
    G().AckTimeout = 0.2f;

    // veth first: it moves this process into its own network namespace and
    // must happen before any thread starts.
    VethLab lab;
    std::string reason;
    const bool haveVeth = lab.Start(&reason);
    if (!haveVeth) std::printf("veth pair unavailable: %s\n", reason.c_str());

    char tmpl[] = "/tmp/kvr-snapbench-XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    const std::string root = tmpl;
    ::setenv("KVR_SEGMENT_DIR", root.c_str(), 1);
    kvr::SetLibraryDirectory(KVR_BUNDLE_DIR);
    const std::string echoSeg = "snapecho" + std::to_string(::getpid());
    const std::string simSeg = "snapsim" + std::to_string(::getpid());
    const kvr::vseg::Mac echoMac{0x00, 0x07, 0xF5, 0x00, 0x00, 0x01};

    // The echoing station of the bare round trip, in a child process.
    const pid_t echo = StartSegmentEcho(echoSeg, echoMac);
    if (echo < 0) {
        std::printf("echo station failed\n");
        return 1;
    }

    kvr::sim::Simulator sim;
    kvr::sim::DeviceConfig dev;
    dev.mac = {0x00, 0x07, 0xF5, 0x00, 0x00, 0x02};
    dev.name = "Bench";
    sim.AddDevice(dev);
    std::string err;
    if (!sim.StartOnSegment(simSeg, &err)) {
        std::printf("simulator: %s\n", err.c_str());
        return 1;
    }
    const std::string devMac = kvr::sim::MacText(dev.mac);

    std::printf("measurement time %.1f s each, taken in turns of 0.25 s slices; SendEx reads 3 RIDs, protocol "
                "version 8\n",
                seconds);
    kvr::ResetZarniSuppModule();
    GetNumAdapters();
    {
        std::string simDesc;
        const std::int32_t echoIndex = FindAdapter("vseg:" + echoSeg, nullptr);
        FindAdapter("vseg:" + simSeg, &simDesc);
        MeasureMedium("virtual segment", echoIndex, kvr::MacText(echoMac.data()), simDesc, devMac, seconds);
    }
    StopSegmentEcho(echo);
    sim.Stop();

    if (haveVeth && lab.EchoStart()) {
        // A second pair in this namespace for the simulator.
        const bool pair = VethLab::Ip({"link", "add", "kvrsnapA", "type", "veth", "peer", "name", "kvrsnapB"}) &&
                          VethLab::Ip({"link", "set", "kvrsnapA", "up"}) &&
                          VethLab::Ip({"link", "set", "kvrsnapB", "up"});
        kvr::sim::Simulator vsim;
        vsim.AddDevice(dev);
        if (!pair || !vsim.StartOnInterface("kvrsnapB", &err)) {
            std::printf("veth simulator unavailable: %s\n", pair ? err.c_str() : "cannot create veth pair");
        } else {
            ::usleep(300000);  // carrier up
            kvr::ResetZarniSuppModule();
            GetNumAdapters();
            std::string simDesc;
            const std::int32_t near = FindAdapter(lab.NearIf(), nullptr);
            FindAdapter("kvrsnapA", &simDesc);
            MeasureMedium("veth", near, kvr::MacText(lab.FarMac().data()), simDesc, devMac, seconds);
            vsim.Stop();
        }
        lab.EchoStop();
    }
    std::filesystem::remove_all(root);
    return 0;
}
