// Window tests of the application frame: the message window's count-down and
// Help button, form localisation by identifier, the progress-bar adapter.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QTemporaryDir>

#include "Globals.h"
#include "LocalizeForm.h"
#include "QtSeams.h"
#include "UiResources.h"
#include "frmMsg.h"

using namespace kvr;

class AppWindowsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_appDir;

    // Shows the message window without waiting and records the count-down
    // text after every tick until it closes. The ticks come at once, each
    // one as its timer's interval would have passed; `elapsedMs` adds those
    // intervals up.
    struct CountDown {
        int ticks = 0;
        QStringList texts;
        bool closed = false;
        long elapsedMs = 0;
    };
    CountDown RunCountDown(int id, long timeoutMs) {
        frmMsg msg;
        CountDown result;
        auto* timer = msg.findChild<QTimer*>("tmrExitTimer");
        auto* label = msg.findChild<QLabel*>("lblTimeoutMsg");
        if (!timer || !label) return result;
        result.texts << label->text();
        // Connected after the window's own handler, so it sees the new text.
        connect(timer, &QTimer::timeout, &msg, [&] {
            ++result.ticks;
            result.texts << label->text();
        });
        QSignalSpy finished(&msg, &QDialog::finished);
        msg.ShowMessage(id, 0, timeoutMs);
        result.texts[0] = label->text();
        while (timer->isActive() && finished.isEmpty() && result.ticks < 10) {
            result.elapsedMs += timer->interval();
            QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);
        }
        result.closed = finished.count() == 1;
        return result;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_appDir.isValid());
        G().AppDirectory = m_appDir.path().toStdString();
        G().DbManager = nullptr;  // built-in strings
    }
    void cleanupTestCase() { DestroyMessageWindow(); }

    void messageWindowWithHalfSecondTimeOutClosesAtFirstTick() {
        const CountDown c = RunCountDown(1017, 500);
        QVERIFY(c.closed);
        QCOMPARE(c.ticks, 1);
        QCOMPARE(c.elapsedMs, 500L);
        QCOMPARE(c.texts.first(), QString("Dialog closing in: 0.5"));
    }

    void messageWindowCountsDownThreeTwoOne() {
        const CountDown c = RunCountDown(1017, 3000);
        QVERIFY(c.closed);
        QCOMPARE(c.ticks, 3);
        QCOMPARE(c.elapsedMs, 3000L);
        QCOMPARE(c.texts.mid(0, 3),
                 QStringList({"Dialog closing in: 3", "Dialog closing in: 2", "Dialog closing in: 1"}));
    }

    void messageWindowLastStretchShorterThanASecond() {
        // 1500 ms: one tick after a second, the next after the remaining half.
        const CountDown c = RunCountDown(1017, 1500);
        QVERIFY(c.closed);
        QCOMPARE(c.ticks, 2);
        QCOMPARE(c.elapsedMs, 1500L);
        QCOMPARE(c.texts.at(1), QString("Dialog closing in: 0.5"));
    }

    void messageWindowShowsTextAndFallsBackTo1900() {
        frmMsg msg;
        auto* text = msg.findChild<QLabel*>("lblMessage");
        QVERIFY(text);
        msg.ShowMessage(1017, 0);
        QVERIFY(text->text().startsWith("No Zarn Adapters found."));
        QCOMPARE(msg.MessageId(), 1017);
        QVERIFY(!msg.TimeoutRunning());
        QVERIFY(!msg.findChild<QLabel*>("lblTimeoutMsg")->isVisible());
        msg.ShowMessage(0, 0);
        QCOMPARE(msg.MessageId(), 1900);
        QCOMPARE(text->text(), QString("An unknown error occured."));
        QCOMPARE(msg.windowTitle(), QString("KVR Installer - Message"));
        msg.close();
    }

    void messageWindowHelpOpensTopicOfItsText() {
        std::string topic;
        SetHelpOpener([&](const std::string& t, QWidget*) { topic = t; });
        frmMsg msg;
        msg.ShowMessage(1101, 0);
        QTest::mouseClick(msg.findChild<QPushButton*>("cmdHelp"), Qt::LeftButton);
        SetHelpOpener(nullptr);
        QCOMPARE(topic, std::string("1101"));
        // OK closes the window and stops a running count-down.
        msg.ShowMessage(1101, 0, 5000);
        QVERIFY(msg.TimeoutRunning());
        QTest::mouseClick(msg.findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
        QVERIFY(!msg.isVisible());
        QVERIFY(!msg.findChild<QTimer*>("tmrExitTimer")->isActive());
    }

    void neverBlockTurnsModalMessagesIntoPlainShows() {
        frmMsg::SetNeverBlock(true);
        frmMsg msg;
        msg.ShowMessage(1017, 1);  // would wait for a click otherwise
        frmMsg::SetNeverBlock(false);
        QVERIFY(msg.isVisible());
        msg.close();
    }

    void localizeFormReplacesTextsAndToolTipsByIdentifier() {
        QWidget form;
        form.setProperty("textId", 11);
        auto* label = new QLabel("design label", &form);
        label->setProperty("textId", 12);
        auto* button = new QPushButton("design button", &form);
        button->setProperty("textId", "13");  // identifiers may be stored as text
        button->setProperty("toolTipId", 14);
        auto* check = new QCheckBox("design check", &form);
        check->setProperty("toolTipId", 15);
        auto* group = new QGroupBox("design group", &form);
        group->setProperty("textId", 16);
        auto* untouched = new QPushButton("keep me", &form);
        untouched->setProperty("textId", 0);
        untouched->setToolTip("keep tip");
        untouched->setProperty("toolTipId", "not a number");
        auto* tree = new QTreeWidget(&form);
        tree->setColumnCount(3);
        tree->setHeaderLabels({"a", "b", "c"});
        tree->setProperty("columnTextIds", QVariantList{17, 0, 18});
        auto* tabs = new QTabBar(&form);
        tabs->addTab("t0");
        tabs->addTab("t1");
        tabs->setProperty("tabTextIds", QVariantList{0, 19});
        tabs->setProperty("tabToolTipIds", QVariantList{20});

        LocalizeForm(&form, [](long id) { return QString("text %1").arg(id); });

        QCOMPARE(form.windowTitle(), QString("text 11"));
        QCOMPARE(label->text(), QString("text 12"));
        QCOMPARE(button->text(), QString("text 13"));
        QCOMPARE(button->toolTip(), QString("text 14"));
        QCOMPARE(check->text(), QString("design check"));
        QCOMPARE(check->toolTip(), QString("text 15"));
        QCOMPARE(group->title(), QString("text 16"));
        QCOMPARE(untouched->text(), QString("keep me"));
        QCOMPARE(untouched->toolTip(), QString("keep tip"));
        QCOMPARE(tree->headerItem()->text(0), QString("text 17"));
        QCOMPARE(tree->headerItem()->text(1), QString("b"));
        QCOMPARE(tree->headerItem()->text(2), QString("text 18"));
        QCOMPARE(tabs->tabText(0), QString("t0"));
        QCOMPARE(tabs->tabText(1), QString("text 19"));
        QCOMPARE(tabs->tabToolTip(0), QString("text 20"));
    }

    void localizeFormUsesTheStringTable() {
        QWidget form;
        auto* label = new QLabel("design", &form);
        label->setProperty("textId", 1008);
        auto* button = new QPushButton("&Discover...", &form);
        button->setProperty("toolTipId", 1058);
        LocalizeForm(&form);
        QCOMPARE(label->text(), QString("Available Zarn Adapters"));
        QCOMPARE(button->toolTip(), ResText(1058));
        QVERIFY(!button->toolTip().isEmpty());
        QCOMPARE(button->text(), QString("&Discover..."));
    }

    void picturesDroppedIntoTheLanguageFolderReplaceBuiltInOnes() {
        // Built in: the program icon is 64 pixels square.
        {
            frmMsg msg;
            QCOMPARE(msg.findChild<QLabel*>("Image1")->pixmap().width(), 64);
        }
        const QString dir = m_appDir.path() + "/pic/German";
        QVERIFY(QDir().mkpath(dir));
        QImage small(5, 3, QImage::Format_RGB32);
        small.fill(Qt::red);
        QVERIFY(small.save(dir + "/100.png"));
        G().UserLanguage = "German";
        frmMsg msg;
        G().UserLanguage = "English";
        QCOMPARE(msg.findChild<QLabel*>("Image1")->pixmap().size(), QSize(5, 3));
        QVERIFY(QFile::remove(dir + "/100.png"));
    }

    void progressBarAdapterKeepsValuesAndOrdersRange() {
        auto* bar = new QProgressBar;
        QtProgressBar pgb(bar);
        // Callers set Max before Min and values outside the range.
        pgb.SetMax(-1);
        pgb.SetMin(0);
        pgb.SetValue(5);
        QCOMPARE(bar->minimum(), -1);
        QCOMPARE(bar->maximum(), 0);
        QCOMPARE(bar->value(), 0);
        QCOMPARE(pgb.Max(), -1L);
        QCOMPARE(pgb.Value(), 5L);
        delete bar;  // a window closing while an operation still reports progress
        pgb.SetValue(7);
        QCOMPARE(pgb.Value(), 7L);
    }
};

QTEST_MAIN(AppWindowsTest)
#include "tst_app_windows.moc"
