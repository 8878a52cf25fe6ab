// Window tests of the firmware wizard, offscreen: from the choice of a file
// to the result page, Cancel and the close keys, and an adapter that cannot
// be opened. File dialog, integrity check and download are fakes.
#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "RecordingPrompter.h"
#include "TempAppDir.h"
#include "FirmwareWizardBinding.h"
#include "RefreshNicPool.h"
#include "SimSegments.h"
#include "UiTestSupport.h"
#include "clsDiscover.h"
#include "sim/Simulator.h"
#include "SimLink.h"
#include "UiResources.h"
#include "clsZarn.h"
#include "frmFirmwareWizard.h"
#include "sim/QfwMaker.h"

using namespace kvr;

class FirmwareWizardTest : public QObject {
    Q_OBJECT

    test::TempAppDir m_app;
    FakeClock m_clock;
    test::SimLink m_link{m_clock};  // the adapter the wizard opens
    std::vector<std::string> m_helpTopics;

    std::shared_ptr<clsZarn> Device() {
        auto z = std::make_shared<clsZarn>();
        z->Name = "Kitchen", z->MAC = "0007F5000001", z->NICName = "KVR virtual segment test";
        z->IsFirmwareIdValid = true, z->FirmwareID = 0x200, z->FirmwareVersion = 1;
        return z;
    }
    FirmwareWizardServices Services(std::function<FirmwareDownloadResult(const FirmwareDownloadRequest&)> dl) {
        FirmwareWizardServices s;
        s.ChooseFile = [this](auto&&...) { return m_app.File("fw.qfw"); };
        const auto yes = [](auto&&...) { return true; };
        s.VerifyIntegrity = yes, s.IsHardwareCompatible = yes;
        s.Download = std::move(dl);
        s.ShowHelp = [this](const std::string& topic) { m_helpTopics.push_back(topic); };
        return s;
    }
    template <class W>
    static W* Child(QWidget& w, const char* name) {
        return w.findChild<W*>(name) ? w.findChild<W*>(name) : (qFatal("no widget %s", name), nullptr);
    }

private slots:
    void initTestCase() {
        QVERIFY(sim::WriteQfwFile(m_app.File("fw.qfw"), sim::MakeQfw({.swid = 0x100, .swVersion = 7}), nullptr));
    }
    void init() { m_link.openOk = true, m_link.closes = 0, m_helpTopics.clear(); }

    void fileChoiceToResultPage() {
        test::RecordingPrompter prompter(PromptAnswer::Yes);
        bool escapeIgnored = false;
        frmFirmwareWizard* self = nullptr;
        auto download = [&](const FirmwareDownloadRequest& req) {
            req.pgbUpload->SetMax(4);
            req.pgbUpload->SetValue(3);
            QTest::keyClick(self, Qt::Key_Escape);  // nothing interrupts the upload
            escapeIgnored = self->isVisible() && prompter.questions.empty() &&
                            !Child<QPushButton>(*self, "cmdCancel")->isEnabled();
            return FirmwareDownloadResult{true, "", "256.7", true};
        };
        frmFirmwareWizard w(Services(download));
        self = &w;
        QVERIFY(w.Init(Device()));
        w.show();
        auto* pages = Child<QStackedWidget>(w, "stkPages");
        QCOMPARE(pages->currentWidget()->objectName(), QString("fraStep1"));
        QCOMPARE(Child<QLabel>(w, "ZarnLabel")->text(), QString("Kitchen (0007F5000001)"));
        QVERIFY(!Child<QLabel>(w, "picStep")->pixmap().isNull());
        QTest::keyClick(&w, Qt::Key_F1);
        QCOMPARE(m_helpTopics, std::vector<std::string>{"firmware"});

        QTest::mouseClick(Child<QPushButton>(w, "cmdNext"), Qt::LeftButton);
        QCOMPARE(pages->currentWidget()->objectName(), QString("fraStep2"));
        QCOMPARE(Child<QLabel>(w, "lblNewFirmwareVersion")->text(), QString("256.7"));
        QCOMPARE(Child<QLabel>(w, "lblCurrentFirmwareVersion")->text(), QString("512.1"));
        QVERIFY(Child<QLabel>(w, "lblWarnings")->text().startsWith(ResText(4034)));

        QTest::mouseClick(Child<QPushButton>(w, "cmdNext"), Qt::LeftButton);
        QVERIFY(escapeIgnored);
        QCOMPARE(pages->currentWidget()->objectName(), QString("fraStep3"));
        QCOMPARE(Child<QProgressBar>(w, "pgbUpload")->value(), 3);
        auto* finish = Child<QPushButton>(w, "cmdFinish");
        QVERIFY(finish->isVisible() && finish->isEnabled());
        QVERIFY(!Child<QPushButton>(w, "cmdNext")->isVisible());
        QTest::mouseClick(finish, Qt::LeftButton);
        QVERIFY(!w.isVisible());
        QCOMPARE(w.result(), int(QDialog::Accepted));
        QCOMPARE(m_link.closes, 1);  // the adapter Init opened
        QVERIFY(prompter.questions.empty());
    }

    // Two failed downloads with a notice, then a device not back in time: the notice once, no "upgraded".
    void retriedDownloadThenVersionUnknown() {
        test::RecordingPrompter prompter(PromptAnswer::Yes);
        int calls = 0;
        frmFirmwareWizard w(Services([&](auto&&) { return FirmwareDownloadResult{++calls == 3, "Notice", "", false}; }));
        QVERIFY(w.Init(Device()));
        w.show();
        for (int i = 0; i < 3; ++i) QTest::mouseClick(Child<QPushButton>(w, "cmdNext"), Qt::LeftButton);
        QCOMPARE(Child<QLabel>(w, "lblUploadStatus")->text(), ResText(4063));
        QVERIFY(Child<QLabel>(w, "lblWarnings")->text().startsWith("Notice\n\n" + ResText(4034)));
        QTest::mouseClick(Child<QPushButton>(w, "cmdNext"), Qt::LeftButton);
        QCOMPARE(Child<QLabel>(w, "lblResult")->text(), ResText(4062));
        QVERIFY(!Child<QLabel>(w, "lblSuccess")->isVisible());
    }

    void cancelAsksAndCloses() {
        test::RecordingPrompter no(PromptAnswer::No);
        frmFirmwareWizard w(Services(nullptr));
        QVERIFY(w.Init(Device()));
        w.show();
        w.close();  // the close button
        QTest::keyClick(&w, Qt::Key_Escape);
        QVERIFY(w.isVisible());
        QCOMPARE(no.questions.size(), std::size_t(2));
        QCOMPARE(no.questions[0].text, ResString(3140));

        test::RecordingPrompter yes(PromptAnswer::Yes);
        QTest::mouseClick(Child<QPushButton>(w, "cmdCancel"), Qt::LeftButton);
        QVERIFY(!w.isVisible());
        QCOMPARE(w.result(), int(QDialog::Rejected));
    }

    // The real check and download against a simulated device: it restarts
    // with the file's version, which page 4 names.
    void realDownloadToASimulatedDevice() {
        test::SimSegments segments("fw");
        test::UsePrivateAppDirectory(m_app.Path());
        SetSnapLink(nullptr);
        test::SkipSleepClock clock(10);  // listening windows end with their first empty read
        SetClock(&clock);
        sim::DeviceConfig d;
        d.restartMs = 50, d.eraseMs = 0;
        QVERIFY(segments.Start("", {d}));
        QVERIFY(RefreshNicPool() >= 1);
        std::shared_ptr<clsZarnPool> found;
        QVERIFY(clsDiscover().DiscoverAllZarns(0, found, nullptr, nullptr, 1) && found && found->Count() == 1);
        sim::QfwSpec spec;
        spec.image1 = sim::QfwFiller(5000, 1), spec.cne = sim::QfwFiller(300, 2);
        QVERIFY(sim::WriteQfwFile(m_app.File("real.qfw"), sim::MakeQfw(spec), nullptr));
        FirmwareWizardServices s = FirmwareDownloadServices();
        s.ChooseFile = [this](auto&&...) { return m_app.File("real.qfw"); };
        test::RecordingPrompter prompter;
        {
            frmFirmwareWizard w(s);
            QVERIFY(w.Init(found->colZarn.front()));
            w.show();
            QTest::mouseClick(Child<QPushButton>(w, "cmdNext"), Qt::LeftButton);
            QTest::mouseClick(Child<QPushButton>(w, "cmdNext"), Qt::LeftButton);
            QCOMPARE(Child<QLabel>(w, "lblResult")->text(), QString("The KVR now runs firmware version 256.516."));
        }
        QVERIFY(prompter.questions.empty());
        SetClock(&m_clock);
        SetSnapLink(&m_link);
    }

    void adapterThatCannotBeOpened() {
        test::RecordingPrompter prompter;
        m_link.openOk = false;
        frmFirmwareWizard w(Services(nullptr));
        QVERIFY(!w.Init(Device()));
        QCOMPARE(prompter.questions.size(), std::size_t(1));
        QCOMPARE(prompter.questions[0].text, ResString(4019) + "KVR virtual segment test");
        QCOMPARE(prompter.questions[0].title, ResString(4000));
    }
};

QTEST_MAIN(FirmwareWizardTest)
#include "tst_firmware_wizard.moc"
