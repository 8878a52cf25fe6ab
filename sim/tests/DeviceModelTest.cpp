// The device model on its own: frames in, frames out, time given by the test.
#include <gtest/gtest.h>

#include <random>

#include "sim/DeviceModel.h"
#include "sim/SimFrame.h"
#include "sim/tests/TestWire.h"

using namespace simtest;
using kvr::sim::DeviceConfig;
using kvr::sim::DeviceModel;
using kvr::sim::Faults;
using kvr::sim::OutFrame;

namespace {

const Mac kDev{0x00, 0x07, 0xF5, 0x01, 0x02, 0x03};

DeviceConfig Config() {
    DeviceConfig c;
    c.mac = kDev;
    c.name = "Kitchen";
    return c;
}

std::vector<Seen> ReadAll(const std::vector<OutFrame>& outs) {
    std::vector<Seen> v;
    for (const auto& o : outs) v.push_back(Read(o.bytes));
    return v;
}

Bytes ReadRequest(std::uint16_t label, const Bytes& payload, int version = 8) {
    return HostFrame(kDev, version, 0, label, payload);
}

}  // namespace

TEST(SimFrameCodec, HostFramesOfBothVersionsAndTheirLengths) {
    Bytes ten(10, 0x55);
    Bytes v0 = HostFrame(kDev, 0, 0, 7, ten);
    Bytes v8 = HostFrame(kDev, 8, 0, 7, ten);
    ASSERT_EQ(v0.size(), 38u);
    ASSERT_EQ(v8.size(), 46u);
    auto f0 = kvr::sim::ParseSnapFrame(v0);
    auto f8 = kvr::sim::ParseSnapFrame(v8);
    ASSERT_TRUE(f0 && f8);
    EXPECT_EQ(f0->version, 0);
    EXPECT_EQ(f8->version, 8);
    EXPECT_EQ(f0->label, 7);
    EXPECT_EQ(f8->Sender(), kHost);
    EXPECT_EQ(f0->payload, ten);
    // The codec builds the same bytes back.
    EXPECT_EQ(kvr::sim::BuildSnapFrame(*f0), v0);
    EXPECT_EQ(kvr::sim::BuildSnapFrame(*f8), v8);
    Seen s = Read(kvr::sim::BuildSnapFrame(*f8));
    EXPECT_EQ(v8[12], 0);
    EXPECT_EQ(v8[13], 32);
    EXPECT_EQ(v0[13], 24);
    EXPECT_TRUE(s.ok);
}

TEST(SimFrameCodec, HeaderToleranceAndRejections) {
    Bytes f = HostFrame(kDev, 8, 0, 3, {});
    f[14] = 0xAB;  // DSAP 0xAB counts as 0xAA
    EXPECT_TRUE(kvr::sim::ParseSnapFrame(f).has_value());
    Bytes other = HostFrame(kDev, 8, 0, 3, {});
    other[19] = 0x08;  // another organisation code
    EXPECT_FALSE(kvr::sim::ParseSnapFrame(other).has_value());
    Bytes overlong = HostFrame(kDev, 8, 0, 3, Bytes(4, 0));
    overlong[28] = 40;  // payload length claims more than the frame holds
    EXPECT_FALSE(kvr::sim::ParseSnapFrame(overlong).has_value());
    Bytes padded = HostFrame(kDev, 0, 3, 3, {});
    padded.resize(60, 0);  // Ethernet minimum padding is ignored
    auto p = kvr::sim::ParseSnapFrame(padded);
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->payload.empty());
    // Any byte sequence is survived.
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        Bytes junk(rng() % 80);
        for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
        if (junk.size() > 22 && i % 2) {
            const Bytes hdr = HostFrame(kDev, 8, 0, 1, {});
            std::copy(hdr.begin(), hdr.begin() + 22, junk.begin());
        }
        DeviceModel m(Config());
        (void)m.OnFrame(junk, 0);
        std::vector<kvr::sim::RidBlock> blocks;
        (void)kvr::sim::SplitRidBlocks(junk, blocks);
    }
}

TEST(DeviceModelDiscovery, AnswersWithAckThenResponseCarryingEveryDiscoveryField) {
    DeviceConfig c = Config();
    c.ip = {10, 1, 2, 3};
    c.rssi = 27;
    c.firmwareId = 0x1234;
    c.firmwareVersion = 0x0305;
    c.hardwareId = 7;
    c.hardwareVersion = 2;
    c.firmwareDate = "20260102";
    c.firmwareTime = "13141500";
    DeviceModel m(c);
    auto outs = ReadAll(m.OnFrame(HostFrame(kGroup, 8, 0, 0x42, DiscoveryPayload()), 100));
    ASSERT_EQ(outs.size(), 2u);
    const Seen& ack = outs[0];
    const Seen& resp = outs[1];
    EXPECT_EQ(ack.Kind(), 3);
    EXPECT_EQ(resp.Kind(), 2);
    for (const Seen& s : outs) {
        EXPECT_TRUE(s.ok);
        EXPECT_EQ(s.label, 0x42);
        EXPECT_EQ(s.version, 8);
        EXPECT_EQ(s.sender, kDev);
        EXPECT_EQ(s.ethSrc, kDev);
        EXPECT_EQ(s.dst, kHost);
        EXPECT_FALSE(s.DownloadBit());
    }
    EXPECT_TRUE(ack.payload.empty());
    EXPECT_EQ(resp.status, 0);
    const Bytes& p = resp.payload;
    EXPECT_EQ(FindRid(p, 0x0001).value, (Bytes{10, 1, 2, 3}));
    EXPECT_EQ(LeValue(FindRid(p, 0xFD43).value), 27u);
    EXPECT_EQ(CountedText(FindRid(p, 0xFC0E).value), "Kitchen");
    EXPECT_EQ(FindRid(p, 0xFC0E).value.size(), 34u);
    EXPECT_EQ(LeValue(FindRid(p, 0x000A).value), 0u);
    EXPECT_EQ(FindRid(p, 0x0020).value, (Bytes{0, 0}));
    EXPECT_EQ(LeValue(FindRid(p, 0x0023).value), 7u);
    EXPECT_EQ(LeValue(FindRid(p, 0x0028).value), 2u);
    EXPECT_EQ(LeValue(FindRid(p, 0x0027).value), 0x1234u);
    EXPECT_EQ(LeValue(FindRid(p, 0x0022).value), 0x0305u);
    EXPECT_EQ(FindRid(p, 0x0025).value, (Bytes{'2', '0', '2', '6', '0', '1', '0', '2'}));
    EXPECT_EQ(FindRid(p, 0x0026).value, (Bytes{'1', '3', '1', '4', '1', '5', '0', '0'}));
    EXPECT_EQ(FindRid(p, 0x0047).value.size(), 4u);
    EXPECT_EQ(FindRid(p, 0x0042).value.size(), 4u);
    EXPECT_EQ(LeValue(FindRid(p, 0x0011).value), 1u) << "the highest profile number of two profiles";
    EXPECT_EQ(LeValue(FindRid(p, 0x0010).value), 1u);
    EXPECT_FALSE(FindRid(p, 0x05DD).found) << "the authorization block is not answered";
    EXPECT_EQ(m.Counters().discoveryRequests, 1u);
}

TEST(DeviceModelDiscovery, AuthorizationReportedNumberAndOtherAddresses) {
    DeviceConfig c = Config();
    c.authorizationId = 31;
    c.reportedNumProfiles = 12;
    DeviceModel m(c);
    EXPECT_TRUE(m.OnFrame(HostFrame(kGroup, 8, 0, 2, DiscoveryPayload(1)), 0).empty());
    auto outs = ReadAll(m.OnFrame(HostFrame(kGroup, 8, 0, 3, DiscoveryPayload(31)), 0));
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(LeValue(FindRid(outs[1].payload, 0x0011).value), 12u);
    // Frames for another device are not ours.
    Mac other = kDev;
    other[5] ^= 1;
    EXPECT_TRUE(m.OnFrame(HostFrame(other, 8, 0, 4, Payload().Query(0xFC0E).bytes), 0).empty());
    EXPECT_EQ(m.Counters().framesIn, 2u);
}

TEST(DeviceModelDiscovery, AnswersInTheRequestVersionUnlessForced) {
    DeviceModel m(Config());
    auto v0 = ReadAll(m.OnFrame(ReadRequest(5, Payload().Query(0xFC0E).bytes, 0), 0));
    ASSERT_EQ(v0.size(), 2u);
    EXPECT_EQ(v0[0].version, 0);
    EXPECT_EQ(v0[1].version, 0);
    EXPECT_EQ(v0[1].sender, kDev);
    DeviceConfig c = Config();
    c.replyVersion = 8;
    DeviceModel forced(c);
    auto v8 = ReadAll(forced.OnFrame(ReadRequest(5, Payload().Query(0xFC0E).bytes, 0), 0));
    ASSERT_EQ(v8.size(), 2u);
    EXPECT_EQ(v8[1].version, 8);
}

// One row per fault: what the device sends for a request with label 0x100,
// sent `copies` times (a re-send keeps the label), after one earlier
// transaction with label 0xFF.
struct FaultRow {
    const char* name;
    Faults faults;
    unsigned copies;
    std::vector<std::pair<int, int>> expected;  // (kind, label) of each frame, in order
};

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.name; }

class DeviceModelFaults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(DeviceModelFaults, FramesSentForOneTransaction) {
    const FaultRow& row = GetParam();
    DeviceConfig c = Config();
    c.faults = row.faults;
    DeviceModel m(c);
    Bytes query = Payload().Query(0xFC0E).bytes;
    for (unsigned i = 0; i < c.faults.answerOnAttempt; ++i) (void)m.OnFrame(ReadRequest(0xFF, query), 0);
    std::vector<Seen> seen;
    for (unsigned i = 0; i < row.copies; ++i) {
        auto outs = ReadAll(m.OnFrame(ReadRequest(0x100, query), 1000 + i));
        seen.insert(seen.end(), outs.begin(), outs.end());
    }
    std::vector<std::pair<int, int>> got;
    for (const Seen& s : seen) got.emplace_back(s.Kind(), s.label);
    EXPECT_EQ(got, row.expected) << row.name;
}

Faults F(void (*set)(Faults&)) {
    Faults f;
    set(f);
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceModelFaults,
    ::testing::Values(
        FaultRow{"healthy", {}, 1, {{3, 0x100}, {2, 0x100}}},
        FaultRow{"healthy device answers every re-send", {}, 2, {{3, 0x100}, {2, 0x100}, {3, 0x100}, {2, 0x100}}},
        // The earlier transaction already used up one of the dropped ACKs.
        FaultRow{"drop first two ACKs", F([](Faults& f) { f.dropFirstAcks = 2; }), 2, {{2, 0x100}, {3, 0x100}, {2, 0x100}}},
        FaultRow{"no ACK at all", F([](Faults& f) { f.noAck = true; }), 1, {{2, 0x100}}},
        FaultRow{"ACK but no response", F([](Faults& f) { f.noResponse = true; }), 1, {{3, 0x100}}},
        FaultRow{"response before ACK", F([](Faults& f) { f.responseBeforeAck = true; }), 1, {{2, 0x100}, {3, 0x100}}},
        FaultRow{"answer only the third attempt", F([](Faults& f) { f.answerOnAttempt = 3; }), 3, {{3, 0x100}, {2, 0x100}}},
        FaultRow{"answer only the third attempt, two sends", F([](Faults& f) { f.answerOnAttempt = 3; }), 2, {}},
        FaultRow{"wrong label", F([](Faults& f) { f.labelOffset = 1; }), 1, {{3, 0x101}, {2, 0x101}}},
        FaultRow{"duplicate responses", F([](Faults& f) { f.duplicateResponses = 2; }), 1,
                 {{3, 0x100}, {2, 0x100}, {2, 0x100}, {2, 0x100}}},
        FaultRow{"late response of the old transaction", F([](Faults& f) { f.lateOldResponse = true; }), 1,
                 {{2, 0xFF}, {3, 0x100}, {2, 0x100}}},
        FaultRow{"mute", F([](Faults& f) { f.mute = true; }), 2, {}},
        FaultRow{"everything lost on the way in", F([](Faults& f) { f.dropInFraction = 1.0; }), 1, {}},
        FaultRow{"everything lost on the way out", F([](Faults& f) { f.dropOutFraction = 1.0; }), 1, {}}),
    [](const ::testing::TestParamInfo<FaultRow>& row) {
        std::string n;
        for (const char* p = row.param.name; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return n;
    });

TEST(DeviceModelTiming, DelayAndSlowResponseScheduleFramesLater) {
    DeviceConfig c = Config();
    c.faults.delayMs = 300;
    c.faults.responseDelayMs = 5000;
    DeviceModel m(c);
    auto outs = m.OnFrame(ReadRequest(9, Payload().Query(0xFC0E).bytes), 1000);
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(Read(outs[0].bytes).Kind(), 3);
    EXPECT_EQ(outs[0].dueMs, 1300);
    EXPECT_EQ(outs[1].dueMs, 6300);
}

TEST(DeviceModelTiming, SeededLossRepeatsExactly) {
    auto pattern = [](std::uint32_t seed) {
        DeviceConfig c = Config();
        c.faults.dropOutFraction = 0.5;
        c.faults.seed = seed;
        DeviceModel m(c);
        std::string s;
        for (std::uint16_t l = 2; l < 202; ++l) s += std::to_string(m.OnFrame(ReadRequest(l, {}), 0).size());
        return s;
    };
    std::string a = pattern(11);
    EXPECT_EQ(a, pattern(11));
    EXPECT_NE(a, pattern(12));
    std::size_t sent = 0;
    for (char ch : a) sent += static_cast<std::size_t>(ch - '0');
    EXPECT_GT(sent, 100u);  // about 200 of 400 frames
    EXPECT_LT(sent, 300u);
}

TEST(DeviceModelAcks, HostAcksAreRecordedAndNeverAnswered) {
    DeviceModel m(Config());
    (void)m.OnFrame(ReadRequest(0x20, Payload().Query(0xFC0E).bytes), 0);
    (void)m.OnFrame(ReadRequest(0x21, Payload().Query(0xFC0E).bytes), 0);
    EXPECT_TRUE(m.OnFrame(HostFrame(kDev, 8, 3, 0x21, {}), 0).empty());
    EXPECT_TRUE(m.OnFrame(HostFrame(kDev, 8, 3, 0x77, {}), 0).empty());  // matches nothing
    const auto& k = m.Counters();
    ASSERT_EQ(k.responses.size(), 2u);
    EXPECT_FALSE(k.responses[0].ackedByHost);
    EXPECT_TRUE(k.responses[1].ackedByHost);
    EXPECT_EQ(k.responses[1].host, kHost);
    EXPECT_EQ(k.acksReceived, 1u);
    EXPECT_EQ(k.acksSent, 2u);
    EXPECT_EQ(k.responsesSent, 2u);
}

TEST(DeviceModelAcks, ResponseRecordKeepsTheNewestWhenFull) {
    DeviceModel m(Config());
    m.SetLogging(false);
    const std::size_t total = DeviceModel::kMaxResponseRecords + 7;
    for (std::size_t i = 0; i < total; ++i) {
        const auto label = static_cast<std::uint16_t>(1 + i % 32767);
        (void)m.OnFrame(ReadRequest(label, Payload().Query(0xFC0E).bytes), 0);
    }
    // The host acknowledges the newest response and one that was dropped.
    const auto newest = static_cast<std::uint16_t>(1 + (total - 1) % 32767);
    (void)m.OnFrame(HostFrame(kDev, 8, 3, newest, {}), 0);
    (void)m.OnFrame(HostFrame(kDev, 8, 3, 1, {}), 0);
    const auto k = m.Counters();
    ASSERT_EQ(k.responses.size(), DeviceModel::kMaxResponseRecords);
    EXPECT_EQ(k.responses.front().label, 8u) << "the seven oldest are gone";
    EXPECT_EQ(k.responses.back().label, newest);
    EXPECT_TRUE(k.responses.back().ackedByHost);
    EXPECT_EQ(k.acksReceived, 1u) << "an ACK for a forgotten response matches nothing";
    EXPECT_EQ(k.responsesSent, total);
}

TEST(DeviceModelProfiles, ProfileNamesOnePerSelectedProfile) {
    DeviceConfig c = Config();
    for (int i = 0; i < 4; ++i) {
        kvr::sim::Profile p;
        p.name = "P" + std::to_string(i);
        c.profiles.push_back(p);
    }
    DeviceModel m(c);
    Payload req;
    for (std::uint16_t p = 0; p < 4; ++p) req.Word(0x05DC, p).Query(0x0012);
    auto outs = ReadAll(m.OnFrame(ReadRequest(2, req.bytes), 0));
    ASSERT_EQ(outs.size(), 2u);
    for (int p = 0; p < 4; ++p)
        EXPECT_EQ(CountedText(FindRid(outs[1].payload, 0x0012, p + 1).value), "P" + std::to_string(p));
    EXPECT_FALSE(FindRid(outs[1].payload, 0x05DC).found);
    // An empty request (a device without profiles) gets an empty answer.
    auto empty = ReadAll(m.OnFrame(ReadRequest(3, {}), 0));
    ASSERT_EQ(empty.size(), 2u);
    EXPECT_TRUE(empty[1].payload.empty());
    // A profile that does not exist is refused, not invented.
    auto missing = ReadAll(m.OnFrame(ReadRequest(4, Payload().Word(0x05DC, 9).Query(0x0012).bytes), 0));
    EXPECT_EQ(ErrorCode(missing[1].payload, 0x0012), kvr::sim::kRefuseBadValue);
}

TEST(DeviceModelProfiles, WritesChangeTheSelectedProfileOnly) {
    DeviceModel m(Config());
    Payload w;
    w.Word(0x05DC, 1).Word(0x0000, 0).Block(0x0031, {10, 0, 0, 9}).Str(0xFC02, "Studio", 34).Str(0x0012, "Work", 34);
    auto outs = ReadAll(m.OnFrame(HostFrame(kDev, 8, 1, 2, w.bytes), 0));
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_TRUE(outs[1].payload.empty()) << "nothing refused";
    auto st = m.State(0);
    EXPECT_EQ(st.profiles[1].ssid, "Studio");
    EXPECT_EQ(st.profiles[1].name, "Work");
    EXPECT_FALSE(st.profiles[1].dhcp);
    EXPECT_EQ(st.profiles[1].staticIp, (kvr::sim::Ipv4{10, 0, 0, 9}));
    EXPECT_EQ(st.profiles[0].ssid, "KVR");
    // The written values read back.
    auto back = ReadAll(m.OnFrame(ReadRequest(3, Payload().Word(0x05DC, 1).Query(0xFC02).Query(0x0031).Query(0x0000).bytes), 0));
    EXPECT_EQ(CountedText(FindRid(back[1].payload, 0xFC02).value), "Studio");
    EXPECT_EQ(FindRid(back[1].payload, 0x0031).value, (Bytes{10, 0, 0, 9}));
    EXPECT_EQ(FindRid(back[1].payload, 0x0000).value, (Bytes{0, 0}));
}

TEST(DeviceModelProfiles, RefusedAndMalformedWritesLoseNothing) {
    DeviceModel m(Config());
    // Profile 0 keeps the factory defaults; read-only RIDs refuse writes.
    auto r0 = ReadAll(m.OnFrame(HostFrame(kDev, 8, 1, 2, Payload().Word(0x05DC, 0).Str(0xFC02, "X", 34).Word(0xFD43, 5).bytes), 0));
    EXPECT_EQ(ErrorCode(r0[1].payload, 0xFC02), kvr::sim::kRefuseReadOnly);
    EXPECT_EQ(ErrorCode(r0[1].payload, 0xFD43), kvr::sim::kRefuseReadOnly);
    EXPECT_EQ(m.State(0).profiles[0].ssid, "KVR");
    // A write whose last block runs past the payload is ignored as a whole.
    Bytes broken = Payload().Word(0x05DC, 1).Str(0xFC02, "Lost", 34).bytes;
    broken.insert(broken.end(), {0x09, 0x00, 0x12, 0x00});
    auto r1 = ReadAll(m.OnFrame(HostFrame(kDev, 8, 1, 3, broken), 0));
    ASSERT_EQ(r1.size(), 2u);
    EXPECT_EQ(r1[1].status, 0x20);
    EXPECT_EQ(m.State(0).profiles[1].ssid, "HomeNet");
    // A name whose character count exceeds its field is refused.
    Bytes badName = Payload().Word(3).Word(0xFC0E).Word(40).Word(0x4141).bytes;
    auto r2 = ReadAll(m.OnFrame(HostFrame(kDev, 8, 1, 4, badName), 0));
    EXPECT_EQ(ErrorCode(r2[1].payload, 0xFC0E), kvr::sim::kRefuseBadValue);
    EXPECT_EQ(m.State(0).name, "Kitchen");
}

TEST(DeviceModelCapabilities, SecurityWordWpaAndV16Probe) {
    Payload probe;
    probe.Query(0x0121).Query(0x0122).Query(0x0049).Query(0x0048);
    Payload security;
    security.Word(0x05DC, 1).Query(0xFC21).Query(0xE000).Query(0xE001).Query(0xE002).Query(0xFC20);

    DeviceConfig wpa = Config();
    wpa.wpaCapable = true;
    wpa.profiles = {kvr::sim::Profile{}, kvr::sim::Profile{}};
    wpa.profiles[1].security = 2;
    wpa.profiles[1].wpaCipher = 1;
    DeviceModel m(wpa);
    auto v16 = ReadAll(m.OnFrame(ReadRequest(2, probe.bytes), 0));
    for (std::uint16_t rid : {0x0121, 0x0122, 0x0049, 0x0048}) EXPECT_EQ(ErrorCode(v16[1].payload, rid), 1) << rid;
    auto sec = ReadAll(m.OnFrame(ReadRequest(3, security.bytes), 0));
    EXPECT_EQ(FindRid(sec[1].payload, 0xFC21).value, (Bytes{2, 0}));
    EXPECT_EQ(ErrorCode(sec[1].payload, 0xE000), 1);
    EXPECT_EQ(FindRid(sec[1].payload, 0xE001).value, (Bytes{1, 0}));
    EXPECT_EQ(FindRid(sec[1].payload, 0xE002).value.size(), 4u);
    EXPECT_EQ(FindRid(sec[1].payload, 0xFC20).value, (Bytes{0, 0}));

    DeviceConfig old = Config();
    old.v16Download = false;
    DeviceModel o(old);
    auto v1 = ReadAll(o.OnFrame(ReadRequest(2, probe.bytes), 0));
    for (std::uint16_t rid : {0x0121, 0x0122, 0x0049, 0x0048})
        EXPECT_EQ(ErrorCode(v1[1].payload, rid), kvr::sim::kRefuseUnknownRid) << rid;
    auto osec = ReadAll(o.OnFrame(ReadRequest(3, security.bytes), 0));
    EXPECT_EQ(ErrorCode(osec[1].payload, 0xFC21), kvr::sim::kRefuseUnknownRid);
    EXPECT_EQ(ErrorCode(osec[1].payload, 0xE000), kvr::sim::kRefuseUnknownRid);
    EXPECT_EQ(FindRid(osec[1].payload, 0xFC20).value, (Bytes{0, 0}));
}

TEST(DeviceModelDownloadMode, SwitchRestartsSilentlyThenAnswersInDownloadMode) {
    DeviceConfig c = Config();
    c.restartMs = 1500;
    DeviceModel m(c);
    auto w = ReadAll(m.OnFrame(HostFrame(kDev, 8, 1, 2, Payload().Word(0x0024, 1).bytes), 1000));
    ASSERT_EQ(w.size(), 2u);
    EXPECT_FALSE(w[1].DownloadBit()) << "the answer still comes from the application";
    EXPECT_TRUE(m.Restarting(1001));
    EXPECT_TRUE(m.OnFrame(HostFrame(kGroup, 8, 0, 3, DiscoveryPayload()), 2000).empty());
    auto after = ReadAll(m.OnFrame(HostFrame(kGroup, 8, 0, 4, DiscoveryPayload()), 2600));
    ASSERT_EQ(after.size(), 2u);
    EXPECT_TRUE(after[0].DownloadBit()) << "the ACK carries the mode too";
    EXPECT_TRUE(after[1].DownloadBit());
    EXPECT_EQ(FindRid(after[1].payload, 0x0020).value, (Bytes{1, 0}));
    // Switching back restarts into the application.
    (void)m.OnFrame(HostFrame(kDev, 8, 1, 5, Payload().Word(0x0024, 0).bytes), 3000);
    EXPECT_TRUE(m.DownloadMode(3100));
    EXPECT_FALSE(m.DownloadMode(4600));
}

TEST(DeviceModelDownloadMode, InconsistentModeFault) {
    DeviceConfig c = Config();
    c.downloadMode = true;
    c.faults.inconsistentDownloadMode = true;
    DeviceModel m(c);
    auto outs = ReadAll(m.OnFrame(HostFrame(kGroup, 8, 0, 2, DiscoveryPayload()), 0));
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_TRUE(outs[1].DownloadBit());
    EXPECT_EQ(FindRid(outs[1].payload, 0x0020).value, (Bytes{0, 0}));
}

TEST(DeviceModelLimits, OversizedReadIsCutAtWholeBlocksAndFlagged) {
    DeviceModel m(Config());
    Payload req;
    for (int i = 0; i < 60; ++i) req.Query(0xFC0E);  // 60 x 38 bytes asked
    auto outs = ReadAll(m.OnFrame(ReadRequest(2, req.bytes), 0));
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[1].status, 0x10);
    EXPECT_LE(outs[1].payload.size(), 1464u);
    EXPECT_EQ(outs[1].payload.size() % 38, 0u);
    EXPECT_EQ(outs[1].payload.size(), 1444u);
}
