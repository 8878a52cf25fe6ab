// Window tests of the main window and the discovery dialog against simulated
// devices on a private virtual segment, each case with its own segment and
// the whole process with its own application directory.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QHeaderView>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Globals.h"
#include "RefreshNicPool.h"
#include "Seams.h"
#include "ZarniLibs.h"
#include "basDebug.h"
#include "clsNICpool.h"
#include "clsZarnPool.h"
#include "frmDiscover.h"
#include "frmMsg.h"
#include "frmZarni.h"
#include "FirmwareWizardBinding.h"
#include "ProfileEditor.h"
#include "RecordingPrompter.h"
#include "frmFirmwareWizard.h"
#include "sim/QfwMaker.h"
#include "QtSeams.h"
#include "UiResources.h"
#include "sim/SimFrame.h"
#include "SimSegments.h"
#include "UiTestSupport.h"
#include "sim/Simulator.h"

using namespace kvr;
using namespace kvr::test;
using kvr::profiles::CommandProfileExchange;
using kvr::profiles::ProfileEditor;
namespace fs = std::filesystem;

namespace {

sim::DeviceConfig Device(const char* mac, const char* name) {
    sim::DeviceConfig d;
    d.mac = sim::ParseMac(mac).value();
    d.name = name;
    return d;
}

// The scheduler's steps come every second (checked in captionControlsAndHelp);
// the runs here let them follow each other at once.
void StepWithoutPause(frmZarni& w) { w.AutomationTimer()->setInterval(1); }

sim::Profile NamedProfile(const std::string& name) {
    sim::Profile p;
    p.name = name;
    p.ssid = "net";
    return p;
}

// What happens between two looks at the list.
enum class Change { Upgrade, ThirdAppears, OneLeaves, SortByName, SaveCsv, SaveJson, AddKvr, AddKvrTimesOut, ProfileWrite };

// The MACs of the list's rows (or of its selected rows), in the list's order.
QStringList Macs(QTreeWidget* list, bool selectedOnly) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (!selectedOnly || list->topLevelItem(i)->isSelected()) out << list->topLevelItem(i)->text(0);
    return out;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_appDir;
    // Ten times real time: a discovery window of 1 s ends with its first read
    // that finds nothing (100 ms); the simulator answers within milliseconds.
    SkipSleepClock m_clock{10};
    QtEventPump m_pump;
    LogRecorder m_log;
    SimSegments m_segments{"ui"};
    sim::Simulator* m_sim = nullptr;
    int m_case = 0;

    // Starts the simulator with these devices on a new segment and rebuilds the NIC pool.
    bool StartDevices(const std::vector<sim::DeviceConfig>& devices) {
        std::string err;
        m_sim = m_segments.Start("c" + std::to_string(++m_case), devices, &err);
        if (!m_sim) {
            qWarning("simulator: %s", err.c_str());
            return false;
        }
        return RefreshNicPool() >= 1;
    }

    static QTreeWidgetItem* ItemByMac(QTreeWidget* list, const QString& mac) {
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(0) == mac) return list->topLevelItem(i);
        return nullptr;
    }

    // Runs `act` on the discovery dialog once it has started its work (a
    // discovery request reached the simulator), polling every few ms.
    void WhenDiscovering(QObject* owner, const sim::Mac& mac, std::function<void(QWidget*)> act) {
        auto* poll = new QTimer(owner);
        poll->setInterval(5);
        connect(poll, &QTimer::timeout, poll, [this, poll, mac, act = std::move(act)] {
            auto* dialog = qobject_cast<frmDiscover*>(QApplication::activeModalWidget());
            if (!dialog || m_sim->Counters(mac).discoveryRequests == 0) return;
            poll->stop();
            act(dialog);
        });
        poll->start();
    }

    // Discovery requests the devices saw after `since` frames of the log, with their frame-type bytes.
    std::vector<std::uint8_t> DiscoveryTypeBytes(const sim::Mac& mac, std::size_t since) const {
        std::vector<std::uint8_t> types;
        const auto log = m_sim->FrameLog(mac);
        for (std::size_t i = since; i < log.size(); ++i) {
            if (log[i].outgoing || log[i].dropped) continue;
            const auto f = sim::ParseSnapFrame(log[i].bytes);
            if (f && f->dst == sim::kSnapMulticast) types.push_back(f->typeByte);
        }
        return types;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_appDir.isValid());
        UsePrivateAppDirectory(m_appDir.path().toStdString());
        SetClock(&m_clock);
        SetEventPump(&m_pump);  // lets Cancel act during the work
        G().StatusWindowSlot0 = &m_log;
        frmMsg::SetNeverBlock(true);  // "no devices" messages must not wait for a click
    }

    void cleanupTestCase() {
        G().StatusWindowSlot0 = nullptr;
        SetClock(nullptr);
        SetEventPump(nullptr);
        DestroyMessageWindow();
    }

    void init() {
        m_log.lines.clear();
        G().AutomationMode = false;
        G().ModifiedSnap = 0;
    }

    void cleanup() {
        m_segments.StopAll();
        m_sim = nullptr;
        ZarnPool().Clear();
    }

    void listsDevicesWithTheirTexts() {
        auto a = Device("00:07:F5:00:00:0A", "Kitchen");
        a.rssi = 26;
        a.ip = {192, 168, 1, 20};
        a.profiles = {NamedProfile("Default"), NamedProfile("Office"), NamedProfile("profile 2")};
        a.activeProfile = 2;
        auto b = Device("00:07:F5:00:00:0B", "Loader");
        b.downloadMode = true;
        b.rssi = 15;
        auto c = Device("00:07:F5:00:00:0C", "Patio");
        c.rssi = 2;
        c.autoIpBusy = true;
        c.profiles = {NamedProfile("Kitchen"), NamedProfile("Spare")};
        c.activeProfile = 0;
        auto d = Device("00:07:F5:00:00:0D", "Attic");
        d.rssi = -1;
        d.ip = {0, 0, 0, 0};
        QVERIFY(StartDevices({a, b, c, d}));

        frmZarni w;
        w.Form_Load();
        auto* list = w.findChild<QTreeWidget*>("lvZarn");
        QVERIFY(list);
        QCOMPARE(list->topLevelItemCount(), 4);
        QCOMPARE(w.findChild<QLabel*>("lblStatus")->text(), QString("4 Zarn Adapters found"));
        QCOMPARE(ZarnPool().Count(), std::size_t{4});

        QTreeWidgetItem* ia = ItemByMac(list, "00:07:F5:00:00:0A");
        QTreeWidgetItem* ib = ItemByMac(list, "00:07:F5:00:00:0B");
        QTreeWidgetItem* ic = ItemByMac(list, "00:07:F5:00:00:0C");
        QTreeWidgetItem* id = ItemByMac(list, "00:07:F5:00:00:0D");
        QVERIFY(ia && ib && ic && id);

        QCOMPARE(ia->text(1), QString("Kitchen"));
        QCOMPARE(ia->text(2), QString("192.168.1.20"));
        QCOMPARE(ia->text(3), QString("Excellent"));
        QCOMPARE(ia->text(4), QString("profile 2"));  // "Profile2" ignoring case and blanks
        QCOMPARE(ia->data(0, Qt::UserRole + 1).toString(), QString("ApplicationModeIcon"));

        QCOMPARE(ib->text(2), QString("DOWNLOAD MODE!"));
        QCOMPARE(ib->text(3), QString("Marginal"));
        QCOMPARE(ib->data(0, Qt::UserRole + 1).toString(), QString("DownloadModeIcon"));
        QVERIFY(!ib->icon(0).isNull());

        QCOMPARE(ic->text(2), QString("Assignment in Progress"));
        QCOMPARE(ic->text(3), QString("Poor"));
        QCOMPARE(ic->text(4), QString("Profile 0: Kitchen"));

        QCOMPARE(id->text(2), QString("Invalid IP address"));
        QCOMPARE(id->text(3), QString("Not applicable"));

        // The first device is selected; an application-mode device may have its
        // profiles edited, one in download mode only its firmware replaced.
        auto* profiles = w.findChild<QPushButton*>("cmdProfiles");
        auto* firmware = w.findChild<QPushButton*>("cmdFirmware");
        QCOMPARE(list->currentItem(), list->topLevelItem(0));
        list->setCurrentItem(ib);
        w.lvZarn_ItemClick(ib);
        QVERIFY(!profiles->isEnabled());
        QVERIFY(firmware->isEnabled());
        // A row finds its device by the key it keeps, not by what it shows.
        QCOMPARE(ib->data(0, Qt::UserRole).toString(), QString("0007F500000B"));
        ib->setText(0, "shown differently");
        firmware->setEnabled(false);
        w.lvZarn_ItemClick(ib);
        QVERIFY(firmware->isEnabled());
        list->setCurrentItem(ia);
        w.lvZarn_ItemClick(ia);
        QVERIFY(profiles->isEnabled());
        QVERIFY(firmware->isEnabled());

        // The firmware wizard shares the pool's device, which outlives a rediscovery.
        std::shared_ptr<clsZarn> opened;
        w.SetFirmwareOpener([&opened](std::shared_ptr<clsZarn> z, QWidget*) { opened = std::move(z); });
        std::string mac = "0007F500000A";
        const std::shared_ptr<clsZarn> listed = ZarnPool().FindZarn(mac);
        firmware->click();  // the list is searched again when the wizard closes
        QVERIFY(listed && opened == listed);
    }

    void oneDeviceGivesTheSingularStatus() {
        QVERIFY(StartDevices({Device("00:07:F5:00:01:01", "Solo")}));
        frmZarni w;
        w.Form_Load();
        QCOMPARE(w.findChild<QTreeWidget*>("lvZarn")->topLevelItemCount(), 1);
        QCOMPARE(w.findChild<QLabel*>("lblStatus")->text(), QString("1 Zarn Adapter found"));
        QVERIFY(m_log.Has("frmDiscover_Activate: 1 KVRs found.", LEVEL_USER, "frmDiscover"));
    }

    void cancelDuringDiscoveryListsNothing() {
        const auto one = Device("00:07:F5:00:02:01", "One");
        QVERIFY(StartDevices({one, Device("00:07:F5:00:02:02", "Two")}));
        frmZarni w;
        bool clicked = false;
        // Press Cancel once the dialog has started its work.
        WhenDiscovering(&w, one.mac, [&](QWidget* dialog) {
            QTest::mouseClick(dialog->findChild<QPushButton*>("CancelButton"), Qt::LeftButton);
            clicked = true;
        });
        w.Form_Load();
        QVERIFY(clicked);
        QCOMPARE(w.findChild<QTreeWidget*>("lvZarn")->topLevelItemCount(), 0);
        QCOMPARE(ZarnPool().Count(), std::size_t{0});
        QVERIFY(m_log.Has("frmDiscover_Activate: Discovery process cancelled.", LEVEL_USER, "frmDiscover"));
        QCOMPARE(w.findChild<QLabel*>("lblStatus")->text(), QString("0 Zarn Adapters found"));
        QVERIFY(!w.findChild<QPushButton*>("cmdFirmware")->isEnabled());
    }

    void escapeCancelsDiscoveryToo() {
        const auto one = Device("00:07:F5:00:03:01", "One");
        QVERIFY(StartDevices({one}));
        frmZarni w;
        WhenDiscovering(&w, one.mac, [](QWidget* dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
        w.Form_Load();
        QCOMPARE(w.findChild<QTreeWidget*>("lvZarn")->topLevelItemCount(), 0);
        QVERIFY(m_log.Has("frmDiscover_Activate: Discovery process cancelled.", LEVEL_USER, "frmDiscover"));
    }

    // A cancel that comes before the work has started (Escape at once, or the
    // main window closing) still cancels it.
    void cancelBeforeTheWorkStartsSearchesNothing() {
        QVERIFY(StartDevices({Device("00:07:F5:00:03:11", "One")}));
        frmDiscover dialog;
        dialog.CancelButton_Click();
        dialog.exec();
        QVERIFY(!dialog.ResultPool());
        QVERIFY(m_log.Has("frmDiscover_Activate: Discovery process cancelled.", LEVEL_USER, "frmDiscover"));
        QVERIFY(!m_log.Has("frmDiscover_Activate: no KVRs found.", LEVEL_USER, "frmDiscover"));
    }

    void closingDuringDiscoveryCancelsItAndThenCloses() {
        const auto one = Device("00:07:F5:00:07:01", "One");
        QVERIFY(StartDevices({one}));
        frmZarni w;
        w.show();
        WhenDiscovering(&w, one.mac, [&w](QWidget*) { w.close(); });
        w.Discover();
        QVERIFY(m_log.Has("frmDiscover_Activate: Discovery process cancelled.", LEVEL_USER, "frmDiscover"));
        QVERIFY(!w.isVisible());
        QVERIFY(m_log.Has("Form_Unload", LEVEL_WATCH, "frmZarni"));
    }

    void checkBoxMarksTheNextDiscoveryRequest() {
        const auto dev = Device("00:07:F5:00:04:01", "Marked");
        QVERIFY(StartDevices({dev}));
        frmZarni w;
        w.Form_Load();
        const auto plain = DiscoveryTypeBytes(dev.mac, 0);
        QVERIFY(!plain.empty());
        for (std::uint8_t t : plain) QCOMPARE(t & 0x40, 0);

        const std::size_t seen = m_sim->FrameLog(dev.mac).size();
        auto* box = w.findChild<QCheckBox*>("chkModifiedSNAP");
        QVERIFY(box && !box->isChecked());
        box->click();
        QCOMPARE(G().ModifiedSnap, std::uint8_t{1});
        QVERIFY(m_log.Has("cmdModifiedSNAP_Click: chkModifiedSNAP.Value=1", LEVEL_WATCH, "frmZarni"));
        w.cmdDiscover_Click();
        const auto marked = DiscoveryTypeBytes(dev.mac, seen);
        QVERIFY(!marked.empty());
        for (std::uint8_t t : marked) QCOMPARE(t & 0x40, 0x40);
        QCOMPARE(w.findChild<QTreeWidget*>("lvZarn")->topLevelItemCount(), 1);
    }

    void automatedRunMarksIncompatibleDevicesAndWaitsForDiscovery() {
        auto fits = Device("00:07:F5:00:06:01", "Fits");
        fits.hardwareId = 7;
        fits.hardwareVersion = 2;
        auto otherHardware = Device("00:07:F5:00:06:02", "Other");
        otherHardware.hardwareId = 8;
        otherHardware.hardwareVersion = 2;
        auto newerHardware = Device("00:07:F5:00:06:03", "Newer");
        newerHardware.hardwareId = 7;
        newerHardware.hardwareVersion = 3;
        QVERIFY(StartDevices({fits, otherHardware, newerHardware}));

        G().AutomationMode = true;
        frmZarni w;
        w.SetAutomationFirmwareFit([](const clsZarn& z) { return z.HardwareID == 7 && z.HardwareVersion <= 2; });
        std::string target;
        w.SetAutomationTarget([&](const std::string& mac) { target = mac; });
        std::vector<std::size_t> poolAtStep;
        std::vector<std::string> targetAtStep;
        w.SetAutomationStep([&] {
            poolAtStep.push_back(ZarnPool().Count());
            targetAtStep.push_back(target);
            return 3L;  // "<prompt>": the user picks the device
        });
        StepWithoutPause(w);
        w.Form_Load();
        auto* list = w.findChild<QTreeWidget*>("lvZarn");
        QCOMPARE(list->topLevelItemCount(), 3);
        QCOMPARE(list->headerItem()->text(4), QString("Compatiblity Status"));
        QTreeWidgetItem* ok = ItemByMac(list, "00:07:F5:00:06:01");
        QTreeWidgetItem* other = ItemByMac(list, "00:07:F5:00:06:02");
        QTreeWidgetItem* newer = ItemByMac(list, "00:07:F5:00:06:03");
        QVERIFY(ok && other && newer);
        QCOMPARE(other->text(4), QString("incompatible with firmware"));
        QCOMPARE(newer->text(4), QString("incompatible with firmware"));
        QVERIFY(!(other->flags() & Qt::ItemIsSelectable));
        QVERIFY(ok->text(4) != QString("incompatible with firmware"));
        QCOMPARE(list->currentItem(), ok);
        QVERIFY(w.findChild<QPushButton*>("cmdFirmware")->isEnabled());

        // The timer's first step comes after the discovery, on its devices.
        QTRY_COMPARE_WITH_TIMEOUT(poolAtStep.size(), std::size_t{1}, 3000);
        QCOMPARE(poolAtStep.front(), std::size_t{3});
        QVERIFY(!w.AutomationTimer()->isActive());  // 3 stops the timer

        // Firmware names the selected device as the target and runs the next step.
        QTest::mouseClick(w.findChild<QPushButton*>("cmdFirmware"), Qt::LeftButton);
        QCOMPARE(targetAtStep.size(), std::size_t{2});
        QCOMPARE(targetAtStep.back(), std::string("0007F5000601"));
        G().AutomationMode = false;
    }

    // Closing the window while a step of the run is under way (a firmware
    // download) ends the run only once the step is over: the step's record
    // and its adapters stay until then.
    void closingDuringAnAutomationStepWaitsForTheStep() {
        QVERIFY(StartDevices({Device("00:07:F5:00:06:21", "One")}));
        G().AutomationMode = true;
        frmZarni w;
        int steps = 0;
        int aborts = 0;
        bool inStep = false;
        bool abortedInStep = false;
        bool visibleAfterClose = false;
        w.SetAutomationAbort([&] {
            ++aborts;
            abortedInStep = abortedInStep || inStep;
        });
        w.SetAutomationStep([&] {
            ++steps;
            inStep = true;
            w.close();
            QCoreApplication::processEvents();
            visibleAfterClose = w.isVisible();
            inStep = false;
            return 0L;
        });
        StepWithoutPause(w);
        w.Form_Load();
        w.show();
        QTRY_COMPARE_WITH_TIMEOUT(steps, 1, 3000);
        QVERIFY(visibleAfterClose);
        QVERIFY(!abortedInStep);
        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 3000);
        QCOMPARE(aborts, 1);
        G().AutomationMode = false;
    }

    // The list as a site view: rows a, b, c are the devices below; each row
    // starts the `before` devices, selects `selected`, makes its change and
    // then checks the rows, the selection, a's firmware column and (for a save)
    // the file written.
    void siteView_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<Change>("change");
        QTest::addColumn<QString>("rowsAfter");
        QTest::addColumn<QString>("selectedAfter");
        QTest::addColumn<QString>("firmwareOfA");
        QTest::addColumn<QString>("file");
        const QString line = ",%1,10.0.0.5,256.515,1.1,false\r\n";
        QTest::newRow("upgrade shows the new version") << "ab" << "a" << Change::Upgrade << "ab" << "a" << "256.516" << "";
        QTest::newRow("a third device appears") << "ab" << "ab" << Change::ThirdAppears << "abc" << "ab" << "256.515" << "";
        QTest::newRow("a device leaves") << "abc" << "ac" << Change::OneLeaves << "ac" << "ac" << "256.515" << "";
        QTest::newRow("sorting by name") << "abc" << "ac" << Change::SortByName << "bac" << "ac" << "256.515" << "";
        QTest::newRow("Add KVR lists the device that appears") << "ab" << "a" << Change::AddKvr << "abc" << "c" << "256.515" << "";
        QTest::newRow("Add KVR times out") << "ab" << "a" << Change::AddKvrTimesOut << "ab" << "a" << "256.515" << "";
        QTest::newRow("profile editor writes") << "ab" << "a" << Change::ProfileWrite << "ab" << "a" << "256.515" << "";
        QTest::newRow("save as CSV") << "a" << "a" << Change::SaveCsv << "a" << "a" << "256.515"
                                     << "mac,name,adapter,ip,firmware,hardware,download_mode\r\n"
                                        "00:07:F5:00:20:0A,\"Caf\u00e9 \"\"Le Bar\"\", upstairs, left 12\"" + line;
        QTest::newRow("save as JSON") << "a" << "a" << Change::SaveJson << "a" << "a" << "256.515"
                                      << "[\n{\"mac\":\"00:07:F5:00:20:0A\",\"name\":\"Caf\u00e9 \\\"Le Bar\\\", upstairs, "
                                         "left 12\",\"adapter\":\"%1\",\"ip\":\"10.0.0.5\",\"firmware\":"
                                         "\"256.515\",\"hardware\":\"1.1\",\"download_mode\":false}\n]\n";
    }

    void siteView() {
        QFETCH(QString, before);
        QFETCH(QString, selected);
        QFETCH(Change, change);
        const std::map<QChar, const char*> macText{
            {'a', "00:07:F5:00:20:0A"}, {'b', "00:07:F5:00:20:0B"}, {'c', "00:07:F5:00:20:0C"}};
        std::map<QChar, sim::DeviceConfig> all;
        all['a'] = Device(macText.at('a'), "Caf\xE9 \"Le Bar\", upstairs, left 12");  // 32 Latin-1 characters
        all['b'] = Device(macText.at('b'), "Alpha");
        all['c'] = Device(macText.at('c'), "Mid");
        QCOMPARE(all['a'].name.size(), std::size_t{32});
        for (auto& [key, d] : all) d.ip = {10, 0, 0, 5}, d.restartMs = 50, d.eraseMs = 0;
        all['a'].profiles = {NamedProfile("Default"), NamedProfile("Office")};
        all['a'].activeProfile = 0;
        std::vector<sim::DeviceConfig> start;
        for (QChar k : before) start.push_back(all[k]);
        QVERIFY(StartDevices(start));
        const auto macOf = [&](QChar k) { return QString(macText.at(k)); };
        const auto macsOf = [&](const QString& keys) {
            QStringList out;
            for (QChar k : keys) out << macOf(k);
            return out;
        };

        frmZarni w;
        w.Form_Load();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* list = w.findChild<QTreeWidget*>("lvZarn");
        // Every column fits in the window with a 32-character name (the test
        // screen is smaller than the window would open on a desktop).
        w.resize(w.DefaultSize());
        QCoreApplication::processEvents();
        const int last = list->columnCount() - 1;
        QVERIFY(list->header()->sectionViewportPosition(last) + list->header()->sectionSizeHint(last) <=
                list->viewport()->width());
        list->clearSelection();
        for (QChar k : selected) ItemByMac(list, macOf(k))->setSelected(true);

        test::RecordingPrompter prompter;
        const QString target = m_appDir.filePath(change == Change::SaveJson ? "list.json" : "list.csv");
        std::size_t discoveries = m_sim->Counters(all['a'].mac).discoveryRequests;
        if (change == Change::Upgrade) {
            QVERIFY(sim::WriteQfwFile(m_appDir.filePath("up.qfw").toStdString(),
                                      sim::MakeQfw({.image1 = sim::QfwFiller(3000, 1)}), nullptr));
            w.SetFirmwareOpener([&](std::shared_ptr<clsZarn> z, QWidget* parent) {
                FirmwareWizardServices s = FirmwareDownloadServices();
                s.ChooseFile = [&](auto&&...) { return m_appDir.filePath("up.qfw").toStdString(); };
                frmFirmwareWizard wizard(s, parent);
                QVERIFY(wizard.Init(std::move(z)));
                wizard.Model().Advance();
                wizard.Model().Advance();
                QCOMPARE(wizard.Model().iStep(), 4);
            });
            w.findChild<QPushButton*>("cmdFirmware")->click();
            QVERIFY(m_sim->Counters(all['a'].mac).discoveryRequests > discoveries);  // searched again by itself
        } else if (change == Change::ThirdAppears) {
            QVERIFY(m_sim->AddDevice(all['c']));
            w.Rediscover();
        } else if (change == Change::OneLeaves) {
            QVERIFY(m_sim->Vanish(all['b'].mac));
            w.Rediscover();
        } else if (change == Change::AddKvr || change == Change::AddKvrTimesOut) {
            w.SetAddZarnTimeoutMs(change == Change::AddKvr ? 30000 : 1000);
            if (change == Change::AddKvr) QTimer::singleShot(0, [&] { QVERIFY(m_sim->AddDevice(all['c'])); });
            w.findChild<QPushButton*>("cmdAddZarn")->click();
            QCOMPARE(prompter.questions.front().buttons, PromptButtons::OKCancel);  // the guide comes first
            QCOMPARE(prompter.questions.back().text.starts_with("No new KVR answered within 1 seconds."),
                     change == Change::AddKvrTimesOut);
        } else if (change == Change::ProfileWrite) {
            QCOMPARE(ItemByMac(list, macOf('a'))->text(4), QString("Profile 0: Default"));
            w.SetProfilesOpener([](clsZarn& z, QWidget*) {
                CommandProfileExchange exchange;
                ProfileEditor editor(z, exchange);
                QVERIFY(editor.ActivateProfile(editor.Load()) && editor.SetNewActiveProfile(1));
            });
            w.findChild<QPushButton*>("cmdProfiles")->click();
            QCOMPARE(ItemByMac(list, macOf('a'))->text(4), QString("Profile 1: Office"));  // without Discover
        } else if (change == Change::SortByName) {
            QTest::mouseClick(list->header()->viewport(), Qt::LeftButton, {},
                              QPoint(list->header()->sectionViewportPosition(1) + 5, 5));
        } else {
            QVERIFY(w.SaveDeviceList(target.toStdString()));
            QFile saved(target);
            QVERIFY(saved.open(QIODevice::ReadOnly));
            QFETCH(QString, file);
            QCOMPARE(QString::fromUtf8(saved.readAll()), file.arg(QString::fromStdString(m_segments.Nic("c" + std::to_string(m_case)))));
            // An unwritable place: a clear message, nothing half-written, the old file kept.
            const QString bad = m_appDir.filePath("no-such-dir/list.csv");
            QVERIFY(!w.SaveDeviceList(bad.toStdString()));
            QCOMPARE(prompter.questions.size(), std::size_t{1});
            QVERIFY(prompter.questions[0].text.find("could not be saved to '" + bad.toStdString()) != std::string::npos);
        }
        QFETCH(QString, rowsAfter);
        QFETCH(QString, selectedAfter);
        QFETCH(QString, firmwareOfA);
        // Devices answer in any order; only a sorted list has one to check.
        const auto ordered = [&](QStringList l) {
            if (change != Change::SortByName) l.sort();
            return l;
        };
        QCOMPARE(ordered(Macs(list, false)), macsOf(rowsAfter));
        QCOMPARE(ordered(Macs(list, true)), macsOf(selectedAfter));
        QCOMPARE(ItemByMac(list, macOf('a'))->text(5), firmwareOfA);
        QCOMPARE(w.SelectedDevices().size(), std::size_t(selectedAfter.size()));
    }

    void withoutAdaptersNothingIsSearched() {
        NicPool().colNIC.clear();
        frmZarni w;
        w.Discover();
        QCOMPARE(w.findChild<QTreeWidget*>("lvZarn")->topLevelItemCount(), 0);
        QCOMPARE(w.findChild<QLabel*>("lblStatus")->text(), QString("No KVRs can be found."));
        QVERIFY(m_log.Has("Discover: we have no valid NICs to perform our discovery through.", LEVEL_ERROR, "frmZarni"));
    }

    void captionControlsAndHelp() {
        NicPool().colNIC.clear();
        G().AutomationMode = true;
        G().EngineeringFeatures = true;
        frmZarni w;
        w.Form_Load();
        G().AutomationMode = false;
        G().EngineeringFeatures = false;
        QVERIFY(w.windowTitle().startsWith("KVR Installer v"));
        QVERIFY(w.windowTitle().endsWith(" (Automated Mode) (Engineering Version)"));
        QVERIFY(w.AutomationTimer()->isActive());
        QCOMPARE(w.AutomationTimer()->interval(), 1000);
        QCOMPARE(w.findChild<QLabel*>("Label3")->text(), QString("Available Zarn Adapters"));
        QVERIFY(!w.findChild<QPushButton*>("cmdDiscover")->toolTip().isEmpty());
        std::string topic;
        SetHelpOpener([&](const std::string& t, QWidget*) { topic = t; });
        QTest::keyClick(&w, Qt::Key_F1);
        SetHelpOpener(nullptr);
        QCOMPARE(topic, std::string("1000"));
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
