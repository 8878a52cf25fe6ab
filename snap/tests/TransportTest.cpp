// The command transport against a scripted device on a fake clock: attempts,
// same-label re-sends, ACK time-outs, responses before ACKs, cancellation,
// download-frame rules and progress values.
#include <gtest/gtest.h>

#include "HexText.h"
#include "SnapTestSupport.h"
#include "clsPayload.h"
#include "clsSnapCommand.h"
#include "AdapterSession.h"
#include "SnapFrame.h"
#include "modSNAP.h"

namespace {

using snaptest::Behaviour;
using Bytes = std::vector<std::uint8_t>;

// Sets CancelWait on the command when DoEvents runs after a given time.
class CancellingPump : public kvr::EventPump {
public:
    CancellingPump(kvr::Clock& clock, clsSnapCommand& cmd, std::int64_t atMs) : m_clock(clock), m_cmd(cmd), m_at(atMs) {
        kvr::SetEventPump(this);
    }
    ~CancellingPump() override { kvr::SetEventPump(nullptr); }
    void DoEvents() override {
        ++calls;
        if (m_clock.NowMs() >= m_at) m_cmd.CancelWait = true;
    }
    int calls = 0;

private:
    kvr::Clock& m_clock;
    clsSnapCommand& m_cmd;
    std::int64_t m_at;
};

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        G().LabelCounter = 100;
        G().AckTimeout = 0.2f;
        G().ModifiedSnap = 0;
        Bytes p;
        snaptest::PutBlock(p, RID_ACTIVE_PROFILE, {2, 0});
        answer = p;
        request.AddRID(RID_ACTIVE_PROFILE);
        data = request.GetPayload();
    }
    Behaviour Device() {
        Behaviour b;
        b.mac = kMac;
        b.responsePayload = answer;
        return b;
    }
    bool Send() { return cmd.SendEx(5, kMac, 0, request.GetLength(), data, resp, &bar); }
    std::int64_t Elapsed() { return clock.NowMs() - start; }

    const std::string kMac = "0007F5010203";
    kvr::FakeClock clock;
    std::int64_t start = clock.NowMs();
    snaptest::ScriptedLink link{clock};
    snaptest::LogCapture log;
    clsSnapCommand cmd;
    clsPayload request;
    Bytes data, answer;
    std::shared_ptr<clsSnapResponse> resp;
    kvr::MemoryProgressBar bar;
};

struct SendExCase {
    const char* name;
    std::function<void(Behaviour&)> setup;
    bool ok;
    std::size_t frames;      // requests the host sent
    std::size_t ackWarnings;  // "failed to receive ACK"
    bool responseWarning;     // "failed to receive response frame"
    bool correction;          // "received response before ACK"
};

TEST_F(TransportTest, SendExOverDeviceBehaviours) {
    const SendExCase cases[] = {
        {"well-behaved", [](Behaviour&) {}, true, 1, 0, false, false},
        {"answers only the third send", [](Behaviour& b) { b.answerOnAttempt = 3; }, true, 3, 2, false, false},
        {"answers only the sixth send", [](Behaviour& b) { b.answerOnAttempt = 6; }, true, 6, 5, false, false},
        {"answers only the seventh send", [](Behaviour& b) { b.answerOnAttempt = 7; }, false, 6, 6, false, false},
        {"response but no ACK", [](Behaviour& b) { b.noAck = true; }, true, 1, 0, false, true},
        {"response before ACK", [](Behaviour& b) { b.responseBeforeAck = true; }, true, 1, 0, false, true},
        {"ACK but no response", [](Behaviour& b) { b.noResponse = true; }, false, 1, 0, true, false},
        {"silent", [](Behaviour& b) { b.mute = true; }, false, 6, 6, false, false},
        {"wrong label", [](Behaviour& b) { b.labelOffset = -1; }, false, 6, 6, false, false},
        {"other protocol version", [](Behaviour& b) { b.version = 8; }, false, 6, 6, false, false},
        {"duplicate responses", [](Behaviour& b) { b.duplicateResponses = 2; }, true, 1, 0, false, false},
        {"slow response within 4 s", [](Behaviour& b) { b.responseDelayMs = 3500; }, true, 1, 0, false, false},
        {"response after 4 s", [](Behaviour& b) { b.responseDelayMs = 4300; }, false, 1, 0, true, false},
        {"refuses the RID", [](Behaviour& b) { b.responseCode = 0x08; }, true, 1, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        link.devices = {Device()};
        c.setup(link.devices[0]);
        link.sent.clear();
        link.acks.clear();
        log.lines.clear();
        clock.Advance(10000);  // let anything late of the previous row pass
        kvr::SnapFrame drain;
        while (link.Read(5, drain)) {
        }

        const bool ok = Send();
        EXPECT_EQ(ok, c.ok) << log.Dump();
        ASSERT_EQ(link.sent.size() - link.acks.size(), c.frames);
        for (const auto& s : link.sent) {
            if ((s.frameType & 7) == SNAP_KIND_ACK) continue;
            EXPECT_EQ(s.label, link.sent[0].label) << "all attempts carry one label";
            EXPECT_EQ(s.dest, kMac);
            EXPECT_EQ(s.payloadLen, 4);
            EXPECT_EQ(s.payload, (Bytes{1, 0, 0x10, 0}));
        }
        EXPECT_EQ(log.Count("SendEx: failed to receive ACK from target '" + kMac + "'.", kvr::LEVEL_WARNING),
                  c.ackWarnings);
        EXPECT_EQ(log.Count("SendEx: failed to receive response frame from target '" + kMac + "'.",
                            kvr::LEVEL_WARNING),
                  c.responseWarning ? 1u : 0u);
        EXPECT_EQ(log.Count("SendEx: received response before ACK - driver buffer issue - performing corrective "
                            "measures.",
                            kvr::LEVEL_WARNING),
                  c.correction ? 1u : 0u);
        EXPECT_EQ(bar.Value(), bar.Max());
        if (ok) {
            ASSERT_TRUE(resp);
            std::int16_t w = 0;
            EXPECT_TRUE(resp->GetRIDFieldAsWord(RID_ACTIVE_PROFILE, w));
            EXPECT_EQ(w, 2);
            EXPECT_EQ(resp->label, CurrentLabel());
            // The host acknowledged the response with the request's label.
            ASSERT_FALSE(link.acks.empty());
            EXPECT_EQ(link.acks.back().label, CurrentLabel());
        }
    }
}

TEST_F(TransportTest, SilentDeviceCostsSixAckTimeouts) {
    link.devices = {Device()};
    link.devices[0].mute = true;
    EXPECT_FALSE(Send());
    EXPECT_GE(Elapsed(), 1200);
    EXPECT_LT(Elapsed(), 1200 + 6 * 100);
    G().AckTimeout = 0.5f;
    start = clock.NowMs();
    EXPECT_FALSE(Send());
    EXPECT_GE(Elapsed(), 3000);
    EXPECT_LT(Elapsed(), 3000 + 6 * 100);
}

TEST_F(TransportTest, ResponseWithoutAckNeedsNoResponseWait) {
    link.devices = {Device()};
    link.devices[0].noAck = true;
    link.devices[0].responseDelayMs = 30;
    EXPECT_TRUE(Send());
    EXPECT_EQ(Elapsed(), 30);  // accepted at the first poll after it arrived
}

TEST_F(TransportTest, LateOldResponseIsAcknowledgedAndIgnored) {
    link.devices = {Device()};
    kvr::SnapFrame old;
    kvr::MacFromHex(kMac, old.sender.data());
    old.frameType = SNAP_KIND_RESPONSE;
    old.label = 100;  // the previous transaction
    old.payload = answer;
    link.Inject(old, 5);
    EXPECT_TRUE(Send());
    ASSERT_EQ(link.acks.size(), 2u);
    EXPECT_EQ(link.acks[0].label, 100);  // with its own label
    EXPECT_EQ(link.acks[1].label, 101);
    EXPECT_EQ(log.Count("SendEx: received response before ACK"), 0u) << "an old response is no ACK";
    EXPECT_EQ(log.Count("Sending ACK packet for old transaction (label=0x64, current=0x65)"), 1u);
}

TEST_F(TransportTest, CancelDuringResponseWait) {
    link.devices = {Device()};
    link.devices[0].noResponse = true;
    CancellingPump pump(clock, cmd, start + 1000);
    EXPECT_FALSE(Send());
    EXPECT_TRUE(cmd.CancelWait);
    EXPECT_LT(Elapsed(), 1500);
    EXPECT_EQ(log.Count("SendEx: failed to receive response frame from target '" + kMac + "'.", kvr::LEVEL_WARNING),
              1u);
    // The next request starts with the flag cleared.
    link.devices[0].noResponse = false;
    kvr::SetEventPump(nullptr);
    EXPECT_TRUE(Send());
}

TEST_F(TransportTest, CancelBetweenAttemptsStopsResending) {
    link.devices = {Device()};
    link.devices[0].mute = true;
    CancellingPump pump(clock, cmd, 0);
    EXPECT_FALSE(Send());
    EXPECT_EQ(link.sent.size(), 1u);
}

TEST_F(TransportTest, FailedWritesAreRetriedAndLogged) {
    link.devices = {Device()};
    link.failWrites = 2;
    EXPECT_TRUE(Send());
    EXPECT_EQ(log.Count("SendEx: failed call to WriteNDIS!", kvr::LEVEL_ERROR), 2u);
    link.failWrites = 100;
    EXPECT_FALSE(Send());
    EXPECT_EQ(log.Count("SendEx: failed call to WriteNDIS!", kvr::LEVEL_ERROR), 8u);
}

// An adapter whose reads fail at once (it vanished, the library failed).
class DeadReads : public snaptest::ScriptedLink {
public:
    using ScriptedLink::ScriptedLink;
    bool Read(std::int32_t, kvr::SnapFrame&) override {
        ++reads;
        return false;
    }
};

TEST(TransportDeadAdapter, WaitsEndInTimeWithoutSpinning) {
    kvr::FakeClock clock;
    DeadReads link(clock);
    snaptest::LogCapture log;
    G().AckTimeout = 0.2f;
    clsSnapCommand cmd;
    clsPayload p;
    p.AddRID(RID_ACTIVE_PROFILE);
    std::vector<std::uint8_t> data = p.GetPayload();
    std::shared_ptr<clsSnapResponse> resp;
    const std::int64_t start = clock.NowMs();
    EXPECT_FALSE(cmd.SendEx(5, "0007F5010203", 0, p.GetLength(), data, resp));
    EXPECT_GE(clock.NowMs() - start, 1200);
    EXPECT_LE(link.reads, 6 * 21);  // at most one poll per 10 ms
    link.reads = 0;
    EXPECT_FALSE(cmd.SendDownloadFrame(5, "0007F5010203", 1, p.GetLength(), data, resp, nullptr, 30, true, false));
    EXPECT_LE(link.reads, 6 * 41);
}

TEST_F(TransportTest, RefusedWriteFailsAtOnce) {
    // The device answers a write with "the complete write frame has been ignored".
    for (bool early : {false, true}) {
        SCOPED_TRACE(early ? "refusal before the ACK" : "refusal after the ACK");
        link.devices = {Device()};
        link.devices[0].responseCode = 0x20;
        link.devices[0].responseBeforeAck = early;
        link.sent.clear();
        link.acks.clear();
        log.lines.clear();
        start = clock.NowMs();
        EXPECT_FALSE(cmd.SendEx(5, kMac, 1, request.GetLength(), data, resp, &bar));
        EXPECT_LT(Elapsed(), 1000) << "no 4-second wait for an answer that already came";
        EXPECT_EQ(link.sent.size() - link.acks.size(), 1u) << "a refused write is not re-sent";
        EXPECT_EQ(log.Count("ReadSNAP: ResponseCode error 0x20: the complete write frame has been ignored",
                            kvr::LEVEL_ERROR),
                  1u)
            << log.Dump();
        EXPECT_EQ(log.Count("failed to receive"), 0u);
        EXPECT_EQ(bar.Value(), bar.Max());
        clock.Advance(1000);
    }
    // The same code on a read's response is no refusal of anything.
    link.devices = {Device()};
    link.devices[0].responseCode = 0x20;
    EXPECT_TRUE(Send());
    EXPECT_EQ(log.Count("Unknown response code for frame type 2", kvr::LEVEL_WARNING), 1u);

    link.devices = {Device()};
    link.devices[0].responseCode = 0x20;
    link.devices[0].typeFlags = SNAP_FLAG_DOWNLOAD_MODE;
    EXPECT_FALSE(cmd.SendExCustom(5, kMac, 1, request.GetLength(), data, resp, nullptr, 3, 0.2f));
    start = clock.NowMs();
    EXPECT_FALSE(cmd.SendDownloadFrame(5, kMac, 1, request.GetLength(), data, resp, nullptr, 30, true, false));
    EXPECT_LT(Elapsed(), 1000);
    EXPECT_EQ(log.Count("SendDownloadFrame: operation failed.", kvr::LEVEL_WARNING), 1u);
}

TEST_F(TransportTest, SendExProgressFollowsAttemptsAndSeconds) {
    // A progress bar that remembers every value.
    struct Trace : kvr::MemoryProgressBar {
        void SetValue(long v) override {
            values.push_back(v);
            kvr::MemoryProgressBar::SetValue(v);
        }
        std::vector<long> values;
    } trace;
    link.devices = {Device()};
    link.devices[0].answerOnAttempt = 2;
    link.devices[0].responseDelayMs = 2500;
    EXPECT_TRUE(cmd.SendEx(5, kMac, 0, request.GetLength(), data, resp, &trace));
    EXPECT_EQ(trace.Min(), 0);
    EXPECT_EQ(trace.Max(), 10);
    ASSERT_GE(trace.values.size(), 4u);
    EXPECT_EQ(trace.values[0], 0);
    EXPECT_EQ(trace.values[1], 0);  // after attempt 1: attempts before it
    EXPECT_EQ(trace.values[2], 1);  // after attempt 2
    EXPECT_EQ(trace.values[3], 6);
    EXPECT_EQ(*std::max_element(trace.values.begin() + 4, trace.values.end() - 1), 4);  // 2 attempts + 2 s
    EXPECT_EQ(trace.values.back(), 10);
}

TEST_F(TransportTest, SendExCustomUsesItsOwnRetriesAndTimeout) {
    link.devices = {Device()};
    link.devices[0].mute = true;
    EXPECT_FALSE(cmd.SendExCustom(5, kMac, 1, request.GetLength(), data, resp, &bar, 3, 0.5f));
    EXPECT_EQ(link.sent.size(), 3u);
    EXPECT_EQ(link.sent[0].label, link.sent[2].label);
    EXPECT_EQ(link.sent[0].frameType, 1);
    EXPECT_GE(Elapsed(), 1500);
    EXPECT_EQ(bar.Max(), 7);
    EXPECT_EQ(bar.Value(), 7);
    EXPECT_EQ(log.Count("SendExCustom: failed to receive ACK from target (hNIC=0x5, MAC='" + kMac + "')",
                        kvr::LEVEL_WARNING),
              3u);

    link.devices[0].mute = false;
    link.devices[0].responseBeforeAck = true;
    EXPECT_TRUE(cmd.SendExCustom(5, kMac, 1, request.GetLength(), data, resp, nullptr, 3, 0.5f));
    EXPECT_EQ(log.Count("SendExCustom: received response before ACK"), 1u);

    // A response time-out is not logged by this form.
    link.devices[0].responseBeforeAck = false;
    link.devices[0].noResponse = true;
    log.lines.clear();
    EXPECT_FALSE(cmd.SendExCustom(5, kMac, 1, request.GetLength(), data, resp, nullptr, 2, 0.2f));
    EXPECT_EQ(log.Count("failed to receive response"), 0u);

    link.failWrites = 1;
    link.devices[0].noResponse = false;
    EXPECT_TRUE(cmd.SendExCustom(-1, kMac, 1, request.GetLength(), data, resp, nullptr, 2, 0.2f));
    EXPECT_EQ(log.Count("SendExCustom: WriteNDIS failed (hNIC=0xFFFFFFFF, MAC='" + kMac + "')", kvr::LEVEL_WARNING),
              1u);
}

TEST_F(TransportTest, SendEx2OpensAndClosesTheAdapter) {
    link.devices = {Device()};
    struct Dev {
        std::string NICName, MAC;
    } dev{link.adapterName, kMac};
    EXPECT_TRUE(cmd.SendEx2(dev, request, 0, resp));
    EXPECT_EQ(link.opens, 1);
    EXPECT_EQ(link.closes, 1);
    ASSERT_FALSE(link.sent.empty());
    EXPECT_EQ(link.sent[0].payloadLen, 4);

    dev.NICName = "no such adapter";
    EXPECT_FALSE(cmd.SendEx2(dev, request, 0, resp));
    EXPECT_TRUE(log.HasExact("SendEx2: OpenNdisDeviceByDesc failed for NIC 'no such adapter'.", kvr::LEVEL_ERROR,
                             "clsSnapCommand"));
    EXPECT_EQ(link.closes, 1);
}

TEST_F(TransportTest, AdapterSessionClosesOnceThroughTheLinkThatOpenedIt) {
    {
        kvr::AdapterSession a(link.adapterName);
        ASSERT_TRUE(a.IsOpen());
        EXPECT_EQ(a.Handle(), 7);
        kvr::AdapterSession b(std::move(a));  // the adapter goes with the move
        EXPECT_FALSE(a.IsOpen());
        kvr::SetSnapLink(nullptr);  // another link in use meanwhile
        b = kvr::AdapterSession();
        EXPECT_EQ(link.closes, 1);
        kvr::SetSnapLink(&link);
        const kvr::AdapterSession refused("no such adapter");
        EXPECT_EQ(refused.Handle(), -1);
        const kvr::AdapterSession last(link.adapterName);
    }
    EXPECT_EQ(link.opens, 2);
    EXPECT_EQ(link.closes, 2);  // the refused one has nothing to close
}

// Download frames.
class DownloadFrameTest : public TransportTest {
protected:
    bool SendFrame(bool isDownload, bool multicast, std::int16_t respTimeout = 30) {
        return cmd.SendDownloadFrame(5, kMac, 1, request.GetLength(), data, resp, &bar, respTimeout, isDownload,
                                     multicast);
    }
    Behaviour InDownloadMode() {
        Behaviour b = Device();
        b.typeFlags = SNAP_FLAG_DOWNLOAD_MODE;
        return b;
    }
};

TEST_F(DownloadFrameTest, MulticastAcceptsOnlyTheTarget) {
    Behaviour other = InDownloadMode();
    other.mac = "0007F5999999";
    other.ackDelayMs = 5;
    other.responseDelayMs = 10;
    link.devices = {other, InDownloadMode()};
    EXPECT_TRUE(SendFrame(true, true)) << log.Dump();
    ASSERT_FALSE(link.sent.empty());
    EXPECT_EQ(link.sent[0].dest, "0107F5000100");
    EXPECT_EQ(resp->srcMAC, kMac);
    EXPECT_EQ(log.Count("SendDownloadFrame: received ACK from device '0007F5999999'; expected ACK from device '" +
                            kMac + "'",
                        kvr::LEVEL_DETAIL),
              1u);
    EXPECT_EQ(log.Count("SendDownloadFrame: received response from device '0007F5999999'"), 0u);
    EXPECT_EQ(log.Count("SendDownloadFrame: successfully sent download frame to target, label 0x" +
                            kvr::HexUpper(static_cast<std::uint32_t>(CurrentLabel())),
                        kvr::LEVEL_DETAIL),
              1u);
}

TEST_F(DownloadFrameTest, OtherDevicesResponseDuringTheWaitIsSkipped) {
    Behaviour target = InDownloadMode();
    target.responseDelayMs = 500;
    Behaviour other = InDownloadMode();
    other.mac = "0007F5999999";
    other.noAck = false;
    other.ackDelayMs = 300;
    other.responseDelayMs = 310;
    link.devices = {target, other};
    EXPECT_TRUE(SendFrame(true, true)) << log.Dump();
    EXPECT_EQ(resp->srcMAC, kMac);
    EXPECT_EQ(log.Count("SendDownloadFrame: received response from device '0007F5999999'; expected response from "
                        "device '" + kMac + "'",
                        kvr::LEVEL_TRACE),
              1u);
}

TEST_F(DownloadFrameTest, AckWithoutDownloadModeIsRejected) {
    link.devices = {Device()};  // download-mode bit clear
    EXPECT_FALSE(SendFrame(true, false));
    EXPECT_EQ(link.sent.size() - link.acks.size(), 6u);
    EXPECT_EQ(log.Count("SendDownloadFrame: ACK from target " + kMac +
                            " indicates that it is not in download mode when app expects download mode.",
                        kvr::LEVEL_TRACE),
              12u);  // each attempt: the ACK, then the response taken in its place
    EXPECT_EQ(log.Count("SendDownloadFrame: re-sending download packet and re-using label (label=0x", kvr::LEVEL_WARNING),
              5u);
    EXPECT_EQ(log.Count("SendDownloadFrame: failed to receive ACK (label=0x" + kvr::HexUpper(static_cast<std::uint32_t>(CurrentLabel())) +
                            ")!  AckTimeout=0.2.  Exiting abnormally.",
                        kvr::LEVEL_WARNING),
              6u)
        << log.Dump();
    EXPECT_EQ(log.Count("SendDownloadFrame: operation failed.", kvr::LEVEL_WARNING), 1u);
    // Each attempt waited AckTimeout + 0.2 s.
    EXPECT_GE(Elapsed(), 6 * 400);

    // Not a download frame: the same device is fine.
    EXPECT_TRUE(SendFrame(false, false));
}

TEST_F(DownloadFrameTest, ResponseWithoutDownloadModeIsRejected) {
    link.devices = {InDownloadMode()};
    link.devices[0].responseTypeByte = SNAP_KIND_RESPONSE;  // response says: not in download mode
    EXPECT_FALSE(SendFrame(true, false, 2));
    EXPECT_GE(log.Count("SendDownloadFrame: response from target " + kMac + " indicates that it is not in download mode.",
                        kvr::LEVEL_TRACE),
              1u);
    EXPECT_EQ(log.Count("SendDownloadFrame: cResponse.ReadResponseFrame failed all retries.  Response Timeout=2.  "
                        "Exiting abnormally.",
                        kvr::LEVEL_WARNING),
              1u);
    EXPECT_GE(Elapsed(), 2000);
    EXPECT_EQ(bar.Max(), 10);
    EXPECT_EQ(bar.Value(), 10);
}

TEST_F(DownloadFrameTest, ResponseBeforeAckAndSlowErase) {
    link.devices = {InDownloadMode()};
    link.devices[0].responseBeforeAck = true;
    EXPECT_TRUE(SendFrame(true, false));
    EXPECT_EQ(log.Count("SendDownloadFrame: received response before ACK"), 1u);

    // A start frame whose response comes after a long erase.
    link.devices[0].responseBeforeAck = false;
    link.devices[0].responseDelayMs = 45000;
    start = clock.NowMs();
    EXPECT_TRUE(SendFrame(true, false, 60));
    EXPECT_GE(Elapsed(), 45000);
    EXPECT_EQ(link.sent.size() - link.acks.size(), 2u) << "no re-send while waiting for the response";
}

TEST_F(DownloadFrameTest, CancelDuringTheResponseWait) {
    link.devices = {InDownloadMode()};
    link.devices[0].noResponse = true;
    CancellingPump pump(clock, cmd, start + 2000);
    EXPECT_FALSE(SendFrame(true, false, 30));
    EXPECT_LT(Elapsed(), 3500);
}

}  // namespace
