// Raw frame I/O against a scripted adapter library: adapter counting, the NIC
// cache, frame layouts byte for byte, and what malformed received frames get.
#include <gtest/gtest.h>

#include "AdapterTestSupport.h"

using namespace kvr::test;

namespace {

const std::uint8_t kPcMac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::uint8_t kDevMac[6] = {0x00, 0x07, 0xF5, 0x0A, 0x0B, 0x0C};

class RawFrameIo : public ::testing::Test {
protected:
    void SetUp() override {
        UseFakeSupp();
        kvr::SetClock(&clock);
    }
    void TearDown() override {
        kvr::SetClock(nullptr);
        UseRealLibraries();
    }
    // One adapter "eth test", opened; returns its handle.
    std::int32_t OpenOne() {
        FakeAdapter a;
        a.desc = "eth test";
        a.name = "eth0";
        std::memcpy(a.mac, kPcMac, 6);
        Fake().adapters.push_back(a);
        EXPECT_EQ(GetNumAdapters(), 1);
        std::int32_t h = -1;
        EXPECT_TRUE(OpenNdisDeviceByDesc(h, "eth test"));
        return h;
    }
    bool Read(kvr::SnapFrame& frame) { return ReadNDIS(0, frame); }

    kvr::FakeClock clock;
    LogRecorder log;
};

TEST_F(RawFrameIo, AdapterCountRetriesTwiceWithPausesAndKeepsCountUnsetWhenNoneFound) {
    const auto t0 = clock.NowMs();
    EXPECT_EQ(GetNumAdapters(), 0);
    EXPECT_EQ(clock.NowMs() - t0, 6000);  // three 2-second pauses
    EXPECT_EQ(Fake().scanWaits, (std::vector<std::int32_t>{0, 1, 1}));
    EXPECT_EQ(kvr::ZarniSuppAdapterCount(), -1);
    EXPECT_EQ(log.Count("Performing a retry of the request to get the number of network adapters.", kvr::LEVEL_USER,
                        "modZarniSupp"),
              2);
    EXPECT_EQ(log.Count("ZARNISUPP_ScanForEthernetAdapters indicates that there are no network adapters installed in "
                        "this PC.  pCount=0",
                        kvr::LEVEL_WARNING),
              3);
    EXPECT_TRUE(log.Has("The version of the network I/F DLL is 0x10032", kvr::LEVEL_WATCH, "modZarniSupp"));

    // A failing scan and a negative count are errors; a later good attempt wins.
    log.lines.clear();
    Fake().scanResults = {false, true, true};
    Fake().scanCounts = {0, -3, 2};
    const auto t1 = clock.NowMs();
    EXPECT_EQ(GetNumAdapters(), 2);
    EXPECT_EQ(clock.NowMs() - t1, 6000);
    EXPECT_EQ(kvr::ZarniSuppAdapterCount(), 2);
    EXPECT_TRUE(log.Has("GetNumAdapters: ZARNISUPP_ScanForEthernetAdapters failed, code 0", kvr::LEVEL_ERROR));
    EXPECT_TRUE(log.Has("GetNumAdapters: ZARNISUPP_ScanForEthernetAdapters returned a value of -3 (0xFFFFFFFD for "
                        "the number of adapters.",
                        kvr::LEVEL_ERROR))
        << log.Dump();

    // A good first attempt still pauses once and does not retry.
    Fake().adapters.resize(1);
    Fake().scanWaits.clear();
    const auto t3 = clock.NowMs();
    EXPECT_EQ(GetNumAdapters(), 1);
    EXPECT_EQ(clock.NowMs() - t3, 2000);
    EXPECT_EQ(Fake().scanWaits.size(), 1u);
}

TEST_F(RawFrameIo, OpenByDescriptionMatchesCaseAndReusesCacheEntries) {
    for (const char* d : {"Eth Alpha", "eth beta"}) {
        FakeAdapter a;
        a.desc = d;
        Fake().adapters.push_back(a);
    }
    Fake().adapters[1].mac[5] = 0x42;
    ASSERT_EQ(GetNumAdapters(), 2);

    std::int32_t h = 7;
    EXPECT_FALSE(OpenNdisDeviceByDesc(h, "eth alpha"));  // letter case differs
    EXPECT_EQ(h, -1);
    EXPECT_TRUE(log.Has("OpenNdisDeviceByDesc: device 'eth alpha' was not found; failed to open device",
                        kvr::LEVEL_WARNING));

    EXPECT_TRUE(OpenNdisDeviceByDesc(h, "eth beta"));
    EXPECT_EQ(h, 1);
    EXPECT_TRUE(Fake().adapters[1].open);
    EXPECT_TRUE(log.Has("OpenNdisDeviceByDesc: adding a new nic to the pool (Nic #1); (adapter index/handle # 1).",
                        kvr::LEVEL_WARNING));
    EXPECT_TRUE(log.Has("OpenNdisDeviceByDesc: NIC 'eth beta' is NIC #1", kvr::LEVEL_TRACE));

    // The same adapter again: warned, still opened, no new cache entry.
    log.lines.clear();
    EXPECT_TRUE(OpenNdisDeviceByDesc(h, "eth beta"));
    EXPECT_TRUE(log.Has("OpenNdisDeviceByDesc: the NIC adapter with source MAC '020000000042' is already open.",
                        kvr::LEVEL_WARNING));
    EXPECT_EQ(log.CountPrefix("OpenNdisDeviceByDesc: adding a new nic"), 0u);

    EXPECT_TRUE(CloseNdisRaw(1));
    EXPECT_FALSE(Fake().adapters[1].open);
    EXPECT_FALSE(CloseNdisRaw(1));
    EXPECT_TRUE(log.Has("CloseNdisRaw: the NIC adapter with handle (index) of '1' is not found in the local cache of "
                        "NIC adapters.",
                        kvr::LEVEL_WARNING));
    EXPECT_FALSE(CloseNdisRaw(-1));
    EXPECT_TRUE(log.Has("CloseNdisRaw: function called with an invalid handle!", kvr::LEVEL_ERROR));

    // A freed entry is reused; an adapter whose description cannot be read is skipped.
    log.lines.clear();
    Fake().adapters[0].descFails = true;
    EXPECT_TRUE(OpenNdisDeviceByDesc(h, "eth beta"));
    EXPECT_TRUE(log.Has("OpenNdisDeviceByDesc: ZARNISUPP_GetAdapterDesc failed for Nic #0.", kvr::LEVEL_WARNING));
    EXPECT_EQ(log.CountPrefix("OpenNdisDeviceByDesc: adding a new nic"), 0u);
    EXPECT_EQ(log.CountPrefix("OpenNdisDeviceByDesc: the NIC adapter with source MAC"), 0u);
}

TEST_F(RawFrameIo, AdapterWithoutReadableAddressCannotSendWithAnotherAdaptersAddress) {
    FakeAdapter a, b;
    a.desc = "a";
    b.desc = "b";
    b.mac[5] = 9;
    b.macFails = true;
    Fake().adapters = {a, b};
    ASSERT_EQ(GetNumAdapters(), 2);
    std::int32_t ha = -1, hb = -1;
    ASSERT_TRUE(OpenNdisDeviceByDesc(ha, "a"));
    ASSERT_TRUE(OpenNdisDeviceByDesc(hb, "b"));
    std::vector<std::uint8_t> payload(4, 1);
    EXPECT_FALSE(WriteNDIS(hb, "FFFFFFFFFFFF", 0, 0, 1, 0, 4, 0, payload));
    EXPECT_TRUE(Fake().sent.empty());
    EXPECT_TRUE(log.Has("WriteNDIS: the NIC adapter with the specified handle (1) does not exist in the local program "
                        "cache.  Exiting abnormally.",
                        kvr::LEVEL_ERROR));
    EXPECT_TRUE(WriteNDIS(ha, "FFFFFFFFFFFF", 0, 0, 1, 0, 4, 0, payload));
}

TEST_F(RawFrameIo, WriteRefusesWhatCannotBeSentAndReportsSendFailures) {
    const std::int32_t h = OpenOne();

    // A payload array longer than the frame's room is cut, and the caller's array with it.
    std::vector<std::uint8_t> big(1500, 0x5A);
    ASSERT_TRUE(WriteNDIS(h, "0007F50A0B0C", 0, 0, 1, 0, 1472, 0, big));
    EXPECT_EQ(big.size(), 1472u);
    EXPECT_TRUE(log.Has("WriteNDIS: size of payload exceeds the maximum by 28 bytes.  Discarding excess data and "
                        "continuing...",
                        kvr::LEVEL_ERROR));
    ASSERT_EQ(Fake().sent.size(), 1u);
    EXPECT_EQ(Fake().sent[0].size(), 1500u);
    EXPECT_EQ(Fake().sent[0][12], 0x05);  // 1486 = 0x05CE
    EXPECT_EQ(Fake().sent[0][13], 0xCE);

    // A payload length the frame cannot hold, a bad address, an unknown handle: nothing sent.
    std::vector<std::uint8_t> small(8, 1);
    EXPECT_FALSE(WriteNDIS(h, "0007F50A0B0C", 8, 0, 1, 0, 1465, 0, small));
    EXPECT_FALSE(WriteNDIS(h, "0007F50A0B0C", 0, 0, 1, 0, -1, 0, small));
    EXPECT_EQ(log.CountPrefix("WriteNDIS: payload length ("), 2u);
    EXPECT_FALSE(WriteNDIS(h, "0007F50A0B", 0, 0, 1, 0, 8, 0, small));
    EXPECT_FALSE(WriteNDIS(h, "0007F50A0B0CZZ", 0, 0, 1, 0, 8, 0, small));
    EXPECT_TRUE(log.Has("WriteNDIS: invalid destination address '0007F50A0B'.  Nothing sent.", kvr::LEVEL_ERROR));
    EXPECT_FALSE(WriteNDIS(5, "0007F50A0B0C", 0, 0, 1, 0, 8, 0, small));
    EXPECT_EQ(Fake().sent.size(), 1u);

    // A frame that fills exactly 1500 bytes in version 8.
    std::vector<std::uint8_t> full(1464, 7);
    EXPECT_TRUE(WriteNDIS(h, "0007F50A0B0C", 8, 0, 1, 0, 1464, 0, full));
    EXPECT_EQ(Fake().sent.back().size(), 1500u);

    // An unknown version sends nothing and says nothing.
    log.lines.clear();
    EXPECT_FALSE(WriteNDIS(h, "0007F50A0B0C", 4, 0, 1, 0, 8, 0, small));
    EXPECT_TRUE(log.lines.empty()) << log.Dump();

    Fake().sendFails = true;
    EXPECT_FALSE(WriteNDIS(h, "0007F50A0B0C", 0, 0, 1, 0, 8, 0, small));
    EXPECT_TRUE(log.Has("WriteNDIS:ZARNISUPP_SendRawPacket FAILED: code 100 (0x64).", kvr::LEVEL_ERROR));
}

TEST_F(RawFrameIo, ReadTakesSnapFramesApartAndSkipsOtherProtocols) {
    OpenOne();
    kvr::SnapFrame in;
    in.payload.assign(50, 0xEE);

    // An IPv4 frame first (skipped, logged at DETAIL), then a version-0 SNAP frame
    // whose LLC header starts with 0xAB.
    std::vector<std::uint8_t> ip = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 0x07, 0xF5, 0x0A, 0x0B, 0x0C, 0x08, 0x00};
    ip.resize(60, 0x45);
    Fake().rx.push_back(ip);
    auto f0 = DeviceFrame(0, kPcMac, kDevMac, 0x82, 0xBEEF, 0x07, {9, 8, 7});
    f0[14] = 0xAB;
    Fake().rx.push_back(f0);
    ASSERT_TRUE(Read(in)) << log.Dump();
    EXPECT_EQ(in.sender, (kvr::MacAddress{0x00, 0x07, 0xF5, 0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(in.frameType, 0x82);
    EXPECT_EQ(static_cast<std::uint16_t>(in.label), 0xBEEF);
    EXPECT_EQ(in.status, 0x07);
    EXPECT_EQ(in.payload, (std::vector<std::uint8_t>{9, 8, 7}));
    EXPECT_EQ(in.version, 0);
    EXPECT_TRUE(log.Has("ReadNDIS: packet received (src MAC=00 07 F5 0A 0B 0C, dst MAC=02 11 22 33 44 55, len=2048)",
                        kvr::LEVEL_DETAIL))
        << log.Dump();

    // Version 8: the sender is the address inside the SNAP header, and padding
    // after the frame is not payload.
    const std::uint8_t inner[6] = {0x00, 0x07, 0xF5, 0x99, 0x88, 0x77};
    auto f8 = DeviceFrame(8, kPcMac, inner, 0x03, 5, 0, {});
    std::memcpy(f8.data() + 6, kDevMac, 6);  // Ethernet source differs
    f8.resize(60, 0);
    Fake().rx.push_back(f8);
    ASSERT_TRUE(Read(in));
    EXPECT_EQ(in.sender, (kvr::MacAddress{0x00, 0x07, 0xF5, 0x99, 0x88, 0x77}));
    EXPECT_EQ(in.version, 8);
    EXPECT_EQ(in.frameType, 0x03);
    EXPECT_EQ(in.label, 5);
    EXPECT_TRUE(in.payload.empty());

    // A frame with another OUI is skipped like any other protocol.
    auto other = DeviceFrame(0, kPcMac, kDevMac, 2, 1, 0, {1});
    other[19] = 0x00;
    Fake().rx.push_back(other);
    EXPECT_FALSE(Read(in));
}

TEST_F(RawFrameIo, ReadDiscardsFramesWhoseLengthsDoNotFitWhatArrived) {
    OpenOne();
    kvr::SnapFrame in;

    // Payload length larger than the bytes that came.
    auto f = DeviceFrame(0, kPcMac, kDevMac, 2, 1, 0, {1, 2, 3, 4});
    f[26] = 200;
    Fake().rx.push_back(f);
    EXPECT_FALSE(Read(in));
    EXPECT_TRUE(log.Has("ReadNDIS: frame length (200) is greater than the maximum frame length (4).  Discarding frame.",
                        kvr::LEVEL_WARNING))
        << log.Dump();

    // Payload length 0xFFFF in a full-size frame.
    auto g = DeviceFrame(0, kPcMac, kDevMac, 2, 1, 0, std::vector<std::uint8_t>(1472, 0));
    g.resize(1514, 0);  // the largest frame an adapter hands over
    g[12] = 0x05;
    g[13] = 0xDC;
    g[26] = 0xFF;
    g[27] = 0xFF;
    Fake().rx.push_back(g);
    EXPECT_FALSE(Read(in));
    EXPECT_TRUE(log.Has("ReadNDIS: frame length (65535) is greater than the maximum frame length (1472).  Discarding "
                        "frame.",
                        kvr::LEVEL_WARNING))
        << log.Dump();

    // 802.3 length field claiming more than arrived.
    auto h = DeviceFrame(0, kPcMac, kDevMac, 2, 1, 0, {1, 2});
    h[12] = 0x05;
    h[13] = 0xDC;
    Fake().rx.push_back(h);
    EXPECT_FALSE(Read(in));
    EXPECT_TRUE(log.Has("ReadNDIS: frame length (1514) is greater than the maximum frame length (30).  Discarding "
                        "frame.",
                        kvr::LEVEL_WARNING))
        << log.Dump();

    // A version-8 frame cut inside its header.
    auto k = DeviceFrame(8, kPcMac, kDevMac, 2, 1, 0, {});
    k.resize(32);
    k[13] = 18;
    Fake().rx.push_back(k);
    EXPECT_FALSE(Read(in));
    EXPECT_EQ(log.CountPrefix("ReadNDIS: frame length (32) is too short for its SNAP header."), 1u) << log.Dump();

    // Frames too short for any header are skipped, never read past their end.
    Fake().rx.push_back({0x01, 0x02, 0x03});
    Fake().rx.push_back(std::vector<std::uint8_t>(f.begin(), f.begin() + 18));
    EXPECT_FALSE(Read(in));
    EXPECT_TRUE(Fake().rx.empty());
}

TEST_F(RawFrameIo, ReadGivesUpAfterAboutOneHundredMillisecondsOfSilence) {
    OpenOne();
    kvr::SnapFrame in;
    const auto t0 = clock.NowMs();
    EXPECT_FALSE(Read(in));
    EXPECT_EQ(clock.NowMs() - t0, 100);
    EXPECT_GE(Fake().waitCalls, 1);
    EXPECT_LE(Fake().receiveCalls, 3);  // waits, never spins

    Fake().receiveFails = true;
    EXPECT_FALSE(Read(in));
    EXPECT_TRUE(log.Has("ZARNISUPP_ReceiveRawPacket FAILED: code 9 (0x9).", kvr::LEVEL_ERROR));
}

}  // namespace
