// Raw frame I/O through the shipped adapter library: a virtual segment with a
// station as the far end, and (where we may) a veth pair in a private network
// namespace with a packet socket as the far end.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>

#include "AdapterTestSupport.h"
#include "HexText.h"
#include "Segment.h"
#include "SkipSleepClock.h"
#include "TempDir.h"
#include "VethLab.h"
#include "clsNICpool.h"

using namespace kvr::test;

namespace {

const kvr::vseg::Mac kDevice = {0x00, 0x07, 0xF5, 0x12, 0x34, 0x56};

std::vector<std::uint8_t> Payload(std::size_t n) {
    std::vector<std::uint8_t> p(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(0xA0 + i);
    return p;
}

// The real libraries from the application directory, a private segment root.
class RealLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(std::string(KVR_BUNDLE_DIR) + "/libzarnisupp.so"))
            GTEST_SKIP() << "libzarnisupp.so not built";
        UseRealLibraries();
        kvr::SetLibraryDirectory(KVR_BUNDLE_DIR);
    }
    void TearDown() override {
        kvr::SetClock(nullptr);
    }
    // Scans without the 2-second pauses.
    std::int32_t Scan() {
        kvr::FakeClock fast;
        kvr::SetClock(&fast);
        const std::int32_t n = GetNumAdapters();
        kvr::SetClock(nullptr);
        return n;
    }
    bool Read(std::int32_t h, kvr::SnapFrame& frame) { return ReadNDIS(h, frame); }
    SegmentRootScope root;
    LogRecorder log;
};

class VirtualSegment : public RealLibrary {
protected:
    void SetUp() override {
        RealLibrary::SetUp();
        if (IsSkipped()) return;
        segment = "adp" + std::to_string(::getpid());
        device = kvr::vseg::Station::Attach(segment, kDevice);
        ASSERT_NE(device, nullptr);
        pcMac = kvr::vseg::SegmentAdapterMac(segment);
        ASSERT_GE(Scan(), 1);
        ASSERT_TRUE(OpenNdisDeviceByDesc(h, "KVR virtual segment " + segment)) << log.Dump();
    }
    void TearDown() override {
        if (h != -1) CloseNdisRaw(h);
        device.reset();
        RealLibrary::TearDown();
    }
    std::vector<std::uint8_t> DeviceReceive(int timeoutMs = 1000) {
        std::vector<std::uint8_t> f(kvr::vseg::kMaxFrame);
        if (!device->Wait(timeoutMs)) return {};
        long n = device->Receive(f.data(), f.size());
        f.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return f;
    }
    std::string segment;
    std::unique_ptr<kvr::vseg::Station> device;
    kvr::vseg::Mac pcMac{};
    std::int32_t h = -1;
};

TEST_F(VirtualSegment, FramesReachTheFarEndByteForByte) {
    auto payload = Payload(10);
    auto expected = [&](std::initializer_list<std::uint8_t> lengthAndHeader, bool repeatSource) {
        std::vector<std::uint8_t> f(kDevice.begin(), kDevice.end());
        f.insert(f.end(), pcMac.begin(), pcMac.end());
        f.insert(f.end(), lengthAndHeader);
        if (repeatSource) f.insert(f.end(), pcMac.begin(), pcMac.end());
        f.insert(f.end(), payload.begin(), payload.end());
        return f;
    };
    ASSERT_TRUE(WriteNDIS(h, kvr::MacText(kDevice), 0, 0x01, 0x0102, 0, 10, 0, payload)) << log.Dump();
    auto f = DeviceReceive();
    EXPECT_EQ(f.size(), 38u);
    EXPECT_EQ(f, expected({0x00, 24, 0xAA, 0xAA, 0x03, 0x00, 0x07, 0xF5, 0x00, 0x00, 0x01, 0x02, 0x01, 0x00, 10, 0},
                          false));

    // Version 8, the modified-SNAP bit, a negative label and colons in the address.
    ASSERT_TRUE(WriteNDIS(h, kvr::MacText(kDevice.data()).insert(2, ":"), 8, 0x00, -2, 0, 10, 1, payload));
    f = DeviceReceive();
    EXPECT_EQ(f.size(), 46u);
    EXPECT_EQ(f, expected({0x00, 32, 0xAA, 0xAA, 0x03, 0x00, 0x07, 0xF5, 0x00, 0x00, 0x08, 0x00, 0x40, 0xFE, 0xFF,
                           0x00, 10, 0},
                          true));

    // An unknown version puts nothing on the segment.
    EXPECT_FALSE(WriteNDIS(h, kvr::MacText(kDevice), 4, 0, 1, 0, 10, 0, payload));
    EXPECT_TRUE(DeviceReceive(50).empty());
}

TEST_F(VirtualSegment, ReadSkipsOtherProtocolsAndAcceptsTheLlcTolerance) {
    std::vector<std::uint8_t> ip(pcMac.begin(), pcMac.end());
    ip.insert(ip.end(), kDevice.begin(), kDevice.end());
    ip.push_back(0x08);
    ip.push_back(0x00);
    ip.resize(60, 0x45);
    ASSERT_TRUE(device->Send(ip.data(), ip.size()));
    auto snap = DeviceFrame(0, pcMac.data(), kDevice.data(), 0x02, 0x4242, 0x00, Payload(12));
    snap[14] = 0xAB;
    ASSERT_TRUE(device->Send(snap.data(), snap.size()));

    kvr::SnapFrame in;
    ASSERT_TRUE(Read(h, in)) << log.Dump();
    EXPECT_EQ(kvr::MacText(in.sender.data()), kvr::MacText(kDevice));
    EXPECT_EQ(in.frameType, 0x02);
    EXPECT_EQ(in.label, 0x4242);
    EXPECT_EQ(in.payload, Payload(12));
    EXPECT_EQ(log.CountPrefix("ReadNDIS: packet received (src MAC=00 07 F5 12 34 56"), 2u) << log.Dump();
}

TEST_F(VirtualSegment, ReadReturnsFalseAfterAboutOneHundredMillisecondsOfSilence) {
    kvr::SnapFrame in;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(Read(h, in));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 99);
    EXPECT_LT(ms, 2000);  // a hang, not a timing measurement

    // The window is the program's clock's: the library is asked to wait what is left of it, as that clock counts.
    struct AskedClock : kvr::test::SkipSleepClock {
        AskedClock() : SkipSleepClock(20) {}
        long RealMs(long clockMs) override {
            asked.push_back(clockMs);
            return SkipSleepClock::RealMs(clockMs);
        }
        std::vector<long> asked;
    } clock;
    kvr::SetClock(&clock);
    const std::int64_t c0 = clock.NowMs();
    EXPECT_FALSE(Read(h, in));
    EXPECT_GE(clock.NowMs() - c0, 100);
    ASSERT_FALSE(clock.asked.empty());
    EXPECT_GT(clock.asked.front(), 50);
    EXPECT_LE(clock.asked.front(), 100);
    kvr::SetClock(nullptr);

    // A frame sent while the reader waits ends the wait.
    auto snap = DeviceFrame(8, pcMac.data(), kDevice.data(), 0x03, 9, 0, {});
    ASSERT_TRUE(device->Send(snap.data(), snap.size()));
    EXPECT_TRUE(Read(h, in));
    EXPECT_EQ(in.frameType, 0x03);
}

TEST_F(VirtualSegment, NicPoolHoldsTheSegmentUnderItsDescription) {
    CloseNdisRaw(h);
    h = -1;
    kvr::FakeClock fast;
    kvr::SetClock(&fast);
    clsNICpool pool;
    ASSERT_GE(pool.BuildNicPool(), 1) << log.Dump();
    std::shared_ptr<clsNIC> nic;
    for (const auto& n : pool.colNIC)
        if (n->Name == "KVR virtual segment " + segment) nic = n;
    ASSERT_NE(nic, nullptr) << log.Dump();
    EXPECT_EQ(nic->MAC, kvr::MacText(pcMac));
    EXPECT_EQ(nic->ConnectStatus, 1);  // the device is attached
    EXPECT_FALSE(nic->IsWireless);
}

// The scan waits two seconds for a network driver to settle; a scan of only
// the virtual segments has no driver to wait for.
TEST_F(VirtualSegment, ScanPausesForTheDriverUnlessOnlyVirtualSegmentsAreAsked) {
    CloseNdisRaw(h);
    h = -1;
    kvr::FakeClock clock;
    kvr::SetClock(&clock);
    const auto pausedMs = [&](const char* adapters) {
        if (adapters) ::setenv("KVR_ADAPTERS", adapters, 1); else ::unsetenv("KVR_ADAPTERS");
        const std::int64_t start = clock.NowMs();
        EXPECT_GE(GetNumAdapters(), 1) << (adapters ? adapters : "both kinds");
        ::unsetenv("KVR_ADAPTERS");
        return clock.NowMs() - start;
    };
    EXPECT_EQ(pausedMs("virtual"), 0);
    EXPECT_EQ(pausedMs(nullptr), 2000);
}

// A veth pair in a network namespace of our own; the far end is a packet socket.
class VethPair : public RealLibrary {
protected:
    void SetUp() override {
        RealLibrary::SetUp();
        if (IsSkipped()) return;
        // The library sees exactly the interfaces of this namespace.
        if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
        std::string reason;
        if (!VethLab::PairInOwnNamespace("kvrA", "kvrB", true, &reason)) GTEST_SKIP() << reason;
        far = ::socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
        ASSERT_GE(far, 0);
        sockaddr_ll sll{};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(ETH_P_ALL);
        sll.sll_ifindex = static_cast<int>(::if_nametoindex("kvrB"));
        ASSERT_EQ(::bind(far, reinterpret_cast<sockaddr*>(&sll), sizeof sll), 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "kvrB");
        ASSERT_EQ(::ioctl(far, SIOCGIFHWADDR, &ifr), 0);
        std::memcpy(farMac.data(), ifr.ifr_hwaddr.sa_data, 6);
    }
    void TearDown() override {
        if (far >= 0) ::close(far);
        RealLibrary::TearDown();  // the namespace and its links go with the process
    }
    // Frames the far end receives within timeoutMs that carry our SNAP header.
    std::vector<std::uint8_t> FarReceiveSnap(int timeoutMs) {
        pollfd p{far, POLLIN, 0};
        std::vector<std::uint8_t> f(2048);
        while (::poll(&p, 1, timeoutMs) > 0) {
            ssize_t n = ::recv(far, f.data(), f.size(), 0);
            if (n >= 22 && f[14] == 0xAA && f[19] == 0xF5) {
                f.resize(static_cast<std::size_t>(n));
                return f;
            }
        }
        return {};
    }
    int far = -1;
    std::array<std::uint8_t, 6> farMac{};
};

TEST_F(VethPair, FramesCrossARealInterfaceBothWays) {
    ASSERT_GE(Scan(), 2) << log.Dump();
    // Find the adapter of kvrA by its interface name.
    std::string desc;
    for (std::int32_t i = 0; i < kvr::ZarniSuppAdapterCount(); ++i) {
        char name[1025] = {}, d[1025] = {};
        if (kvr::zs::GetAdapterName(i, name, 1024) && std::string(name) == "kvrA" && kvr::zs::GetAdapterDesc(i, d, 1024))
            desc = d;
    }
    ASSERT_FALSE(desc.empty());
    std::int32_t h = -1;
    ASSERT_TRUE(OpenNdisDeviceByDesc(h, desc)) << log.Dump();

    auto payload = Payload(10);
    ASSERT_TRUE(WriteNDIS(h, kvr::MacText(farMac.data()), 0, 0x01, 0x0203, 0, 10, 0, payload)) << log.Dump();
    auto f = FarReceiveSnap(1000);
    ASSERT_EQ(f.size(), 38u);  // sent unpadded; veth does not pad
    EXPECT_EQ(f[13], 24);
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 28, f.end()), payload);

    std::uint8_t mac[6];
    ASSERT_TRUE(kvr::zs::GetAdapterMacAddress(h, mac));
    auto reply = DeviceFrame(0, mac, farMac.data(), 0x02, 0x0203, 0, Payload(5));
    reply[14] = 0xAB;
    reply.resize(60, 0);  // as a device pads it on the wire
    ASSERT_EQ(::send(far, reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
    kvr::SnapFrame in;
    ASSERT_TRUE(Read(h, in)) << log.Dump();
    EXPECT_EQ(in.sender, farMac);
    EXPECT_EQ(in.label, 0x0203);
    EXPECT_EQ(in.payload, Payload(5));
    EXPECT_TRUE(CloseNdisRaw(h));
}

}  // namespace
