#include <gtest/gtest.h>

#include "HexText.h"

namespace {

TEST(HexText, HexUpperHasNoLeadingZerosAndShowsNegativesAsTwosComplement) {
    EXPECT_EQ(kvr::HexUpper(0), "0");
    EXPECT_EQ(kvr::HexUpper(0x1F), "1F");
    EXPECT_EQ(kvr::HexUpper(0x10032), "10032");
    EXPECT_EQ(kvr::HexUpper(static_cast<std::uint32_t>(-3)), "FFFFFFFD");
    EXPECT_EQ(kvr::HexUpper(static_cast<std::uint16_t>(-2)), "FFFE");
    const std::uint8_t bytes[] = {0x00, 0x07, 0xF5};
    EXPECT_EQ(kvr::HexPairs(bytes, 3), "00 07 F5");
    EXPECT_EQ(kvr::HexPairs(bytes, 0), "");
}

TEST(HexText, MacTextRoundTripsAndBadTextIsRefused) {
    const auto back = kvr::ParseMac("00:07:f5:0A:0b:FF");
    ASSERT_TRUE(back);
    EXPECT_EQ(kvr::MacText(*back), "0007F50A0BFF");
    EXPECT_EQ(kvr::ParseMac("00-07-F5 0A0BFF"), back);
    for (const char* bad : {"0007F50A0B", "0007F50A0BZZ", "0007F50A0BFF00", "", "0007F50A0BF"})
        EXPECT_FALSE(kvr::ParseMac(bad)) << bad;
}

TEST(HexText, SameMacIgnoresSeparatorsAndCase) {
    EXPECT_TRUE(kvr::SameMac("0007f50a0bff", "00:07:F5:0A:0B:FF"));
    EXPECT_FALSE(kvr::SameMac("0007F50A0BFF", "0007F50A0BFE"));
    EXPECT_FALSE(kvr::SameMac("0007F50A0BFF", "0007F50A0BF"));
}

}  // namespace
