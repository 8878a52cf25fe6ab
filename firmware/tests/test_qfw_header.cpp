#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "QfwHeader.h"
#include "QfwIntegrity.h"
#include "TempDir.h"

using kvr::QfwHeader;
using kvr::QfwReadStatus;

namespace {

void PutLe32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutLe16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void PutText(std::vector<std::uint8_t>& b, std::size_t at, const std::string& s) {
    for (std::size_t i = 0; i < s.size(); ++i) b[at + i] = static_cast<std::uint8_t>(s[i]);
}

// A header as a firmware build would write it, every field distinct.
std::vector<std::uint8_t> GoodHeader() {
    std::vector<std::uint8_t> b(96, 0);
    PutText(b, 0x00, "qFoW");
    PutText(b, 0x04, "\x01\x02\x03\x04");
    PutText(b, 0x08, "20051116");
    PutText(b, 0x10, "14300599");
    PutLe32(b, 0x18, 3);
    PutLe32(b, 0x1C, 17);
    PutLe16(b, 0x20, 0x0102);
    PutLe16(b, 0x22, 5);
    for (int i = 0; i < 12; ++i) b[0x24 + i] = 0xEE;
    // Image1 at 0x30, Image2 at 0x40, CNE at 0x50
    PutLe32(b, 0x30, 0x60);
    PutText(b, 0x34, "T1T1");
    PutLe32(b, 0x38, 0x100);
    PutLe32(b, 0x3C, 0xCBF43926);
    PutLe32(b, 0x40, 0);
    PutLe32(b, 0x48, 0);
    PutLe32(b, 0x50, 0x160);
    PutText(b, 0x54, "CNE!");
    PutLe32(b, 0x58, 0x20);
    PutLe32(b, 0x5C, 0x80000001);
    return b;
}

}  // namespace

TEST(QfwHeader, ReadsEveryFieldAtItsOffset) {
    QfwHeader h;
    ASSERT_TRUE(kvr::ParseQfwHeader(GoodHeader(), h));
    EXPECT_TRUE(h.HasMagic());
    EXPECT_EQ(h.CneTag, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(h.DateText(), "20051116");
    EXPECT_EQ(h.TimeText(), "14300599");
    EXPECT_EQ(h.SwId(), 3);
    EXPECT_EQ(h.SwVersionNumber(), 17);
    EXPECT_EQ(h.VersionText(), "3.17");
    EXPECT_EQ(h.HardwareID, 0x0102);
    EXPECT_EQ(h.CompatibleHardwareVersion, 5);
    EXPECT_EQ(h.Reserved1[0], 0xEE);
    EXPECT_EQ(h.Reserved1[11], 0xEE);

    EXPECT_EQ(h.Image1.Offset, 0x60);
    EXPECT_EQ(h.Image1.TargetInfo, (std::array<std::uint8_t, 4>{'T', '1', 'T', '1'}));
    EXPECT_EQ(h.Image1.Length, 0x100);
    EXPECT_EQ(h.Image1.Crc, 0xCBF43926u);
    EXPECT_TRUE(h.Image1.Present());
    EXPECT_FALSE(h.Image2.Present());
    EXPECT_EQ(h.CNE.Offset, 0x160);
    EXPECT_EQ(h.CNE.TargetInfo, (std::array<std::uint8_t, 4>{'C', 'N', 'E', '!'}));
    EXPECT_EQ(h.CNE.Length, 0x20);
    EXPECT_EQ(h.CNE.Crc, 0x80000001u);  // unsigned, not sign-extended
}

TEST(QfwHeader, SignedFieldsOfHostileHeaders) {
    auto b = GoodHeader();
    PutLe32(b, 0x18, 0xFFFFFFFF);
    PutLe32(b, 0x1C, 0x80000000);
    PutLe16(b, 0x20, 0xFFFF);
    PutLe16(b, 0x22, 0x8000);
    PutLe32(b, 0x30, 0xFFFFFFF0);  // negative offset
    PutLe32(b, 0x38, 0x7FFFFFFF);  // huge length
    QfwHeader h;
    ASSERT_TRUE(kvr::ParseQfwHeader(b, h));
    EXPECT_EQ(h.SwId(), -1);
    EXPECT_EQ(h.SwVersionNumber(), INT32_MIN);
    EXPECT_EQ(h.VersionText(), "-1.-2147483648");
    // Sign-extended when widened for the hardware comparison.
    EXPECT_EQ(static_cast<long>(h.HardwareID), -1L);
    EXPECT_EQ(static_cast<long>(h.CompatibleHardwareVersion), -32768L);
    EXPECT_EQ(h.Image1.Offset, -16);
    EXPECT_TRUE(h.Image1.Present());
    EXPECT_FALSE(h.Image1.FitsIn(1 << 20));
}

TEST(QfwHeader, SectionBoundsAreCheckedWithoutOverflow) {
    kvr::QfwSection s;
    s.Offset = 96;
    s.Length = 4;
    EXPECT_TRUE(s.FitsIn(100));
    EXPECT_FALSE(s.FitsIn(99));
    s.Offset = INT32_MAX;
    s.Length = INT32_MAX;  // would wrap in 32 bits
    EXPECT_FALSE(s.FitsIn(INT32_MAX));
    s.Offset = 100;
    s.Length = -1;
    EXPECT_FALSE(s.FitsIn(1000));
    s.Length = 0;
    EXPECT_TRUE(s.FitsIn(100));
}

TEST(QfwHeader, FewerThanNinetySixBytesAreRefusedAndLeaveZeros) {
    auto b = GoodHeader();
    b.resize(95);
    QfwHeader h;
    h.HardwareID = 7;
    EXPECT_FALSE(kvr::ParseQfwHeader(b, h));
    EXPECT_FALSE(h.HasMagic());
    EXPECT_EQ(h.HardwareID, 0);
    EXPECT_FALSE(kvr::ParseQfwHeader({}, h));

    // Bytes after the header belong to the sections, not to the header.
    auto longer = GoodHeader();
    longer.resize(200, 0xAB);
    ASSERT_TRUE(kvr::ParseQfwHeader(longer, h));
    EXPECT_EQ(h.CNE.Crc, 0x80000001u);
}

TEST(QfwHeaderFile, ReadsGoodShortMissingAndDirectory) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    QfwHeader h;
    std::string err;
    std::int64_t size = -1;

    auto good = GoodHeader();
    good.resize(0x180, 0);
    EXPECT_EQ(kvr::ReadQfwHeaderFile(dir.Write("good.qfw", good), h, &err, &size), QfwReadStatus::Ok);
    EXPECT_TRUE(h.HasMagic());
    EXPECT_EQ(h.HardwareID, 0x0102);
    EXPECT_EQ(size, 0x180);

    // A short file: what is there is read, the rest is zero.
    auto shortFile = GoodHeader();
    shortFile.resize(0x22);
    EXPECT_EQ(kvr::ReadQfwHeaderFile(dir.Write("short.qfw", shortFile), h, &err, &size), QfwReadStatus::Short);
    EXPECT_TRUE(h.HasMagic());
    EXPECT_EQ(h.HardwareID, 0x0102);
    EXPECT_EQ(h.CompatibleHardwareVersion, 0);
    EXPECT_FALSE(h.Image1.Present());
    EXPECT_FALSE(h.CNE.Present());
    EXPECT_EQ(size, 0x22);
    EXPECT_NE(err.find("34 bytes"), std::string::npos) << err;

    EXPECT_EQ(kvr::ReadQfwHeaderFile(dir.Write("empty.qfw", std::vector<std::uint8_t>{}), h, &err), QfwReadStatus::Short);
    EXPECT_FALSE(h.HasMagic());

    h.HardwareID = 9;
    EXPECT_EQ(kvr::ReadQfwHeaderFile(dir.Path() + "/missing.qfw", h, &err), QfwReadStatus::NotAFile);
    EXPECT_EQ(h.HardwareID, 0);
    EXPECT_EQ(kvr::ReadQfwHeaderFile(dir.Path(), h, &err), QfwReadStatus::NotAFile);
    EXPECT_EQ(kvr::ReadQfwHeaderFile("", h, &err), QfwReadStatus::NotAFile);
}

// The one compatibility test of the main window and the download: the file's
// 16-bit values are sign-extended before they meet the device's 32-bit ones.
TEST(QfwHeader, HardwareCompatibilityAndDisplayTexts) {
    std::vector<std::uint8_t> b = GoodHeader();
    PutLe16(b, 0x20, 0xFFFF);  // HardwareID -1
    PutLe16(b, 0x22, 0x8000);  // compatible up to -32768
    QfwHeader h;
    ASSERT_TRUE(kvr::ParseQfwHeader(b, h));
    const struct { std::int32_t id, version; bool ok; } rows[] = {
        {-1, -32768, true}, {-1, -40000, true}, {-1, -32767, false}, {0xFFFF, -32768, false}};
    for (const auto& r : rows) {
        EXPECT_EQ(kvr::IsHardwareCompatible(r.id, r.version, h.HardwareID, h.CompatibleHardwareVersion), r.ok)
            << r.id << " " << r.version;
    }
    EXPECT_EQ(kvr::QfwBuildDateText(h, false), "2005-11-16");
    EXPECT_EQ(kvr::QfwBuildDateText(h, true), "2005-11-16 14:30:0599");
    EXPECT_EQ(kvr::QfwVersionText(h), "3.17");
}
