// The command transport against simulated devices on a fake clock: attempts,
// same-label re-sends, ACK time-outs, responses before ACKs, cancellation,
// download-frame rules and progress values.
#include <gtest/gtest.h>

#include "Globals.h"
#include "HexText.h"
#include "LogRecorder.h"
#include "SimLink.h"
#include "clsPayload.h"
#include "clsSnapCommand.h"
#include "AdapterSession.h"
#include "HexText.h"
#include "modSNAP.h"

namespace {

using kvr::sim::Faults;
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
        request.AddRID(RID_ACTIVE_PROFILE);
        data = request.GetPayload();
        link.adapterName = "KVR virtual segment test";
        link.handle = 7;
    }
    // The one device on the wire (active profile 2), replacing any before it.
    kvr::sim::DeviceModel& Use(const Faults& faults = {}, bool downloadMode = false) {
        link.RemoveDevices();
        return link.AddDevice(Config(faults, downloadMode));
    }
    kvr::sim::DeviceConfig Config(const Faults& faults = {}, bool downloadMode = false) {
        kvr::sim::DeviceConfig d = kvr::test::SimDevice(0x010203, "Bench");
        d.profiles.resize(3);
        d.activeProfile = 2;
        d.downloadMode = downloadMode;
        d.faults = faults;
        return d;
    }
    bool Send() { return cmd.SendEx(5, kMac, 0, request.GetLength(), data, resp, &bar); }
    std::int64_t Elapsed() { return clock.NowMs() - start; }

    const std::string kMac = "0007F5010203";
    kvr::FakeClock clock;
    std::int64_t start = clock.NowMs();
    kvr::test::SimLink link{clock};
    kvr::test::LogRecorder log;
    clsSnapCommand cmd;
    clsPayload request;
    Bytes data;
    std::shared_ptr<clsSnapResponse> resp;
    kvr::MemoryProgressBar bar;
};

struct SendExCase {
    const char* name;
    std::function<void(Faults&, kvr::sim::DeviceConfig&)> setup;
    bool ok;
    std::size_t frames;      // requests the host sent
    std::size_t ackWarnings;  // "failed to receive ACK"
    bool responseWarning;     // "failed to receive response frame"
    bool correction;          // "received response before ACK"
};

TEST_F(TransportTest, SendExOverDeviceBehaviours) {
    const SendExCase cases[] = {
        {"well-behaved", [](Faults&, auto&) {}, true, 1, 0, false, false},
        {"answers only the third send", [](Faults& f, auto&) { f.answerOnAttempt = 3; }, true, 3, 2, false, false},
        {"answers only the sixth send", [](Faults& f, auto&) { f.answerOnAttempt = 6; }, true, 6, 5, false, false},
        {"answers only the seventh send", [](Faults& f, auto&) { f.answerOnAttempt = 7; }, false, 6, 6, false, false},
        {"first two ACKs lost", [](Faults& f, auto&) { f.dropFirstAcks = 2; }, true, 1, 0, false, true},
        {"response but no ACK", [](Faults& f, auto&) { f.noAck = true; }, true, 1, 0, false, true},
        {"response before ACK", [](Faults& f, auto&) { f.responseBeforeAck = true; }, true, 1, 0, false, true},
        {"ACK but no response", [](Faults& f, auto&) { f.noResponse = true; }, false, 1, 0, true, false},
        {"silent", [](Faults& f, auto&) { f.mute = true; }, false, 6, 6, false, false},
        {"wrong label", [](Faults& f, auto&) { f.labelOffset = -1; }, false, 6, 6, false, false},
        {"other protocol version", [](Faults&, auto& d) { d.replyVersion = 8; }, false, 6, 6, false, false},
        {"duplicate responses", [](Faults& f, auto&) { f.duplicateResponses = 2; }, true, 1, 0, false, false},
        {"slow response within 4 s", [](Faults& f, auto&) { f.responseDelayMs = 3500; }, true, 1, 0, false, false},
        {"response after 4 s", [](Faults& f, auto&) { f.responseDelayMs = 4300; }, false, 1, 0, true, false},
        {"refuses the RID", [](Faults& f, auto&) { f.responseCode = 0x08; }, true, 1, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Faults faults;
        kvr::sim::DeviceConfig device = Config();
        c.setup(faults, device);
        device.faults = faults;
        link.RemoveDevices();  // and anything late of the previous row
        link.AddDevice(device);
        link.sent.clear();
        log.Clear();

        const bool ok = Send();
        EXPECT_EQ(ok, c.ok) << log.Dump();
        ASSERT_EQ(link.Requests().size(), c.frames);
        for (const auto& s : link.sent) {
            if ((s.frameType & 7) == SNAP_KIND_ACK) continue;
            EXPECT_EQ(s.label, link.sent[0].label) << "all attempts carry one label";
            EXPECT_EQ(s.dest, kMac);
            EXPECT_EQ(s.payloadLen, 4);
            EXPECT_EQ(s.payload, (Bytes{1, 0, 0x10, 0}));
        }
        EXPECT_EQ(log.CountContaining("SendEx: failed to receive ACK from target '" + kMac + "'.", kvr::LEVEL_WARNING),
                  c.ackWarnings);
        EXPECT_EQ(log.CountContaining("SendEx: failed to receive response frame from target '" + kMac + "'.",
                            kvr::LEVEL_WARNING),
                  c.responseWarning ? 1u : 0u);
        EXPECT_EQ(log.CountContaining("SendEx: received response before ACK - driver buffer issue - performing corrective "
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
            // The host acknowledged the response with the request's label, and the device saw it.
            ASSERT_FALSE(link.Acks().empty());
            EXPECT_EQ(link.Acks().back().label, CurrentLabel());
            bool acked = false;
            for (const auto& r : link.Device().Counters().responses)
                acked |= r.label == static_cast<std::uint16_t>(CurrentLabel()) && r.ackedByHost;
            EXPECT_TRUE(acked);
        }
    }
}

TEST_F(TransportTest, SilentDeviceCostsSixAckTimeouts) {
    Use({.mute = true});
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
    Use({.delayMs = 30, .noAck = true});
    EXPECT_TRUE(Send());
    EXPECT_EQ(Elapsed(), 30);  // accepted at the first poll after it arrived
}

TEST_F(TransportTest, LateOldResponseIsAcknowledgedAndIgnored) {
    Use({.lateOldResponse = true});  // a response labelled 100 (the previous transaction) comes first
    EXPECT_TRUE(Send());
    ASSERT_EQ(link.Acks().size(), 2u);
    EXPECT_EQ(link.Acks()[0].label, 100);  // with its own label
    EXPECT_EQ(link.Acks()[1].label, 101);
    EXPECT_EQ(log.CountContaining("SendEx: received response before ACK"), 0u) << "an old response is no ACK";
    EXPECT_EQ(log.CountContaining("Sending ACK packet for old transaction (label=0x64, current=0x65)"), 1u);
}

TEST_F(TransportTest, CancelDuringResponseWait) {
    Use({.noResponse = true});
    CancellingPump pump(clock, cmd, start + 1000);
    EXPECT_FALSE(Send());
    EXPECT_TRUE(cmd.CancelWait);
    EXPECT_LT(Elapsed(), 1500);
    EXPECT_EQ(log.CountContaining("SendEx: failed to receive response frame from target '" + kMac + "'.", kvr::LEVEL_WARNING),
              1u);
    // The next request starts with the flag cleared.
    link.Device().SetFaults({});
    kvr::SetEventPump(nullptr);
    EXPECT_TRUE(Send());
}

TEST_F(TransportTest, CancelBetweenAttemptsStopsResending) {
    Use({.mute = true});
    CancellingPump pump(clock, cmd, 0);
    EXPECT_FALSE(Send());
    EXPECT_EQ(link.sent.size(), 1u);
}

TEST_F(TransportTest, FailedWritesAreRetriedAndLogged) {
    Use();
    link.failWrites = 2;
    EXPECT_TRUE(Send());
    EXPECT_EQ(log.CountContaining("SendEx: failed call to WriteNDIS!", kvr::LEVEL_ERROR), 2u);
    link.failWrites = 100;
    EXPECT_FALSE(Send());
    EXPECT_EQ(log.CountContaining("SendEx: failed call to WriteNDIS!", kvr::LEVEL_ERROR), 8u);
}

// An adapter whose reads fail at once (it vanished, the library failed).
class DeadReads : public kvr::test::SimLink {
public:
    using SimLink::SimLink;
    bool Read(std::int32_t, kvr::SnapFrame&) override {
        ++reads;
        return false;
    }
};

TEST(TransportDeadAdapter, WaitsEndInTimeWithoutSpinning) {
    kvr::FakeClock clock;
    DeadReads link(clock);
    kvr::test::LogRecorder log;
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
        Use({.responseBeforeAck = early, .responseCode = 0x20});
        link.sent.clear();
        log.Clear();
        start = clock.NowMs();
        EXPECT_FALSE(cmd.SendEx(5, kMac, 1, request.GetLength(), data, resp, &bar));
        EXPECT_LT(Elapsed(), 1000) << "no 4-second wait for an answer that already came";
        EXPECT_EQ(link.Requests().size(), 1u) << "a refused write is not re-sent";
        EXPECT_EQ(log.CountContaining("ReadSNAP: ResponseCode error 0x20: the complete write frame has been ignored",
                            kvr::LEVEL_ERROR),
                  1u)
            << log.Dump();
        EXPECT_EQ(log.CountContaining("failed to receive"), 0u);
        EXPECT_EQ(bar.Value(), bar.Max());
        clock.Advance(1000);
    }
    // The same code on a read's response is no refusal of anything.
    Use({.responseCode = 0x20});
    EXPECT_TRUE(Send());
    EXPECT_EQ(log.CountContaining("Unknown response code for frame type 2", kvr::LEVEL_WARNING), 1u);

    Use({.responseCode = 0x20}, true);
    EXPECT_FALSE(cmd.SendExCustom(5, kMac, 1, request.GetLength(), data, resp, nullptr, 3, 0.2f));
    start = clock.NowMs();
    EXPECT_FALSE(cmd.SendDownloadFrame(5, kMac, 1, request.GetLength(), data, resp, nullptr, 30, true, false));
    EXPECT_LT(Elapsed(), 1000);
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: operation failed.", kvr::LEVEL_WARNING), 1u);
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
    Use({.delayMs = 20, .responseDelayMs = 2480, .answerOnAttempt = 2});
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
    Use({.mute = true});
    EXPECT_FALSE(cmd.SendExCustom(5, kMac, 1, request.GetLength(), data, resp, &bar, 3, 0.5f));
    EXPECT_EQ(link.sent.size(), 3u);
    EXPECT_EQ(link.sent[0].label, link.sent[2].label);
    EXPECT_EQ(link.sent[0].frameType, 1);
    EXPECT_GE(Elapsed(), 1500);
    EXPECT_EQ(bar.Max(), 7);
    EXPECT_EQ(bar.Value(), 7);
    EXPECT_EQ(log.CountContaining("SendExCustom: failed to receive ACK from target (hNIC=0x5, MAC='" + kMac + "')",
                        kvr::LEVEL_WARNING),
              3u);

    link.Device().SetFaults({.responseBeforeAck = true});
    EXPECT_TRUE(cmd.SendExCustom(5, kMac, 1, request.GetLength(), data, resp, nullptr, 3, 0.5f));
    EXPECT_EQ(log.CountContaining("SendExCustom: received response before ACK"), 1u);

    // A response time-out is not logged by this form.
    link.Device().SetFaults({.noResponse = true});
    log.Clear();
    EXPECT_FALSE(cmd.SendExCustom(5, kMac, 1, request.GetLength(), data, resp, nullptr, 2, 0.2f));
    EXPECT_EQ(log.CountContaining("failed to receive response"), 0u);

    link.failWrites = 1;
    link.Device().SetFaults({});
    EXPECT_TRUE(cmd.SendExCustom(-1, kMac, 1, request.GetLength(), data, resp, nullptr, 2, 0.2f));
    EXPECT_EQ(log.CountContaining("SendExCustom: WriteNDIS failed (hNIC=0xFFFFFFFF, MAC='" + kMac + "')", kvr::LEVEL_WARNING),
              1u);
}

TEST_F(TransportTest, SendEx2OpensAndClosesTheAdapter) {
    Use();
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
    EXPECT_TRUE(log.Has("SendEx2: OpenNdisDeviceByDesc failed for NIC 'no such adapter'.", kvr::LEVEL_ERROR,
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
    // A device in download mode; `mac` 0 is the target.
    kvr::sim::DeviceConfig InDownloadMode(unsigned mac, unsigned delayMs, unsigned responseDelayMs) {
        kvr::sim::DeviceConfig d = Config({.delayMs = delayMs, .responseDelayMs = responseDelayMs}, true);
        if (mac) d.mac = kvr::test::SimMac(mac);
        return d;
    }
};

TEST_F(DownloadFrameTest, MulticastAcceptsOnlyTheTarget) {
    link.AddDevice(InDownloadMode(0x999999, 5, 5));  // answers before the target
    link.AddDevice(InDownloadMode(0, 20, 20));
    EXPECT_TRUE(SendFrame(true, true)) << log.Dump();
    ASSERT_FALSE(link.sent.empty());
    EXPECT_EQ(link.sent[0].dest, "0107F5000100");
    EXPECT_EQ(resp->srcMAC, kMac);
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: received ACK from device '0007F5999999'; expected ACK from device '" +
                            kMac + "'",
                        kvr::LEVEL_DETAIL),
              1u);
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: received response from device '0007F5999999'"), 0u);
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: successfully sent download frame to target, label 0x" +
                            kvr::HexUpper(static_cast<std::uint32_t>(CurrentLabel())),
                        kvr::LEVEL_DETAIL),
              1u);
}

TEST_F(DownloadFrameTest, OtherDevicesResponseDuringTheWaitIsSkipped) {
    link.AddDevice(InDownloadMode(0, 20, 480));         // ACK at 20 ms, response at 500 ms
    link.AddDevice(InDownloadMode(0x999999, 300, 10));  // both in between
    EXPECT_TRUE(SendFrame(true, true)) << log.Dump();
    EXPECT_EQ(resp->srcMAC, kMac);
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: received response from device '0007F5999999'; expected response from "
                        "device '" + kMac + "'",
                        kvr::LEVEL_TRACE),
              1u);
}

TEST_F(DownloadFrameTest, AckWithoutDownloadModeIsRejected) {
    Use();  // download-mode bit clear
    EXPECT_FALSE(SendFrame(true, false));
    EXPECT_EQ(link.Requests().size(), 6u);
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: ACK from target " + kMac +
                            " indicates that it is not in download mode when app expects download mode.",
                        kvr::LEVEL_TRACE),
              12u);  // each attempt: the ACK, then the response taken in its place
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: re-sending download packet and re-using label (label=0x", kvr::LEVEL_WARNING),
              5u);
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: failed to receive ACK (label=0x" + kvr::HexUpper(static_cast<std::uint32_t>(CurrentLabel())) +
                            ")!  AckTimeout=0.2.  Exiting abnormally.",
                        kvr::LEVEL_WARNING),
              6u)
        << log.Dump();
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: operation failed.", kvr::LEVEL_WARNING), 1u);
    // Each attempt waited AckTimeout + 0.2 s.
    EXPECT_GE(Elapsed(), 6 * 400);

    // Not a download frame: the same device is fine.
    EXPECT_TRUE(SendFrame(false, false));
}

TEST_F(DownloadFrameTest, ResponseWithoutDownloadModeIsRejected) {
    Use({.responseLosesDownloadModeBit = true}, true);  // response says: not in download mode
    EXPECT_FALSE(SendFrame(true, false, 2));
    EXPECT_GE(log.CountContaining("SendDownloadFrame: response from target " + kMac + " indicates that it is not in download mode.",
                        kvr::LEVEL_TRACE),
              1u);
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: cResponse.ReadResponseFrame failed all retries.  Response Timeout=2.  "
                        "Exiting abnormally.",
                        kvr::LEVEL_WARNING),
              1u);
    EXPECT_GE(Elapsed(), 2000);
    EXPECT_EQ(bar.Max(), 10);
    EXPECT_EQ(bar.Value(), 10);
}

TEST_F(DownloadFrameTest, ResponseBeforeAckAndSlowErase) {
    Use({.responseBeforeAck = true}, true);
    EXPECT_TRUE(SendFrame(true, false));
    EXPECT_EQ(log.CountContaining("SendDownloadFrame: received response before ACK"), 1u);

    // A start frame whose response comes after a long erase.
    link.Device().SetFaults({.responseDelayMs = 45000});
    start = clock.NowMs();
    EXPECT_TRUE(SendFrame(true, false, 60));
    EXPECT_GE(Elapsed(), 45000);
    EXPECT_EQ(link.Requests().size(), 2u) << "no re-send while waiting for the response";
}

TEST_F(DownloadFrameTest, CancelDuringTheResponseWait) {
    Use({.noResponse = true}, true);
    CancellingPump pump(clock, cmd, start + 2000);
    EXPECT_FALSE(SendFrame(true, false, 30));
    EXPECT_LT(Elapsed(), 3500);
}

}  // namespace
