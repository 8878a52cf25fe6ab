// The simulator end to end: devices answering a host station on a virtual
// segment of the test's own (segment root in a private temporary directory).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "libs/zarnisupp/vseg/Segment.h"
#include "SkipSleepClock.h"
#include "TempDir.h"
#include "sim/Simulator.h"
#include "sim/tests/TestWire.h"

using namespace simtest;
using kvr::sim::DeviceConfig;
using kvr::sim::Simulator;

namespace {

const Mac kDevA{0x00, 0x07, 0xF5, 0x0A, 0x00, 0x01};
const Mac kDevB{0x00, 0x07, 0xF5, 0x0B, 0x00, 0x02};

class SimulatorSegment : public ::testing::Test {
protected:
    void SetUp() override {
        m_segment = "sim" + std::to_string(getpid());
        std::string err;
        m_host = kvr::vseg::Station::Attach(m_segment, kHost, &err);
        ASSERT_TRUE(m_host) << err;
    }
    void TearDown() override {
        m_sim.Stop();
        m_host.reset();
    }

    DeviceConfig Device(const Mac& mac, const std::string& name) {
        DeviceConfig d;
        d.mac = mac;
        d.name = name;
        return d;
    }

    void Start() {
        std::string err;
        ASSERT_TRUE(m_sim.StartOnSegment(m_segment, &err)) << err;
    }

    // Frames the host station receives within `ms`, stopping early at `want`
    // or, given `tailMs`, that long after `want` came (a stray extra frame
    // would show in it).
    static std::vector<Seen> Collect(kvr::vseg::Station& st, int ms, std::size_t want = 1000, int tailMs = 0) {
        std::vector<Seen> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::uint8_t buf[kvr::vseg::kMaxFrame];
        for (;;) {
            if (out.size() == want) {
                if (tailMs <= 0) break;
                end = std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(tailMs));
                tailMs = 0;
                want = SIZE_MAX;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !st.Wait(static_cast<int>(left))) break;
            long n = st.Receive(buf, sizeof buf);
            if (n > 0) out.push_back(Read(Bytes(buf, buf + n)));
        }
        return out;
    }

    void Send(kvr::vseg::Station& st, const Bytes& frame) { ASSERT_TRUE(st.Send(frame.data(), frame.size())); }

    SegmentRootScope m_root;
    std::string m_segment;
    std::unique_ptr<kvr::vseg::Station> m_host;
    Simulator m_sim;
};

std::size_t CountKind(const std::vector<Seen>& v, int kind, const Mac& sender) {
    std::size_t n = 0;
    for (const Seen& s : v) n += (s.Kind() == kind && s.sender == sender) ? 1 : 0;
    return n;
}

}  // namespace

TEST_F(SimulatorSegment, DiscoveryIsAnsweredByEveryDeviceAndHostAcksAreRecorded) {
    ASSERT_TRUE(m_sim.AddDevice(Device(kDevA, "Alpha")));
    ASSERT_TRUE(m_sim.AddDevice(Device(kDevB, "Beta")));
    EXPECT_FALSE(m_sim.AddDevice(Device(kDevA, "Again"))) << "one device per address";
    Start();
    Send(*m_host, HostFrame(kGroup, 8, 0, 0x30, DiscoveryPayload()));
    auto seen = Collect(*m_host, 2000, 4);
    ASSERT_EQ(seen.size(), 4u);
    for (const Mac& dev : {kDevA, kDevB}) {
        EXPECT_EQ(CountKind(seen, 3, dev), 1u);
        EXPECT_EQ(CountKind(seen, 2, dev), 1u);
    }
    for (const Seen& s : seen) {
        EXPECT_EQ(s.label, 0x30);
        EXPECT_EQ(s.dst, kHost);
        if (s.Kind() == 2) {
            EXPECT_EQ(CountedText(FindRid(s.payload, 0xFC0E).value), s.sender == kDevA ? "Alpha" : "Beta");
        }
    }
    // The host acknowledges A's response only.
    Send(*m_host, HostFrame(kDevA, 8, 3, 0x30, {}));
    for (int i = 0; i < 100 && m_sim.Counters(kDevA).acksReceived == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto a = m_sim.Counters(kDevA);
    auto b = m_sim.Counters(kDevB);
    ASSERT_EQ(a.responses.size(), 1u);
    EXPECT_TRUE(a.responses[0].ackedByHost);
    ASSERT_EQ(b.responses.size(), 1u);
    EXPECT_FALSE(b.responses[0].ackedByHost);
    EXPECT_EQ(a.discoveryRequests, 1u);
    // The frame log holds the request, the ACK, the response and the host's ACK.
    auto log = m_sim.FrameLog(kDevA);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_FALSE(log[0].outgoing);
    EXPECT_TRUE(log[1].outgoing);
    EXPECT_EQ(log[1].kind, 3);
    EXPECT_EQ(log[2].kind, 2);
    EXPECT_EQ(log[3].kind, 3);
    EXPECT_FALSE(log[3].outgoing);
}

TEST_F(SimulatorSegment, VanishAppearAndMoveToAnotherSegment) {
    ASSERT_TRUE(m_sim.AddDevice(Device(kDevA, "Alpha")));
    ASSERT_TRUE(m_sim.AddDevice(Device(kDevB, "Beta")));
    Start();
    ASSERT_TRUE(m_sim.Vanish(kDevA));
    EXPECT_FALSE(m_sim.State(kDevA).attached);
    Send(*m_host, HostFrame(kGroup, 8, 0, 2, DiscoveryPayload()));
    auto seen = Collect(*m_host, 400, 2, 100);
    EXPECT_EQ(CountKind(seen, 2, kDevA), 0u);
    EXPECT_EQ(CountKind(seen, 2, kDevB), 1u);

    ASSERT_TRUE(m_sim.Appear(kDevA));
    Send(*m_host, HostFrame(kGroup, 8, 0, 3, DiscoveryPayload()));
    seen = Collect(*m_host, 2000, 4);
    EXPECT_EQ(CountKind(seen, 2, kDevA), 1u);

    std::string other = m_segment + "b";
    std::string err;
    auto host2 = kvr::vseg::Station::Attach(other, Mac{0x02, 0, 0, 0, 0, 0x20}, &err);
    ASSERT_TRUE(host2) << err;
    ASSERT_TRUE(m_sim.MoveToSegment(kDevA, other, &err)) << err;
    EXPECT_EQ(m_sim.State(kDevA).segment, other);
    Send(*m_host, HostFrame(kGroup, 8, 0, 4, DiscoveryPayload()));
    seen = Collect(*m_host, 400, 2, 100);
    EXPECT_EQ(CountKind(seen, 2, kDevA), 0u);
    EXPECT_EQ(CountKind(seen, 2, kDevB), 1u);
    Send(*host2, HostFrame(kGroup, 8, 0, 5, DiscoveryPayload(), Mac{0x02, 0, 0, 0, 0, 0x20}));
    auto seen2 = Collect(*host2, 2000, 2);
    EXPECT_EQ(CountKind(seen2, 2, kDevA), 1u);
    EXPECT_EQ(CountKind(seen2, 2, kDevB), 0u);
    EXPECT_FALSE(m_sim.MoveToSegment(kDevA, "no/slash", &err));
    EXPECT_FALSE(err.empty());
}

TEST_F(SimulatorSegment, FaultsAndDownloadModeOverTheWire) {
    DeviceConfig d = Device(kDevA, "Alpha");
    d.restartMs = 400;  // long enough that a loaded machine still sends the probe in time
    d.faults.answerOnAttempt = 2;
    ASSERT_TRUE(m_sim.AddDevice(d));
    Start();
    Bytes write = HostFrame(kDevA, 8, 1, 7, Payload().Word(0x0024, 1).bytes);
    Send(*m_host, write);
    EXPECT_TRUE(Collect(*m_host, 150).empty()) << "the first send is ignored";
    Send(*m_host, write);  // the re-send with the same label is answered
    auto seen = Collect(*m_host, 2000, 2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Kind(), 3);
    EXPECT_EQ(seen[1].Kind(), 2);
    EXPECT_FALSE(seen[1].DownloadBit());
    ASSERT_TRUE(m_sim.SetFaults(kDevA, {}));
    // While it restarts it answers nothing; afterwards it is in download mode.
    Send(*m_host, HostFrame(kGroup, 8, 0, 8, DiscoveryPayload()));
    EXPECT_EQ(CountKind(Collect(*m_host, 100), 2, kDevA), 0u);
    EXPECT_TRUE(kvr::test::WaitFor([&] {
        const auto state = m_sim.State(kDevA);
        return state.downloadMode && !state.restarting;
    }));
    Send(*m_host, HostFrame(kGroup, 8, 0, 9, DiscoveryPayload()));
    seen = Collect(*m_host, 2000, 2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[1].DownloadBit());
}

TEST_F(SimulatorSegment, StartFailsCleanlyOnABadSegmentName) {
    ASSERT_TRUE(m_sim.AddDevice(Device(kDevA, "Alpha")));
    std::string err;
    EXPECT_FALSE(m_sim.StartOnSegment("bad/name", &err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(m_sim.Running());
    EXPECT_TRUE(m_sim.StartOnSegment(m_segment, &err)) << err;
}
