// The exports over a real Ethernet interface (libpcap), across a veth pair
// between two network namespaces that the test makes for itself.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "PacketDriver.h"
#include "TempDir.h"
#include "VethLab.h"
#include "zarnisupp.h"

namespace {

using Frame = std::vector<std::uint8_t>;
using Mac = VethLab::Mac;

const Mac kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Mac kSnapGroup{0x01, 0x07, 0xF5, 0x00, 0x01, 0x00};
const Mac kStranger{0x00, 0x07, 0xF5, 0x99, 0x99, 0x99};

Frame Snap(const Mac& dst, const Mac& src, std::size_t length, std::uint16_t seq) {
    Frame f(length, 0);
    std::copy(dst.begin(), dst.end(), f.begin());
    std::copy(src.begin(), src.end(), f.begin() + 6);
    f[12] = static_cast<std::uint8_t>((length - 14) >> 8);
    f[13] = static_cast<std::uint8_t>(length - 14);
    const std::uint8_t hdr[8] = {0xAA, 0xAA, 0x03, 0x00, 0x07, 0xF5, 0x00, 0x00};
    std::copy(hdr, hdr + 8, f.begin() + 14);
    f[22] = static_cast<std::uint8_t>(seq >> 8);
    f[23] = static_cast<std::uint8_t>(seq);
    return f;
}

using kvr::zs::RawPath;

class ZarnisuppPcap : public ::testing::Test {
protected:
    virtual RawPath Path() const { return RawPath::Direct; }

    void SetUp() override {
        kvr::zs::SetRawPath(Path(), KVR_BUNDLE_DIR "/kvr-rawhelper");
        std::string reason;
        if (!m_lab.Start(&reason)) GTEST_SKIP() << reason;
        ScanForNear();
    }
    void TearDown() override {
        if (m_index >= 0) ZARNISUPP_CloseAdapter(m_index);
        kvr::zs::SetRawPath(RawPath::Auto);
    }

    void ScanForNear() {
        std::int32_t count = 0;
        ASSERT_EQ(ZARNISUPP_ScanForEthernetAdapters(&count, 0), 1);
        m_index = -1;
        char name[512];
        for (std::int32_t i = 0; i < count; ++i)
            if (ZARNISUPP_GetAdapterName(i, name, sizeof name) == 1 && m_lab.NearIf() == name) m_index = i;
        ASSERT_GE(m_index, 0) << "the near end is not in the adapter table";
    }

    // Receives through the exports for up to waitMs; empty when nothing came.
    Frame Receive(int waitMs = 1000) {
        Frame buf(1514);
        std::int32_t no = 1, len = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        do {
            ZARNISUPP_WaitForRawPacket(m_index, 20);
            if (ZARNISUPP_ReceiveRawPacket(m_index, &no, &len, buf.data()) != 1) return {};
            if (!no) {
                buf.resize(static_cast<std::size_t>(len));
                return buf;
            }
        } while (std::chrono::steady_clock::now() < end);
        return {};
    }

    SegmentRootScope m_noSegments;  // only real interfaces in the table
    VethLab m_lab;
    std::int32_t m_index = -1;
};

// The same through the raw-frame helper, which must not be told apart.
class ZarnisuppPcapPaths : public ZarnisuppPcap, public ::testing::WithParamInterface<RawPath> {
protected:
    RawPath Path() const override { return GetParam(); }

    void RemoveNearAndExpectItGone(bool downFirst) {
        ASSERT_EQ(ZARNISUPP_OpenAdapter(m_index), 1);
        const Frame f = Snap(m_lab.FarMac(), m_lab.NearMac(), 60, 1);
        ASSERT_EQ(ZARNISUPP_SendRawPacket(m_index, 60, f.data()), 1);
        // Taken down, the capture has its one error then, and none when the interface goes after.
        ASSERT_TRUE(!downFirst || VethLab::Ip({"link", "set", m_lab.NearIf(), "down"}));
        if (downFirst) ::usleep(300000);
        ASSERT_TRUE(VethLab::Ip({"link", "del", m_lab.NearIf()}));
        Frame buf(1514);
        std::int32_t no = 0, len = 0, r = 1;
        // Through the helper the loss is seen once the helper has ended; on a
        // loaded machine that can take longer than a second.
        for (int i = 0; i < 250 && r == 1; ++i) {
            ZARNISUPP_WaitForRawPacket(m_index, 20);
            errno = 0;
            r = ZARNISUPP_ReceiveRawPacket(m_index, &no, &len, buf.data());
            if (r == 0 && errno == ECOMM) r = 1;  // the helper refused the frame as the interface went
        }
        EXPECT_EQ(r, 0);
        EXPECT_EQ(ZARNISUPP_SendRawPacket(m_index, 60, f.data()), 0);
        EXPECT_EQ(ZARNISUPP_CloseAdapter(m_index), 1);
        EXPECT_EQ(ZARNISUPP_OpenAdapter(m_index), 0);
        std::int32_t st = 0;
        std::uint32_t medium = 0;
        EXPECT_EQ(ZARNISUPP_GetOid(m_index, 0x00010104, &medium, 4, &st), 0);
    }
};

INSTANTIATE_TEST_SUITE_P(DirectAndHelper, ZarnisuppPcapPaths, ::testing::Values(RawPath::Direct, RawPath::Helper),
                         [](const auto& row) { return row.param == RawPath::Direct ? "Direct" : "Helper"; });

}  // namespace

TEST_F(ZarnisuppPcap, InterfaceIsListedWithWhatTheSystemKnows) {
    char text[512];
    ASSERT_EQ(ZARNISUPP_GetAdapterDesc(m_index, text, 512), 1);
    EXPECT_EQ(std::string(text), m_lab.NearIf() + " (veth)");
    Mac mac{};
    ASSERT_EQ(ZARNISUPP_GetAdapterMacAddress(m_index, mac.data()), 1);
    EXPECT_EQ(mac, m_lab.NearMac()) << "veth has no burnt-in address: the current one stands in";
    std::int32_t v = -1;
    ASSERT_EQ(ZARNISUPP_IsAdapterConnected(m_index, &v), 1);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(ZARNISUPP_IsWlanAdapter(m_index, &v), 1);
    EXPECT_EQ(v, 0);
    ASSERT_EQ(ZARNISUPP_HasAdapterIP(m_index, &v), 1);
    EXPECT_EQ(v, 0);
    // A wired adapter has no wireless settings to tell.
    std::uint8_t ssid[32];
    EXPECT_EQ(ZARNISUPP_GetSSID(m_index, &v, ssid), 0);
    EXPECT_EQ(ZARNISUPP_GetInfrastructureMode(m_index, &v), 0);
    std::int32_t st = 0;
    std::uint32_t filter = 0;
    EXPECT_EQ(ZARNISUPP_GetOid(m_index, 0x0001010E, &filter, 4, &st), 1);
    EXPECT_EQ(filter, 0u) << "a closed adapter receives nothing";

    ASSERT_TRUE(VethLab::Ip({"addr", "add", "10.213.0.1/24", "dev", m_lab.NearIf()}));
    ScanForNear();
    ASSERT_EQ(ZARNISUPP_HasAdapterIP(m_index, &v), 1);
    EXPECT_EQ(v, 1);

    ASSERT_TRUE(VethLab::Ip({"link", "set", m_lab.NearIf(), "down"}));
    ScanForNear();
    ASSERT_EQ(ZARNISUPP_IsAdapterConnected(m_index, &v), 1);
    EXPECT_EQ(v, 0);

    // The loopback interface and other non-Ethernet devices are not adapters.
    std::int32_t count = 0;
    ASSERT_EQ(ZARNISUPP_ScanForEthernetAdapters(&count, 0), 1);
    EXPECT_EQ(count, 1);
}

TEST_P(ZarnisuppPcapPaths, ReceivesOwnAndBroadcastFramesOnlyAndSendsUnchanged) {
    ASSERT_EQ(ZARNISUPP_OpenAdapter(m_index), 1);
    const Mac near = m_lab.NearMac(), far = m_lab.FarMac();
    const Frame mine = Snap(near, far, 60, 1), bcast = Snap(kBroadcast, far, 100, 2),
                group = Snap(kSnapGroup, far, 60, 3), other = Snap(kStranger, far, 60, 4);
    Frame ip = Snap(near, far, 60, 5);
    ip[12] = 0x08;  // an IPv4 frame to our address: not ours to read
    ip[13] = 0x00;
    for (const Frame& f : {group, other, ip, mine, bcast}) ASSERT_TRUE(m_lab.FarSend(f));
    EXPECT_EQ(Receive(), mine);
    EXPECT_EQ(Receive(), bcast);
    // The excluded frames went out before these two, so one let through would be queued by now.
    EXPECT_TRUE(Receive(50).empty()) << "a frame the adapter's filter excludes came through";

    // Sent frames arrive unchanged and unpadded; we never receive our own.
    const Frame out = Snap(far, near, 40, 6), loud = Snap(kBroadcast, near, 1514, 7);
    ASSERT_EQ(ZARNISUPP_SendRawPacket(m_index, static_cast<std::int32_t>(out.size()), out.data()), 1);
    ASSERT_EQ(ZARNISUPP_SendRawPacket(m_index, static_cast<std::int32_t>(loud.size()), loud.data()), 1);
    auto got = m_lab.FarCollect(1000, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], out);
    EXPECT_EQ(got[1], loud);
    EXPECT_TRUE(Receive(50).empty()) << "our own frames came back once the far end had them";
}

TEST_P(ZarnisuppPcapPaths, BurstOf500FramesBetweenPollsAndWaitingWithoutSpinning) {
    ASSERT_EQ(ZARNISUPP_OpenAdapter(m_index), 1);
    const Mac near = m_lab.NearMac(), far = m_lab.FarMac();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ZARNISUPP_WaitForRawPacket(m_index, 100), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));

    for (std::uint16_t i = 0; i < 500; ++i) ASSERT_TRUE(m_lab.FarSend(Snap(near, far, 100 + i, i)));
    EXPECT_EQ(ZARNISUPP_WaitForRawPacket(m_index, 1000), 1);
    for (int i = 0; i < 500; ++i) {
        Frame f = Receive(2000);
        ASSERT_EQ(f.size(), 100u + i) << "frame " << i << " lost";
        ASSERT_EQ((f[22] << 8) | f[23], i) << "out of order";
    }
}

TEST_P(ZarnisuppPcapPaths, VanishedInterfaceFailsInsteadOfLookingIdle) { RemoveNearAndExpectItGone(false); }

TEST_P(ZarnisuppPcapPaths, InterfaceTakenDownThenRemovedFailsInsteadOfLookingIdle) { RemoveNearAndExpectItGone(true); }

TEST_P(ZarnisuppPcapPaths, AFrameTheSystemRefusesFailsItsSendOrThroughTheHelperTheNextCallOnce) {
    ASSERT_EQ(ZARNISUPP_OpenAdapter(m_index), 1);
    ASSERT_TRUE(VethLab::Ip({"link", "set", m_lab.NearIf(), "mtu", "500"}));
    const Mac near = m_lab.NearMac(), far = m_lab.FarMac();
    const Frame big = Snap(far, near, 1514, 1), unsent = Snap(far, near, 60, 2), after = Snap(far, near, 60, 3);
    Frame buf(1514);
    std::int32_t no = 0, len = 0;
    // The receive first: it reads the helper's word of the refusal, which a send leaves behind.
    for (const bool bySend : {false, true}) {
        SCOPED_TRACE(bySend ? "the next send reports it" : "the next receive reports it");
        const bool helper = GetParam() == RawPath::Helper;
        ASSERT_EQ(ZARNISUPP_SendRawPacket(m_index, 1514, big.data()), helper ? 1 : 0);
        if (helper) {
            EXPECT_EQ(ZARNISUPP_WaitForRawPacket(m_index, 5000), 1) << "the refusal did not end the wait";
            errno = 0;
            if (bySend) EXPECT_EQ(ZARNISUPP_SendRawPacket(m_index, 60, unsent.data()), 0);
            else EXPECT_EQ(ZARNISUPP_ReceiveRawPacket(m_index, &no, &len, buf.data()), 0);
            EXPECT_EQ(errno, ECOMM);
        }
        ASSERT_EQ(ZARNISUPP_SendRawPacket(m_index, 60, after.data()), 1) << "the refusal was reported more than once";
        const auto got = m_lab.FarCollect(300, 2);
        ASSERT_EQ(got.size(), 1u) << "the send that reported the refusal sent its frame";
        EXPECT_EQ(got[0], after);
    }
}

TEST_F(ZarnisuppPcap, WithoutRawAccessTheAdapterIsListedButDoesNotOpen) {
    // Drop CAP_NET_RAW from this process's effective set.
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ASSERT_EQ(::syscall(SYS_capget, &hdr, data), 0);
    data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
    ASSERT_EQ(::syscall(SYS_capset, &hdr, data), 0);

    ScanForNear();
    EXPECT_EQ(ZARNISUPP_OpenAdapter(m_index), 0);
    EXPECT_EQ(ZARNISUPP_IsOpen(m_index), 0);
    std::int32_t st = -1;
    std::uint32_t medium = 99;
    EXPECT_EQ(ZARNISUPP_GetOid(m_index, 0x00010104, &medium, 4, &st), 1) << "requests need no raw access";
    EXPECT_EQ(medium, 0u);
}
