#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "TempAppDir.h"
#include "Globals.h"
#include "LibraryLoader.h"
#include "basUtils.h"
#include "basWinAPI.h"

namespace {

long ErrorNumberOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const RunTimeError& e) {
        return e.Number();
    }
    return 0;
}

TEST(ByteArrays, LongConversionsBothOrdersAndSign) {
    const ByteArray b{0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(ByteArrayToLong(b), 0x04030201L);
    EXPECT_EQ(ByteArrayToLong(b, 0, std::nullopt, true), 0x01020304L);
    EXPECT_EQ(ByteArrayToLong(ByteArray{0xFF, 0xFF, 0xFF, 0xFF}), -1L);
    EXPECT_EQ(ByteArrayToLong(ByteArray{0x00, 0x00, 0x00, 0x80}), -2147483647L - 1);
    EXPECT_EQ(ByteArrayToLong(ByteArray{0xFF, 0xFF}, 0, 1), 65535L);
    EXPECT_EQ(ByteArrayToLong(ByteArray{0xFF, 0xFF, 0xFF}, 0, 2), 0xFFFFFFL);
    EXPECT_EQ(ByteArrayToLong(ByteArray{9, 0x12, 0x34}, 1, 2, true), 0x1234L);
    EXPECT_EQ(ByteArrayToLong(ByteArray{9, 0x12}, 1, 1), 0x12L);

    ByteArray out(6, 0xAA);
    LongToByteArray(-2, out, 1);
    EXPECT_EQ(out, (ByteArray{0xAA, 0xFE, 0xFF, 0xFF, 0xFF, 0xAA}));
    LongToByteArray(0x01020304, out, 2, true);
    EXPECT_EQ(out, (ByteArray{0xAA, 0xFE, 0x01, 0x02, 0x03, 0x04}));
    for (long v : {0L, 1L, -1L, 2147483647L, -2147483647L - 1, 0x12345678L}) {
        ByteArray r(4);
        LongToByteArray(v, r, 0);
        EXPECT_EQ(ByteArrayToLong(r), v);
        LongToByteArray(v, r, 0, true);
        EXPECT_EQ(ByteArrayToLong(r, 0, std::nullopt, true), v);
    }
}

TEST(ByteArrays, IntConversions) {
    EXPECT_EQ(ByteArrayToInt(ByteArray{0xFE, 0xFF}), -2);
    EXPECT_EQ(ByteArrayToInt(ByteArray{0x00, 0x12, 0x34}, 1, true), 0x1234);
    EXPECT_EQ(ByteArrayToInt(ByteArray{0x00, 0x12, 0x34}, 1), 0x3412);
    ByteArray out(3, 0);
    IntToByteArray(-32768, out, 1);
    EXPECT_EQ(out, (ByteArray{0x00, 0x00, 0x80}));
    IntToByteArray(0x1234, out, 0, true);
    EXPECT_EQ(out, (ByteArray{0x12, 0x34, 0x80}));
}

TEST(ByteArrays, OutOfRangeRequestsRaiseTheirNumbers) {
    const ByteArray b{1, 2, 3, 4};
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayToLong(b, 0, 4); }), 30752);   // five bytes
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayToLong(b, 2, 1); }), 30752);   // end before start
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayToLong(b, -1, 1); }), 30752);  // before the array
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayToLong(b, 1); }), 30753);      // 1..4
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayToLong(ByteArray{}, 0, 0); }), 30753);
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayToInt(b, 3); }), 30753);
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayToInt(b, -1); }), 30752);
    try {
        ByteArrayToLong(b, 1);
    } catch (const RunTimeError& e) {
        EXPECT_EQ(e.Description(),
                  "PROGRAM ERROR: ByteArrayToLong is instructed to read beyond the end of the incoming array!");
    }
    ByteArray small(3, 7);
    EXPECT_EQ(ErrorNumberOf([&] { LongToByteArray(1, small, 0); }), 30753);
    EXPECT_EQ(ErrorNumberOf([&] { IntToByteArray(1, small, 2); }), 30753);
    EXPECT_EQ(ErrorNumberOf([&] { IntToByteArray(1, small, -1); }), 30752);
    EXPECT_EQ(small, (ByteArray{7, 7, 7}));  // nothing written
    ByteArray target;
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayCopy(b, 2, 3, target, 0); }), 30753);
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayCopy(b, -1, 2, target, 0); }), 30752);
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayCopy(b, 0, -2, target, 0); }), 30752);
    EXPECT_EQ(ErrorNumberOf([&] { ByteArrayCopy(b, 0, 2, target, -1); }), 30752);
    EXPECT_TRUE(target.empty());
}

TEST(ByteArrays, CopyGrowsTargetAndKeepsContents) {
    ByteArray target{9, 9};
    EXPECT_EQ(ByteArrayCopy(ByteArray{1, 2, 3, 4}, 1, 3, target, 1), 0);
    EXPECT_EQ(target, (ByteArray{9, 2, 3, 4}));
    ByteArray same{1, 2, 3, 4, 5};
    ByteArrayCopy(same, 0, 4, same, 1);  // overlapping copy within one array
    EXPECT_EQ(same, (ByteArray{1, 1, 2, 3, 4}));
    ByteArray longer{1, 2, 3, 4, 5};
    ByteArrayCopy(ByteArray{7}, 0, 1, longer, 0);
    EXPECT_EQ(longer, (ByteArray{7, 2, 3, 4, 5}));  // never shrunk
    EXPECT_TRUE(ByteArraysEqual(ByteArray{1, 2}, ByteArray{1, 2}));
    EXPECT_FALSE(ByteArraysEqual(ByteArray{1, 2}, ByteArray{1, 2, 0}));
    EXPECT_FALSE(ByteArraysEqual(ByteArray{1, 2}, ByteArray{1, 3}));
}

TEST(HexText, ToAndFromBytes) {
    EXPECT_EQ(ByteArrayToHex(ByteArray{0x00, 0x0A, 0xFF}), "00 0A FF");
    EXPECT_EQ(ByteArrayToHex(ByteArray{0x00, 0x0A, 0xFF}, 0), "000AFF");
    EXPECT_EQ(ByteArrayToHex(ByteArray{1, 2, 3, 4, 5}, 2), "0102 0304 05");
    EXPECT_EQ(ByteArrayToHex(ByteArray{}), "");
    EXPECT_EQ(ByteArrayToHex(ByteArray{}, 0), "");

    ByteArray b;
    EXPECT_EQ(HexString2Ascii("0x41 42", b), 0);
    EXPECT_EQ(b, (ByteArray{0x41, 0x42}));
    EXPECT_EQ(HexString2Ascii("&H0a\r\nFf", b), 0);
    EXPECT_EQ(b, (ByteArray{0x0A, 0xFF}));
    EXPECT_EQ(HexString2Ascii("4G G4", b), 0);  // a bad pair gives its valid leading part
    EXPECT_EQ(b, (ByteArray{0x04, 0x00}));
    EXPECT_EQ(HexString2Ascii("", b), -1);
    EXPECT_EQ(b, (ByteArray{0}));
    EXPECT_EQ(HexString2Ascii("  ", b), -1);
    EXPECT_EQ(ErrorNumberOf([&] { HexString2Ascii("ABC", b); }), 30742);
}

TEST(NumberText, DecimalAndAddressConversions) {
    bool ok = false;
    EXPECT_EQ(DecStringToInt("65535", ok), -1);
    EXPECT_TRUE(ok);
    EXPECT_EQ(DecStringToInt("32768", ok), -32768);
    EXPECT_EQ(DecStringToInt(" 12 ", ok), 12);
    EXPECT_TRUE(ok);
    EXPECT_EQ(DecStringToInt("-3", ok), -3);
    EXPECT_EQ(DecStringToInt("abc", ok), 0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(DecStringToInt("", ok), 0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(DecStringToInt("12abc", ok), 0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(DecStringToInt("99999999999", ok), 0);
    EXPECT_FALSE(ok);

    EXPECT_EQ(IpStringToLong("192.168.1.2"), 0x0201A8C0L);
    EXPECT_EQ(IpStringToLong("255.255.255.255"), -1L);
    EXPECT_EQ(IpStringToLong("10.0.0"), 0L);
    EXPECT_EQ(IpStringToLong(""), 0L);
    EXPECT_EQ(IpStringToLong("300.1.1.1"), 0L);

    EXPECT_EQ(FormatMacAddress("0007F5010203"), "00:07:F5:01:02:03");
    EXPECT_EQ(FormatMacAddress("0007F501020"), "");
    EXPECT_EQ(FormatFirmwareDate("20051116"), "2005-11-16");
    EXPECT_EQ(FormatFirmwareDate("20"), "20--");  // short texts never read past their end

    std::string dir, file;
    SplitPath("/opt/kvr/fw.qfw", dir, file);
    EXPECT_EQ(dir, "/opt/kvr/");
    EXPECT_EQ(file, "fw.qfw");
    SplitPath("a.qfw", dir, file);
    EXPECT_EQ(dir, "");
    EXPECT_EQ(file, "a.qfw");
}

TEST(Files, ExistenceAndSize) {
    kvr::test::TempAppDir app;
    app.Write("data.bin", std::string(1234, 'x'));
    std::string starred = app.File("da*ta.bin*");
    EXPECT_TRUE(FileExists(starred));
    EXPECT_EQ(starred, app.File("data.bin"));  // the caller's text lost its asterisks
    EXPECT_TRUE(PathExists(app.Path()));       // folders count too
    EXPECT_FALSE(PathExists(app.File("da*ta.bin")));
    EXPECT_FALSE(PathExists(app.File("missing")));
    std::string empty;
    EXPECT_FALSE(FileExists(empty));

    const FileSize64 s = GetFileSize64(app.File("data.bin"));
    EXPECT_EQ(s.High, 0);
    EXPECT_EQ(s.Low, 1234);
    const FileSize64 none = GetFileSize64(app.File("missing"));
    EXPECT_EQ(none.High, -1);
    EXPECT_EQ(none.Low, -1);
    // A sparse file above 4 GB reports its high half.
    const std::string big = app.File("big.bin");
    { std::ofstream(big, std::ios::binary); }
    ASSERT_EQ(truncate(big.c_str(), (5LL << 30) + 7), 0);
    const FileSize64 b = GetFileSize64(big);
    EXPECT_EQ(b.High, 1);
    EXPECT_EQ(static_cast<std::uint32_t>(b.Low), (1u << 30) + 7);
    EXPECT_EQ(b.Bytes(), (5ULL << 30) + 7);
}

TEST(Language, EnglishNameFromLocaleEnvironment) {
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", "de_DE.UTF-8", 1);
    EXPECT_EQ(GetLocalLanguage(), "German");
    setenv("LC_MESSAGES", "fr_FR", 1);
    EXPECT_EQ(GetLocalLanguage(), "French");
    setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(GetLocalLanguage(), "English");
    setenv("LC_ALL", "xx_YY", 1);
    EXPECT_EQ(GetLocalLanguage(), "");
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    unsetenv("LANG");
    EXPECT_EQ(GetLocalLanguage(), "English");
}

TEST(Resources, BuiltInStringsWithoutDatabase) {
    ASSERT_EQ(G().DbManager, nullptr);
    EXPECT_EQ(LoadResStringWrapper(1000), "KVR Installer");
    EXPECT_EQ(LoadResStringWrapper(20), "MS Sans Serif");
    EXPECT_EQ(LoadResStringWrapper(21), "8");
    EXPECT_EQ(LoadResStringWrapper(2002), "Using adapter: ");  // trailing blank kept
    EXPECT_EQ(LoadResStringWrapper(0, "x"), "");
    EXPECT_EQ(LoadResStringWrapper(-4, "x"), "");
    EXPECT_EQ(LoadResStringWrapper(31999, "fallback"), "fallback");
    EXPECT_EQ(LoadResStringWrapper(31999), "");
    // Linux wording for the texts that name platform files.
    EXPECT_NE(LoadResStringWrapper(1111).find("libzarnisupp.so"), std::string::npos);
    EXPECT_EQ(LoadResStringWrapper(1111).find(".dll"), std::string::npos);
}

std::string PngBytes(char tag) { return std::string("\x89PNG\r\n\x1a\n", 8) + tag; }

TEST(Resources, PictureLookupOrder) {
    kvr::test::TempAppDir app;
    G().UserLanguage = "German";
    EXPECT_TRUE(LoadResPictureWrapper(0).empty());
    // Built-in picture when no file exists.
    const auto builtin = LoadResPictureWrapper(100);
    ASSERT_GE(builtin.size(), 8u);
    EXPECT_EQ(builtin[1], 'P');
    EXPECT_TRUE(LoadResPictureWrapper(31999).empty());

    app.Write("pic/7.ico", std::string("\0\0\1\0ico", 7));
    app.Write("pic/default/7.bmp", "BMdefault");
    auto p = LoadResPictureWrapper(7);
    EXPECT_EQ(std::string(p.begin(), p.end()), "BMdefault");
    app.Write("pic/German/7.gif", "GIF89agerman");
    p = LoadResPictureWrapper(7);
    EXPECT_EQ(std::string(p.begin(), p.end()), "GIF89agerman");
    app.Write("pic/German/7.png", PngBytes('g'));
    p = LoadResPictureWrapper(7);
    EXPECT_EQ(std::string(p.begin(), p.end()), PngBytes('g'));
    // A file that is not the picture its name says is skipped.
    app.Write("pic/default/100.png", "not a picture");
    EXPECT_EQ(LoadResPictureWrapper(100), builtin);
    G().UserLanguage = "English";
}

TEST(UtilityLibrary, MissingLibraryLeavesTheClockWorking) {
    kvr::test::TempAppDir app;  // no library in it
    kvr::SetLibraryDirectory(app.Path());
    kvr::LibError err;
    EXPECT_FALSE(kvr::ResolveExport(kvr::kZarniUtilsFile, "QueryElapsedTimeMsLongInt", err));
    const float ms = GetElapsedMs(ReadPerformanceCounter() - 2500000u);
    EXPECT_GE(ms, 2500.0f);
    EXPECT_LT(ms, 60000.0f);
    kvr::SetLibraryDirectory(kvr::ExecutableDirectory());
}

TEST(UtilityLibrary, LoadedFromTheLibraryDirectory) {
    kvr::SetLibraryDirectory(KVR_BUNDLE_DIR);
    kvr::LibError err;
    ASSERT_TRUE(kvr::ResolveExport(kvr::kZarniUtilsFile, "crc32_gen", err)) << err.description;
    EXPECT_EQ(kvr::zu::crc32_gen(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xCBF43926u);
    EXPECT_EQ(kvr::zu::LeLoWord(0x12345678), 0x1234);
    const std::uint64_t base = ReadPerformanceCounter() - 3000000u;  // three seconds ago
    const float ms = GetElapsedMs(base);
    EXPECT_GE(ms, 3000.0f);
    EXPECT_LT(ms, 60000.0f);
    EXPECT_EQ(ms, static_cast<float>(static_cast<long>(ms)));  // whole milliseconds
    kvr::SetLibraryDirectory(kvr::ExecutableDirectory());
}

}  // namespace
