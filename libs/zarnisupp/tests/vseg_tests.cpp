// Stations on a virtual segment behave like NICs on one Ethernet.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "Segment.h"
#include "TempDir.h"

using kvr::vseg::Mac;
using kvr::vseg::Station;

namespace {

const Mac kA{0x02, 0, 0, 0, 0, 0xA1};
const Mac kB{0x02, 0, 0, 0, 0, 0xB2};
const Mac kOther{0x02, 0, 0, 0, 0, 0xC3};
const Mac kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Mac kGroup{0x01, 0x07, 0xF5, 0x00, 0x01, 0x00};

std::vector<std::uint8_t> Frame(const Mac& dst, const Mac& src, std::size_t length, std::uint8_t tag) {
    std::vector<std::uint8_t> f(length, tag);
    std::copy(dst.begin(), dst.end(), f.begin());
    std::copy(src.begin(), src.end(), f.begin() + 6);
    f[12] = static_cast<std::uint8_t>((length - 14) >> 8);
    f[13] = static_cast<std::uint8_t>(length - 14);
    return f;
}

// Waits briefly and takes one frame; empty when none came.
std::vector<std::uint8_t> Take(Station& s, int waitMs = 200) {
    std::vector<std::uint8_t> buf(kvr::vseg::kMaxFrame);
    if (!s.Wait(waitMs)) return {};
    long n = s.Receive(buf.data(), buf.size());
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
}

class ZarnisuppVseg : public ::testing::Test {
protected:
    std::unique_ptr<Station> Attach(const Mac& mac) {
        std::string err;
        auto s = Station::Attach(m_segment, mac, &err);
        EXPECT_NE(s, nullptr) << err;
        return s;
    }
    SegmentRootScope m_root;
    std::string m_segment = "seg" + std::to_string(::getpid());
};

}  // namespace

TEST_F(ZarnisuppVseg, DeliveryFollowsNicFilteringRules) {
    auto a = Attach(kA);
    auto b = Attach(kB);
    ASSERT_TRUE(a && b);

    // Unicast reaches its addressee only, unchanged and unpadded.
    auto f = Frame(kB, kA, 20, 0x11);
    ASSERT_TRUE(a->Send(f.data(), f.size()));
    EXPECT_EQ(Take(*b), f);
    EXPECT_TRUE(Take(*a, 50).empty()) << "a sender must not receive its own frame";

    auto toOther = Frame(kOther, kA, 60, 0x22);
    ASSERT_TRUE(a->Send(toOther.data(), toOther.size()));
    EXPECT_TRUE(Take(*b, 50).empty()) << "unicast to another address was delivered";

    // Broadcast reaches everybody but the sender.
    auto bc = Frame(kBroadcast, kB, 64, 0x33);
    ASSERT_TRUE(b->Send(bc.data(), bc.size()));
    EXPECT_EQ(Take(*a), bc);
    EXPECT_TRUE(Take(*b, 50).empty());

    // Multicast only after joining the group, and not after leaving it.
    auto mc = Frame(kGroup, kA, 64, 0x44);
    ASSERT_TRUE(a->Send(mc.data(), mc.size()));
    EXPECT_FALSE(b->Wait(50)) << "a waiter woke for a frame it does not keep";
    EXPECT_TRUE(Take(*b, 50).empty()) << "multicast delivered without membership";
    ASSERT_TRUE(b->JoinMulticast(kGroup));
    ASSERT_TRUE(a->Send(mc.data(), mc.size()));
    EXPECT_EQ(Take(*b), mc);
    ASSERT_TRUE(b->LeaveMulticast(kGroup));
    ASSERT_TRUE(a->Send(mc.data(), mc.size()));
    EXPECT_TRUE(Take(*b, 50).empty());
    EXPECT_FALSE(b->JoinMulticast(kOther)) << "a unicast address is not a group";

    // A promiscuous station sees unicast frames for others too.
    b->SetPromiscuous(true);
    ASSERT_TRUE(a->Send(toOther.data(), toOther.size()));
    EXPECT_EQ(Take(*b), toOther);
    b->SetPromiscuous(false);
    ASSERT_TRUE(a->Send(toOther.data(), toOther.size()));
    EXPECT_TRUE(Take(*b, 50).empty());
}

TEST_F(ZarnisuppVseg, BurstOf500FramesArrivesCompleteAndInOrder) {
    auto a = Attach(kA);
    auto b = Attach(kB);
    ASSERT_TRUE(a && b);
    for (int i = 0; i < 500; ++i) {
        auto f = Frame(kB, kA, 100 + (i % 1400), 0);
        f[14] = static_cast<std::uint8_t>(i >> 8);
        f[15] = static_cast<std::uint8_t>(i);
        ASSERT_TRUE(a->Send(f.data(), f.size()));
    }
    std::vector<std::uint8_t> buf(kvr::vseg::kMaxFrame);
    for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(b->Wait(2000)) << "frame " << i << " missing";
        long n = b->Receive(buf.data(), buf.size());
        ASSERT_EQ(n, 100 + (i % 1400));
        ASSERT_EQ((buf[14] << 8) | buf[15], i) << "out of order";
    }
    EXPECT_EQ(b->Receive(buf.data(), buf.size()), 0);
    EXPECT_EQ(b->Dropped(), 0u);
}

TEST_F(ZarnisuppVseg, LengthsOutsideAnEthernetFrameAreRefused) {
    auto a = Attach(kA);
    auto b = Attach(kB);
    ASSERT_TRUE(a && b);
    auto ok = Frame(kB, kA, 1514, 1);
    auto big = Frame(kB, kA, 1515, 2);
    EXPECT_FALSE(a->Send(big.data(), big.size()));
    EXPECT_FALSE(a->Send(ok.data(), 13));
    EXPECT_FALSE(a->Send(nullptr, 60));
    EXPECT_TRUE(a->Send(ok.data(), ok.size()));
    EXPECT_EQ(Take(*b).size(), 1514u);
    EXPECT_EQ(b->Receive(nullptr, 10), -1);

    // A short caller buffer gets a prefix, never more.
    ASSERT_TRUE(a->Send(ok.data(), ok.size()));
    ASSERT_TRUE(b->Wait(500));
    std::vector<std::uint8_t> small(100 + 8, 0xEE);
    EXPECT_EQ(b->Receive(small.data(), 100), 1514);
    EXPECT_EQ(small[100], 0xEE);
}

TEST_F(ZarnisuppVseg, IdleStationTimesOutAndPollFdSignalsFrames) {
    auto a = Attach(kA);
    auto b = Attach(kB);
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(b->Wait(30));
    pollfd p{b->PollFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    auto f = Frame(kB, kA, 60, 5);
    ASSERT_TRUE(a->Send(f.data(), f.size()));
    EXPECT_EQ(::poll(&p, 1, 1000), 1);
    std::vector<std::uint8_t> buf(1514);
    EXPECT_EQ(b->Receive(buf.data(), buf.size()), 60);
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the descriptor stays readable with an empty queue";
}

TEST_F(ZarnisuppVseg, StaleStationsAreSkippedAndRemoved) {
    auto a = Attach(kA);
    auto b = Attach(kB);
    ASSERT_TRUE(a && b);
    // A station of a process that died without detaching: its socket file stays.
    const std::string stale = m_root.Root() + "/" + m_segment + "/" + kvr::MacText(kB) + "-u-1-1";
    {
        int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, stale.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    EXPECT_EQ(kvr::vseg::CountStations(m_segment), 2u);
    auto f = Frame(kB, kA, 60, 7);
    ASSERT_TRUE(a->Send(f.data(), f.size()));
    EXPECT_EQ(Take(*b), f);
    EXPECT_FALSE(std::filesystem::exists(stale));
}

TEST_F(ZarnisuppVseg, SegmentsAppearWithStationsAndVanishWithTheLast) {
    EXPECT_TRUE(kvr::vseg::ListSegments().empty());
    {
        auto a = Attach(kA);
        ASSERT_TRUE(a);
        EXPECT_EQ(kvr::vseg::ListSegments(), std::vector<std::string>{m_segment});
        EXPECT_EQ(kvr::vseg::CountStations(m_segment), 1u);
        auto b = Attach(kB);
        EXPECT_EQ(kvr::vseg::CountStations(m_segment), 2u);
    }
    EXPECT_TRUE(kvr::vseg::ListSegments().empty());
    EXPECT_EQ(kvr::vseg::CountStations(m_segment), 0u);
}

TEST_F(ZarnisuppVseg, UnusableAttachmentsAreRefusedWithAReason) {
    std::string err;
    EXPECT_EQ(Station::Attach("../escape", kA, &err), nullptr);
    EXPECT_NE(err.find("segment name"), std::string::npos) << err;
    EXPECT_EQ(Station::Attach("", kA, &err), nullptr);
    EXPECT_EQ(Station::Attach(std::string(33, 'x'), kA, &err), nullptr);
    EXPECT_EQ(Station::Attach(m_segment, kGroup, &err), nullptr);
    EXPECT_EQ(Station::Attach(m_segment, Mac{}, &err), nullptr);

    // A segment root that others may write to is not trusted.
    ASSERT_EQ(::mkdir(m_root.Root().c_str(), 0700), 0);
    ASSERT_EQ(::chmod(m_root.Root().c_str(), 0777), 0);
    err.clear();
    EXPECT_EQ(Station::Attach(m_segment, kA, &err), nullptr);
    EXPECT_NE(err.find("private"), std::string::npos) << err;
}

TEST(ZarnisuppVsegAddress, SegmentAddressIsStableLocalUnicast) {
    const Mac m = kvr::vseg::SegmentAdapterMac("demo");
    EXPECT_EQ(m, kvr::vseg::SegmentAdapterMac("demo"));
    EXPECT_NE(m, kvr::vseg::SegmentAdapterMac("demo2"));
    EXPECT_EQ(m[0] & 0x03, 0x02);
}
