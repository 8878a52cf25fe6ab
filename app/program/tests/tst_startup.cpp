// Start-up of the whole program in a temporary application directory: the
// order of its checks, what bad command lines get, the single-instance lock
// and the acknowledgement time-out setting. Sleeps pass at once (the adapter
// scan's 2 s pause) and the program's clock runs ten times faster than real
// time, so each 1 s discovery window listens to the simulator for 100 ms.
#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <sqlite3.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "Globals.h"
#include "SimSegments.h"
#include "SkipSleepClock.h"
#include "clsZarnPool.h"
#include "frmMsg.h"
#include "frmStatus.h"
#include "frmZarni.h"
#include "modZarni.h"
#include "sim/Simulator.h"

using namespace kvr;
namespace fs = std::filesystem;

namespace {

// Rows of the status log of the database in dir.
std::vector<std::string> StatusLog(const fs::path& dir) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((dir / "db1.mdb").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT strModule || '|' || Level || '|' || Message FROM tblStatus ORDER BY ID", -1,
                               &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW)
                rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

bool Contains(const std::vector<std::string>& rows, const std::string& row) {
    for (const auto& r : rows)
        if (r == row) return true;
    return false;
}

bool ContainsText(const std::vector<std::string>& rows, const std::string& part) {
    for (const auto& r : rows)
        if (r.find(part) != std::string::npos) return true;
    return false;
}

// Answers the next message box (or message window) that opens and keeps its texts.
struct BoxWatcher {
    QString title, text;
    bool seen = false;
    void Arm() {
        QTimer::singleShot(200, [this] { Poll(); });
    }
    void Poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            title = box->windowTitle();
            text = box->text();
            seen = true;
            box->accept();
            return;
        }
        QTimer::singleShot(100, [this] { Poll(); });
    }
};

// Runs `body` with the process's standard error going to a file; returns
// what was written there.
template <typename Body>
std::string CaptureStderr(const fs::path& file, Body body) {
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
    body();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_appDir;
    fs::path m_startDir;
    test::SimSegments m_segments{"st"};
    sim::Simulator* m_sim = nullptr;
    test::SkipSleepClock m_clock{10};
    int m_case = 0;

    fs::path App() const { return fs::path(m_appDir->path().toStdString()); }

    void StartDevice() {
        if (m_sim) return;
        sim::DeviceConfig d;
        d.mac = sim::ParseMac("00:07:F5:00:09:01").value();
        d.name = "Startup";
        m_sim = m_segments.Start("c" + std::to_string(m_case), {d});
        QVERIFY(m_sim);
    }

    void SetSetting(const std::string& key, const std::string& value) {
        fs::copy_file(App() / "db1_clean.mdb", App() / "db1.mdb", fs::copy_options::overwrite_existing);
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open((App() / "db1.mdb").c_str(), &db), SQLITE_OK);
        const std::string sql = "INSERT INTO tblSettings (strAppName, strSection, strKeyName, strValue) VALUES "
                                "('KVRinstaller', 'Settings', '" + key + "', '" + value + "')";
        QCOMPARE(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }

private slots:
    void initTestCase() {
        m_startDir = fs::current_path();
        frmMsg::SetNeverBlock(true);
        SetClock(&m_clock);
    }

    void cleanupTestCase() { SetClock(nullptr); }

    void init() {
        ++m_case;
        m_appDir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_appDir->isValid());
        const fs::path bundle = KVR_BUNDLE_DIR;
        for (const char* f : {"libzarnisupp.so", "libzarni_utils.so"}) fs::create_symlink(bundle / f, App() / f);
        fs::copy_file(bundle / "db1_clean.mdb", App() / "db1_clean.mdb");
        fs::current_path(m_startDir);
        G() = ProgramState{};
        // Every start-up sees one adapter with one device: with no adapter at all
        // the start-up asks the user (message 1101) and a test would wait for a click.
        StartDevice();
    }

    void cleanup() {
        m_segments.StopAll();
        m_sim = nullptr;
        ZarnPool().Clear();
        fs::current_path(m_startDir);
        m_appDir.reset();
    }

    void opensTheMainWindowListingTheDevices() {
        StartDevice();
        SetSetting("AckTimeoutMs", "500");
        StartupOutcome out = Main({}, App().string());
        QVERIFY(out.mainWindow);
        QVERIFY(out.mainWindow->isVisible());
        QCOMPARE(out.exitStatus, 0);
        QCOMPARE(out.mainWindow->findChild<QTreeWidget*>("lvZarn")->topLevelItemCount(), 1);
        QCOMPARE(G().StartDirectory, m_startDir.string());
        QCOMPARE(fs::current_path(), App());
        QCOMPARE(G().AckTimeout, 0.5f);
        QCOMPARE(G().LabelCounter > 1, true);  // discovery has used labels
        auto* status = out.mainWindow->findChild<QAction*>("mnuStatusWindow");
        QVERIFY(status);
        status->trigger();
        QVERIFY(StatusWindow().isVisible());
        Shutdown(out);
        const auto log = StatusLog(App());
        QVERIFY(ContainsText(log, "CheckOS: Linux"));
        QVERIFY(!ContainsText(log, "Command Line ="));  // no command line: nothing about one
        QVERIFY(!fs::exists(App() / "history.log"));
    }

    void ackTimeoutSettingOfZeroKeepsTheDefault() {
        SetSetting("AckTimeoutMs", "0");
        StartupOutcome out = Main({}, App().string());
        QCOMPARE(G().AckTimeout, 0.2f);
        Shutdown(out);
        QCOMPARE(AckTimeoutFromSetting("-5", 0.2f), 0.2f);
        QCOMPARE(AckTimeoutFromSetting("abc", 0.2f), 0.2f);
        QCOMPARE(AckTimeoutFromSetting("", 0.2f), 0.2f);
        QCOMPARE(AckTimeoutFromSetting("250 ms", 0.2f), 0.25f);
        QCOMPARE(AckTimeoutFromSetting("1e308", 0.2f), 0.2f);
    }

    // The log's level setting holds from the start: at NONE the user-level
    // lines of the checks stay out of the status log.
    void logLevelSettingIsTakenAtStartUp() {
        SetSetting("DebugLoggingLevel", "17");
        StartupOutcome out = Main({}, App().string());
        QCOMPARE(G().DebugLoggingLevel, 17L);
        Shutdown(out);
        QVERIFY(!ContainsText(StatusLog(App()), "CheckOS: Linux"));
    }

    void blankCommandLineIsNoCommandLine() {
        StartupOutcome out = Main({"   ", ""}, App().string());
        QVERIFY(out.mainWindow);
        Shutdown(out);
        QVERIFY(!ContainsText(StatusLog(App()), "Command Line ="));
        QVERIFY(!fs::exists(App() / "history.log"));  // the automation module was not initialised
    }

    void badCommandLineIsLoggedAndWindowsStillOpen() {
        StartupOutcome out = Main({"stray", "/Q"}, App().string());
        QVERIFY(out.mainWindow);
        QVERIFY(out.mainWindow->isVisible());
        QVERIFY(!G().AutomationMode);
        Shutdown(out);
        const auto log = StatusLog(App());
        QVERIFY(Contains(log, "modZarni|13|Command Line = '\"stray\" /Q'"));
        QVERIFY(ContainsText(log, "ERROR: expected '/' or '--' in command line position 1"));
        QVERIFY(fs::exists(App() / "history.log"));
    }

    void downloadFileResolvesAgainstTheStartDirectory() {
        StartupOutcome out = Main({"--download", "missing-file.qfw"}, App().string());
        QVERIFY(out.mainWindow);
        QVERIFY(G().AutomationMode);
        QVERIFY(out.mainWindow->windowTitle().endsWith(" (Automated Mode)"));
        Shutdown(out);
        const auto log = StatusLog(App());
        QVERIFY(ContainsText(log, "File '" + (m_startDir / "missing-file.qfw").string() + "' not found."));
    }

    // An unattended run whose output file cannot be opened has no record and
    // nobody at the screen: it must end with a failure, not open a window that
    // waits for a user.
    void unattendedRunWithoutOutputFileEndsWithFailure() {
        fs::create_directories(App() / "history.log" / "taken");  // the output file cannot be made
        StartupOutcome out;
        const std::string err = CaptureStderr(App() / "stderr.txt", [&] {
            out = Main({"--download", "fw.qfw", "/U"}, App().string());
        });
        QVERIFY(!out.mainWindow);
        QCOMPARE(out.exitStatus, 1);
        Shutdown(out);
        QVERIFY2(err.find("the unattended run cannot start: the output file") != std::string::npos, err.c_str());
        const auto log = StatusLog(App());
        QVERIFY(ContainsText(log, "Error initializing automation module!"));
        QVERIFY(ContainsText(log, "Main: the unattended run cannot start: the output file"));
        // Without /U the user is at the screen: the windows open as usual.
        G() = ProgramState{};
        StartupOutcome attended = Main({"--download", "fw.qfw"}, App().string());
        QVERIFY(attended.mainWindow);
        QCOMPARE(attended.exitStatus, 0);
        Shutdown(attended);
    }

    void secondInstanceIsRefused() {
        InstanceLock first((App() / "KVRinstaller.lock").string());
        QVERIFY(first.Acquired());
        InstanceLock again((App() / "KVRinstaller.lock").string());
        QVERIFY(!again.Acquired());

        BoxWatcher box;
        box.Arm();
        StartupOutcome out = Main({}, App().string());
        QVERIFY(!out.mainWindow);
        QVERIFY(box.seen);
        QCOMPARE(box.title, QString("Cannot Start"));
        QCOMPARE(box.text, QString("KVRinstaller is already running.  Cannot start a second instance."));
        QVERIFY(!fs::exists(App() / "db1.mdb"));  // ended before anything else
        QCOMPARE(out.exitStatus, 9);
        Shutdown(out);
    }

    // A script running the program unattended learns why it did not start,
    // also when the failure comes before there is any log to read.
    void unattendedStartFailuresAreToldOnStandardError() {
        StartupOutcome out;
        {
            InstanceLock first((App() / "KVRinstaller.lock").string());
            QVERIFY(first.Acquired());
            const std::string err = CaptureStderr(App() / "stderr.txt", [&] {
                out = Main({"--download", "fw.qfw", "--unattended"}, App().string());
            });
            QVERIFY(!out.mainWindow);
            QCOMPARE(out.exitStatus, 9);
            Shutdown(out);
            QVERIFY2(err.find("KVRinstaller is already running.  Cannot start a second instance.") !=
                         std::string::npos,
                     err.c_str());

            // An attended start says it in its message box only.
            BoxWatcher box;
            box.Arm();
            const std::string quiet = CaptureStderr(App() / "stderr2.txt", [&] { out = Main({}, App().string()); });
            QVERIFY(box.seen);
            Shutdown(out);
            QVERIFY2(quiet.find("already running") == std::string::npos, quiet.c_str());
        }

        // Unattended with nothing to do: nobody would ever close the window.
        G() = ProgramState{};
        const std::string nothing = CaptureStderr(App() / "stderr3.txt", [&] { out = Main({"/U"}, App().string()); });
        QVERIFY(!out.mainWindow);
        QCOMPARE(out.exitStatus, 2);
        Shutdown(out);
        QVERIFY2(nothing.find("the unattended run cannot start: no operation was asked for") != std::string::npos,
                 nothing.c_str());
        QVERIFY(ContainsText(StatusLog(App()), "Main: the unattended run cannot start: no operation was asked for"));
    }

    void packetDriverFileEndsTheProgram() {
        std::ofstream(App() / "PKTNRW.DLL") << "x";
        std::ofstream(App() / "PKTNRW.VXD") << "x";
        BoxWatcher box;
        box.Arm();
        StartupOutcome out = Main({}, App().string());
        QVERIFY(!out.mainWindow);
        QVERIFY(box.seen);
        QVERIFY(box.text.startsWith("Improper Installation Detected.  "));
        QVERIFY(box.text.contains("PKTNRW.DLL"));
        QVERIFY(!box.text.contains("PKTNRW.VXD"));  // only the first in list order
        QCOMPARE(out.exitStatus, 1);
        Shutdown(out);
        // The lock is released with the outcome: a next start may run.
        InstanceLock next((App() / "KVRinstaller.lock").string());
        QVERIFY(next.Acquired());
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
