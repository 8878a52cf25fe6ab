#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "ByteReader.h"

using kvr::ByteReader;

namespace {

const std::array<std::uint8_t, 5> kBytes{0x11, 0x22, 0x33, 0x44, 0x55};

TEST(ByteReader, ReadsLittleAndBigEndianFieldsInOrder) {
    ByteReader r(kBytes.data(), kBytes.size());
    EXPECT_EQ(r.U8(), 0x11);
    EXPECT_EQ(r.U16(), 0x3322);
    EXPECT_EQ(r.U16BE(), 0x4455);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Remaining(), 0u);
    ByteReader r32(kBytes.data(), kBytes.size());
    EXPECT_EQ(r32.U32(), 0x44332211u);
    EXPECT_EQ(r32.Text(1), "\x55");
    EXPECT_TRUE(r32.Seek(5));  // the end itself is a position
    EXPECT_TRUE(r32.Ok());
}

// Every kind of read that would pass the end: it yields nothing, leaves the
// position where it was, and every later read fails too, even one that fits.
TEST(ByteReader, AFailedReadLeavesThePositionAndTheErrorSticks) {
    struct Row {
        const char* what;
        std::function<bool(ByteReader&)> overrun;  // true when the read claimed success
    };
    const Row rows[] = {
        {"U16", [](ByteReader& r) { return r.U16() != 0; }},
        {"U16BE", [](ByteReader& r) { return r.U16BE() != 0; }},
        {"U32", [](ByteReader& r) { return r.U32() != 0; }},
        {"Skip", [](ByteReader& r) { return r.Skip(2); }},
        {"Seek", [](ByteReader& r) { return r.Seek(6); }},
        {"Text", [](ByteReader& r) { return !r.Text(2).empty(); }},
        {"View", [](ByteReader& r) { return !r.View(2).empty(); }},
        {"Bytes", [](ByteReader& r) {
             std::array<std::uint8_t, 2> out{0xAA, 0xAA};
             const bool ok = r.Bytes(out.data(), out.size());
             return ok || out[0] != 0xAA || out[1] != 0xAA;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ByteReader r(kBytes.data(), kBytes.size());
        ASSERT_TRUE(r.Skip(4));
        EXPECT_FALSE(row.overrun(r));
        EXPECT_FALSE(r.Ok());
        EXPECT_EQ(r.Pos(), 4u);
        EXPECT_EQ(r.U8(), 0);  // one byte is left, but the error sticks
        EXPECT_FALSE(r.Seek(0));
        EXPECT_EQ(r.Pos(), 4u);
        EXPECT_FALSE(r.Ok());
    }
}

TEST(ByteReader, NoDataIsAnEmptyReader) {
    ByteReader r(nullptr, 8);
    EXPECT_EQ(r.Size(), 0u);
    EXPECT_EQ(r.U8(), 0);
    EXPECT_FALSE(r.Ok());
}

}  // namespace
