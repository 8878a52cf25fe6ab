// Whole frames through the one codec: layout of both versions, receive-side
// tolerance and the checks on claimed lengths.
#include <gtest/gtest.h>

#include "SnapCodec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const kvr::MacAddress kDevice{0x00, 0x07, 0xF5, 0x01, 0x02, 0x03};
const kvr::MacAddress kHost{0x02, 0xAB, 0x00, 0x00, 0x00, 0x01};

kvr::SnapFrame Frame(const kvr::MacAddress& sender, std::int16_t version, std::uint8_t type, std::int16_t label,
                     std::uint8_t status, Bytes payload) {
    return kvr::SnapFrame{sender, version, type, label, status, std::move(payload)};
}

TEST(SnapCodec, LayoutOfBothVersions) {
    const Bytes payload{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    Bytes f0, f8;
    ASSERT_TRUE(kvr::BuildSnapFrame(kDevice, Frame(kHost, 0, 0x41, 0x1234, 0, payload), f0));
    ASSERT_TRUE(kvr::BuildSnapFrame(kDevice, Frame(kHost, 8, 0x00, 0x1234, 0, payload), f8));
    ASSERT_EQ(f0.size(), 38u);
    EXPECT_EQ(f0[12], 0);
    EXPECT_EQ(f0[13], 24);
    EXPECT_EQ(Bytes(f0.begin() + 14, f0.begin() + 28),
              (Bytes{0xAA, 0xAA, 0x03, 0x00, 0x07, 0xF5, 0x00, 0x00, 0x41, 0x34, 0x12, 0x00, 0x0A, 0x00}));
    ASSERT_EQ(f8.size(), 46u);
    EXPECT_EQ(f8[13], 32);
    EXPECT_EQ(Bytes(f8.begin() + 22, f8.begin() + 36),
              (Bytes{0x08, 0x00, 0x00, 0x34, 0x12, 0x00, 0x0A, 0x00, 0x02, 0xAB, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_FALSE(kvr::BuildSnapFrame(kDevice, Frame(kHost, 4, 0, 1, 0, payload), f0));
    EXPECT_TRUE(f0.empty());
    const Bytes big(1465, 0);
    EXPECT_FALSE(kvr::BuildSnapFrame(kDevice, Frame(kHost, 8, 0, 1, 0, big), f0));
    EXPECT_TRUE(kvr::BuildSnapFrame(kDevice, Frame(kHost, 0, 0, 1, 0, big), f0));

    kvr::SnapFrame in;
    ASSERT_EQ(kvr::ParseSnapFrame(f8, in), kvr::SnapParse::Ok);
    EXPECT_EQ(in, Frame(kHost, 8, 0x00, 0x1234, 0, payload));
}

TEST(SnapCodec, ReceiveTolerancesAndMalformedFrames) {
    const Bytes payload{0x01, 0x00, 0x10, 0x00};
    Bytes f;
    ASSERT_TRUE(kvr::BuildSnapFrame(kHost, Frame(kDevice, 8, 0x82, 7, 0x08, payload), f));
    // The version-8 sender field names the device, not the Ethernet source.
    Bytes g = f;
    g[30 + 5] = 0x99;
    kvr::SnapFrame in;
    ASSERT_EQ(kvr::ParseSnapFrame(g, in), kvr::SnapParse::Ok);
    EXPECT_EQ(in.sender, (kvr::MacAddress{0x00, 0x07, 0xF5, 0x01, 0x02, 0x99}));
    kvr::EthernetHeader eth;
    ASSERT_TRUE(kvr::ReadEthernetHeader(g, eth));
    EXPECT_EQ(eth.source, kDevice);
    EXPECT_EQ(eth.destination, kHost);
    EXPECT_EQ(in.frameType, 0x82);
    EXPECT_EQ(in.status, 0x08);

    // DSAP 0xAB counts as 0xAA; another organisation code is not ours.
    g = f;
    g[14] = 0xAB;
    EXPECT_EQ(kvr::ParseSnapFrame(g, in), kvr::SnapParse::Ok);
    g = f;
    g[19] = 0xF6;
    EXPECT_EQ(kvr::ParseSnapFrame(g, in), kvr::SnapParse::NotSnap);
    g = f;
    g[15] = 0xAB;
    EXPECT_EQ(kvr::ParseSnapFrame(g, in), kvr::SnapParse::NotSnap);

    // Padding after the 802.3 length is ignored; lengths claiming more than arrived are not.
    kvr::SnapParseDetail why;
    g = f;
    g.resize(60, 0);
    ASSERT_EQ(kvr::ParseSnapFrame(g, in), kvr::SnapParse::Ok);
    EXPECT_EQ(in.payload, payload);
    g = f;
    g.pop_back();
    EXPECT_EQ(kvr::ParseSnapFrame(g, in, &why), kvr::SnapParse::Truncated);
    EXPECT_EQ(why.claimed, 40u);
    EXPECT_EQ(why.room, 39u);
    g = f;
    g[29] = 0x01;  // 260 payload bytes claimed inside a 40-byte frame
    g.resize(400, 0);
    EXPECT_EQ(kvr::ParseSnapFrame(g, in, &why), kvr::SnapParse::Truncated);
    EXPECT_EQ(why.claimed, 260u);
    EXPECT_EQ(why.room, 4u);
    g = f;
    g.resize(33);
    g[13] = 19;  // the 802.3 length agrees: the header itself is cut
    EXPECT_EQ(kvr::ParseSnapFrame(g, in, &why), kvr::SnapParse::ShortHeader);
    EXPECT_EQ(why.claimed, 33u);
    EXPECT_EQ(kvr::ParseSnapFrame(std::span(g).first(21), in), kvr::SnapParse::NotSnap);
    EXPECT_EQ(kvr::ParseSnapFrame({}, in), kvr::SnapParse::NotSnap);
    EXPECT_FALSE(kvr::ReadEthernetHeader(std::span(g).first(13), eth));
    // A payload length beyond a 1500-byte frame.
    g = f;
    g[28] = 0xB9;
    g[29] = 0x05;  // 1465 + 36 > 1500
    g.resize(1514, 0);
    g[12] = 0x05;
    g[13] = 0xDC;  // 802.3 length 1500
    EXPECT_EQ(kvr::ParseSnapFrame(g, in, &why), kvr::SnapParse::TooLong);
    EXPECT_EQ(why.claimed, 1465u);
    EXPECT_EQ(why.room, 1464u);
    // Nothing of a refused frame reaches the caller's value.
    EXPECT_EQ(in.payload, payload);
}

}  // namespace
