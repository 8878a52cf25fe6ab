// A live capture on a veth pair in a private network namespace: the device
// simulator answers on one end; the program's own discovery with its
// profile-name read, a profile read and a short firmware download run through the shipped adapter library on the
// other end, where the frames are captured. tshark then reads the capture with
// the dissector.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "CaptureKit.h"
#include "Globals.h"
#include "Rids.h"
#include "Seams.h"
#include "SimTestSupport.h"
#include "SkipSleepClock.h"
#include "SnapLink.h"
#include "VethLab.h"
#include "ZarniLibs.h"
#include "clsDiscover.h"
#include "clsNICpool.h"
#include "clsSnapCommand.h"
#include "clsZarnPool.h"
#include "modSNAP.h"
#include "modZarniSupp.h"
#include "sim/Simulator.h"

using namespace capkit;

namespace {

constexpr int kSkip = 77;
const char* kDeviceMac = "0007F50C0D0E";

#define CHILD_CHECK(cond, ...)                 \
    do {                                       \
        if (!(cond)) {                         \
            std::fprintf(stderr, __VA_ARGS__); \
            std::fprintf(stderr, "\n");        \
            return 1;                          \
        }                                      \
    } while (0)

// Captures the KVR frames of one interface into a file until stopped.
class LiveCapture {
public:
    bool Start(const std::string& ifName, const std::string& path, std::string& err) {
        char eb[PCAP_ERRBUF_SIZE] = {};
        m_pcap = pcap_create(ifName.c_str(), eb);
        if (m_pcap == nullptr) return err = eb, false;
        pcap_set_snaplen(m_pcap, 65535);
        pcap_set_immediate_mode(m_pcap, 1);
        pcap_set_timeout(m_pcap, 20);
        if (pcap_activate(m_pcap) < 0) return err = pcap_geterr(m_pcap), false;
        bpf_program prog{};
        if (pcap_compile(m_pcap, &prog, "ether[12:2] <= 1500 and ether[17:4] = 0x0007f500", 1,
                         PCAP_NETMASK_UNKNOWN) != 0 ||
            pcap_setfilter(m_pcap, &prog) != 0)
            return err = pcap_geterr(m_pcap), false;
        pcap_freecode(&prog);
        m_dumper = pcap_dump_open(m_pcap, path.c_str());
        if (m_dumper == nullptr) return err = pcap_geterr(m_pcap), false;
        m_thread = std::thread([this] {
            while (!m_stop) pcap_dispatch(m_pcap, -1, pcap_dump, reinterpret_cast<u_char*>(m_dumper));
        });
        return true;
    }
    ~LiveCapture() { Stop(); }
    void Stop() {
        if (m_thread.joinable()) {
            m_stop = true;
            pcap_breakloop(m_pcap);
            m_thread.join();
            // The frames already on the wire (the last ACK went out before the
            // program's call returned) are waiting in the buffer: take them.
            char eb[PCAP_ERRBUF_SIZE] = {};
            if (pcap_setnonblock(m_pcap, 1, eb) == 0)
                while (pcap_dispatch(m_pcap, -1, pcap_dump, reinterpret_cast<u_char*>(m_dumper)) > 0) {
                }
        }
        if (m_dumper) pcap_dump_close(m_dumper);
        if (m_pcap) pcap_close(m_pcap);
        m_dumper = nullptr;
        m_pcap = nullptr;
    }

private:
    pcap_t* m_pcap = nullptr;
    pcap_dumper_t* m_dumper = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

std::vector<std::uint8_t> Bytes(const clsPayload& p) { return PayloadBytes(p); }

int RunInNamespace(const std::string& capturePath) {
    std::string reason;
    if (!VethLab::PairInOwnNamespace("kvwa", "kvwb", false, &reason)) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        return kSkip;
    }
    LiveCapture capture;
    std::string err;
    CHILD_CHECK(capture.Start("kvwb", capturePath, err), "capture on kvwb: %s", err.c_str());

    kvr::sim::DeviceConfig dev;
    dev.mac = kvr::sim::ParseMac(kDeviceMac).value();
    dev.name = "Veranda";
    dev.restartMs = 100;
    dev.eraseMs = 50;
    kvr::sim::Profile factory, home;
    factory.name = "Factory";
    home.name = "Terrace";
    home.ssid = "Garden";
    dev.profiles = {factory, home};
    kvr::sim::Simulator sim;
    CHILD_CHECK(sim.AddDevice(dev, &err), "device: %s", err.c_str());
    CHILD_CHECK(sim.StartOnInterface("kvwa", &err), "simulator on kvwa: %s", err.c_str());

    // The program's side, through the shipped adapter library.
    devtest::UseShippedAdapterLibrary();
    {
        kvr::FakeClock fast;  // skips the scan's pauses
        kvr::SetClock(&fast);
        std::int32_t n = GetNumAdapters();
        kvr::SetClock(nullptr);
        CHILD_CHECK(n >= 1, "no adapters found");
    }
    std::string nic;
    for (const char* candidate : {"kvwb (veth)", "kvwb"}) {
        std::int32_t h = -1;
        if (OpenNdisDeviceByDesc(h, candidate)) {
            CloseNdisRaw(h);
            nic = candidate;
            break;
        }
    }
    CHILD_CHECK(!nic.empty(), "the adapter library does not list kvwb");
    NicPool().colNIC.clear();
    auto pooled = std::make_shared<clsNIC>();
    pooled->Name = nic;
    NicPool().colNIC.push_back(pooled);

    // Ten times real time: the 1 s discovery window ends with its first read
    // that finds nothing, the time-outs of the exchanges likewise.
    kvr::test::SkipSleepClock clock(10);
    kvr::SetClock(&clock);

    // Discovery with one request, then the profile names.
    clsDiscover discover;
    std::shared_ptr<clsZarnPool> found;
    CHILD_CHECK(discover.DiscoverAllZarns(8, found, nullptr, {}, 1), "no discovery request was sent");
    CHILD_CHECK(found && found->Count() == 1, "discovery found %zu devices", found ? found->Count() : 0);

    // A short protocol-16 download of a 1500-byte file.
    std::int32_t h = OpenNdisRaw();
    CHILD_CHECK(h != -1 && OpenNdisDeviceByDesc(h, nic), "cannot open %s", nic.c_str());
    clsSnapCommand cmd;
    cmd.ProtocolVersion = 8;
    std::shared_ptr<clsSnapResponse> resp;
    auto send = [&](const clsPayload& p, bool download) {
        std::vector<std::uint8_t> b = Bytes(p);
        auto n = static_cast<std::int16_t>(b.size());
        return download ? cmd.SendDownloadFrame(h, kDeviceMac, 1, n, b, resp, nullptr, 60, true, false)
                        : cmd.SendEx(h, kDeviceMac, 1, n, b, resp);
    };
    {
        clsPayload p;  // one profile, as the profile editor reads it
        p.AddRID(RID_DEVICE_NAME);
        p.AddWord(RID_PROFILE_SELECT, 1);
        for (Rid rid : {0x0000, 0x0001, 0x0002, 0x0003, 0x0007, 0x0008, 0x0004, 0x0005, 0x0009, 0x0006, 0xFC02, 0xFC20,
                        0xFC81, 0x0012, 0x0010, 0x0031, 0x0032, 0x0033, 0x0037, 0x0038, 0xFC21, 0xE000, 0xE001, 0xE002})
            p.AddRID(rid);
        std::vector<std::uint8_t> b = Bytes(p);
        CHILD_CHECK(cmd.SendEx(h, kDeviceMac, 0, static_cast<std::int16_t>(b.size()), b, resp), "profile read failed");
    }
    {
        clsPayload p;
        p.AddWord(RID_DOWNLOAD_MODE, 1);
        CHILD_CHECK(send(p, false), "download mode refused");
    }
    // The device restarts into its loader.
    const auto mac = kvr::sim::ParseMac(kDeviceMac).value();
    CHILD_CHECK(kvr::test::WaitFor([&] {
                    const auto state = sim.State(mac);
                    return state.downloadMode && !state.restarting;
                }),
                "the device did not come back in download mode");
    std::vector<std::uint8_t> file = SmallFirmwareFile(1404);  // 1500 bytes in all
    {
        clsPayload p;
        p.AddLenRIDBlock(4, RID_START_QFW_DOWNLOAD);
        p.AddLongNoRID(static_cast<std::int32_t>(file.size()));
        p.AddIntNoRID(1);
        CHILD_CHECK(send(p, true), "start record not answered");
    }
    for (std::size_t off = 0; off < file.size(); off += 1442) {
        std::size_t n = std::min<std::size_t>(1442, file.size() - off);
        clsPayload p;
        p.AddLenRIDBlock(static_cast<std::int16_t>((n + 8) / 2), RID_DOWNLOAD_QFW_CHUNK);
        p.AddLongNoRID(static_cast<std::int32_t>(off));
        p.AddIntNoRID(static_cast<std::int16_t>(n));
        p.AddBin(std::vector<std::uint8_t>(file.begin() + static_cast<long>(off),
                                           file.begin() + static_cast<long>(off + n)));
        CHILD_CHECK(send(p, true), "chunk at %zu not answered", off);
    }
    {
        clsPayload p;
        p.AddWord(RID_END_DOWNLOAD, 0);
        CHILD_CHECK(send(p, false), "end record not answered");
    }
    CloseNdisRaw(h);
    kvr::SetClock(nullptr);
    capture.Stop();
    sim.Stop();
    return 0;
}

TEST(LiveCapture, ProgramAndSimulatorOnAVethPair) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace and a veth pair";
    auto tshark = FindTshark();
    if (!tshark) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it); dissector not checked";
    if (!std::filesystem::exists(std::string(KVR_BUNDLE_DIR) + "/libzarnisupp.so"))
        GTEST_SKIP() << "libzarnisupp.so not built";
    CaptureDir dir;
    std::string cap = dir.Path() + "/live.pcap";
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(RunInNamespace(cap));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died";
    if (WEXITSTATUS(status) == kSkip) GTEST_SKIP() << "network namespaces or veth are not available here";
    ASSERT_EQ(WEXITSTATUS(status), 0) << "see the child's message above";
    if (const char* keep = std::getenv("KVR_KEEP_CAPTURES"))
        std::filesystem::copy_file(cap, std::string(keep) + "/live-veth.pcap",
                                   std::filesystem::copy_options::overwrite_existing);

    FieldRows rows = Fields(*tshark, cap,
                            {"frame.number", "snap.label", "snap.kind", "snap.mac", "snap.request_in",
                             "snap.rid.name", "snap.value.string", "snap.dl.offset", "snap.dl.length",
                             "_ws.expert.severity", "snap.download_mode", "snap.error.rid"},
                            true);
    ASSERT_FALSE(rows.empty());
    // Every frame on the wire is ours, none is broken.
    for (const auto& r : rows) {
        EXPECT_NE(r[1], "") << "frame " << r[0] << " not decoded";
        EXPECT_EQ(r[9].find("8388608"), std::string::npos) << "frame " << r[0];
    }
    // The discovery request goes out with the program's fifteen queries and the
    // authorization list; the device answers with its name.
    auto discovery = std::find_if(rows.begin(), rows.end(), [](const auto& r) { return r[2] == "0"; });
    ASSERT_NE(discovery, rows.end());
    EXPECT_EQ(Split((*discovery)[5], '|').size(), 16u);
    EXPECT_EQ(Split((*discovery)[5], '|').back(), "RID_AUTHORIZATION");
    int answered = 0, acks = 0;
    for (const auto& r : rows) {
        if (r[1] != (*discovery)[1]) continue;
        if (r[2] == "2") {
            ++answered;
            EXPECT_EQ(r[3], "00:07:f5:0c:0d:0e");
            EXPECT_EQ(r[4], (*discovery)[0]) << "the response links to the request";
            EXPECT_EQ(Split(r[6], '|').at(0), "Veranda");
        }
        if (r[2] == "3") ++acks;
    }
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(acks, 2);

    // The profile names, the profile, then the download records in order.
    bool names = false, profile = false;
    std::vector<std::string> chunks;
    for (const auto& r : rows) {
        if (r[2] == "2" && r[6] == "Factory|Terrace") names = true;
        if (r[2] == "2" && r[6] == "Veranda|||Garden|Terrace") profile = true;  // empty proxy names
        if (r[2] == "1" && !r[7].empty()) chunks.push_back(r[7] + "/" + r[8]);
    }
    EXPECT_TRUE(names);
    EXPECT_TRUE(profile);
    EXPECT_EQ(chunks, (std::vector<std::string>{"0/1442", "1442/58"}));
    // Answers from the loader carry the download-mode bit.
    auto last = std::find_if(rows.rbegin(), rows.rend(), [](const auto& r) { return r[2] == "2"; });
    ASSERT_NE(last, rows.rend());
    EXPECT_EQ((*last)[10], "1");
    EXPECT_EQ((*last)[11], "") << "the device took the file";
}

}  // namespace
