// Hexadecimal texts of values and MAC addresses.
#include <gtest/gtest.h>

#include "SnapFrame.h"

namespace {

TEST(SnapFrames, HexTexts) {
    EXPECT_EQ(kvr::Hex(0), "0");
    EXPECT_EQ(kvr::Hex(0x2A), "2A");
    EXPECT_EQ(kvr::Hex(-1), "FFFFFFFF");
    std::uint8_t mac[6];
    EXPECT_TRUE(kvr::MacFromHex("0107f5000100", mac));
    EXPECT_EQ(kvr::MacToHex(mac), "0107F5000100");
    EXPECT_FALSE(kvr::MacFromHex("0107F50001G0", mac));
}

}  // namespace
