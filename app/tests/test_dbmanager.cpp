#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "RecordingPrompter.h"
#include "TempAppDir.h"
#include "DataDirectory.h"
#include "DatabaseLog.h"
#include "LogRecorder.h"
#include "Globals.h"
#include "basUtils.h"
#include "clsDbManager.h"

namespace {

namespace fs = std::filesystem;
using kvr::test::RecordingPrompter;
using kvr::test::TempAppDir;

// Direct access to the file, beside the manager.
class Sql {
public:
    explicit Sql(const std::string& path) { sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr); }
    ~Sql() { sqlite3_close(m_db); }
    bool Exec(const std::string& sql) { return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
    long long Number(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        long long v = -999;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return v;
    }
    std::string Text(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        std::string v = "<no row>";
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
            const auto* p = sqlite3_column_text(st, 0);
            v = p ? reinterpret_cast<const char*>(p) : "<null>";
        }
        sqlite3_finalize(st);
        return v;
    }
    sqlite3* Handle() { return m_db; }

private:
    sqlite3* m_db = nullptr;
};

TEST(DbManagerStartup, CopiesTemplateOpensAndWritesHeader) {
    TempAppDir app;
    app.CopyTemplate();
    {
        clsDbManager db;
        EXPECT_EQ(G().DbManager, &db);
        ASSERT_TRUE(db.IsOpen());
        EXPECT_TRUE(db.IsUpdatable());
        EXPECT_EQ(db.MaxRecords(), 2000);
        EXPECT_EQ(db.StringTableName(), "tblEnglishStrings");
        Sql sql(app.File("db1.mdb"));
        EXPECT_EQ(sql.Number("SELECT count(*) FROM tblStatus WHERE lngRuntime = -1 AND Level = 13 AND "
                             "strModule = 'clsDbManager' AND Message LIKE 'App = KVRinstaller ver %'"),
                  1);
        EXPECT_EQ(sql.Number("SELECT count(*) FROM tblStatus WHERE Message = 'User default language = ''English'''"), 1);
        EXPECT_EQ(sql.Number("SELECT count(*) FROM tblStatus WHERE Message LIKE 'Database initialized and status log "
                             "opened on %.'"),
                  1);
    }
    EXPECT_EQ(G().DbManager, nullptr);
    EXPECT_TRUE(fs::exists(app.File("db1.mdb")));
    EXPECT_FALSE(fs::exists(app.File("db1-compacted.mdb")));
    EXPECT_FALSE(fs::exists(app.File("db1.mdb-wal")));
    // The compacted file is a working database holding the log.
    Sql sql(app.File("db1.mdb"));
    EXPECT_GE(sql.Number("SELECT count(*) FROM tblStatus"), 3);
    EXPECT_EQ(sql.Text("PRAGMA integrity_check"), "ok");
}

TEST(DbManagerStartup, NoDatabaseAndNoTemplateTellsTheUser) {
    TempAppDir app;
    RecordingPrompter prompter;
    clsDbManager db;
    EXPECT_FALSE(db.IsOpen());
    ASSERT_EQ(prompter.questions.size(), 1u);
    EXPECT_EQ(prompter.questions[0].title, "Database not found");
    EXPECT_EQ(prompter.questions[0].text, "The database file (" + app.File("db1.mdb") + " or alternatively " +
                                              app.File("db1_clean.mdb") +
                                              ") cannot be found.  This could have negative effects on the application.");
    EXPECT_EQ(db.GetSetting(kProgramTitle, "Settings", "AckTimeoutMs", "200"), "200");
    db.SaveSetting(kProgramTitle, "Settings", "AckTimeoutMs", "300");  // quietly nothing
    EXPECT_EQ(LoadResStringWrapper(1000), "KVR Installer");
    EXPECT_FALSE(fs::exists(app.File("db1.mdb")));
}

TEST(DbManagerStartup, SizeWarnings) {
    struct Case {
        long long size;
        std::string expect;  // empty: no box
    };
    for (const Case& c : {Case{10000000, ""}, Case{12500000, "reported to be 12.5 MB."},
                          Case{(1LL << 31) + 5, "greater than 2GB!"}, Case{(1LL << 32) + 5, "greater than 4GB!"}}) {
        TempAppDir app;
        { std::ofstream(app.File("db1.mdb"), std::ios::binary); }
        ASSERT_EQ(truncate(app.File("db1.mdb").c_str(), c.size), 0);
        RecordingPrompter prompter;
        {
            clsDbManager db;
            EXPECT_FALSE(db.IsOpen());  // zeros are no database
        }
        if (c.expect.empty()) {
            EXPECT_TRUE(prompter.questions.empty()) << c.size;
        } else {
            ASSERT_EQ(prompter.questions.size(), 1u) << c.size;
            EXPECT_EQ(prompter.questions[0].title, "SERIOUS WARNING");
            EXPECT_NE(prompter.questions[0].text.find(c.expect), std::string::npos) << prompter.questions[0].text;
        }
        EXPECT_EQ(static_cast<long long>(fs::file_size(app.File("db1.mdb"))), c.size);  // left alone
    }
}

class DbManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        app.CopyTemplate();
        db = std::make_unique<clsDbManager>();
        ASSERT_TRUE(db->IsOpen());
    }
    TempAppDir app;
    std::unique_ptr<clsDbManager> db;
};

TEST_F(DbManagerTest, SettingsReadWriteRemove) {
    const std::string t = kProgramTitle;
    EXPECT_EQ(db->GetSetting(t, "Settings", "LastQfwDownloaded"), "");
    EXPECT_EQ(db->GetSetting(t, "Settings", "LastQfwDownloaded", "dflt"), "dflt");
    Sql sql(app.File("db1.mdb"));
    EXPECT_EQ(sql.Number("SELECT count(*) FROM tblSettings"), 0);  // reading creates nothing

    db->SaveSetting(t, "Settings", "LastQfwDownloaded", "/home/ann/fw.qfw");
    EXPECT_EQ(db->GetSetting(t, "Settings", "LastQfwDownloaded", "dflt"), "/home/ann/fw.qfw");
    db->SaveSetting(t, "Settings", "LastQfwDownloaded", "");  // empty keeps the old value
    EXPECT_EQ(db->GetSetting(t, "Settings", "LastQfwDownloaded"), "/home/ann/fw.qfw");
    db->SaveSetting(t, "Settings", "LastQfwDownloaded", "/b.qfw");
    EXPECT_EQ(db->GetSetting(t, "Settings", "LastQfwDownloaded"), "/b.qfw");
    EXPECT_EQ(sql.Number("SELECT count(*) FROM tblSettings"), 1);

    db->SaveSetting(t, "Settings", "SupportEmailAddress", "");  // a new row without a value
    EXPECT_EQ(sql.Number("SELECT count(*) FROM tblSettings WHERE strKeyName = 'SupportEmailAddress' AND strValue IS NULL"), 1);
    EXPECT_EQ(db->GetSetting(t, "Settings", "SupportEmailAddress", "none"), "none");

    // Names with quotes are data, not SQL.
    db->SaveSetting(t, "O'Brien's", "key') OR ('1'='1", "v");
    EXPECT_EQ(db->GetSetting(t, "O'Brien's", "key') OR ('1'='1"), "v");
    EXPECT_EQ(db->GetSetting(t, "Settings", "key') OR ('1'='1", "none"), "none");

    db->RemoveSetting(t, "Settings", "LastQfwDownloaded");
    EXPECT_EQ(db->GetSetting(t, "Settings", "LastQfwDownloaded", "gone"), "gone");
    db->RemoveSetting(t, "Settings", "NeverThere");
    EXPECT_EQ(sql.Number("SELECT count(*) FROM tblSettings"), 2);
    // Sections keep keys apart.
    db->SaveSetting(t, "frmStatus", "Top", "10");
    db->SaveSetting(t, "frmOther", "Top", "20");
    EXPECT_EQ(db->GetSetting(t, "frmStatus", "Top"), "10");
    EXPECT_EQ(db->GetSetting(t, "frmOther", "Top"), "20");
}

long long StatusRows(const TempAppDir& app) {
    Sql sql(app.File("db1.mdb"));
    return sql.Number("SELECT count(*) FROM tblStatus");
}

TEST_F(DbManagerTest, StatusLogKeepsMaxRecordsDroppingTheOldest) {
    for (int i = 0; i < 2001; ++i) db->AppendToLog("entry " + std::to_string(i), 7, "modTest", i);
    Sql sql(app.File("db1.mdb"));
    EXPECT_EQ(sql.Number("SELECT count(*) FROM tblStatus"), 2000);
    // The three start-up rows went first, then the oldest entry.
    EXPECT_EQ(sql.Number("SELECT count(*) FROM tblStatus WHERE strModule = 'clsDbManager'"), 0);
    EXPECT_EQ(sql.Number("SELECT count(*) FROM tblStatus WHERE Message = 'entry 0'"), 0);
    EXPECT_EQ(sql.Text("SELECT Message FROM tblStatus ORDER BY ID LIMIT 1"), "entry 1");
    EXPECT_EQ(sql.Number("SELECT lngRuntime FROM tblStatus ORDER BY ID DESC LIMIT 1"), 2000);
}

TEST(DbManagerLimits, LoweredLimitIsReachedTwoRowsAtATime) {
    TempAppDir app;
    app.CopyTemplate();
    {
        clsDbManager db;
        for (int i = 0; i < 20; ++i) db.AppendToLog("x", 7, "m", i);
        db.SaveSetting(kProgramTitle, "Settings", "MaxRecords", "10");
    }
    clsDbManager db;
    EXPECT_EQ(db.MaxRecords(), 10);
    const long long before = StatusRows(app);
    ASSERT_GT(before, 14);
    db.AppendToLog("y", 7, "m", 1);
    EXPECT_EQ(StatusRows(app), before - 1);  // one added, two removed
    for (int i = 0; i < 40; ++i) db.AppendToLog("y", 7, "m", 1);
    EXPECT_EQ(StatusRows(app), 10);
}

TEST(DbManagerLimits, MaxRecordsThatIsNoPositiveWholeNumberKeepsDefault) {
    for (const char* bad : {"0", "-5", "abc", "12.5", "99999999999"}) {
        TempAppDir app;
        app.CopyTemplate();
        {
            clsDbManager db;
            db.SaveSetting(kProgramTitle, "Settings", "MaxRecords", bad);
        }
        clsDbManager db;
        EXPECT_EQ(db.MaxRecords(), 2000) << bad;
        db.AppendToLog("kept", 7, "m", 1);
        EXPECT_GT(StatusRows(app), 0) << bad;
    }
}

TEST_F(DbManagerTest, StringLookupFallsBackLanguageThenDefaultThenBuiltIn) {
    Sql sql(app.File("db1.mdb"));
    ASSERT_TRUE(sql.Exec("UPDATE tblEnglishStrings SET String1 = 'English table' WHERE ID = 1000"));
    ASSERT_TRUE(sql.Exec("UPDATE tblDefaultStrings SET String1 = 'Default table' WHERE ID = 1000"));
    ASSERT_TRUE(sql.Exec("DELETE FROM tblEnglishStrings WHERE ID = 1007"));
    db.reset();

    G().UserLanguage = "English";
    db = std::make_unique<clsDbManager>();
    EXPECT_EQ(LoadResStringWrapper(1000), "English table");
    EXPECT_EQ(LoadResStringWrapper(1007), "No KVRs can be found.");  // missing row: built-in
    EXPECT_EQ(LoadResStringWrapper(31999, "given default"), "given default");
    EXPECT_EQ(LoadResStringWrapper(31999), "");

    G().UserLanguage = "german";  // no such table
    EXPECT_EQ(db->OpenStringTable(), 0);
    EXPECT_EQ(db->StringTableName(), "tblDefaultStrings");
    EXPECT_EQ(LoadResStringWrapper(1000), "Default table");
    G().UserLanguage = "english";  // table names compare exactly
    db->OpenStringTable();
    EXPECT_EQ(db->StringTableName(), "tblDefaultStrings");

    ASSERT_TRUE(sql.Exec("DROP TABLE tblDefaultStrings"));
    ASSERT_TRUE(sql.Exec("DROP TABLE tblEnglishStrings"));
    db->CloseStringTable();
    EXPECT_EQ(db->OpenStringTable(), -1);
    EXPECT_EQ(LoadResStringWrapper(1000), "KVR Installer");
    G().UserLanguage = "English";
}

TEST_F(DbManagerTest, MakeCopyAsksBeforeOverwriting) {
    db->SaveSetting(kProgramTitle, "Settings", "SupportEmailAddress", "help@example.org");
    const std::string target = app.File("report copy.mdb");
    EXPECT_EQ(db->MakeCopy(target), 0);
    {
        Sql copy(target);
        EXPECT_EQ(copy.Text("SELECT strValue FROM tblSettings WHERE strKeyName = 'SupportEmailAddress'"),
                  "help@example.org");
    }
    EXPECT_TRUE(db->IsOpen());  // reopened after the copy
    db->AppendToLog("after copy", 7, "m", 1);
    EXPECT_EQ(Sql(app.File("db1.mdb")).Number("SELECT count(*) FROM tblStatus WHERE Message = 'after copy'"), 1);

    app.Write("existing.mdb", "keep me");
    {
        RecordingPrompter no(kvr::PromptAnswer::No);
        EXPECT_EQ(db->MakeCopy(app.File("existing.mdb")), -1);
        ASSERT_EQ(no.questions.size(), 1u);
        EXPECT_EQ(no.questions[0].text, "The file '" + app.File("existing.mdb") + "' already exists.  Overwrite?");
        EXPECT_EQ(no.questions[0].buttons, kvr::PromptButtons::YesNo);
    }
    EXPECT_EQ(app.Read("existing.mdb"), "keep me");
    {
        RecordingPrompter yes(kvr::PromptAnswer::Yes);
        EXPECT_EQ(db->MakeCopy(app.File("existing.mdb")), 0);
    }
    EXPECT_EQ(Sql(app.File("existing.mdb")).Text("PRAGMA integrity_check"), "ok");
    // A target in a folder that does not exist fails and leaves the database working.
    EXPECT_EQ(db->MakeCopy(app.File("no/such/dir/x.mdb")), -1);
    EXPECT_TRUE(db->IsOpen());
}

TEST(DbManagerBadFiles, NotADatabaseIsLeftUntouched) {
    TempAppDir app;
    app.CopyTemplate();
    const std::string garbage(5000, '\x5A');
    app.Write("db1.mdb", garbage);
    {
        kvr::test::DatabaseLog dbLog(clsDbManager::LogWriter());
        clsDbManager db;
        EXPECT_FALSE(db.IsOpen());
        EXPECT_EQ(G().DbManager, &db);
        EXPECT_EQ(db.GetSetting(kProgramTitle, "Settings", "MaxRecords", "2000"), "2000");
        EXPECT_EQ(LoadResStringWrapper(4204), "Database not found");
        DebugLog("logging goes on", "ERROR", std::string("m"));
        EXPECT_EQ(db.MakeCopy(app.File("copy.mdb")), 0);  // support still gets the file as it is
    }
    EXPECT_EQ(app.Read("db1.mdb"), garbage);
    EXPECT_EQ(app.Read("copy.mdb"), garbage);
    EXPECT_FALSE(fs::exists(app.File("db1-compacted.mdb")));
}

TEST(DbManagerBadFiles, MissingTablesFallBack) {
    TempAppDir app;
    {
        sqlite3* h = nullptr;
        sqlite3_open(app.File("db1.mdb").c_str(), &h);
        sqlite3_exec(h, "CREATE TABLE unrelated (x)", nullptr, nullptr, nullptr);
        sqlite3_close(h);
    }
    clsDbManager db;
    EXPECT_TRUE(db.IsOpen());
    EXPECT_EQ(db.GetSetting(kProgramTitle, "Settings", "AckTimeoutMs", "200"), "200");
    db.SaveSetting(kProgramTitle, "Settings", "AckTimeoutMs", "300");
    db.AppendToLog("nowhere to go", 7, "m", 1);
    EXPECT_EQ(LoadResStringWrapper(1000), "KVR Installer");
    EXPECT_EQ(db.OpenStringTable(), -1);
}

TEST(DbManagerBadFiles, LockedByAnotherProcessNeitherHangsNorLosesData) {
    TempAppDir app;
    app.CopyTemplate();
    { clsDbManager first; first.SaveSetting(kProgramTitle, "Settings", "AckTimeoutMs", "250"); }
    const std::string before = app.Read("db1.mdb");
    Sql other(app.File("db1.mdb"));
    ASSERT_TRUE(other.Exec("PRAGMA locking_mode=EXCLUSIVE"));
    ASSERT_TRUE(other.Exec("BEGIN EXCLUSIVE"));
    ASSERT_TRUE(other.Exec("INSERT INTO tblSettings (strAppName, strSection, strKeyName, strValue) VALUES ('a','b','c','d')"));
    {
        kvr::test::DatabaseLog dbLog(clsDbManager::LogWriter());
        clsDbManager db;
        EXPECT_FALSE(db.IsOpen());
        EXPECT_EQ(db.GetSetting(kProgramTitle, "Settings", "AckTimeoutMs", "200"), "200");
        db.AppendToLog("not stored", 7, "m", 1);
    }
    ASSERT_TRUE(other.Exec("COMMIT"));
    EXPECT_EQ(other.Number("SELECT count(*) FROM tblSettings"), 2);  // the other process's write survived
    EXPECT_EQ(other.Text("SELECT strValue FROM tblSettings WHERE strKeyName = 'AckTimeoutMs'"), "250");
    EXPECT_FALSE(fs::exists(app.File("db1-compacted.mdb")));
}

TEST(DbManagerBadFiles, OpenByAnotherConnectionIsNotCompactedAway) {
    TempAppDir app;
    app.CopyTemplate();
    auto db = std::make_unique<clsDbManager>();
    ASSERT_TRUE(db->IsUpdatable());
    Sql other(app.File("db1.mdb"));  // stays open, in write-ahead-log mode
    ASSERT_TRUE(other.Exec("INSERT INTO tblSettings (strAppName, strSection, strKeyName, strValue) VALUES ('a','b','c','d')"));
    db.reset();
    // The other connection still sees its row in the same file.
    EXPECT_EQ(other.Number("SELECT count(*) FROM tblSettings WHERE strValue = 'd'"), 1);
    ASSERT_TRUE(other.Exec("INSERT INTO tblSettings (strAppName, strSection, strKeyName, strValue) VALUES ('a','b','e','f')"));
    EXPECT_EQ(other.Text("PRAGMA integrity_check"), "ok");
}

TEST(DbManagerBadFiles, ReadOnlyFileIsReadButNeverWritten) {
    TempAppDir app;
    app.CopyTemplate();
    { clsDbManager first; first.SaveSetting(kProgramTitle, "Settings", "AckTimeoutMs", "250"); }
    ASSERT_EQ(chmod(app.File("db1.mdb").c_str(), 0444), 0);
    ASSERT_EQ(chmod(app.Path().c_str(), 0755), 0);
    const std::string before = app.Read("db1.mdb");
    const bool childOk = kvr::test::RunUnprivileged([&] {
        {
            clsDbManager db;
            if (!db.IsOpen() || db.IsUpdatable()) return false;
            if (db.GetSetting(kProgramTitle, "Settings", "AckTimeoutMs", "200") != "250") return false;
            db.SaveSetting(kProgramTitle, "Settings", "AckTimeoutMs", "999");
            db.AppendToLog("not stored", 7, "m", 1);
            if (LoadResStringWrapper(1000) != "KVR Installer") return false;
        }
        return true;
    });
    EXPECT_TRUE(childOk);
    EXPECT_EQ(app.Read("db1.mdb"), before);
}

}  // namespace

namespace {
TEST(DbManagerStartup, ReadOnlyTemplateGivesWritableDatabase) {
    kvr::test::TempAppDir app;
    app.CopyTemplate();
    ASSERT_EQ(chmod(app.File("db1_clean.mdb").c_str(), 0444), 0);
    ASSERT_EQ(chmod(app.Path().c_str(), 0777), 0);
    const bool childOk = kvr::test::RunUnprivileged([&] {
        clsDbManager db;
        db.SaveSetting(kProgramTitle, "Settings", "AckTimeoutMs", "150");
        // Setting names compare without regard to case, as users type them.
        return db.IsUpdatable() && db.GetSetting(kProgramTitle, "settings", "ACKTIMEOUTMS") == "150";
    });
    EXPECT_TRUE(childOk);
}
}  // namespace

namespace {
TEST(DbManagerStartup, CompactionAtTheEndShrinksTheFile) {
    kvr::test::TempAppDir app;
    app.CopyTemplate();
    auto db = std::make_unique<clsDbManager>();
    for (int i = 0; i < 1500; ++i) db->AppendToLog(std::string(240, 'x'), 7, "m", i);
    {
        Sql sql(app.File("db1.mdb"));
        ASSERT_TRUE(sql.Exec("DELETE FROM tblStatus WHERE Message LIKE 'xxx%'"));
    }
    const auto walBytes = fs::file_size(app.File("db1.mdb")) + fs::file_size(app.File("db1.mdb-wal"));
    db.reset();
    const auto after = fs::file_size(app.File("db1.mdb"));
    EXPECT_LT(after, 100000u);
    EXPECT_LT(after, walBytes / 4);
    EXPECT_FALSE(fs::exists(app.File("db1.mdb-wal")));
    EXPECT_FALSE(fs::exists(app.File("db1.mdb-shm")));
    EXPECT_EQ(Sql(app.File("db1.mdb")).Text("PRAGMA integrity_check"), "ok");
}
}  // namespace

namespace {
// Checkpoints run beside the logging; when logging goes on without a pause
// the log file must still stay bounded, and nothing may be lost on the way.
// Download lanes log (and look up their texts) on threads of their own while
// the window thread writes settings, all on the one connection.
TEST(DbManagerStatusLog, LoggingThreadsBesideSettingsAndStringLookups) {
    TempAppDir app;
    app.CopyTemplate();
    clsDbManager db;
    kvr::test::DatabaseLog dbLog(clsDbManager::LogWriter());
    const std::string texts[2] = {db.StoredString(1000).value_or(""), db.StoredString(1007).value_or("")};
    std::atomic<int> wrong{0};
    const auto work = [&](int n, bool lane) {
        for (int i = 0; i < 1500; ++i) {
            if (lane) DebugLog("lane " + std::to_string(n) + " record " + std::to_string(i), 13, std::string("lane"));
            else if (i < 300) db.SaveSetting(kProgramTitle, "Settings", "k" + std::to_string(i), "v");
            if (db.StoredString((i + n) % 2 ? 1007 : 1000) != texts[(i + n) % 2]) ++wrong;
        }
    };
    std::vector<std::thread> lanes;
    for (int n = 1; n <= 3; ++n) lanes.emplace_back(work, n, true);
    work(0, false);
    for (std::thread& t : lanes) t.join();
    EXPECT_EQ(wrong.load(), 0);
    Sql sql(app.File("db1.mdb"));
    EXPECT_EQ(sql.Number("SELECT count(*) FROM tblSettings WHERE strValue = 'v'"), 300);
    EXPECT_EQ(sql.Number("SELECT count(*) FROM tblStatus"), 2000);  // kept at the limit, counted right
}

TEST(DbManagerStatusLog, SustainedLoggingKeepsTheWriteAheadLogBoundedAndLosesNothing) {
    kvr::test::TempAppDir app;
    app.CopyTemplate();
    auto db = std::make_unique<clsDbManager>();
    ASSERT_TRUE(db->IsUpdatable());
    const int total = 25000;  // about 50,000 log pages without checkpoints
    std::uintmax_t largestWal = 0;
    for (int i = 0; i < total; ++i) {
        db->AppendToLog("sustained " + std::to_string(i), 7, "modTest", i);
        if (i % 1000 == 999) {
            std::error_code ec;
            largestWal = std::max(largestWal, fs::file_size(app.File("db1.mdb-wal"), ec));
        }
    }
    // 8000 pages of 4 KiB and their frame headers, with room for one burst.
    EXPECT_LT(largestWal, 40u * 1024 * 1024);
    {
        Sql reader(app.File("db1.mdb"));  // another connection sees every row now
        EXPECT_EQ(reader.Number("SELECT count(*) FROM tblStatus"), 2000);
        EXPECT_EQ(reader.Number("SELECT max(lngRuntime) - min(lngRuntime) FROM tblStatus"), 1999);
    }
    db.reset();
    EXPECT_FALSE(fs::exists(app.File("db1.mdb-wal")));
    Sql after(app.File("db1.mdb"));
    EXPECT_EQ(after.Text("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(after.Number("SELECT count(*) FROM tblStatus WHERE Message = 'sustained " + std::to_string(total - 1) +
                           "'"),
              1);
}
}  // namespace

namespace {
// Runs fn in a child process: its exit status, 0 when fn returned true.
int ChildStatus(const std::function<bool()>& fn) {
    const pid_t pid = fork();
    if (pid == 0) _exit(fn() ? 0 : 1);
    int status = -1;
    if (pid > 0) waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long FilesSetAside(const TempAppDir& app) {
    return std::ranges::count_if(fs::directory_iterator(app.Path()), [](auto& e) { return e.path().string().find(".bad-") != std::string::npos; });
}

// A write that fails (a full disk) or a program that stops (a crash) at a step
// of the template copy or of the compaction at the end, then what an older
// swap or a hand could leave: the next start finds one whole database, and
// nothing that was there is lost (what it sets aside stays on the disk).
TEST(DbManagerFullDisk, EveryStepOfTheCopyAndTheCompactionLeavesOneWholeDatabase) {
    using kvr::FileStep;
    enum Then { Nothing, HalfSpare, NoDb, HalfDb, EmptyDb, TableLess };
    struct Row { bool compact; FileStep step; int nth; bool stop; Then then; int setAside; };
    const Row rows[] = {
        {false, FileStep::Create, 1, false, Nothing, 0}, {false, FileStep::Write, 2, false, Nothing, 0},
        {false, FileStep::Write, 2, true, Nothing, 0},   {false, FileStep::Flush, 1, false, Nothing, 0},
        {false, FileStep::Close, 1, false, Nothing, 0},  {false, FileStep::Rename, 1, false, Nothing, 0},
        {false, FileStep::Rename, 1, true, EmptyDb, 1},  {false, FileStep::FlushDirectory, 1, false, TableLess, 1},
        {false, FileStep::FlushDirectory, 1, true, Nothing, 0}, {true, FileStep::Flush, 1, false, Nothing, 0},
        {true, FileStep::Flush, 1, true, Nothing, 0},    {true, FileStep::Flush, 1, true, HalfSpare, 1},
        {true, FileStep::Flush, 1, true, NoDb, 0},       {true, FileStep::Flush, 1, true, HalfDb, 1},
        {true, FileStep::Rename, 1, false, Nothing, 0},  {true, FileStep::Rename, 1, true, Nothing, 0},
        {true, FileStep::FlushDirectory, 1, true, Nothing, 0}};
    for (const Row& r : rows) {
        const long row = &r - rows;
        TempAppDir app;
        app.CopyTemplate();
        if (r.compact) clsDbManager(false).SaveSetting(kProgramTitle, "Settings", "Kept", "yes");
        EXPECT_EQ(ChildStatus([&] {
                      int calls = 0;
                      const auto hook = [&](FileStep s, const std::string&) {
                          if (s == r.step && ++calls == r.nth && r.stop) _exit(0);
                          return s == r.step && calls == r.nth ? ENOSPC : 0;
                      };
                      if (!r.compact) kvr::SetFileStepHook(hook);
                      clsDbManager db;
                      kvr::SetFileStepHook(hook);
                      return true;
                  }),
                  0) << row;
        EXPECT_TRUE(r.compact || fs::exists(app.File("db1.mdb")) == (r.stop && r.step == FileStep::FlushDirectory)) << row;
        EXPECT_TRUE(r.stop || !(fs::exists(app.File("db1.mdb.part")) || fs::exists(app.File("db1-compacted.mdb")))) << row;
        const std::string db1 = app.File("db1.mdb"), spare = app.File("db1-compacted.mdb");
        if (r.then == HalfSpare) fs::resize_file(spare, fs::file_size(spare) / 2);
        if (r.then == NoDb || r.then == HalfDb) fs::remove(db1);
        if (r.then == HalfDb) fs::copy_file(spare, db1), fs::resize_file(db1, fs::file_size(spare) / 2);
        if (r.then == EmptyDb) app.Write("db1.mdb", "");
        if (r.then == TableLess) Sql(app.File("db1_clean.mdb")).Exec("VACUUM INTO '" + db1 + "'"), Sql(db1).Exec("DROP TABLE tblStatus");
        clsDbManager db;
        EXPECT_TRUE(db.IsUpdatable()) << row;
        EXPECT_EQ(db.StringTableName(), "tblEnglishStrings") << row;
        EXPECT_EQ(db.GetSetting(kProgramTitle, "Settings", "Kept", "lost"), r.compact ? "yes" : "lost") << row;
        EXPECT_FALSE(fs::exists(app.File("db1.mdb.part"))) << row;
        EXPECT_EQ(FilesSetAside(app), r.setAside) << row;
    }
}

// A real disk that fills, in a tmpfs of 256 KiB mounted where only this test sees it.
TEST(DbManagerFullDisk, FullFileSystemCostsNeitherTheDatabaseNorTheProgram) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs in a private mount namespace needs root";
    TempAppDir app;
    const int status = ChildStatus([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", app.Path().c_str(), "tmpfs", 0, "size=256k") != 0)
            _exit(77);
        app.CopyTemplate();
        const auto fill = [&] { for (std::ofstream f(app.File("filler")); f << std::string(4096, 'x');) {} };
        kvr::test::LogRecorder log;
        fill();
        bool ok = !clsDbManager().IsOpen() && !fs::exists(app.File("db1.mdb")) && !fs::exists(app.File("db1.mdb.part")) &&
                  log.HasContaining("could not be copied: cannot write '" + app.File("db1.mdb.part") + "': No space left");
        fs::remove(app.File("filler"));
        {
            kvr::test::DatabaseLog dbLog(clsDbManager::LogWriter());
            clsDbManager db;
            fill();
            for (int i = 0; i < 3000; ++i) DebugLog("message " + std::to_string(i), "WARNING", std::string("m"));
            ok = ok && db.IsUpdatable() && log.CountContaining("Status log cannot be written (database or disk is full)") == 1;
            fs::remove(app.File("filler"));
            DebugLog("after", "WARNING", std::string("m"));
            ok = ok && log.CountContaining("Status log written again; ") == 1 &&
                 Sql(db.DatabasePath()).Number("SELECT count(*) FROM tblStatus WHERE Message = 'after'") == 1;
        }
        return ok;
    });
    if (status == 77) GTEST_SKIP() << "no private mount namespace with a tmpfs here";
    EXPECT_EQ(status, 0);
}
}  // namespace
