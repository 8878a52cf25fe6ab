// The exported adapter interface, driven through a scripted backend (edge cases
// and the read-request machinery) and through a real virtual segment.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <vector>

#include "PacketDriver.h"
#include "Segment.h"
#include "TempDir.h"
#include "zarnisupp.h"

using namespace kvr::zs;

namespace {

// What the scripted driver knows about one adapter and what it saw happen.
struct FakeAdapter {
    std::string name, description;
    std::uint32_t medium = kMediumEthernet;
    bool mediumFails = false;
    std::uint32_t physical = kPhysicalUnspecified;
    bool connected = true;
    Mac mac{0x00, 0x07, 0xF5, 0x01, 0x02, 0x03};
    bool refuseFilter = false;
    std::vector<std::uint8_t> ssidRecord;  // 36-byte answer to an SSID query; empty = not supported
    // Activity:
    int openPorts = 0;
    std::uint32_t filter = 0;
    std::deque<std::vector<std::uint8_t>> rx;
    std::vector<std::vector<std::uint8_t>> tx;
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> sets;
    bool gone = false;
};

class FakePort final : public Port {
public:
    explicit FakePort(FakeAdapter& a) : m_a(a) { ++m_a.openPorts; }
    ~FakePort() override { --m_a.openPorts; }

    std::uint32_t Request(bool set, std::uint32_t oid, std::uint8_t* buf, std::uint32_t len) override {
        if (set) {
            m_a.sets.emplace_back(oid, std::vector<std::uint8_t>(buf, buf + len));
            if (oid == OID_GEN_CURRENT_PACKET_FILTER) {
                if (m_a.refuseFilter) return kStatusFailure;
                std::uint32_t f = 0, st = 0;
                if (!SetValueU32(buf, len, f, &st)) return st;
                m_a.filter = f;
                return kStatusSuccess;
            }
            return oid == OID_802_11_ADD_WEP || oid == OID_802_11_SSID ? kStatusSuccess : kStatusNotSupported;
        }
        switch (oid) {
        case OID_GEN_MEDIA_IN_USE:
            return m_a.mediumFails ? kStatusFailure : AnswerQueryU32(buf, len, m_a.medium);
        case OID_GEN_PHYSICAL_MEDIUM:
            return AnswerQueryU32(buf, len, m_a.physical);
        case OID_GEN_MEDIA_CONNECT_STATUS:
            return AnswerQueryU32(buf, len, m_a.connected ? kMediaConnected : kMediaDisconnected);
        case OID_802_3_PERMANENT_ADDRESS:
            return AnswerQuery(buf, len, m_a.mac.data(), 6);
        case OID_GEN_CURRENT_PACKET_FILTER:
            return AnswerQueryU32(buf, len, m_a.filter);
        case OID_802_11_SSID:
            if (m_a.ssidRecord.empty()) return kStatusNotSupported;
            return AnswerQuery(buf, len, m_a.ssidRecord.data(), m_a.ssidRecord.size());
        default:
            return kStatusNotSupported;
        }
    }
    bool Send(const std::uint8_t* f, std::size_t n) override {
        m_a.tx.emplace_back(f, f + n);
        return true;
    }
    ReadResult Read(std::uint8_t* out, std::size_t cap, std::size_t* n) override {
        if (m_a.gone) return ReadResult::Gone;
        if (m_a.rx.empty()) return ReadResult::Empty;
        auto f = std::move(m_a.rx.front());
        m_a.rx.pop_front();
        *n = std::min(cap, f.size());
        std::memcpy(out, f.data(), *n);
        return ReadResult::Frame;
    }
    int PollFds(int[2]) const override { return 0; }

private:
    FakeAdapter& m_a;
};

class FakeBackend final : public Backend {
public:
    explicit FakeBackend(std::vector<FakeAdapter>& adapters, const char* kind = "fake")
        : m_adapters(adapters), m_kind(kind) {}
    const char* Kind() const override { return m_kind; }
    bool Enumerate(std::vector<AdapterEntry>& out) override {
        if (failEnumeration) return false;
        for (auto& a : m_adapters) out.push_back({a.name, a.description});
        return true;
    }
    bool Owns(const std::string& name) const override {
        if (name.rfind("fake", 0) != 0) return false;
        if (std::string(m_kind) == "fake") return true;
        // Beside another fake backend: own only this backend's adapters.
        return std::any_of(m_adapters.begin(), m_adapters.end(),
                           [&](const FakeAdapter& a) { return a.name == name; });
    }
    std::unique_ptr<Port> Open(const std::string& name) override {
        for (auto& a : m_adapters)
            if (a.name == name && !a.gone) return std::make_unique<FakePort>(a);
        return nullptr;
    }
    std::vector<Mac> AddressesWithIp() override { return withIp; }
    bool failEnumeration = false;
    std::vector<Mac> withIp;

private:
    std::vector<FakeAdapter>& m_adapters;
    const char* m_kind;
};

FakeAdapter Adapter(const std::string& n, std::uint8_t last) {
    FakeAdapter a;
    a.name = "fake" + n;
    a.description = "Fake adapter " + n;
    a.mac[5] = last;
    return a;
}

std::vector<std::uint8_t> Frame(std::size_t length, std::uint8_t tag) {
    std::vector<std::uint8_t> f(length, tag);
    for (int i = 0; i < 6; ++i) f[i] = 0xFF;
    return f;
}

class ZarnisuppExports : public ::testing::Test {
protected:
    void SetUp() override {
        m_adapters.reserve(8);  // ports keep references
        m_adapters.push_back(Adapter("0", 0x10));
        m_adapters.push_back(Adapter("1", 0x11));
    }
    void TearDown() override {
        std::int32_t n = 0;
        SetBackends({});
        ZARNISUPP_ScanForEthernetAdapters(&n, 0);  // empties the table before the adapters go
    }
    std::int32_t Scan() {
        auto b = std::make_unique<FakeBackend>(m_adapters);
        m_backend = b.get();
        std::vector<std::unique_ptr<Backend>> v;
        v.push_back(std::move(b));
        SetBackends(std::move(v));
        std::int32_t count = -7;
        EXPECT_EQ(ZARNISUPP_ScanForEthernetAdapters(&count, 1), 1);
        return count;
    }
    std::vector<FakeAdapter> m_adapters;
    FakeBackend* m_backend = nullptr;
};

}  // namespace

TEST_F(ZarnisuppExports, ScanBuildsTheTableAndLeavesOutOtherMedia) {
    m_adapters.push_back(Adapter("dialup", 0x20));
    m_adapters.back().medium = 3;  // not 802.3
    m_adapters[1].physical = kPhysicalWirelessLan;
    m_adapters[1].connected = false;
    ASSERT_EQ(Scan(), 2);

    char text[512];
    ASSERT_EQ(ZARNISUPP_GetAdapterDesc(1, text, 512), 1);
    EXPECT_STREQ(text, "Fake adapter 1");
    ASSERT_EQ(ZARNISUPP_GetAdapterName(0, text, 512), 1);
    EXPECT_STREQ(text, "fake0");
    std::int32_t v = -1;
    ASSERT_EQ(ZARNISUPP_IsWlanAdapter(1, &v), 1);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(ZARNISUPP_IsWlanAdapter(0, &v), 1);
    EXPECT_EQ(v, 0);
    ASSERT_EQ(ZARNISUPP_IsAdapterConnected(1, &v), 1);
    EXPECT_EQ(v, 0);
    ASSERT_EQ(ZARNISUPP_IsAdapterConnected(0, &v), 1);
    EXPECT_EQ(v, 1);
    std::uint8_t mac[6];
    ASSERT_EQ(ZARNISUPP_GetAdapterMacAddress(1, mac), 1);
    EXPECT_EQ(mac[5], 0x11);
    for (auto& a : m_adapters) EXPECT_EQ(a.openPorts, 0) << "scan left " << a.name << " open";
    EXPECT_EQ(ZARNISUPP_IsOpen(0), 0);
}

TEST_F(ZarnisuppExports, AdapterKindsCanBeLimitedForHermeticRuns) {
    std::vector<FakeAdapter> segments{Adapter("seg", 0x30)};
    std::vector<FakeAdapter> wires{Adapter("wire", 0x31), Adapter("wire2", 0x32)};
    auto listed = [&](const char* want) {
        if (want) ::setenv("KVR_ADAPTERS", want, 1); else ::unsetenv("KVR_ADAPTERS");
        std::vector<std::unique_ptr<Backend>> v;
        v.push_back(std::make_unique<FakeBackend>(wires, "pcap"));
        v.push_back(std::make_unique<FakeBackend>(segments, "vseg"));
        SetBackends(std::move(v));
        std::int32_t count = -1;
        EXPECT_EQ(ZARNISUPP_ScanForEthernetAdapters(&count, 0), 1);
        std::string names;
        char text[512];
        for (std::int32_t i = 0; i < count; ++i)
            if (ZARNISUPP_GetAdapterName(i, text, 512) == 1) names += std::string(text) + " ";
        ::unsetenv("KVR_ADAPTERS");
        return names;
    };
    EXPECT_EQ(listed(nullptr), "fakewire fakewire2 fakeseg ");
    EXPECT_EQ(listed("virtual"), "fakeseg ");
    EXPECT_EQ(listed("real"), "fakewire fakewire2 ");
    EXPECT_EQ(listed("something else"), "fakewire fakewire2 fakeseg ");
}

TEST_F(ZarnisuppExports, HasIpComesFromAddressMatch) {
    auto b = std::make_unique<FakeBackend>(m_adapters);
    b->withIp = {m_adapters[1].mac};
    std::vector<std::unique_ptr<Backend>> v;
    v.push_back(std::move(b));
    SetBackends(std::move(v));
    std::int32_t count = 0, ip = -1;
    ASSERT_EQ(ZARNISUPP_ScanForEthernetAdapters(&count, 0), 1);
    ASSERT_EQ(ZARNISUPP_HasAdapterIP(0, &ip), 1);
    EXPECT_EQ(ip, 0);
    ASSERT_EQ(ZARNISUPP_HasAdapterIP(1, &ip), 1);
    EXPECT_EQ(ip, 1);
}

TEST_F(ZarnisuppExports, FailedScansReportFailureAndLeaveCountAlone) {
    SetBackends({});
    std::int32_t count = 99;
    EXPECT_EQ(ZARNISUPP_ScanForEthernetAdapters(nullptr, 0), 0);
    ASSERT_EQ(ZARNISUPP_ScanForEthernetAdapters(&count, 0), 1) << "a PC without adapters scans fine";
    EXPECT_EQ(count, 0);

    // The medium of the second adapter cannot be read: the scan fails, the first stays.
    m_adapters[1].mediumFails = true;
    auto b = std::make_unique<FakeBackend>(m_adapters);
    std::vector<std::unique_ptr<Backend>> v;
    v.push_back(std::move(b));
    SetBackends(std::move(v));
    count = 99;
    EXPECT_EQ(ZARNISUPP_ScanForEthernetAdapters(&count, 0), 0);
    EXPECT_EQ(count, 99);
    char text[512];
    EXPECT_EQ(ZARNISUPP_GetAdapterName(0, text, 512), 1);
    EXPECT_EQ(ZARNISUPP_GetAdapterName(1, text, 512), 0);
}

TEST_F(ZarnisuppExports, BadIndexesAndPointersFailEverywhere) {
    ASSERT_EQ(Scan(), 2);
    char text[600];
    std::int32_t v = 0, st = 0, no = 0, len = 0;
    std::uint8_t buf[1514] = {};
    for (std::int32_t i : {2, -1, INT32_MIN}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ZARNISUPP_GetAdapterDesc(i, text, 600), 0);
        EXPECT_EQ(ZARNISUPP_GetAdapterName(i, text, 600), 0);
        EXPECT_EQ(ZARNISUPP_IsWlanAdapter(i, &v), 0);
        EXPECT_EQ(ZARNISUPP_IsAdapterConnected(i, &v), 0);
        EXPECT_EQ(ZARNISUPP_HasAdapterIP(i, &v), 0);
        EXPECT_EQ(ZARNISUPP_GetAdapterMacAddress(i, buf), 0);
        EXPECT_EQ(ZARNISUPP_OpenAdapter(i), 0);
        EXPECT_EQ(ZARNISUPP_CloseAdapter(i), 0);
        EXPECT_EQ(ZARNISUPP_IsOpen(i), 0);
        EXPECT_EQ(ZARNISUPP_GetOid(i, OID_GEN_MEDIA_IN_USE, buf, 4, &st), 0);
        EXPECT_EQ(ZARNISUPP_SetOid(i, OID_GEN_CURRENT_PACKET_FILTER, buf, 4, &st), 0);
        EXPECT_EQ(ZARNISUPP_GetInfrastructureMode(i, &v), 0);
        EXPECT_EQ(ZARNISUPP_SetSSID(i, 4, buf), 0);
        EXPECT_EQ(ZARNISUPP_GetSSID(i, &v, buf), 0);
        EXPECT_EQ(ZARNISUPP_ReceiveRawPacket(i, &no, &len, buf), 0);
        EXPECT_EQ(ZARNISUPP_SendRawPacket(i, 60, buf), 0);
        EXPECT_EQ(ZARNISUPP_WaitForRawPacket(i, 0), 0);
    }
    // Buffers: 511 bytes is too small for a description or a name, 512 is enough.
    EXPECT_EQ(ZARNISUPP_GetAdapterDesc(0, text, 511), 0);
    EXPECT_EQ(ZARNISUPP_GetAdapterName(0, text, 511), 0);
    EXPECT_EQ(ZARNISUPP_GetAdapterDesc(0, text, 512), 1);
    EXPECT_EQ(ZARNISUPP_GetAdapterDesc(0, nullptr, 512), 0);
    EXPECT_EQ(ZARNISUPP_IsWlanAdapter(0, nullptr), 0);
    EXPECT_EQ(ZARNISUPP_GetAdapterMacAddress(0, nullptr), 0);
    EXPECT_EQ(ZARNISUPP_GetOid(0, OID_GEN_MEDIA_IN_USE, nullptr, 4, &st), 0);
    EXPECT_EQ(ZARNISUPP_GetOid(0, OID_GEN_MEDIA_IN_USE, buf, 4, nullptr), 0);
    EXPECT_EQ(ZARNISUPP_GetOid(0, OID_GEN_MEDIA_IN_USE, buf, -4, &st), 0);
    EXPECT_EQ(ZARNISUPP_IsWindowsXP(nullptr), 0);
    EXPECT_EQ(ZARNISUPP_IsWindowsXP(&v), 1);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(ZARNISUPP_GetVersion(), 0x00010032);
}

TEST_F(ZarnisuppExports, OpenAndCloseAreIdempotentAndOpenAsksForDirectedAndBroadcast) {
    ASSERT_EQ(Scan(), 2);
    EXPECT_EQ(ZARNISUPP_CloseAdapter(0), 1) << "closing a closed adapter";
    ASSERT_EQ(ZARNISUPP_OpenAdapter(0), 1);
    EXPECT_EQ(ZARNISUPP_OpenAdapter(0), 1);
    EXPECT_EQ(m_adapters[0].openPorts, 1) << "a second open made a second handle";
    EXPECT_EQ(m_adapters[0].filter, 9u);
    EXPECT_EQ(ZARNISUPP_IsOpen(0), 1);
    EXPECT_EQ(ZARNISUPP_IsOpen(1), 0);
    EXPECT_EQ(ZARNISUPP_CloseAdapter(0), 1);
    EXPECT_EQ(m_adapters[0].openPorts, 0);
    EXPECT_EQ(ZARNISUPP_IsOpen(0), 0);

    // A driver that refuses the packet filter: the open fails and no handle is left.
    m_adapters[1].refuseFilter = true;
    EXPECT_EQ(ZARNISUPP_OpenAdapter(1), 0);
    EXPECT_EQ(ZARNISUPP_IsOpen(1), 0);
    EXPECT_EQ(m_adapters[1].openPorts, 0);

    // An adapter that vanished since the scan cannot be opened.
    m_adapters[0].gone = true;
    EXPECT_EQ(ZARNISUPP_OpenAdapter(0), 0);
}

TEST_F(ZarnisuppExports, RequestsOnAClosedAdapterOpenItForTheRequestOnly) {
    ASSERT_EQ(Scan(), 2);
    std::uint8_t buf[8] = {};
    std::int32_t st = -1;
    ASSERT_EQ(ZARNISUPP_GetOid(0, OID_802_3_PERMANENT_ADDRESS, buf, 6, &st), 1);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(buf[5], 0x10);
    EXPECT_EQ(ZARNISUPP_IsOpen(0), 0);
    EXPECT_EQ(m_adapters[0].openPorts, 0);

    // The driver's status reaches the caller, and a nonzero status fails.
    EXPECT_EQ(ZARNISUPP_GetOid(0, 0x7777, buf, 4, &st), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(st), kStatusNotSupported);
    EXPECT_EQ(ZARNISUPP_GetOid(0, OID_802_3_PERMANENT_ADDRESS, buf, 5, &st), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(st), kStatusBufferTooShort);

    // On an open adapter the request uses the open handle and leaves it open.
    ASSERT_EQ(ZARNISUPP_OpenAdapter(0), 1);
    std::uint32_t filter = 0;
    ASSERT_EQ(ZARNISUPP_GetOid(0, OID_GEN_CURRENT_PACKET_FILTER, &filter, 4, &st), 1);
    EXPECT_EQ(filter, 9u);
    EXPECT_EQ(ZARNISUPP_IsOpen(0), 1);
    EXPECT_EQ(m_adapters[0].openPorts, 1);
}

TEST_F(ZarnisuppExports, SendsGoOutUnchangedWithinEthernetLimits) {
    ASSERT_EQ(Scan(), 2);
    auto f = Frame(1515, 0x5A);
    EXPECT_EQ(ZARNISUPP_SendRawPacket(0, 1514, f.data()), 0) << "closed adapter";
    ASSERT_EQ(ZARNISUPP_OpenAdapter(0), 1);
    EXPECT_EQ(ZARNISUPP_SendRawPacket(0, 1515, f.data()), 0);
    EXPECT_EQ(ZARNISUPP_SendRawPacket(0, 13, f.data()), 0);
    EXPECT_EQ(ZARNISUPP_SendRawPacket(0, -1, f.data()), 0);
    EXPECT_EQ(ZARNISUPP_SendRawPacket(0, 60, nullptr), 0);
    EXPECT_TRUE(m_adapters[0].tx.empty());
    f[1513] = 0xA5;
    ASSERT_EQ(ZARNISUPP_SendRawPacket(0, 1514, f.data()), 1);
    ASSERT_EQ(ZARNISUPP_SendRawPacket(0, 20, f.data()), 1);
    ASSERT_EQ(m_adapters[0].tx.size(), 2u);
    EXPECT_EQ(m_adapters[0].tx[0], std::vector<std::uint8_t>(f.begin(), f.begin() + 1514));
    EXPECT_EQ(m_adapters[0].tx[1].size(), 20u) << "short frames are not padded";
}

TEST_F(ZarnisuppExports, ReceivePollsInOrderAndReportsIdleAndVanishedAdapters) {
    ASSERT_EQ(Scan(), 2);
    std::vector<std::uint8_t> buf(1514 + 16, 0xCC);
    std::int32_t no = -1, len = -1;
    EXPECT_EQ(ZARNISUPP_ReceiveRawPacket(0, &no, &len, buf.data()), 0) << "closed adapter";
    ASSERT_EQ(ZARNISUPP_OpenAdapter(0), 1);
    ASSERT_EQ(ZARNISUPP_ReceiveRawPacket(0, &no, &len, buf.data()), 1);
    EXPECT_EQ(no, 1);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(ZARNISUPP_ReceiveRawPacket(0, nullptr, &len, buf.data()), 0);
    EXPECT_EQ(ZARNISUPP_ReceiveRawPacket(0, &no, nullptr, buf.data()), 0);
    EXPECT_EQ(ZARNISUPP_ReceiveRawPacket(0, &no, &len, nullptr), 0);

    // More frames than read requests, all waiting at once: none lost, in order.
    for (int i = 0; i < 100; ++i) {
        auto f = Frame(60 + i, static_cast<std::uint8_t>(i));
        m_adapters[0].rx.push_back(f);
    }
    m_adapters[0].rx.push_back(Frame(1514, 0xEE));
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(ZARNISUPP_ReceiveRawPacket(0, &no, &len, buf.data()), 1);
        ASSERT_EQ(no, 0);
        ASSERT_EQ(len, 60 + i);
        ASSERT_EQ(buf[59], i);
    }
    ASSERT_EQ(ZARNISUPP_ReceiveRawPacket(0, &no, &len, buf.data()), 1);
    EXPECT_EQ(len, 1514);
    EXPECT_EQ(buf[1514], 0xCC) << "wrote past a 1514-byte frame";

    // A driver that offers more than a whole frame is cut at the read block's capacity.
    m_adapters[0].rx.push_back(std::vector<std::uint8_t>(3000, 0x77));
    ASSERT_EQ(ZARNISUPP_ReceiveRawPacket(0, &no, &len, buf.data()), 1);
    EXPECT_LE(len, 1514);
    EXPECT_EQ(buf[1514], 0xCC);

    // The adapter disappears: receive fails instead of looking idle for ever.
    m_adapters[0].gone = true;
    EXPECT_EQ(ZARNISUPP_ReceiveRawPacket(0, &no, &len, buf.data()), 0);
    EXPECT_EQ(ZARNISUPP_CloseAdapter(0), 1);
    EXPECT_EQ(ZARNISUPP_ReceiveRawPacket(0, &no, &len, buf.data()), 0);
}

TEST_F(ZarnisuppExports, WirelessRecordsHaveTheirLayoutAndLengthsAreChecked) {
    m_adapters[0].physical = kPhysicalWirelessLan;
    ASSERT_EQ(Scan(), 2);
    auto& sets = m_adapters[0].sets;
    const std::uint8_t key[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    EXPECT_EQ(ZARNISUPP_SetWEP(0, 2, 17, key), 0);
    EXPECT_EQ(ZARNISUPP_SetWEP(0, 2, -1, key), 0);
    EXPECT_EQ(ZARNISUPP_SetWEP(0, 2, 5, nullptr), 0);
    EXPECT_TRUE(sets.empty()) << "a refused key still reached the driver";
    ASSERT_EQ(ZARNISUPP_SetWEP(0, 2, 13, key), 1);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].first, OID_802_11_ADD_WEP);
    const auto& wep = sets[0].second;
    ASSERT_EQ(wep.size(), 28u);
    EXPECT_EQ(wep[0], 28);
    EXPECT_EQ(wep[4], 2);
    EXPECT_EQ(wep[8], 13);
    EXPECT_EQ(std::memcmp(wep.data() + 12, key, 13), 0);

    const std::uint8_t ssid[33] = {'k', 'a', 'v', 'o', 'r', 'i'};
    EXPECT_EQ(ZARNISUPP_SetSSID(0, 33, ssid), 0);
    ASSERT_EQ(ZARNISUPP_SetSSID(0, 6, ssid), 1);
    const auto& rec = sets.back().second;
    ASSERT_EQ(rec.size(), 36u);
    EXPECT_EQ(rec[0], 6);
    EXPECT_EQ(std::memcmp(rec.data() + 4, "kavori", 6), 0);
    EXPECT_TRUE(std::all_of(rec.begin() + 10, rec.end(), [](std::uint8_t b) { return b == 0; }));

    // Reading the SSID: the length and exactly that many bytes.
    std::vector<std::uint8_t> answer(36, 0);
    answer[0] = 4;
    std::memcpy(answer.data() + 4, "demoXXXX", 8);
    m_adapters[0].ssidRecord = answer;
    std::uint8_t out[40];
    std::memset(out, 0xCC, sizeof out);
    std::int32_t n = -1;
    ASSERT_EQ(ZARNISUPP_GetSSID(0, &n, out), 1);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(std::memcmp(out, "demo", 4), 0);
    EXPECT_EQ(out[4], 0xCC);

    // A driver claiming more than 32 bytes would overrun the caller: refused.
    answer[0] = 40;
    m_adapters[0].ssidRecord = answer;
    std::memset(out, 0xCC, sizeof out);
    n = -1;
    EXPECT_EQ(ZARNISUPP_GetSSID(0, &n, out), 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(out[0], 0xCC);

    // A wired adapter cannot tell an SSID.
    EXPECT_EQ(ZARNISUPP_GetSSID(1, &n, out), 0);
}

// The exports against a real virtual segment, with a station as the peer.
class ZarnisuppOnSegment : public ::testing::Test {
protected:
    void SetUp() override {
        SetBackends({});
        Backends().push_back(MakeVsegBackend());
        std::string err;
        m_peer = kvr::vseg::Station::Attach(m_segment, m_peerMac, &err);
        ASSERT_NE(m_peer, nullptr) << err;
        std::int32_t count = 0;
        ASSERT_EQ(ZARNISUPP_ScanForEthernetAdapters(&count, 0), 1);
        ASSERT_EQ(count, 1);
        ASSERT_EQ(ZARNISUPP_GetAdapterMacAddress(0, m_mac.data()), 1);
    }
    void TearDown() override {
        ZARNISUPP_CloseAdapter(0);
        m_peer.reset();
    }
    std::vector<std::uint8_t> PeerFrame(const Mac& dst, std::size_t n, std::uint8_t tag) {
        std::vector<std::uint8_t> f(n, tag);
        std::copy(dst.begin(), dst.end(), f.begin());
        std::copy(m_peerMac.begin(), m_peerMac.end(), f.begin() + 6);
        return f;
    }
    // Waits up to 1 s for a frame through the exports.
    std::vector<std::uint8_t> Receive(int waitMs = 1000) {
        std::vector<std::uint8_t> buf(1514);
        std::int32_t no = 1, len = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (std::chrono::steady_clock::now() < end) {
            ZARNISUPP_WaitForRawPacket(0, 50);
            if (ZARNISUPP_ReceiveRawPacket(0, &no, &len, buf.data()) != 1) return {};
            if (!no) {
                buf.resize(static_cast<std::size_t>(len));
                return buf;
            }
        }
        return {};
    }

    SegmentRootScope m_root;
    std::string m_segment = "exp" + std::to_string(::getpid());
    Mac m_peerMac{0x00, 0x07, 0xF5, 0xAA, 0xBB, 0xCC};
    Mac m_mac{};
    std::unique_ptr<kvr::vseg::Station> m_peer;
};

TEST_F(ZarnisuppOnSegment, SegmentIsAnAdapterThatExchangesFramesLikeANic) {
    char text[512];
    ASSERT_EQ(ZARNISUPP_GetAdapterDesc(0, text, 512), 1);
    EXPECT_EQ(std::string(text), "KVR virtual segment " + m_segment);
    std::int32_t v = -1;
    ASSERT_EQ(ZARNISUPP_IsAdapterConnected(0, &v), 1);
    EXPECT_EQ(v, 1) << "a station is attached";
    EXPECT_EQ(m_mac, kvr::vseg::SegmentAdapterMac(m_segment));

    EXPECT_EQ(ZARNISUPP_WaitForRawPacket(0, 10), 0) << "closed adapter";
    ASSERT_EQ(ZARNISUPP_OpenAdapter(0), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ZARNISUPP_WaitForRawPacket(0, 100), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));

    // Multicast is not received with the adapter's filter; unicast and broadcast are.
    const Mac group{0x01, 0x07, 0xF5, 0x00, 0x01, 0x00}, bcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    auto mc = PeerFrame(group, 60, 1), uc = PeerFrame(m_mac, 70, 2), bc = PeerFrame(bcast, 80, 3);
    ASSERT_TRUE(m_peer->Send(mc.data(), mc.size()));
    ASSERT_TRUE(m_peer->Send(uc.data(), uc.size()));
    ASSERT_TRUE(m_peer->Send(bc.data(), bc.size()));
    EXPECT_EQ(Receive(), uc);
    EXPECT_EQ(Receive(), bc);
    EXPECT_TRUE(Receive(100).empty());

    // Our frames reach the peer unchanged, and we never hear ourselves.
    auto out = PeerFrame(m_peerMac, 20, 9);
    std::copy(m_mac.begin(), m_mac.end(), out.begin() + 6);
    ASSERT_EQ(ZARNISUPP_SendRawPacket(0, 20, out.data()), 1);
    std::vector<std::uint8_t> got(1514);
    ASSERT_TRUE(m_peer->Wait(1000));
    EXPECT_EQ(m_peer->Receive(got.data(), got.size()), 20);
    got.resize(20);
    EXPECT_EQ(got, out);
    auto loud = PeerFrame(bcast, 60, 4);
    std::copy(m_mac.begin(), m_mac.end(), loud.begin() + 6);
    ASSERT_EQ(ZARNISUPP_SendRawPacket(0, 60, loud.data()), 1);
    EXPECT_TRUE(Receive(100).empty());

    // Closing detaches: the peer is alone again.
    ASSERT_EQ(ZARNISUPP_CloseAdapter(0), 1);
    EXPECT_EQ(kvr::vseg::CountStations(m_segment), 1u);
}

TEST_F(ZarnisuppOnSegment, BurstOf500FramesBetweenTwoPollsIsDeliveredInOrder) {
    ASSERT_EQ(ZARNISUPP_OpenAdapter(0), 1);
    std::int32_t no = 0, len = 0;
    std::vector<std::uint8_t> buf(1514);
    ASSERT_EQ(ZARNISUPP_ReceiveRawPacket(0, &no, &len, buf.data()), 1);  // arms the reads
    for (int i = 0; i < 500; ++i) {
        auto f = PeerFrame(m_mac, 100, 0);
        f[14] = static_cast<std::uint8_t>(i >> 8);
        f[15] = static_cast<std::uint8_t>(i);
        ASSERT_TRUE(m_peer->Send(f.data(), f.size()));
    }
    for (int i = 0; i < 500; ++i) {
        auto f = Receive(2000);
        ASSERT_EQ(f.size(), 100u) << "frame " << i << " lost";
        ASSERT_EQ((f[14] << 8) | f[15], i);
    }
    EXPECT_TRUE(Receive(50).empty());
}

TEST(ZarnisuppShipped, LibraryExportsEveryFunctionByName) {
    void* h = ::dlopen(KVR_BUNDLE_DIR "/libzarnisupp.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << ::dlerror();
    for (const char* name :
         {"ZARNISUPP_GetVersion", "ZARNISUPP_ScanForEthernetAdapters", "ZARNISUPP_GetAdapterDesc",
          "ZARNISUPP_GetAdapterName", "ZARNISUPP_IsWlanAdapter", "ZARNISUPP_IsAdapterConnected",
          "ZARNISUPP_HasAdapterIP", "ZARNISUPP_GetAdapterMacAddress", "ZARNISUPP_OpenAdapter",
          "ZARNISUPP_CloseAdapter", "ZARNISUPP_IsOpen", "ZARNISUPP_GetOid", "ZARNISUPP_SetOid",
          "ZARNISUPP_GetEncryptionStatus", "ZARNISUPP_SetEncryptionStatus", "ZARNISUPP_GetInfrastructureMode",
          "ZARNISUPP_SetInfrastructureMode", "ZARNISUPP_GetAuthenticationMode", "ZARNISUPP_SetAuthenticationMode",
          "ZARNISUPP_SetWEP", "ZARNISUPP_GetSSID", "ZARNISUPP_SetSSID", "ZARNISUPP_ReceiveRawPacket",
          "ZARNISUPP_SendRawPacket", "ZARNISUPP_IsWindowsXP", "ZARNISUPP_WaitForRawPacket"})
        EXPECT_NE(::dlsym(h, name), nullptr) << name;
    EXPECT_EQ(::dlsym(h, "_ZN3kvr2zs8BackendsEv"), nullptr) << "internals are exported";
    auto version = reinterpret_cast<std::int32_t (*)()>(::dlsym(h, "ZARNISUPP_GetVersion"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), 0x10032);
    ::dlclose(h);
}
