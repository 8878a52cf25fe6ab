// The command transport end to end: the real raw frame I/O and adapter
// library against simulated devices on a private virtual segment, in real
// time, or ten times faster where a fault makes the host wait out its
// time-outs (the device faults themselves are covered on the fake clock).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "Globals.h"
#include "Rids.h"
#include "Seams.h"
#include "SimSegments.h"
#include "SnapLink.h"
#include "LogRecorder.h"
#include "SkipSleepClock.h"
#include "ZarniLibs.h"
#include "clsPayload.h"
#include "clsSnapCommand.h"
#include "modSNAP.h"
#include "modZarniSupp.h"
#include "sim/Simulator.h"

namespace {

using kvr::sim::Faults;

const kvr::sim::Mac kDev{0x00, 0x07, 0xF5, 0x5A, 0x00, 0x01};

class SimTransport : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(std::string(KVR_BUNDLE_DIR) + "/libzarnisupp.so"))
            GTEST_SKIP() << "libzarnisupp.so not built";
        kvr::SetSnapLink(nullptr);
        kvr::SetLibraryDirectory(KVR_BUNDLE_DIR);
        kvr::ResetZarniSuppModule();
        G().ModifiedSnap = 0;
        G().AckTimeout = 0.2f;

        kvr::sim::DeviceConfig d;
        d.mac = kDev;
        d.name = "Bench";
        d.activeProfile = 1;
        d.eraseMs = 0;  // a download's start is answered at once
        std::string err;
        m_sim = m_segments.Start("", {d}, &err);
        ASSERT_NE(m_sim, nullptr) << err;
        ASSERT_GE(kvr::test::SimSegments::ScanAdapters(), 1);
        OpenNdisRaw();
        ASSERT_TRUE(OpenNdisDeviceByDesc(m_hNIC, m_segments.Nic("")));
    }
    void TearDown() override {
        kvr::SetClock(nullptr);
        if (m_hNIC != -1) CloseNdisRaw(m_hNIC);
        m_segments.StopAll();
        kvr::ResetZarniSuppModule();
    }

    // Labels of the requests the device received.
    std::vector<std::uint16_t> RequestLabels() {
        std::vector<std::uint16_t> out;
        for (const auto& f : m_sim->FrameLog(kDev))
            if (!f.outgoing && !f.dropped && f.kind <= 1) out.push_back(f.label);
        return out;
    }

    kvr::test::SimSegments m_segments{"snap"};
    kvr::sim::Simulator* m_sim = nullptr;
    kvr::test::SkipSleepClock m_faster{10};
    std::int32_t m_hNIC = -1;
    const std::string kMac = kvr::sim::MacText(kDev);
};

TEST_F(SimTransport, LateAckOfAnEarlierAttemptCounts) {
    // Every frame of the device leaves 300 ms late, beyond the 200 ms ACK
    // time-out: the first attempt's ACK arrives during the second attempt and,
    // carrying the same label, is accepted.
    Faults slow;
    slow.delayMs = 300;
    ASSERT_TRUE(m_sim->SetFaults(kDev, slow));
    clsPayload p;
    p.AddRID(RID_ACTIVE_PROFILE);
    std::vector<std::uint8_t> data = p.GetPayload();
    clsSnapCommand cmd;
    std::shared_ptr<clsSnapResponse> resp;
    kvr::test::LogRecorder log;
    EXPECT_TRUE(cmd.SendEx(m_hNIC, kMac, 0, p.GetLength(), data, resp)) << log.Dump();
    const auto labels = RequestLabels();
    EXPECT_GE(labels.size(), 2u);
    EXPECT_LE(labels.size(), 3u);
    EXPECT_GE(log.CountContaining("SendEx: failed to receive ACK from target"), 1u);
}

TEST_F(SimTransport, ProtocolVersionEightAndVersionMismatch) {
    kvr::SetClock(&m_faster);
    clsPayload p;
    p.AddRID(RID_DEVICE_NAME);
    std::vector<std::uint8_t> data = p.GetPayload();
    clsSnapCommand cmd;
    cmd.ProtocolVersion = 8;
    std::shared_ptr<clsSnapResponse> resp;
    kvr::test::LogRecorder log;
    ASSERT_TRUE(cmd.SendEx(m_hNIC, kMac, 0, p.GetLength(), data, resp)) << log.Dump();
    std::string name;
    EXPECT_TRUE(resp->GetRIDFieldAsString(RID_DEVICE_NAME, name));
    EXPECT_EQ(name, "Bench");
    EXPECT_EQ(resp->srcMAC, kMac);

    // A device that always answers in version 0 is never accepted for version 8.
    kvr::sim::DeviceConfig old;
    old.mac = {0x00, 0x07, 0xF5, 0x5A, 0x00, 0x02};
    old.replyVersion = 0;
    std::string err;
    ASSERT_TRUE(m_sim->AddDevice(old, &err)) << err;
    ASSERT_TRUE(kvr::test::WaitFor([&] { return m_sim->State(old.mac).attached; }));
    EXPECT_FALSE(cmd.SendEx(m_hNIC, kvr::sim::MacText(old.mac), 0, p.GetLength(), data, resp));
    EXPECT_GE(log.CountContaining("ReadSNAP: protocol version 0x0 was returned from the target.  0x8 expected.",
                        kvr::LEVEL_WARNING),
              6u);
}

TEST_F(SimTransport, RefusedWriteIsAFailure) {
    Faults refuse;
    refuse.responseCode = 0x20;
    ASSERT_TRUE(m_sim->SetFaults(kDev, refuse));
    clsPayload p;
    p.AddString(RID_DEVICE_NAME, "Renamed", 34);
    std::vector<std::uint8_t> data = p.GetPayload();
    clsSnapCommand cmd;
    std::shared_ptr<clsSnapResponse> resp;
    kvr::test::LogRecorder log;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(cmd.SendEx(m_hNIC, kMac, 1, p.GetLength(), data, resp));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(log.CountContaining("ReadSNAP: the received packet will not be processed.", kvr::LEVEL_ERROR), 1u)
        << log.Dump();
}

TEST_F(SimTransport, DownloadFramesNeedTheTargetInDownloadMode) {
    kvr::SetClock(&m_faster);
    clsPayload p;
    p.AddLenRIDBlock(4, RID_START_QFW_DOWNLOAD);
    p.AddLongNoRID(1000);
    p.AddIntNoRID(1);
    std::vector<std::uint8_t> data = p.GetPayload();
    clsSnapCommand cmd;
    std::shared_ptr<clsSnapResponse> resp;
    kvr::test::LogRecorder log;

    // Not in download mode: every ACK is refused.
    EXPECT_FALSE(cmd.SendDownloadFrame(m_hNIC, kMac, 1, p.GetLength(), data, resp, nullptr, 2, true, false));
    EXPECT_EQ(RequestLabels().size(), 6u);
    EXPECT_GE(log.CountContaining("indicates that it is not in download mode when app expects download mode."), 6u);

    ASSERT_TRUE(m_sim->SetDownloadMode(kDev, true));
    m_sim->ClearLogs();
    EXPECT_TRUE(cmd.SendDownloadFrame(m_hNIC, kMac, 1, p.GetLength(), data, resp, nullptr, 2, true, true))
        << log.Dump();
    EXPECT_TRUE(resp->downloadMode);
    EXPECT_EQ(resp->srcMAC, kMac);
}

}  // namespace
