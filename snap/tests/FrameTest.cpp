// Whole frames: layout of both versions, receive-side tolerance and the
// checks on claimed lengths.
#include <gtest/gtest.h>

#include "Rids.h"
#include "SnapFrame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(SnapFrames, LayoutOfBothVersions) {
    const Bytes payload{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    Bytes f0, f8;
    ASSERT_TRUE(kvr::BuildSnapFrame("0007F5010203", "02AB00000001", 0, 0x41, 0x1234, 0, payload.data(), 10, f0));
    ASSERT_TRUE(kvr::BuildSnapFrame("0007F5010203", "02AB00000001", 8, 0x00, 0x1234, 0, payload.data(), 10, f8));
    ASSERT_EQ(f0.size(), 38u);
    EXPECT_EQ(f0[12], 0);
    EXPECT_EQ(f0[13], 24);
    EXPECT_EQ(Bytes(f0.begin() + 14, f0.begin() + 28),
              (Bytes{0xAA, 0xAA, 0x03, 0x00, 0x07, 0xF5, 0x00, 0x00, 0x41, 0x34, 0x12, 0x00, 0x0A, 0x00}));
    ASSERT_EQ(f8.size(), 46u);
    EXPECT_EQ(f8[13], 32);
    EXPECT_EQ(Bytes(f8.begin() + 22, f8.begin() + 36),
              (Bytes{0x08, 0x00, 0x00, 0x34, 0x12, 0x00, 0x0A, 0x00, 0x02, 0xAB, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_FALSE(kvr::BuildSnapFrame("0007F5010203", "02AB00000001", 4, 0, 1, 0, payload.data(), 10, f0));
    EXPECT_FALSE(kvr::BuildSnapFrame("0007F50102", "02AB00000001", 0, 0, 1, 0, payload.data(), 10, f0));
    const Bytes big(1465, 0);
    EXPECT_FALSE(kvr::BuildSnapFrame("0007F5010203", "02AB00000001", 8, 0, 1, 0, big.data(), big.size(), f0));
    EXPECT_TRUE(kvr::BuildSnapFrame("0007F5010203", "02AB00000001", 0, 0, 1, 0, big.data(), big.size(), f0));

    kvr::SnapFrame in;
    ASSERT_EQ(kvr::ParseSnapFrame(f8.data(), f8.size(), in), kvr::SnapParse::Ok);
    EXPECT_EQ(in.version, 8);
    EXPECT_EQ(in.label, 0x1234);
    EXPECT_EQ(in.srcMAC, "02AB00000001");
    EXPECT_EQ(in.payload, payload);
}

TEST(SnapFrames, ReceiveTolerancesAndMalformedFrames) {
    const Bytes payload{0x01, 0x00, 0x10, 0x00};
    Bytes f;
    ASSERT_TRUE(kvr::BuildSnapFrame("02AB00000001", "0007F5010203", 8, 0x82, 7, 0x08, payload.data(), 4, f));
    // The version-8 sender field names the device, not the Ethernet source.
    Bytes g = f;
    g[30 + 5] = 0x99;
    kvr::SnapFrame in;
    ASSERT_EQ(kvr::ParseSnapFrame(g.data(), g.size(), in), kvr::SnapParse::Ok);
    EXPECT_EQ(in.srcMAC, "0007F5010299");
    EXPECT_EQ(in.ethSrcMAC, "0007F5010203");
    EXPECT_EQ(in.frameType, 0x82);
    EXPECT_EQ(in.status, 0x08);

    // DSAP 0xAB counts as 0xAA; another organisation code is not ours.
    g = f;
    g[14] = 0xAB;
    EXPECT_EQ(kvr::ParseSnapFrame(g.data(), g.size(), in), kvr::SnapParse::Ok);
    g = f;
    g[19] = 0xF6;
    EXPECT_EQ(kvr::ParseSnapFrame(g.data(), g.size(), in), kvr::SnapParse::NotSnap);
    g = f;
    g[15] = 0xAB;
    EXPECT_EQ(kvr::ParseSnapFrame(g.data(), g.size(), in), kvr::SnapParse::NotSnap);

    // Padding after the payload is ignored; a payload claiming more than arrived is not.
    g = f;
    g.resize(60, 0);
    ASSERT_EQ(kvr::ParseSnapFrame(g.data(), g.size(), in), kvr::SnapParse::Ok);
    EXPECT_EQ(in.payload, payload);
    g = f;
    g.pop_back();
    EXPECT_EQ(kvr::ParseSnapFrame(g.data(), g.size(), in), kvr::SnapParse::Truncated);
    g = f;
    g.resize(33);
    EXPECT_EQ(kvr::ParseSnapFrame(g.data(), g.size(), in), kvr::SnapParse::Truncated);
    EXPECT_EQ(kvr::ParseSnapFrame(g.data(), 21, in), kvr::SnapParse::NotSnap);
    EXPECT_EQ(kvr::ParseSnapFrame(nullptr, 0, in), kvr::SnapParse::NotSnap);
    // A payload length beyond a 1500-byte frame.
    g = f;
    g[28] = 0xB9;
    g[29] = 0x05;  // 1465 + 36 > 1500
    g.resize(1514, 0);
    EXPECT_EQ(kvr::ParseSnapFrame(g.data(), g.size(), in), kvr::SnapParse::TooLong);
}

}  // namespace
