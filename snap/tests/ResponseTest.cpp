// The response reader: acknowledgement rules, label/version checks, response
// codes and the RID decoders on well-formed and malformed payloads.
#include <gtest/gtest.h>

#include "Globals.h"
#include "LogRecorder.h"
#include "SimLink.h"
#include "HexText.h"
#include "clsSnapResponse.h"
#include "modSNAP.h"
#include "sim/SimFrame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
void PutU16(Bytes& p, std::uint16_t v) {
    p.push_back(static_cast<std::uint8_t>(v & 0xFF));
    p.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutBlock(Bytes& p, std::uint16_t rid, const Bytes& value) { kvr::sim::PutRawBlock(p, rid, value); }

clsSnapResponse Loaded(const Bytes& payload, std::uint8_t typeByte = SNAP_KIND_RESPONSE) {
    clsSnapResponse r;
    r.LoadFrame(typeByte, 2, 0, payload.data(), payload.size());
    return r;
}

TEST(ResponseDecoders, TypedFieldsAndSizeRules) {
    Bytes p;
    PutBlock(p, RID_ACTIVE_PROFILE, {0x03, 0x00});
    PutBlock(p, RID_FIRMWARE_VERSION, {0x04, 0x03, 0x02, 0x01});
    PutBlock(p, RID_RSSI, {0xE2, 0xFF});
    PutBlock(p, RID_OPERATION_MODE, {0x00, 0x01});
    PutBlock(p, RID_FIRMWARE_DATE, {'2', '0', 0, '1'});
    const clsSnapResponse r = Loaded(p);

    std::int16_t w = 0;
    EXPECT_TRUE(r.GetRIDFieldAsWord(RID_ACTIVE_PROFILE, w));
    EXPECT_EQ(w, 3);
    EXPECT_TRUE(r.GetRIDFieldAsWord(RID_RSSI, w));
    EXPECT_EQ(w, -30);
    // A 4-byte field is not a word: false and -1.
    EXPECT_FALSE(r.GetRIDFieldAsWord(RID_FIRMWARE_VERSION, w));
    EXPECT_EQ(w, -1);

    std::int32_t l = 0;
    EXPECT_TRUE(r.GetRIDFieldAsLong(RID_FIRMWARE_VERSION, l));
    EXPECT_EQ(l, 0x01020304);
    EXPECT_FALSE(r.GetRIDFieldAsLong(RID_ACTIVE_PROFILE, l));
    EXPECT_EQ(l, -1);
    EXPECT_FALSE(r.GetRIDFieldAsLong(RID_HARDWARE_ID, l));  // absent

    bool b = false;
    EXPECT_TRUE(r.GetRIDFieldAsBool(RID_OPERATION_MODE, b));  // any nonzero word is true
    EXPECT_TRUE(b);
    b = true;
    EXPECT_FALSE(r.GetRIDFieldAsBool(RID_AUTOIP_BUSY, b));
    EXPECT_TRUE(b);  // unchanged when missing

    std::string t;
    EXPECT_TRUE(r.GetRIDFieldAsStringFixed(RID_FIRMWARE_DATE, t));
    EXPECT_EQ(t, std::string("20\0" "1", 4));

    std::vector<std::uint8_t> v;
    long len = -7;
    Rid rid = 0;
    EXPECT_TRUE(r.GetField(2, rid, v, len));
    EXPECT_EQ(rid, RID_FIRMWARE_VERSION);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(v, (Bytes{0x04, 0x03, 0x02, 0x01, 0x00}));  // the field plus one 0
    EXPECT_FALSE(r.GetRIDField(RID_HARDWARE_ID, v, len));
    EXPECT_EQ(len, 0);
    EXPECT_EQ(v, Bytes{0});
}

TEST(ResponseDecoders, StringsAndRepeatedBlocks) {
    Bytes p;
    Bytes name{4, 0, 'd', 'e', 'n', '1'};
    name.resize(34, 0);
    PutBlock(p, RID_DEVICE_NAME, name);
    Bytes bad{40, 0};
    bad.resize(34, 'x');
    PutBlock(p, RID_PROFILE_NAME, {3, 0, 'o', 'n', 'e', 0});
    PutBlock(p, RID_PROFILE_NAME, bad);
    PutBlock(p, RID_PROFILE_NAME, {5, 0, 'a', 'b', 'c'});  // claims 5, holds 3 (+ pad)
    const clsSnapResponse r = Loaded(p);

    std::string t;
    EXPECT_TRUE(r.GetRIDFieldAsString(RID_DEVICE_NAME, t));
    EXPECT_EQ(t, "den1");
    EXPECT_TRUE(r.GetRIDFieldAsStringEx(RID_PROFILE_NAME, t, 1));
    EXPECT_EQ(t, "one");

    kvr::test::LogRecorder log;
    // Length word 40 in a 34-byte field: refused by the plain decoder...
    clsSnapResponse only;
    Bytes q;
    PutBlock(q, RID_PROFILE_NAME, bad);
    only.LoadFrame(SNAP_KIND_RESPONSE, 2, 0, q.data(), q.size());
    t = "stale";
    EXPECT_FALSE(only.GetRIDFieldAsString(RID_PROFILE_NAME, t));
    EXPECT_EQ(t, "");
    // ...and cut to the field's characters by the Ex form, with the error line.
    EXPECT_TRUE(r.GetRIDFieldAsStringEx(RID_PROFILE_NAME, t, 2));
    EXPECT_EQ(t, std::string(32, 'x'));
    EXPECT_TRUE(r.GetRIDFieldAsStringEx(RID_PROFILE_NAME, t, 3));
    EXPECT_EQ(t, std::string("abc\0", 4));  // only bytes of the field, never beyond
    EXPECT_EQ(log.CountContaining("GetRIDFieldAsStringEx: length indication is beyond the end of the array", kvr::LEVEL_ERROR),
              2u);
    EXPECT_FALSE(r.GetRIDFieldAsStringEx(RID_PROFILE_NAME, t, 4));
    EXPECT_FALSE(r.GetRIDFieldAsStringEx(RID_PROFILE_NAME, t, 0));
}

TEST(ResponseDecoders, RefusedRids) {
    Bytes p;
    PutBlock(p, RID_ACTIVE_PROFILE, {1, 0});
    PutBlock(p, RID_ERROR_STATUS, {0x21, 0x01, 0x01, 0x00});  // RID_START_QFW_DOWNLOAD, 1
    PutBlock(p, RID_ERROR_STATUS, {0x22, 0x01, 0x05, 0x00});  // RID_DOWNLOAD_QFW_CHUNK, 5
    const clsSnapResponse r = Loaded(p);
    long code = 0;
    EXPECT_TRUE(r.GetRIDerrorCode(RID_DOWNLOAD_QFW_CHUNK, code));
    EXPECT_EQ(code, 5);
    EXPECT_TRUE(r.GetRIDerrorCode(RID_START_QFW_DOWNLOAD, code));
    EXPECT_EQ(code, 1);
    EXPECT_FALSE(r.GetRIDerrorCode(RID_END_DOWNLOAD, code));

    // A malformed error block stops the search.
    Bytes q;
    PutBlock(q, RID_ERROR_STATUS, {0x49, 0x00, 0x01, 0x00, 0x00, 0x00});
    PutBlock(q, RID_ERROR_STATUS, {0x48, 0x00, 0x01, 0x00});
    EXPECT_FALSE(Loaded(q).GetRIDerrorCode(RID_START_IMAGE, code));
}

TEST(ResponseDecoders, MalformedPayloadsEndTheSearch) {
    std::vector<std::uint8_t> v;
    long len = 0;
    Rid rid = 0;
    // frameLen 8: block 3 cannot exist (3 > 8/3).
    Bytes eight;
    PutBlock(eight, RID_ACTIVE_PROFILE, {1, 0});
    PutU16(eight, 1);
    PutU16(eight, RID_RSSI);
    ASSERT_EQ(eight.size(), 10u);
    clsSnapResponse r;
    r.LoadFrame(SNAP_KIND_RESPONSE, 2, 0, eight.data(), 8);
    EXPECT_FALSE(r.GetField(3, rid, v, len));
    EXPECT_TRUE(r.GetField(1, rid, v, len));
    // Block 2 is a query block (count 1): no value, so false.
    EXPECT_FALSE(r.GetField(2, rid, v, len));

    // A count word pointing past the payload.
    Bytes past{0x10, 0x00, 0x10, 0x00, 0x01, 0x00};
    EXPECT_FALSE(Loaded(past).GetRIDField(RID_ACTIVE_PROFILE, v, len));
    // The last block's value runs past the payload: earlier blocks still decode.
    Bytes tail;
    PutBlock(tail, RID_ACTIVE_PROFILE, {2, 0});
    PutU16(tail, 0x7FFF);
    PutU16(tail, RID_RSSI);
    std::int16_t w = 0;
    const clsSnapResponse t = Loaded(tail);
    EXPECT_TRUE(t.GetRIDFieldAsWord(RID_ACTIVE_PROFILE, w));
    EXPECT_FALSE(t.GetRIDFieldAsWord(RID_RSSI, w));
    // A zero count word or an empty payload.
    EXPECT_FALSE(Loaded(Bytes{0, 0, 0, 0, 0, 0}).GetField(1, rid, v, len));
    EXPECT_FALSE(Loaded(Bytes{}).GetField(1, rid, v, len));
    // Bytes beyond frameLen are not the payload even when the buffer holds them.
    Bytes cut;
    PutBlock(cut, RID_ACTIVE_PROFILE, {2, 0});
    clsSnapResponse c;
    c.LoadFrame(SNAP_KIND_RESPONSE, 2, 0, cut.data(), 5);
    EXPECT_FALSE(c.GetRIDFieldAsWord(RID_ACTIVE_PROFILE, w));
}

TEST(ResponseCodes, TextOfTheHighestApplicableBit) {
    EXPECT_EQ(clsSnapResponse::ResponseCodeText(0x03, 2),
              "failure to retrieve some information; the ResponseCode is invalid");
    EXPECT_EQ(clsSnapResponse::ResponseCodeText(0x30, 1),
              "the complete write frame has been ignored because of (frame format) errors.");
    EXPECT_EQ(clsSnapResponse::ResponseCodeText(0x10, 0),
              "the amount of requested information did not fit into the maximum frame length.  Information at the "
              "end of the frame was stripped.");
    EXPECT_EQ(clsSnapResponse::ResponseCodeText(0x20, 2), "Unknown response code for frame type 2");
    // Known request kind: the bits of read and write frames apply to their responses.
    EXPECT_EQ(clsSnapResponse::ResponseCodeText(0x20, 0x82, 1),
              "the complete write frame has been ignored because of (frame format) errors.");
    EXPECT_EQ(clsSnapResponse::ResponseCodeText(0x20, 2, 0), "Unknown response code for frame type 2");
    EXPECT_EQ(clsSnapResponse::ResponseCodeText(0x11, 2, 0),
              "the amount of requested information did not fit into the maximum frame length.  Information at the "
              "end of the frame was stripped.");
    EXPECT_EQ(clsSnapResponse::ResponseCodeText(0x18, 2),
              "a given RID is not available or implemented, in read responses: unavailable info is not contained "
              "in ResponseCode");
}

// ReadSNAP against scripted frames.
class ReadSnapTest : public ::testing::Test {
protected:
    void SetUp() override {
        G().LabelCounter = 40;
        G().ModifiedSnap = 0;
    }
    kvr::SnapFrame Frame(std::uint8_t type, std::int16_t lbl, std::int16_t version = 0, std::uint8_t status = 0) {
        kvr::SnapFrame f;
        f.sender = kvr::ParseMac("0007F5AABBCC").value();
        f.version = version;
        f.frameType = type;
        f.label = lbl;
        f.status = status;
        PutBlock(f.payload, RID_ACTIVE_PROFILE, {1, 0});
        return f;
    }
    kvr::FakeClock clock;
    kvr::test::SimLink link{clock};
    kvr::test::LogRecorder log;
    clsSnapResponse r;
};

TEST_F(ReadSnapTest, AcknowledgesResponsesAndRequestsOfTheRightVersionOnly) {
    // Current response: acknowledged with the current label and accepted.
    link.Inject(Frame(0x82, 40), 0);
    EXPECT_TRUE(r.ReadSNAP(3, 0));
    EXPECT_TRUE(r.IsResponseFrame());
    EXPECT_TRUE(r.downloadMode);
    EXPECT_TRUE(r.bAckSent);
    ASSERT_EQ(link.Acks().size(), 1u);
    EXPECT_EQ(link.Acks()[0].dest, "0007F5AABBCC");
    EXPECT_EQ(link.Acks()[0].label, 40);
    EXPECT_EQ(link.Acks()[0].payloadLen, 0);
    EXPECT_EQ(link.Acks()[0].frameType, SNAP_KIND_ACK);

    // An ACK is never acknowledged.
    link.Inject(Frame(SNAP_KIND_ACK, 40), 0);
    EXPECT_TRUE(r.ReadAcknowledgeFrame(3, 0));
    EXPECT_EQ(link.Acks().size(), 1u);

    // An old transaction's response: acknowledged with its own label, not accepted.
    link.Inject(Frame(SNAP_KIND_RESPONSE, 39), 0);
    EXPECT_FALSE(r.ReadSNAP(3, 0));
    EXPECT_FALSE(r.LastFrameAccepted());
    ASSERT_EQ(link.Acks().size(), 2u);
    EXPECT_EQ(link.Acks()[1].label, 39);
    EXPECT_EQ(log.CountContaining("Sending ACK packet for old transaction (label=0x27, current=0x28)", kvr::LEVEL_WARNING), 1u);
    EXPECT_EQ(log.CountContaining("ReadSNAP: label 0x27 was returned from the target.  0x28 expected.", kvr::LEVEL_WARNING), 1u);

    // The right label in the wrong version: neither acknowledged nor accepted.
    link.Inject(Frame(SNAP_KIND_RESPONSE, 40, 8), 0);
    EXPECT_FALSE(r.ReadSNAP(3, 0));
    EXPECT_EQ(link.Acks().size(), 2u);
    EXPECT_EQ(log.CountContaining("ReadSNAP: protocol version 0x8 was returned from the target.  0x0 expected."), 1u);

    // The modified-SNAP switch reaches the acknowledgement.
    G().ModifiedSnap = 1;
    link.Inject(Frame(SNAP_KIND_RESPONSE, 40), 0);
    EXPECT_TRUE(r.ReadSNAP(3, 0));
    G().ModifiedSnap = 0;
    ASSERT_EQ(link.Acks().size(), 3u);

    // A failing acknowledgement is logged; the frame still counts.
    link.failWrites = 1;
    clsSnapResponse fresh;
    link.Inject(Frame(SNAP_KIND_RESPONSE, 40), 0);
    EXPECT_TRUE(fresh.ReadSNAP(3, 0));
    EXPECT_FALSE(fresh.bAckSent);
    EXPECT_EQ(log.CountContaining("ReadSNAP: SendAck returned failure response!", kvr::LEVEL_ERROR), 1u);
}

TEST_F(ReadSnapTest, ResponseCodes) {
    // A fatal write refusal is not accepted.
    link.Inject(Frame(1, 40, 0, 0x30), 0);
    EXPECT_FALSE(r.ReadSNAP(3, 0));
    EXPECT_EQ(log.CountContaining("ReadSNAP: ResponseCode error 0x30: the complete write frame has been ignored because of "
                        "(frame format) errors. (src mac='0007F5AABBCC', downloadmode=False)",
                        kvr::LEVEL_ERROR),
              1u)
        << log.Dump();
    EXPECT_EQ(log.CountContaining("ReadSNAP: the received packet will not be processed.", kvr::LEVEL_ERROR), 1u);
    // Other codes: a warning, and the frame is accepted for the caller to judge.
    link.Inject(Frame(0x82, 40, 0, 0x08), 0);
    EXPECT_TRUE(r.ReadSNAP(3, 0));
    EXPECT_EQ(log.CountContaining("ReadSNAP: ResponseCode error 0x8: a given RID is not available", kvr::LEVEL_WARNING), 1u);
    EXPECT_EQ(log.CountContaining("downloadmode=True)"), 1u);
}

TEST_F(ReadSnapTest, NothingReceivedIsTracedAtMostOnceASecond) {
    EXPECT_FALSE(r.ReadSNAP(3, 0));
    EXPECT_FALSE(r.ReadResponseFrame(3, 0));
    EXPECT_FALSE(r.ReadAcknowledgeFrame(3, 0));
    EXPECT_EQ(log.CountContaining("ReadSNAP: ReadNDIS failed (hNIC=3, protocol=0, typ=0, MAC=)", kvr::LEVEL_TRACE), 1u);
    EXPECT_EQ(log.CountContaining("ReadResponseFrame: ReadSNAP returned an error trying to read device ", kvr::LEVEL_DETAIL),
              1u);
    clock.Advance(1000);
    EXPECT_FALSE(r.ReadSNAP(3, 0));
    EXPECT_EQ(log.CountContaining("ReadSNAP: ReadNDIS failed"), 2u);
}

}  // namespace
