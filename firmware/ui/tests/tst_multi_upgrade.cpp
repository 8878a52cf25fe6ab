// Window tests of the several-device upgrade, offscreen, against simulated
// devices on a private virtual segment: one click upgrades every device the
// file fits, a failed row is retried on its own, and nothing closes the
// window while a download runs.
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HexText.h"
#include "RefreshNicPool.h"
#include "SimLink.h"
#include "SimSegments.h"
#include "TempAppDir.h"
#include "UiTestSupport.h"
#include "clsDiscover.h"
#include "clsZarnPool.h"
#include "frmMultiUpgrade.h"
#include "sim/QfwMaker.h"
#include "sim/Simulator.h"

using namespace kvr;

class MultiUpgradeTest : public QObject {
    Q_OBJECT

    test::TempAppDir m_app;
    test::SkipSleepClock m_clock{10};  // the protocol's pauses pass at once
    int m_case = 0;

    template <class W>
    static W* Child(QWidget& w, const char* name) {
        return w.findChild<W*>(name) ? w.findChild<W*>(name) : (qFatal("no widget %s", name), nullptr);
    }
    static QString Text(QTableWidget* t, int row, int column) { return t->item(row, column)->text(); }
    static QPushButton* RetryButton(QTableWidget* t, int row) {
        return static_cast<QPushButton*>(t->cellWidget(row, frmMultiUpgrade::COL_RETRY));
    }

private slots:
    void initTestCase() {
        test::UsePrivateAppDirectory(m_app.Path());
        SetClock(&m_clock);
    }
    void cleanupTestCase() { SetClock(nullptr); }

    // kinds, a letter per device: c clean, r refuses its third chunk (once),
    // v has left the segment when Start is pressed and is back before Retry.
    // expected: u upgraded, f failed (then retried, and upgraded), - left out.
    void upgradeFromOneClick_data() {
        QTest::addColumn<QString>("kinds");
        QTest::addColumn<int>("fileHardware");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one of three refuses a chunk") << "crc" << 1 << "ufu";
        QTest::newRow("one has left the segment") << "vcc" << 1 << "fuu";
        QTest::newRow("the file fits none") << "cc" << 2 << "--";
    }

    void upgradeFromOneClick() {
        QFETCH(QString, kinds);
        QFETCH(int, fileHardware);
        QFETCH(QString, expected);
        test::SimSegments segments("mu");
        std::vector<sim::DeviceConfig> configs;
        for (int i = 0; i < kinds.size(); ++i) {
            sim::DeviceConfig d = test::SimDevice(0x0E1000 + static_cast<unsigned>(i), "Site " + std::to_string(i));
            d.restartMs = 0, d.eraseMs = 0;
            if (kinds[i] == 'r') d.faults.chunk = {sim::StepFault::Action::Refuse, false, 6}, d.faults.chunkAt = 3;
            configs.push_back(d);
        }
        sim::Simulator* sim = segments.Start("s" + std::to_string(++m_case), configs);
        QVERIFY(sim);
        QVERIFY(RefreshNicPool() >= 1);
        std::shared_ptr<clsZarnPool> found;
        QVERIFY(clsDiscover().DiscoverAllZarns(0, found, nullptr, nullptr, 1) && found);
        std::vector<std::shared_ptr<clsZarn>> devices;  // in the order of the kinds
        for (const auto& c : configs)
            for (const auto& z : found->colZarn)
                if (SameMac(z->MAC, sim::MacText(c.mac))) devices.push_back(z);
        QCOMPARE(devices.size(), configs.size());
        for (int i = 0; i < kinds.size(); ++i)
            if (kinds[i] == 'v') QVERIFY(sim->Vanish(configs[i].mac));

        sim::QfwSpec spec;
        spec.hardwareId = static_cast<std::int16_t>(fileHardware), spec.image1 = sim::QfwFiller(20000, 1);
        const std::string file = m_app.File("fw" + std::to_string(m_case) + ".qfw");
        QVERIFY(sim::WriteQfwFile(file, sim::MakeQfw(spec), nullptr));

        frmMultiUpgrade w(devices, nullptr, 8);
        w.show();
        auto* table = Child<QTableWidget>(w, "tblDevices");
        auto* start = Child<QPushButton>(w, "cmdStart");
        auto* close = Child<QPushButton>(w, "cmdClose");
        const bool fitsAny = expected.contains('u');
        QCOMPARE(w.SetFile(file), fitsAny);
        QCOMPARE(start->isEnabled(), fitsAny);
        for (int r = 0; r < kinds.size(); ++r) {
            QCOMPARE(Text(table, r, frmMultiUpgrade::COL_CURRENT), QString("256.515"));
            QCOMPARE(Text(table, r, frmMultiUpgrade::COL_NEW), QString("256.516"));
            QCOMPARE(Text(table, r, frmMultiUpgrade::COL_FITS).startsWith("yes"), fitsAny);
        }
        if (!fitsAny) {
            QVERIFY(Child<QLabel>(w, "lblNotice")->text().contains("fits none"));
            QCOMPARE(Text(table, 0, frmMultiUpgrade::COL_FITS), QString("no: its hardware is 1.1, the file is for 2.1"));
            QTest::mouseClick(start, Qt::LeftButton);
            QVERIFY(!w.Model().Downloading());
            for (const auto& c : configs) QCOMPARE(sim->Counters(c.mac).chunksReceived, std::uint64_t(0));
            return;
        }

        QTest::mouseClick(start, Qt::LeftButton);
        QVERIFY(w.Model().Downloading());
        // Nothing interrupts the downloads: Escape, the close button and Close are refused.
        QTest::keyClick(&w, Qt::Key_Escape);
        w.close();
        QTest::mouseClick(close, Qt::LeftButton);
        QVERIFY(w.isVisible());
        QVERIFY(Child<QLabel>(w, "lblNotice")->text().contains("closes once every download has ended"));
        QTRY_VERIFY_WITH_TIMEOUT(close->isEnabled(), 60000);

        const auto check = [&](const QString& outcomes) {
            for (int r = 0; r < kinds.size(); ++r) {
                const bool upgraded = outcomes[r] == 'u';
                const QString result = Text(table, r, frmMultiUpgrade::COL_RESULT);
                QVERIFY2(upgraded ? result == "upgraded, now runs 256.516" : result.size() > 20 &&
                                                                                  result.startsWith("failed: "),
                         qPrintable(result));
                QCOMPARE(Text(table, r, frmMultiUpgrade::COL_CURRENT), QString(upgraded ? "256.516" : "256.515"));
                QCOMPARE(sim->State(configs[r].mac).firmwareVersion, upgraded ? 0x0204u : 0x0203u);
                QCOMPARE(RetryButton(table, r)->isVisible(), !upgraded);
            }
        };
        check(expected);
        QVERIFY(Child<QLabel>(w, "lblNotice")->text().startsWith(QString::number(kinds.size() - 1) + " upgraded, 1 failed"));
        const int failed = static_cast<int>(expected.indexOf('f'));
        if (kinds[failed] == 'v') QVERIFY(sim->Appear(configs[failed].mac));
        QTest::mouseClick(RetryButton(table, failed), Qt::LeftButton);
        QVERIFY(!close->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(close->isEnabled(), 60000);
        check(QString(kinds.size(), 'u'));
        QTest::mouseClick(close, Qt::LeftButton);
        QVERIFY(!w.isVisible());
    }
};

QTEST_MAIN(MultiUpgradeTest)
#include "tst_multi_upgrade.moc"
