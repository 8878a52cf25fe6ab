// Status window: the 500-row bound, the level column, the level filter, Clear,
// the clipboard texts, the saved position and the live feed from DebugLog.
#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QMenuBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <memory>

#include "Globals.h"
#include "basDebug.h"
#include "clsDbManager.h"
#include "frmStatus.h"
#include "frmZarni.h"

using namespace kvr;

class StatusWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_appDir;

    static QTableWidget* Grid(frmStatus& w) { return w.findChild<QTableWidget*>("mfgStatus"); }
    static QString Cell(frmStatus& w, int row, int column) {
        const QTableWidgetItem* item = Grid(w)->item(row, column);
        return item ? item->text() : QString("<none>");
    }
    static void Trigger(frmStatus& w, const char* action) {
        auto* a = w.findChild<QAction*>(action);
        QVERIFY2(a, action);
        a->trigger();
    }

    // A database of its own in a fresh application directory.
    std::unique_ptr<clsDbManager> OpenDatabase(const QString& subdir) {
        const std::string dir = (m_appDir.path() + "/" + subdir).toStdString();
        std::filesystem::create_directories(dir);
        std::filesystem::copy_file(std::string(KVR_BUNDLE_DIR) + "/db1_clean.mdb", dir + "/db1_clean.mdb");
        G().AppDirectory = dir;
        return std::make_unique<clsDbManager>();
    }

private slots:
    void initTestCase() {
        QVERIFY(m_appDir.isValid());
        G().AppDirectory = m_appDir.path().toStdString();
        G().DbManager = nullptr;
    }

    void keepsTheNewestFiveHundredMessages() {
        frmStatus w;
        for (int i = 0; i < 600; ++i) w.PostMessage("message " + std::to_string(i), float(i), LEVEL_TRACE, "modTest");
        QCOMPARE(Grid(w)->rowCount(), 500);
        QCOMPARE(Cell(w, 0, 3), QString("message 100"));
        QCOMPARE(Cell(w, 499, 3), QString("message 599"));
    }

    void shownWindowKeepsTheNewestMessageInView() {
        frmStatus w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        for (int i = 0; i < 600; ++i) w.PostMessage("message " + std::to_string(i), float(i), LEVEL_TRACE, "m");
        QTableWidget* grid = Grid(w);
        QTRY_VERIFY(grid->viewport()->rect().contains(grid->visualItemRect(grid->item(499, 3)).center()));
        QVERIFY(!grid->viewport()->rect().contains(grid->visualItemRect(grid->item(0, 3)).center()));
    }

    void rowTextsAndLevelFilter() {
        frmStatus w;
        w.PostMessage("OpenNdisRaw: opened", 3723004.0f, LEVEL_ERROR, "modZarniSupp");
        w.PostMessage("no level", 5.0f, 0, "unspecified");
        QCOMPARE(Cell(w, 0, 0), QString("1:02:03.004"));
        QCOMPARE(Cell(w, 0, 1), QString("11(ERROR)"));
        QCOMPARE(Cell(w, 1, 1), QString("unspecified"));
        // Level 0 counts as TRACE for the window's own filter.
        w.DebugMessageLevel = LEVEL_WARNING;
        w.PostMessage("level zero", 1, 0, "m");
        w.PostMessage("trace", 1, LEVEL_TRACE, "m");
        w.PostMessage("warning", 1, LEVEL_WARNING, "m");
        QCOMPARE(Grid(w)->rowCount(), 3);
        QCOMPARE(Cell(w, 2, 3), QString("warning"));
    }

    void clearThenOneMessageShowsOneRow() {
        frmStatus w;
        for (int i = 0; i < 5; ++i) w.PostMessage("old", 1, LEVEL_TRACE, "m");
        Trigger(w, "mnuClear");
        QCOMPARE(Grid(w)->rowCount(), 0);
        w.PostMessage("new", 2, LEVEL_USER, "m");
        QCOMPARE(Grid(w)->rowCount(), 1);
        QCOMPARE(Cell(w, 0, 3), QString("new"));
        // The header survives Clear.
        QCOMPARE(Grid(w)->horizontalHeaderItem(0)->text(), QString("Time"));
    }

    void copyCommandsPutHeaderAndRowsOnTheClipboard() {
        frmStatus w;
        w.PostMessage("first, with comma", 1500.0f, LEVEL_ERROR, "modA");
        w.PostMessage("second", 61000.0f, LEVEL_USER, "modB");
        QGuiApplication::clipboard()->setText("stale");
        Trigger(w, "mnuCopyTable");
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QString("Time, Level, Module, Message\r\n"
                         "0:00:01.500, 11(ERROR), modA, first, with comma\r\n"
                         "0:01:01.000, 13(USER), modB, second\r\n"));
        Trigger(w, "mnuCopyMessages");
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("Message\r\nfirst, with comma\r\nsecond\r\n"));
        // An empty grid still copies its header.
        Trigger(w, "mnuClear");
        Trigger(w, "mnuCopyTable");
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("Time, Level, Module, Message\r\n"));
    }

    void closingSavesThePositionAndANewWindowRestoresIt() {
        auto db = OpenDatabase("layout");
        QVERIFY(db->IsOpen());
        const QRect placed(60, 70, 420, 260);
        {
            frmStatus w;
            w.show();
            w.setGeometry(placed);
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            QCOMPARE(w.geometry(), placed);
            w.close();  // saves its layout
        }
        QCOMPARE(db->GetSetting(kProgramTitle, "frmStatus", "Bottom"), std::string("330"));
        QCOMPARE(db->GetSetting(kProgramTitle, "frmStatus", "Right"), std::string("480"));
        frmStatus restored;
        restored.RestoreLayout();
        QCOMPARE(restored.geometry(), placed);
    }

    void unusableStoredPositionKeepsTheCurrentOne() {
        auto db = OpenDatabase("bad-layout");
        frmStatus w;
        const QRect before = w.geometry();
        // Nothing stored: nothing moves.
        w.RestoreLayout();
        QCOMPARE(w.geometry(), before);
        // A position on a monitor that is gone, and one that is not a number.
        auto store = [&](const char* top, const char* left, const char* bottom, const char* right) {
            db->SaveSetting(kProgramTitle, "frmStatus", "Top", top);
            db->SaveSetting(kProgramTitle, "frmStatus", "Left", left);
            db->SaveSetting(kProgramTitle, "frmStatus", "Bottom", bottom);
            db->SaveSetting(kProgramTitle, "frmStatus", "Right", right);
            w.RestoreLayout();
        };
        store("40000", "40000", "40300", "40400");
        QCOMPARE(w.geometry(), before);
        store("ten", "20", "300", "400");
        QCOMPARE(w.geometry(), QRect(20, before.y(), 380, 300 - before.y()));
    }

    void mainWindowOpensItFromToolsMenuAndCtrlL() {
        frmZarni main;
        auto* entry = main.findChild<QAction*>("mnuStatusWindow");
        QVERIFY(entry);
        QCOMPARE(main.findChildren<QAction*>("mnuStatusWindow").size(), 1);
        main.show();
        QApplication::setActiveWindow(&main);
        QVERIFY(QTest::qWaitForWindowActive(&main));
        QTest::keyClick(&main, Qt::Key_L, Qt::ControlModifier);
        QVERIFY(StatusWindow().isVisible());
        // It does not keep the program alive once the main window closes.
        QVERIFY(!StatusWindow().testAttribute(Qt::WA_QuitOnClose));
        DestroyStatusWindow();
    }

    void debugLogFeedsTheProgramWindowUntilItIsDestroyed() {
        frmStatus& w = StatusWindow();
        QCOMPARE(G().StatusWindowSlot0, static_cast<StatusWindowSink*>(&w));
        DebugLog("OpenNdisRaw: adapter opened", LEVEL_WARNING, std::string("modZarniSupp"));
        QTableWidget* grid = Grid(w);
        QCOMPARE(grid->rowCount(), 1);
        QCOMPARE(grid->item(0, 1)->text(), QString("7(WARNING)"));
        QCOMPARE(grid->item(0, 2)->text(), QString("modZarniSupp"));
        QCOMPARE(grid->item(0, 3)->text(), QString("OpenNdisRaw: adapter opened"));
        ShowStatusWindow();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        DestroyStatusWindow();
        QCOMPARE(G().StatusWindowSlot0, nullptr);
        DebugLog("after the window went", LEVEL_ERROR, std::string("modTest"));  // must not crash
    }
};

QTEST_MAIN(StatusWindowTest)
#include "test_status.moc"
