// Encoders: exact bytes and length advance; the label counter.
#include <gtest/gtest.h>

#include "RunTimeError.h"
#include "Globals.h"
#include "LogRecorder.h"
#include "clsPayload.h"
#include "clsSnapResponse.h"
#include "modSNAP.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Written(const clsPayload& p) {
    Bytes all = p.GetPayload();
    all.resize(static_cast<std::size_t>(p.GetLength()));
    return all;
}

TEST(PayloadEncoders, FixedSizeBlocksHaveExactBytes) {
    clsPayload p;
    EXPECT_EQ(p.GetLength(), 0);
    EXPECT_EQ(p.mProtocolVersion, -1);
    EXPECT_EQ(p.GetPayload().size(), 1464u);

    p.AddRID(0x0010);
    EXPECT_EQ(Written(p), (Bytes{0x01, 0x00, 0x10, 0x00}));

    p.ClearPayload();
    p.AddWord(0x05DC, 1);
    EXPECT_EQ(Written(p), (Bytes{0x02, 0x00, 0xDC, 0x05, 0x01, 0x00}));

    p.ClearPayload();
    p.AddBool(0x0020, true);
    p.AddBool(0x0020, false);
    EXPECT_EQ(Written(p), (Bytes{0x02, 0x00, 0x20, 0x00, 0x01, 0x00, 0x02, 0x00, 0x20, 0x00, 0x00, 0x00}));

    p.ClearPayload();
    p.AddLong(0x0001, 168496141);  // 0x0A0B0C0D
    EXPECT_EQ(Written(p), (Bytes{0x03, 0x00, 0x01, 0x00, 0x0D, 0x0C, 0x0B, 0x0A}));

    // An IPv4 address: the first dotted octet is the least significant byte.
    p.ClearPayload();
    p.AddIPAddr(RID_STATIC_IP_ADDRESS, static_cast<std::int32_t>(0x1401A8C0));  // 192.168.1.20
    EXPECT_EQ(Written(p), (Bytes{0x03, 0x00, 0x31, 0x00, 0xC0, 0xA8, 0x01, 0x14}));

    // RIDs above 0x7FFF and negative values keep their 16-bit patterns.
    p.ClearPayload();
    p.AddRID(RID_DEVICE_NAME);
    p.AddIntNoRID(-2);
    p.AddLongNoRID(-1);
    p.AddWordNoRid(0xBEEF);
    p.AddRID_orig(0x1234);
    EXPECT_EQ(Written(p), (Bytes{0x01, 0x00, 0x0E, 0xFC, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xBE, 0x34,
                                 0x12}));
}

TEST(PayloadEncoders, CallerBuiltBlocksForDiscoveryAndDownload) {
    // The discovery request: 15 query blocks then the authorization block.
    clsPayload p;
    const Rid rids[] = {0x0010, 0x0001, 0xFD43, 0xFC0E, 0x000A, 0x0020, 0x0023, 0x0028,
                        0x0027, 0x0022, 0x0025, 0x0026, 0x0047, 0x0042, 0x0011};
    for (Rid r : rids) p.AddRID(r);
    p.AddLenRIDBlock(3, RID_AUTHORIZATION);
    p.AddLongNoRID(1);
    ASSERT_EQ(p.GetLength(), 68);
    const Bytes all = p.GetPayload();
    const Bytes tail(all.begin() + 60, all.begin() + 68);
    EXPECT_EQ(tail, (Bytes{0x03, 0x00, 0xDD, 0x05, 0x01, 0x00, 0x00, 0x00}));

    // A full firmware chunk: the largest request of the program fits.
    clsPayload chunk;
    const Bytes data(1442, 0x5A);
    chunk.AddLenRIDBlock(static_cast<std::int16_t>((1442 + 8) / 2), RID_DOWNLOAD_QFW_CHUNK);
    chunk.AddLongNoRID(0x00012345);
    chunk.AddIntNoRID(1442);
    chunk.AddBin(data);
    EXPECT_EQ(chunk.GetLength(), 1452);
    const Bytes chunkBytes = chunk.GetPayload();
    const Bytes head(chunkBytes.begin(), chunkBytes.begin() + 12);
    EXPECT_EQ(head, (Bytes{0xD5, 0x02, 0x22, 0x01, 0x45, 0x23, 0x01, 0x00, 0xA2, 0x05, 0x5A, 0x5A}));

    // A block with arguments (elements 1 onward; element 0 is not sent) counts
    // them in its count word, padded to whole words, so that a reader walking
    // the blocks finds the value and the block after it.
    clsPayload args;
    args.AddRIDWithArgs(RID_AUTHORIZATION, {0xEE, 0x11, 0x22, 0x33});
    args.AddWord(RID_ACTIVE_PROFILE, 2);
    EXPECT_EQ(Written(args),
              (Bytes{0x03, 0x00, 0xDD, 0x05, 0x11, 0x22, 0x33, 0x00, 0x02, 0x00, 0x10, 0x00, 0x02, 0x00}));
    clsSnapResponse walk;
    const Bytes sent = Written(args);
    walk.LoadFrame(SNAP_KIND_RESPONSE, 1, 0, sent.data(), sent.size());
    Bytes value;
    long valueLen = 0;
    ASSERT_TRUE(walk.GetRIDField(RID_AUTHORIZATION, value, valueLen));
    EXPECT_EQ(valueLen, 4);
    EXPECT_EQ(value, (Bytes{0x11, 0x22, 0x33, 0x00, 0x00}));
    std::int16_t word = 0;
    EXPECT_TRUE(walk.GetRIDFieldAsWord(RID_ACTIVE_PROFILE, word));
    EXPECT_EQ(word, 2);
    // With no argument past element 0 it is a plain query block.
    args.ClearPayload();
    args.AddRIDWithArgs(RID_ACTIVE_PROFILE, {0xEE});
    EXPECT_EQ(Written(args), (Bytes{0x01, 0x00, 0x10, 0x00}));

    // SetPayload replaces; AddPayload appends.
    chunk.SetPayload({1, 2, 3});
    chunk.AddPayload({4});
    EXPECT_EQ(Written(chunk), (Bytes{1, 2, 3, 4}));
}

TEST(PayloadEncoders, StringFields) {
    kvr::test::LogRecorder log;
    clsPayload p;
    // Fixed field of 34: count 18, RID, character count, 32 positions.
    p.AddString(RID_SSID, "abc", 34);
    ASSERT_EQ(p.GetLength(), 38);
    Bytes expect{18, 0, 0x02, 0xFC, 3, 0, 'a', 'b', 'c'};
    expect.resize(38, 0);
    EXPECT_EQ(Written(p), expect);

    // Variable field: 3 characters padded to 4, count 4.
    p.ClearPayload();
    p.AddStringVarLen(RID_WPA_PASSPHRASE, "xyz", 63);
    EXPECT_EQ(Written(p), (Bytes{4, 0, 0x00, 0xE0, 3, 0, 'x', 'y', 'z', 0}));
    p.ClearPayload();
    p.AddStringVarLen(RID_WPA_PASSPHRASE, "wxyz", 63);
    EXPECT_EQ(Written(p), (Bytes{4, 0, 0x00, 0xE0, 4, 0, 'w', 'x', 'y', 'z'}));
    p.ClearPayload();
    p.AddStringVarLen(RID_PROXY_SERVER_LONG, "", 257);
    EXPECT_EQ(Written(p), (Bytes{2, 0, 0x09, 0x00, 0, 0}));
    EXPECT_TRUE(log.lines.empty()) << log.Dump();

    // 70 characters with a maximum of 63: the first 63, padded to 64, and the message.
    const std::string seventy(70, 'k');
    p.ClearPayload();
    p.AddStringVarLen(RID_WPA_PASSPHRASE, seventy, 63);
    ASSERT_EQ(p.GetLength(), 6 + 64);
    const Bytes w = Written(p);
    EXPECT_EQ(w[0], 34);  // 64/2 + 2
    EXPECT_EQ(w[4], 63);
    EXPECT_EQ(w[6 + 62], 'k');
    EXPECT_EQ(w[6 + 63], 0);
    EXPECT_TRUE(log.Has("AddStringVarLen: string exceeds maximum length of 63.  Truncating...  (original string=\"" +
                                 seventy + "\")",
                             kvr::LEVEL_ERROR, "clsPayload"))
        << log.Dump();

    // A fixed field never claims more characters than it holds.
    p.ClearPayload();
    p.AddString(RID_DEVICE_NAME, std::string(40, 'n'), 34);
    ASSERT_EQ(p.GetLength(), 38);
    EXPECT_EQ(Written(p)[4], 32);
    EXPECT_EQ(log.CountContaining("AddString: string exceeds", kvr::LEVEL_ERROR), 1u);

    // Characters are bytes (Latin-1) as they are.
    p.ClearPayload();
    p.AddStringVarLen(RID_PROFILE_NAME, "\xE9t\xE9", 63);
    EXPECT_EQ(Written(p)[6], 0xE9);
}

TEST(PayloadEncoders, BinaryFieldsAndWepKeys) {
    clsPayload p;
    p.AddBinary(RID_WPA_CIPHER_LIST, {0xAA}, 6);
    // count 4, RID, byte count 1 (a single byte is not lost), 4 positions.
    EXPECT_EQ(Written(p), (Bytes{4, 0, 0x02, 0xE0, 1, 0, 0xAA, 0, 0, 0}));
    p.ClearPayload();
    p.AddBinary(RID_WPA_CIPHER_LIST, {}, 6);
    EXPECT_EQ(Written(p), (Bytes{4, 0, 0x02, 0xE0, 0, 0, 0, 0, 0, 0}));

    // A 10-digit hexadecimal key in slot 2.
    p.ClearPayload();
    p.AddWepKey("0a1B2c3D4e", 2);
    ASSERT_EQ(p.GetLength(), 68);
    const Bytes w = Written(p);
    EXPECT_EQ(Bytes(w.begin(), w.begin() + 4), (Bytes{33, 0, 0xB0, 0xFC}));
    for (int slot = 0; slot < 4; ++slot) {
        const Bytes s(w.begin() + 4 + 16 * slot, w.begin() + 20 + 16 * slot);
        Bytes expect(16, 0);
        if (slot == 2) expect = {5, 0, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(s, expect) << "slot " << slot;
    }

    std::vector<std::uint8_t> key;
    EXPECT_TRUE(kvr::WepKeyBytes("12345", key));
    EXPECT_EQ(key, (Bytes{'1', '2', '3', '4', '5'}));
    EXPECT_TRUE(kvr::WepKeyBytes("0102030405060708090A0B0C0D", key));
    EXPECT_EQ(key.size(), 13u);
    EXPECT_FALSE(kvr::WepKeyBytes("123456", key));
    EXPECT_TRUE(key.empty());
    EXPECT_FALSE(kvr::WepKeyBytes("0a1B2c3D4g", key));

    // An invalid key: an empty slot and an error line, never stray bytes.
    kvr::test::LogRecorder log;
    p.ClearPayload();
    p.AddWepKey("bad", 0);
    Bytes emptyKey{33, 0, 0xB0, 0xFC};
    emptyKey.resize(68, 0);
    EXPECT_EQ(Written(p), emptyKey);
    EXPECT_EQ(log.CountContaining("invalid WEP key", kvr::LEVEL_ERROR), 1u);
}

TEST(PayloadEncoders, FullBufferRaisesWithoutWriting) {
    clsPayload p;
    p.AddBin(Bytes(1460, 1));
    p.AddRID(0x0010);  // exactly 1464
    EXPECT_EQ(p.GetLength(), 1464);
    p.ClearPayload();
    p.AddBin(Bytes(1462, 1));
    try {
        p.AddRID(0x0010);
        FAIL() << "no error";
    } catch (const RunTimeError& e) {
        EXPECT_EQ(e.Number(), 9);
    }
    EXPECT_EQ(p.GetLength(), 1462);  // nothing half-written
    EXPECT_THROW(p.AddString(RID_SSID, "x", 34), RunTimeError);
    EXPECT_EQ(p.GetLength(), 1462);
}

TEST(LabelCounter, RunsFromTwoAndWrapsToOne) {
    G().LabelCounter = 1;
    EXPECT_EQ(NextLabel(), 2);
    EXPECT_EQ(NextLabel(), 3);
    EXPECT_EQ(CurrentLabel(), 3);
    EXPECT_EQ(CurrentLabel(), 3);
    G().LabelCounter = 32766;
    EXPECT_EQ(NextLabel(), 32767);
    EXPECT_EQ(NextLabel(), 1);
    EXPECT_EQ(NextLabel(), 2);
    // Never 0 or negative, whatever the counter held.
    G().LabelCounter = -5;
    EXPECT_EQ(NextLabel(), 1);
    G().LabelCounter = 1;
}

}  // namespace
