#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "zarni_utils.h"
#include "zarni_utils_core.h"

namespace {

const std::uint8_t* Digits() { return reinterpret_cast<const std::uint8_t*>("123456789"); }

TEST(Crc32, CheckValueAndEmptyInput) {
    EXPECT_EQ(crc32_gen(Digits(), 9), 0xCBF43926u);
    EXPECT_EQ(crc32_gen(Digits(), 0), 0u);
    EXPECT_EQ(crc32_gen(Digits(), -5), 0u);
    EXPECT_EQ(crc32_gen(nullptr, 10), 0u);
    const std::uint8_t zero = 0;
    EXPECT_EQ(crc32_gen(&zero, 1), 0xD202EF8Du);  // one zero byte
}

TEST(Crc32, PiecewiseEqualsWholeForEverySplit) {
    std::vector<std::uint8_t> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 3));
    const std::uint32_t whole = crc32_gen(data.data(), static_cast<std::int32_t>(data.size()));
    for (std::size_t split : {0u, 1u, 3u, 255u, 256u, 999u, 1000u}) {
        std::uint32_t r = 0xFFFFFFFFu;
        crc32_rgen(data.data(), static_cast<std::int32_t>(split), &r);
        crc32_rgen(data.data() + split, static_cast<std::int32_t>(data.size() - split), &r);
        EXPECT_EQ(~r, whole) << "split at " << split;
    }
    std::uint32_t r = 0xFFFFFFFFu;
    crc32_rgen(Digits(), 3, &r);
    crc32_rgen(Digits() + 3, 6, &r);
    EXPECT_EQ(~r, 0xCBF43926u);
    // Length 0 or negative leaves the word alone; a null word is ignored.
    std::uint32_t w = 0x12345678u;
    crc32_rgen(Digits(), 0, &w);
    crc32_rgen(Digits(), -1, &w);
    EXPECT_EQ(w, 0x12345678u);
    crc32_rgen(Digits(), 9, nullptr);
}

TEST(Stopwatch, ArithmeticOnLowWords) {
    using zarni_utils::ElapsedMs;
    using zarni_utils::ElapsedMsTruncated;
    EXPECT_EQ(ElapsedMs(5000, 5000, 1000000), 0.0);
    EXPECT_DOUBLE_EQ(ElapsedMs(0, 1500000, 1000000), 1500.0);
    // The low word wrapped between start and now: still the true interval.
    const std::uint64_t start = 0x00000007FFFFFF00ull;
    const std::uint64_t now = 0x0000000800000100ull;
    EXPECT_DOUBLE_EQ(ElapsedMs(start, now, 1000000), 0.512);
    // The high words take no part.
    EXPECT_DOUBLE_EQ(ElapsedMs(0x1234567800000000ull, 1000, 1000000), 1.0);
    // A frequency whose low word is 0 gives raw counts.
    EXPECT_EQ(ElapsedMs(100, 4100, 0x100000000ull), 4000.0);
    // Truncation toward zero, not rounding.
    EXPECT_EQ(ElapsedMsTruncated(0, 2900, 1000000), 2);
    EXPECT_EQ(ElapsedMsTruncated(0, 2999, 1000000), 2);
    // Longest interval: just under 2^32 microseconds, about 71.6 minutes.
    EXPECT_EQ(ElapsedMsTruncated(1, 0, 1000000), 4294967);
}

TEST(LittleEndianHelpers, UnusualNamingSelectsTheDocumentedHalves) {
    EXPECT_EQ(LeMakeWord(0x12, 0x34), 0x1234);
    EXPECT_EQ(LeMakeWord(0x1FF, 0x2FF), 0xFFFF);
    EXPECT_EQ(LeMakeWord(-1, -1), 0xFFFF);  // upper 16 bits stay 0
    EXPECT_EQ(LeHiByte(0x1234), 0x34);
    EXPECT_EQ(LeLoByte(0x1234), 0x12);
    EXPECT_EQ(LeLoByte(static_cast<std::int32_t>(0x8000ABCDu)), 0xAB);
    EXPECT_EQ(LeMakeLong(0x12, 0x34, 0x56, 0x78), 0x12345678);
    EXPECT_EQ(LeMakeLong(0x1FF, 0, 0, 0x180), static_cast<std::int32_t>(0xFF000080u));
    EXPECT_EQ(LeHiWord(0x12345678), 0x5678);
    EXPECT_EQ(LeLoWord(0x12345678), 0x1234);
    EXPECT_EQ(LeLoWord(static_cast<std::int32_t>(0xFFFE0000u)), -2);
    EXPECT_EQ(LeHiWord(static_cast<std::int32_t>(0x0000FFFEu)), -2);
    // A 16-bit value written least significant byte first and read back.
    const std::int32_t v = 0xBEEF;
    EXPECT_EQ(LeMakeWord(LeLoByte(v), LeHiByte(v)), 0xBEEF);
}

TEST(SharedLibrary, ExportsCallableByPlainNamesOnly) {
    const std::string path = std::string(KVR_BUNDLE_DIR) + "/libzarni_utils.so";
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    for (const char* name : {"crc32_gen", "crc32_rgen", "QueryElapsedTimeMs", "QueryElapsedTimeMsLongInt",
                             "LeMakeWord", "LeHiByte", "LeLoByte", "LeMakeLong", "LeHiWord", "LeLoWord"}) {
        EXPECT_NE(dlsym(h, name), nullptr) << name;
    }
    // Internals stay hidden.
    EXPECT_EQ(dlsym(h, "_ZN11zarni_utils11ReadCounterEv"), nullptr);

    auto gen = reinterpret_cast<std::uint32_t (*)(const std::uint8_t*, std::int32_t)>(dlsym(h, "crc32_gen"));
    auto rgen = reinterpret_cast<void (*)(const std::uint8_t*, std::int32_t, std::uint32_t*)>(dlsym(h, "crc32_rgen"));
    auto makeLong = reinterpret_cast<std::int32_t (*)(std::int32_t, std::int32_t, std::int32_t, std::int32_t)>(
        dlsym(h, "LeMakeLong"));
    auto loWord = reinterpret_cast<std::int16_t (*)(std::int32_t)>(dlsym(h, "LeLoWord"));
    auto hiByte = reinterpret_cast<std::uint8_t (*)(std::int32_t)>(dlsym(h, "LeHiByte"));
    auto elapsed = reinterpret_cast<std::int64_t (*)(const std::int64_t*)>(dlsym(h, "QueryElapsedTimeMsLongInt"));
    ASSERT_TRUE(gen && rgen && makeLong && loWord && hiByte && elapsed);
    EXPECT_EQ(gen(Digits(), 9), 0xCBF43926u);
    std::uint32_t r = 0xFFFFFFFFu;
    rgen(Digits(), 9, &r);
    EXPECT_EQ(~r, 0xCBF43926u);
    EXPECT_EQ(makeLong(0x12, 0x34, 0x56, 0x78), 0x12345678);
    EXPECT_EQ(loWord(0x12345678), 0x1234);
    EXPECT_EQ(hiByte(0x1234), 0x34);
    const auto start = static_cast<std::int64_t>(zarni_utils::ReadCounter());
    EXPECT_GE(elapsed(&start), 0);
    EXPECT_LT(elapsed(&start), 60000);
    dlclose(h);
}

}  // namespace
