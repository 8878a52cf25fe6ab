// The command progress dialog against simulated devices: a command and its
// answer, an adapter that cannot be opened, retries with their own time-out,
// the restart wait and Cancel.
#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Globals.h"
#include "QtSeams.h"
#include "RefreshNicPool.h"
#include "Rids.h"
#include "Seams.h"
#include "ZarniLibs.h"
#include "basDebug.h"
#include "clsNICpool.h"
#include "clsPayload.h"
#include "clsSnapResponse.h"
#include "clsZarn.h"
#include "frmCommand.h"
#include "frmMsg.h"
#include "SimSegments.h"
#include "UiTestSupport.h"
#include "sim/Simulator.h"

using namespace kvr;
using namespace kvr::test;
namespace fs = std::filesystem;


class ProgressDialogsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_appDir;
    // Ten times real time: a 1 s listening window ends with its first read
    // that finds nothing (100 ms); the simulator answers within milliseconds.
    SkipSleepClock m_clock{10};
    QtEventPump m_pump;
    LogRecorder m_log;
    SimSegments m_segments{"pd"};
    sim::Simulator* m_sim = nullptr;
    int m_case = 0;

    // One device on a new segment; returns the device as discovery would describe it.
    std::shared_ptr<clsZarn> StartDevice(const char* mac, const sim::Faults& faults = {}) {
        sim::DeviceConfig d;
        d.mac = sim::ParseMac(mac).value();
        d.name = "Target";
        d.faults = faults;
        const std::string tag = "c" + std::to_string(++m_case);
        m_sim = m_segments.Start(tag, {d});
        if (!m_sim) return nullptr;
        if (RefreshNicPool() < 1) return nullptr;
        auto z = std::make_shared<clsZarn>();
        z->MAC = sim::MacText(d.mac);
        z->ProtocolVersion = 8;
        for (const auto& nic : NicPool().colNIC)
            if (nic->Name.find(m_segments.Segment(tag)) != std::string::npos) z->NICName = nic->Name;
        return z->NICName.empty() ? nullptr : z;
    }

    std::uint64_t CommandsReceived(const char* mac) const {
        const auto c = m_sim->Counters(sim::ParseMac(mac).value());
        return c.requestsReceived - c.discoveryRequests;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_appDir.isValid());
        UsePrivateAppDirectory(m_appDir.path().toStdString());
        SetClock(&m_clock);
        SetEventPump(&m_pump);
        G().StatusWindowSlot0 = &m_log;
        frmMsg::SetNeverBlock(true);
    }

    void cleanupTestCase() {
        G().StatusWindowSlot0 = nullptr;
        SetClock(nullptr);
        SetEventPump(nullptr);
        DestroyMessageWindow();
    }

    void init() { m_log.lines.clear(); }

    void cleanup() {
        m_segments.StopAll();
        m_sim = nullptr;
    }

    void sendsACommandAndHandsBackTheAnswer() {
        auto z = StartDevice("00:07:F5:00:05:01");
        QVERIFY(z);
        clsPayload payload;
        payload.AddRID(RID_DEVICE_NAME);
        std::shared_ptr<clsSnapResponse> response;
        frmCommand dialog;
        QVERIFY(dialog.InitSend(*z, payload, 0, response, false));
        QVERIFY(response);
        std::string name;
        QVERIFY(response->GetRIDFieldAsString(RID_DEVICE_NAME, name));
        QCOMPARE(name, std::string("Target"));
        QCOMPARE(CommandsReceived("00:07:F5:00:05:01"), std::uint64_t{1});
        QVERIFY(!dialog.isVisible());
    }

    void restartWaitFindsTheDeviceAgain() {
        auto z = StartDevice("00:07:F5:00:05:02");
        QVERIFY(z);
        clsPayload payload;
        payload.AddRID(RID_DEVICE_NAME);
        std::shared_ptr<clsSnapResponse> response;
        frmCommand dialog;
        QVERIFY(dialog.InitSend(*z, payload, 0, response, true));
        QVERIFY(m_sim->Counters(sim::ParseMac("00:07:F5:00:05:02").value()).discoveryRequests >= 1);
    }

    void adapterThatCannotBeOpenedShowsNoDialog() {
        clsZarn z;
        z.MAC = "0007F5000503";
        z.NICName = "no such adapter";
        clsPayload payload;
        payload.AddRID(RID_DEVICE_NAME);
        std::shared_ptr<clsSnapResponse> response;
        frmCommand dialog;
        bool shown = false;
        QTimer::singleShot(0, [&] { shown = QApplication::activeModalWidget() == &dialog; });
        QVERIFY(!dialog.InitSendCustom(z, payload, 0, response, 3, false, 1.0f));
        QCoreApplication::processEvents();
        QVERIFY(!shown);
        QVERIFY(m_log.Has("InitSendCustom: OpenNdisDeviceByDesc failed for NIC 'no such adapter'.", LEVEL_ERROR, "frmCommand"));
    }

    void retriesWithTheirOwnTimeOutThenTheRestartWaitFails() {
        sim::Faults mute;
        mute.mute = true;
        auto z = StartDevice("00:07:F5:00:05:04", mute);
        QVERIFY(z);
        clsPayload payload;
        payload.AddRID(RID_DEVICE_NAME);
        std::shared_ptr<clsSnapResponse> response;
        frmCommand dialog;
        QVERIFY(!dialog.InitSendCustom(*z, payload, 0, response, 3, true, 0.5f));
        QCOMPARE(CommandsReceived("00:07:F5:00:05:04"), std::uint64_t{3});
        QVERIFY(m_log.Has("Form_Activate: Zarn.ScanForZarn returned failure with 0.5 second wait.", LEVEL_WARNING, "frmCommand"));
    }

    void cancelEndsTheSend() {
        sim::Faults mute;
        mute.mute = true;
        auto z = StartDevice("00:07:F5:00:05:05", mute);
        QVERIFY(z);
        clsPayload payload;
        payload.AddRID(RID_DEVICE_NAME);
        std::shared_ptr<clsSnapResponse> response;
        frmCommand dialog;
        // Cancel once the first attempt has reached the device.
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (CommandsReceived("00:07:F5:00:05:05") == 0) return;
            poll.stop();
            if (auto* b = dialog.findChild<QPushButton*>("btCancel")) QTest::mouseClick(b, Qt::LeftButton);
        });
        poll.start();
        // Six attempts of 2 s each would take 12 s; Cancel ends it at the next poll.
        QVERIFY(!dialog.InitSendCustom(*z, payload, 0, response, 6, true, 2.0f));
        QVERIFY(CommandsReceived("00:07:F5:00:05:05") < 6);
        QVERIFY(z->CancelWait);
    }
};

QTEST_MAIN(ProgressDialogsTest)
#include "tst_progress_dialogs.moc"
