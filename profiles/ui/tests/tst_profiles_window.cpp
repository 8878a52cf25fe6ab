// The profile editor window over a simulated device, with its requests going
// through the command progress dialog: tabs and the active marker, red boxes
// and the warning label, the unsaved-changes question on a tab switch, the
// locked factory profile, and Help on F1.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <unistd.h>

#include "ProfileEditor.h"
#include "QtSeams.h"
#include "RefreshNicPool.h"
#include "UiResources.h"
#include "SimSegments.h"
#include "UiTestSupport.h"
#include "clsNICpool.h"
#include "clsZarn.h"
#include "frmMsg.h"
#include "frmProfiles.h"
#include "sim/Simulator.h"

using namespace kvr;
using namespace kvr::test;

// Answers questions from a script (OK when it runs out) and keeps them.
class ScriptedPrompter : public Prompter {
public:
    PromptAnswer Ask(const std::string& text, const std::string&, PromptButtons, PromptIcon) override {
        asked.push_back(text);
        if (answers.empty()) return PromptAnswer::OK;
        const PromptAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    std::deque<PromptAnswer> answers;
    std::vector<std::string> asked;
};

class ProfilesWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_appDir;
    SimSegments m_segments{"pw"};
    SkipSleepClock m_clock;
    QtEventPump m_pump;
    ScriptedPrompter m_prompter;
    clsZarn m_zarn;

    template <class W>
    W* Find(QWidget& w, const char* name) {
        return w.findChild<W*>(name);
    }
    static bool Red(QWidget* w) { return w->palette().color(QPalette::Base) == QColor(255, 0, 0); }

private slots:
    void initTestCase() {
        QVERIFY(m_appDir.isValid());
        UsePrivateAppDirectory(m_appDir.path().toStdString());
        SetClock(&m_clock);
        SetEventPump(&m_pump);
        SetPrompter(&m_prompter);
        frmMsg::SetNeverBlock(true);
        sim::DeviceConfig d;
        d.mac = sim::ParseMac("00:07:F5:00:06:01").value();
        d.name = "Stage";
        d.wpaCapable = true;
        d.profiles.resize(3);
        for (int i = 0; i < 3; ++i) d.profiles[static_cast<std::size_t>(i)].name = "P" + std::to_string(i);
        d.profiles[2].ssid = "Net";
        d.activeProfile = 2;
        QVERIFY(m_segments.Start("", {d}));
        const std::string segment = m_segments.Segment("");
        QVERIFY(RefreshNicPool() >= 1);
        for (const auto& nic : NicPool().colNIC)
            if (nic->Name.find(segment) != std::string::npos) m_zarn.NICName = nic->Name;
        m_zarn.MAC = sim::MacText(d.mac);
        m_zarn.ProtocolVersion = 8;
        m_zarn.NumProfiles = 2;
        m_zarn.ActiveProfile = 2;
    }

    void cleanupTestCase() {
        m_segments.StopAll();
        SetPrompter(nullptr);
        SetClock(nullptr);
        SetEventPump(nullptr);
    }

    void editorShowsValidatesAndLocks() {
        frmProfiles w;
        w.Load(m_zarn);
        auto* tabs = Find<QTabBar>(w, "tbsProfiles");
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(2), QString("Profile 2"));
        QCOMPARE(tabs->currentIndex(), 2);
        QVERIFY(!tabs->tabIcon(2).isNull() && tabs->tabIcon(1).isNull());
        QVERIFY(w.Model()->Ready());
        QCOMPARE(Find<QLineEdit>(w, "ebZarnName")->text(), QString("Stage"));
        QCOMPARE(Find<QComboBox>(w, "cmbEncryption")->count(), 3);  // WPA-PSK offered
        QVERIFY(Find<QCheckBox>(w, "cbActive")->isChecked());

        // A read keeps the device name being typed, and its Apply button.
        auto* zarnName = Find<QLineEdit>(w, "ebZarnName");
        QTest::keyClicks(zarnName, "2");
        QTest::mouseClick(Find<QPushButton>(w, "cmdRefresh"), Qt::LeftButton);
        QCOMPARE(zarnName->text(), QString("Stage2"));
        QVERIFY(Find<QPushButton>(w, "cmdApplyName")->isEnabled());

        // Typing in the middle of a box leaves the cursor there and undo possible.
        auto* ssid = Find<QLineEdit>(w, "ebZarnSsid");
        ssid->setCursorPosition(1);
        QTest::keyClicks(ssid, "ew N");
        QCOMPARE(std::make_tuple(ssid->text(), ssid->cursorPosition(), ssid->isUndoAvailable()),
                 std::make_tuple(QString("New Net"), 5, true));

        // A bad proxy port: red box, the label's text, Apply stays off.
        QTest::mouseClick(Find<QCheckBox>(w, "cbUseProxy"), Qt::LeftButton);
        QTest::keyClicks(Find<QLineEdit>(w, "ebProxyServer"), "proxy");
        Find<QLineEdit>(w, "ebProxyPort")->selectAll();
        QTest::keyClicks(Find<QLineEdit>(w, "ebProxyPort"), "8a");
        QVERIFY(Red(Find<QLineEdit>(w, "ebProxyPort")));
        QVERIFY(!Red(Find<QLineEdit>(w, "ebProxyServer")));
        QCOMPARE(Find<QLabel>(w, "lblEditWarning")->text(), QString("Invalid proxy port"));
        QVERIFY(!Find<QPushButton>(w, "cmdApply")->isEnabled());
        QVERIFY(!Find<QLabel>(w, "lbWarning")->isHidden());
        // A character the device cannot store is refused, not sent as '?'.
        QInputMethodEvent euro;
        euro.setCommitString(QString::fromUtf8("\u20AC"));
        QApplication::sendEvent(ssid, &euro);
        QVERIFY(Red(ssid) && !Find<QPushButton>(w, "cmdApply")->isEnabled());
        QCOMPARE(Find<QLabel>(w, "lblEditWarning")->text(), ResText(3507));

        // Switching tabs with unsaved changes asks; Cancel keeps the tab and the edit.
        m_prompter.answers = {PromptAnswer::Cancel};
        tabs->setCurrentIndex(0);
        QCOMPARE(tabs->currentIndex(), 2);
        QCOMPARE(Find<QLineEdit>(w, "ebProxyPort")->text(), QString("8a"));
        QCOMPARE(m_prompter.asked.size(), std::size_t{1});

        // OK reads the factory profile: locked with the button face, info in front.
        tabs->setCurrentIndex(0);
        QCOMPARE(tabs->currentIndex(), 0);
        auto* name = Find<QLineEdit>(w, "ebName");
        QCOMPARE(name->text(), QString("P0"));
        QVERIFY(name->isReadOnly());
        QCOMPARE(name->palette().color(QPalette::Base), QApplication::palette(name).color(QPalette::Button));
        QVERIFY(!Find<QComboBox>(w, "cmbEncryption")->isEnabled());
        QCOMPARE(w.findChild<QStackedWidget*>()->currentWidget()->objectName(), QString("fraInfo"));
        QCOMPARE(Find<QLineEdit>(w, "ebProxyPort")->text(), QString("0"));  // the edit is gone

        std::string helpTopic;
        SetHelpOpener([&](const std::string& topic, QWidget*) { helpTopic = topic; });
        QTest::keyClick(&w, Qt::Key_F1);
        QCOMPARE(helpTopic, std::string("profiles"));
        SetHelpOpener(nullptr);
    }
};

QTEST_MAIN(ProfilesWindowTest)
#include "tst_profiles_window.moc"
