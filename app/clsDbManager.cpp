#include "clsDbManager.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "DataDirectory.h"
#include "Globals.h"
#include "HexText.h"
#include "LibraryLoader.h"
#include "RunTimeError.h"
#include "Seams.h"
#include "basWinAPI.h"
#include "kvr_resources.h"

#ifndef KVR_VERSION_MAJOR
#define KVR_VERSION_MAJOR 0
#define KVR_VERSION_MINOR 0
#define KVR_VERSION_PATCH 0
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* kModule = "clsDbManager";
constexpr long kDefaultMaxRecords = 2000;
// A statement that finds the database locked gives up after this long, so a
// file held by another process slows the program down but never hangs it.
constexpr int kBusyTimeoutMs = 100;

// Write-ahead log sizes (in pages) that start a checkpoint: from the first on
// the checkpoint thread copies the log back into the file; the writer does it
// itself only when the log has grown to the second, because the thread cannot
// keep up, which bounds the log's size. Without the thread the writer
// checkpoints every 4000 pages (16 MB of log), so that the disk syncs of
// checkpoints do not dominate the cost of logging.
constexpr int kBackgroundCheckpointPages = 1000;
constexpr int kForegroundCheckpointPages = 8000;
constexpr int kUnassistedCheckpointPages = 4000;

// The settings statement; the three names are bound, never pasted in.
constexpr const char* kSettingsQuery =
    "SELECT ID, strValue FROM tblSettings WHERE ((strAppName = ?1) AND (strSection = ?2) AND (strKeyName = ?3))";

// The program's built-in text of a message of this file, else the English given.
std::string Text(const std::string& id, long number) {
    if (const char* s = kvr::res::BuiltinString(number)) return s;
    return id;
}

std::string Replace(std::string s, const std::string& what, const std::string& with) {
    for (std::size_t p = 0; (p = s.find(what, p)) != std::string::npos; p += with.size()) s.replace(p, what.size(), with);
    return s;
}

// The first n characters of a UTF-8 text (bytes that are not valid UTF-8
// count as one character each), never cutting a character in two.
std::string FirstChars(const std::string& s, std::size_t n) {
    std::size_t i = 0, chars = 0;
    while (i < s.size() && chars < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = 1;
        if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c >= 0xE0 && c <= 0xEF) len = 3;
        else if (c >= 0xF0 && c <= 0xF4) len = 4;
        if (len > 1) {
            if (i + len > s.size()) len = 1;
            for (std::size_t k = 1; k < len; ++k)
                if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) len = 1;
        }
        i += len;
        ++chars;
    }
    return s.substr(0, i);
}

std::string NowText() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}


// A whole number from 1 to 2147483647 written as digits (blanks around allowed).
std::optional<long> PositiveWholeNumber(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    if (b < e && text[b] == '+') ++b;
    if (b == e || e - b > 10) return std::nullopt;
    long long v = 0;
    for (std::size_t i = b; i < e; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
        v = v * 10 + (text[i] - '0');
    }
    if (v < 1 || v > 2147483647LL) return std::nullopt;
    return static_cast<long>(v);
}

std::string QuoteIdentifier(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// Opens a connection. On failure rc holds the code and the result is the
// handle SQLite may still have made (for its message), which closes itself.
kvr::SqliteConnection OpenConnection(const std::string& path, int flags, int& rc) {
    sqlite3* db = nullptr;
    rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    return kvr::SqliteConnection(db);
}

// Prepares a statement; null when it cannot be prepared.
kvr::SqliteStatement Prepare(sqlite3* db, const std::string& sql, unsigned flags = 0) {
    sqlite3_stmt* st = nullptr;
    if (!db || sqlite3_prepare_v3(db, sql.c_str(), -1, flags, &st, nullptr) != SQLITE_OK) {
        sqlite3_finalize(st);
        return nullptr;
    }
    return kvr::SqliteStatement(st);
}

// A prepared statement of one use, with text binding.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : m_st(Prepare(db, sql)) {}
    explicit operator bool() const { return m_st != nullptr; }
    sqlite3_stmt* get() const { return m_st.get(); }
    void Bind(int i, const std::string& s) {
        sqlite3_bind_text(m_st.get(), i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }

private:
    kvr::SqliteStatement m_st;
};

std::string ColumnText(sqlite3_stmt* st, int col) {
    const auto* p = sqlite3_column_text(st, col);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(st, col)))
             : std::string();
}

// Writes a compacted copy of the database file to target through a connection
// of its own (closed again on return). "" on success, else "<code>: <text>".
std::string VacuumInto(const std::string& dbPath, const std::string& target) {
    int rc = SQLITE_OK;
    const kvr::SqliteConnection db = OpenConnection(dbPath, SQLITE_OPEN_READWRITE, rc);
    if (rc != SQLITE_OK) return std::to_string(rc) + ": " + sqlite3_errstr(rc);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    Statement vac(db.get(), "VACUUM INTO ?1");
    if (!vac) return std::to_string(sqlite3_errcode(db.get())) + ": " + sqlite3_errmsg(db.get());
    vac.Bind(1, target);
    rc = sqlite3_step(vac.get());
    if (rc != SQLITE_DONE) return std::to_string(rc) + ": " + sqlite3_errmsg(db.get());
    return "";
}

// What a database file found at start-up is.
enum class FileState {
    Missing,
    Sound,    // a whole database with the program's tables
    Broken,   // ours but of no use: empty, damaged, without the program's tables
    NotOurs,  // not an SQLite file, locked by another process, or not ours to change
};
struct Inspection {
    FileState state;
    std::string why;  // for Broken: what is wrong, as "is empty"
};

// Databases up to the size that is not yet worth a warning are checked page
// by page; a bigger file would slow every start down.
constexpr std::uintmax_t kCheckedSize = 10000000;

Inspection InspectDatabaseFile(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return {FileState::Missing, {}};
    const std::uintmax_t size = fs::file_size(path, ec);
    // A file this user may not write is read but never changed or renamed.
    if (ec || access(path.c_str(), R_OK | W_OK) != 0) return {FileState::NotOurs, {}};
    const bool hasWal = fs::exists(path + "-wal", ec);
    if (size == 0 && !hasWal) return {FileState::Broken, "is empty"};
    // A file that does not begin like an SQLite database is somebody else's.
    static const char kMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
    char head[16] = {};
    std::ifstream in(path, std::ios::binary);
    in.read(head, sizeof head);
    if (std::memcmp(head, kMagic, static_cast<std::size_t>(in.gcount())) != 0) return {FileState::NotOurs, {}};
    int rc = SQLITE_OK;
    const kvr::SqliteConnection db = OpenConnection(path, SQLITE_OPEN_READWRITE, rc);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
        rc = sqlite3_exec(db.get(), "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    if ((rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB)
        return {FileState::Broken, std::string("is damaged (") + (db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc)) + ")"};
    if (rc != SQLITE_OK) return {FileState::NotOurs, {}};
    for (const char* table : {"tblSettings", "tblStatus"}) {
        Statement st(db.get(), "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
        if (!st) return {FileState::NotOurs, {}};
        st.Bind(1, table);
        if (sqlite3_step(st.get()) != SQLITE_ROW)
            return {FileState::Broken, size == 0 ? "is empty" : std::string("has no table ") + table};
    }
    if (size <= kCheckedSize) {
        Statement check(db.get(), "PRAGMA quick_check(1)");
        const int step = check ? sqlite3_step(check.get()) : SQLITE_ERROR;
        const std::string result = step == SQLITE_ROW ? ColumnText(check.get(), 0) : sqlite3_errmsg(db.get());
        if (result != "ok") return {FileState::Broken, "is damaged (" + result + ")"};
    }
    return {FileState::Sound, {}};
}

}  // namespace

namespace kvr {

void SqliteConnectionCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void SqliteStatementFinalizer::operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }

// A second connection to the same file whose thread runs passive checkpoints
// when the writer asks for one. A passive checkpoint never blocks the writer:
// the writer goes on appending to the log while the thread copies and syncs.
class WalCheckpointer {
public:
    // Null when the connection or the thread cannot be had; the writer then
    // checkpoints by itself.
    static std::unique_ptr<WalCheckpointer> Start(const std::string& path) {
        int rc = SQLITE_OK;
        SqliteConnection db = OpenConnection(path, SQLITE_OPEN_READWRITE, rc);
        if (rc != SQLITE_OK) return nullptr;
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
        // Reading the schema attaches the connection to the write-ahead log.
        if (sqlite3_exec(db.get(), "PRAGMA synchronous=NORMAL; SELECT count(*) FROM sqlite_master", nullptr, nullptr,
                         nullptr) != SQLITE_OK)
            return nullptr;
        std::unique_ptr<WalCheckpointer> c(new WalCheckpointer(std::move(db)));
        try {
            c->m_thread = std::thread([raw = c.get()] { raw->Run(); });
        } catch (...) {
            return nullptr;  // the connection closes itself
        }
        return c;
    }

    ~WalCheckpointer() {
        {
            std::lock_guard<std::mutex> lock(m_mu);
            m_stop = true;
        }
        m_cv.notify_one();
        if (m_thread.joinable()) m_thread.join();
    }

    WalCheckpointer(const WalCheckpointer&) = delete;
    WalCheckpointer& operator=(const WalCheckpointer&) = delete;

    // The writer's own checkpoint when the log has grown too long: waits for
    // a checkpoint of the thread that is under way (a passive checkpoint
    // cannot run beside another one), then copies the whole log back so that
    // the writer's next transaction starts the log again from its beginning.
    void RunOnWriter(sqlite3* db, const char* dbName) {
        std::lock_guard<std::mutex> running(m_running);
        sqlite3_wal_checkpoint_v2(db, dbName, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }

    void Request() {
        {
            std::lock_guard<std::mutex> lock(m_mu);
            if (m_wanted) return;
            m_wanted = true;
        }
        m_cv.notify_one();
    }

private:
    explicit WalCheckpointer(SqliteConnection db) : m_db(std::move(db)) {}

    void Run() {
        std::unique_lock<std::mutex> lock(m_mu);
        for (;;) {
            m_cv.wait(lock, [this] { return m_stop || m_wanted; });
            if (m_stop) return;
            m_wanted = false;
            lock.unlock();
            {
                std::lock_guard<std::mutex> running(m_running);
                sqlite3_wal_checkpoint_v2(m_db.get(), "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            }
            lock.lock();
        }
    }

    SqliteConnection m_db;  // closed after the thread has ended
    std::thread m_thread;
    std::mutex m_mu;       // m_wanted, m_stop
    std::mutex m_running;  // held for the time of a checkpoint
    std::condition_variable m_cv;
    bool m_wanted = false;
    bool m_stop = false;
};

}  // namespace kvr

namespace {

// Called by SQLite after each commit of the writer with the log's size.
int OnWalCommit(void* context, sqlite3* db, const char* dbName, int pages) {
    auto* checkpointer = static_cast<kvr::WalCheckpointer*>(context);
    if (!checkpointer) {
        if (pages >= kUnassistedCheckpointPages)
            sqlite3_wal_checkpoint_v2(db, dbName, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    } else if (pages >= kForegroundCheckpointPages) {
        checkpointer->RunOnWriter(db, dbName);
    } else if (pages >= kBackgroundCheckpointPages) {
        checkpointer->Request();
    }
    return SQLITE_OK;
}

}  // namespace

namespace {
// Every use of the connection, of its statements and of the state beside them
// holds the log's lock: download lanes log (and look up their texts) on
// threads of their own while the window thread reads and writes settings, and
// one connection runs one statement sequence at a time (a settings write must
// not land inside a log record's transaction, nor two lookups share the
// string statement). Nothing waits for another thread while holding it.
using DbLock = std::lock_guard<std::recursive_mutex>;
}  // namespace

clsDbManager::clsDbManager() { Construct(); }

clsDbManager* clsDbManager::Current() { return dynamic_cast<clsDbManager*>(G().DbManager); }

kvr::StatusLogWriter clsDbManager::LogWriter() {
    return [](const std::string& message, long level, const std::string& module, long runTime) {
        if (clsDbManager* db = Current()) db->AppendToLog(message, level, module, runTime);
    };
}

clsDbManager::clsDbManager(bool deleteStatusLogOnStartup) {
    ysnDeleteStatusLogOnStartup = deleteStatusLogOnStartup;
    Construct();
}

std::string clsDbManager::AppPath(const char* fileName) const {
    return (fs::path(m_appDirectory) / fileName).string();
}

std::string clsDbManager::DataPath(const char* fileName) const {
    return (fs::path(m_dataDirectory) / fileName).string();
}

std::string clsDbManager::DatabasePath() const { return DataPath("db1.mdb"); }

void clsDbManager::Construct() {
    m_appDirectory = G().AppDirectory.empty() ? kvr::ExecutableDirectory() : G().AppDirectory;
    m_dataDirectory = kvr::DataDirectory().empty() ? m_appDirectory : kvr::DataDirectory();
    const std::string dbPath = DataPath("db1.mdb");
    const std::string cleanPath = AppPath("db1_clean.mdb");

    CheckDatabaseSize();
    RecoverDatabaseFiles(dbPath, cleanPath);

    // A missing database is replaced by a copy of the template (writable even
    // when the shipped template is not).
    if (!PathExists(dbPath)) {
        if (PathExists(cleanPath)) {
            std::string problem;
            if (kvr::CopyFileWhole(cleanPath, dbPath, problem) != 0) {
                m_copyProblem = "the template '" + cleanPath + "' could not be copied: " + problem;
            } else if (m_databaseSetAside) {
                m_startupNotes.push_back("Database '" + dbPath + "' made again from '" + cleanPath + "'.");
            }
        } else {
            kvr::CurrentPrompter().Ask("The database file (" + dbPath + " or alternatively " + cleanPath +
                                           ") cannot be found.  " + "This could have negative effects on the application.",
                                       Text("Database not found", 4204), kvr::PromptButtons::OK,
                                       kvr::PromptIcon::Critical);
        }
    }

    // Open shared; the rest only with an open database.
    const DbLock lock(kvr::LogMutex());
    if (!OpenDatabase()) {
        for (const std::string& note : m_startupNotes) DebugLog(note, "WARNING", std::string(kModule));
    } else {
        m_maxRecords = kDefaultMaxRecords;
        const std::string maxText = GetSetting(kProgramTitle, "Settings", "MaxRecords", std::to_string(kDefaultMaxRecords));
        if (auto v = PositiveWholeNumber(maxText)) {
            m_maxRecords = *v;
        } else {
            StatusDisplay("MaxRecords setting '" + maxText + "' is not a positive whole number; keeping " +
                              std::to_string(kDefaultMaxRecords) + " status log records.",
                          "WARNING");
        }
        if (ysnDeleteStatusLogOnStartup && m_updatable) Exec("DELETE FROM tblStatus");
        OpenStatusRecordSet();
        OpenStringTable();
        WriteStartupHeader();
        for (const std::string& note : m_startupNotes) StatusDisplay(note, "WARNING");
        StatusDisplay("Database initialized and status log opened on " + NowText() + ".", 13);
    }
    G().DbManager = this;
}

// One complete database, or none, for the program to open: what a stopped
// copy or compaction, a full disk or a hand-made file left behind is set
// aside, never deleted, so that nothing that was there is lost.
void clsDbManager::RecoverDatabaseFiles(const std::string& dbPath, const std::string& cleanPath) {
    const std::string compacted = DataPath("db1-compacted.mdb");
    const Inspection spare = InspectDatabaseFile(compacted);
    if (spare.state == FileState::Broken)
        SetAside(compacted, "The compaction file '" + compacted + "' of an earlier run " + spare.why);
    const Inspection db = InspectDatabaseFile(dbPath);
    if (db.state == FileState::Broken && (spare.state == FileState::Sound || PathExists(cleanPath))) {
        SetAside(dbPath, "Database '" + dbPath + "' " + db.why);
        m_databaseSetAside = true;
    } else if (db.state == FileState::Missing && (PathExists(dbPath + "-wal") || PathExists(dbPath + "-shm"))) {
        // The log of a database that is gone would be replayed into the new one.
        SetAside(dbPath, "The write-ahead log of the missing database '" + dbPath + "'");
    }
    if (spare.state == FileState::Sound && !PathExists(dbPath)) {
        std::string problem;
        if (kvr::MoveFileWhole(compacted, dbPath, problem) == 0) {
            m_startupNotes.push_back("Database '" + dbPath + "' restored from the compaction file '" + compacted + "'.");
            m_databaseSetAside = false;
        } else {
            m_startupNotes.push_back("Database '" + dbPath + "' could not be restored from the compaction file: " + problem);
        }
    }
}

void clsDbManager::SetAside(const std::string& path, const std::string& what) {
    std::string problem;
    const std::string aside = kvr::SetFileAside(path, problem);
    m_startupNotes.push_back(aside.empty() ? what + "; it could not be set aside: " + problem + "."
                                           : what + "; set aside as '" + aside + "'.");
}

void clsDbManager::CheckDatabaseSize() {
    const FileSize64 size = GetFileSize64(DataPath("db1.mdb"));
    if (!size.Found() || size.Bytes() <= 10000000u) return;
    std::string text;
    if (size.High != 0) {
        text = Text("The size of the database file which the application uses is reported to be greater than 4GB!", 4201);
    } else if (size.Low < 0) {
        text = Text("The size of the database file which the application uses is reported to be greater than 2GB!", 4202);
    } else {
        char mb[32];
        std::snprintf(mb, sizeof mb, "%.10g", static_cast<double>(size.Bytes()) / 1000000.0);
        text = Replace(Text("The size of the database file is %FileSize% MB.", 4203), "%FileSize%", mb);
    }
    DebugLog(text, "WARNING", std::string(kModule));
    kvr::CurrentPrompter().Ask(text, "SERIOUS WARNING", kvr::PromptButtons::OK, kvr::PromptIcon::Warning);
}

bool clsDbManager::OpenDatabase() {
    const std::string path = DataPath("db1.mdb");
    if (!PathExists(path)) {
        if (!m_copyProblem.empty()) {
            DebugLog("Cannot open database '" + path + "': " + m_copyProblem +
                         ". Running without settings, status log and string tables.",
                     "ERROR", std::string(kModule));
        } else {
            DebugLog("Database '" + path + "' does not exist; running without settings and status log.", "ERROR",
                     std::string(kModule));
        }
        return false;
    }
    // Read and write, shared; never create: a missing file stays missing.
    int rc = SQLITE_OK;
    kvr::SqliteConnection db = OpenConnection(path, SQLITE_OPEN_READWRITE, rc);
    std::string problem;
    if (rc != SQLITE_OK) {
        problem = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
    } else {
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
        // Reading the schema proves the file is a database we may use.
        rc = sqlite3_exec(db.get(), "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
            problem = "the database is locked by another process";
        } else if (rc != SQLITE_OK) {
            problem = sqlite3_errmsg(db.get());
        }
    }
    if (!problem.empty()) {
        DebugLog("Cannot open database '" + path + "': " + problem +
                     ". Running without settings, status log and string tables.",
                 "ERROR", std::string(kModule));
        return false;
    }
    m_db = std::move(db);
    m_updatable = sqlite3_db_readonly(m_db.get(), "main") == 0;
    if (m_updatable) m_everOpened = true;
    if (m_updatable) {
        sqlite3_exec(m_db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(m_db.get(), "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
        // Each log record writes two or three pages (the new row and the trim),
        // and a checkpoint waits for the disk: done by the writer it stalls the
        // program for many milliseconds every thousand or so messages.
        m_checkpointer = kvr::WalCheckpointer::Start(path);
        sqlite3_wal_hook(m_db.get(), OnWalCommit, m_checkpointer.get());
    } else {
        DebugLog("Database '" + path + "' is read-only: settings and status log are not saved.", "WARNING",
                 std::string(kModule));
    }
    return true;
}

void clsDbManager::CloseDatabase() {
    CloseStatusRecordSet();
    CloseStringTable();
    // The checkpoint connection goes first, so that closing the writer, the
    // last connection, copies the rest of the log back and removes it.
    m_checkpointer.reset();
    m_db.reset();
    m_updatable = false;
}

bool clsDbManager::Exec(const char* sql) {
    return m_db && sqlite3_exec(m_db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void clsDbManager::OpenStatusRecordSet() {
    CloseStatusRecordSet();
    if (!m_db) return;
    Statement count(m_db.get(), "SELECT count(*) FROM (" + m_statusQuery + ")");
    if (!count || sqlite3_step(count.get()) != SQLITE_ROW) {
        DebugLog("Status log table tblStatus cannot be read: " + std::string(sqlite3_errmsg(m_db.get())), "ERROR",
                 std::string(kModule));
        return;
    }
    m_statusRows = sqlite3_column_int64(count.get(), 0);
    if (!m_updatable) return;
    const char* sql[] = {
        "INSERT INTO tblStatus (lngRuntime, Level, Message, strModule) VALUES (?1, ?2, ?3, ?4)",
        "DELETE FROM tblStatus WHERE ID = (SELECT min(ID) FROM tblStatus)",
        "BEGIN IMMEDIATE",
        "COMMIT",
    };
    kvr::SqliteStatement* targets[] = {&m_stInsert, &m_stDeleteOldest, &m_stBegin, &m_stCommit};
    for (int i = 0; i < 4; ++i) {
        *targets[i] = Prepare(m_db.get(), sql[i], SQLITE_PREPARE_PERSISTENT);
        if (!*targets[i]) {
            DebugLog("Status log table tblStatus cannot be written: " + std::string(sqlite3_errmsg(m_db.get())), "ERROR",
                     std::string(kModule));
            CloseStatusRecordSet();
            return;
        }
    }
}

void clsDbManager::CloseStatusRecordSet() {
    for (kvr::SqliteStatement* st : {&m_stInsert, &m_stDeleteOldest, &m_stBegin, &m_stCommit}) st->reset();
}

bool clsDbManager::TableExists(const std::string& name) {
    if (!m_db || name.empty()) return false;
    Statement st(m_db.get(), "SELECT name FROM sqlite_master WHERE type = 'table'");
    if (!st) return false;
    while (sqlite3_step(st.get()) == SQLITE_ROW) {
        if (ColumnText(st.get(), 0) == name) return true;  // exact, case-sensitive
    }
    return false;
}

long clsDbManager::OpenStringTable() {
    const DbLock lock(kvr::LogMutex());
    if (m_stString) CloseStringTable();
    std::string candidate;
    std::string lang = G().UserLanguage;
    const auto b = lang.find_first_not_of(" \t");
    const auto e = lang.find_last_not_of(" \t");
    lang = b == std::string::npos ? std::string() : lang.substr(b, e - b + 1);
    if (!lang.empty()) {
        candidate = "tbl" + G().UserLanguage + "Strings";
        if (!TableExists(candidate)) candidate.clear();
    }
    if (candidate.empty()) {
        candidate = "tblDefaultStrings";
        if (!TableExists(candidate)) candidate.clear();
    }
    if (candidate.empty()) return -1;
    m_stString = Prepare(m_db.get(), "SELECT String1 FROM " + QuoteIdentifier(candidate) + " WHERE ID = ?1",
                         SQLITE_PREPARE_PERSISTENT);
    if (!m_stString) return -1;
    m_stringTable = candidate;
    return 0;
}

void clsDbManager::CloseStringTable() {
    const DbLock lock(kvr::LogMutex());
    m_stString.reset();
    m_stringTable.clear();
}

std::optional<std::string> clsDbManager::StoredString(long id, std::string* failure) {
    const DbLock lock(kvr::LogMutex());
    if (!m_stString) return std::nullopt;
    std::optional<std::string> found;
    sqlite3_reset(m_stString.get());
    sqlite3_bind_int64(m_stString.get(), 1, id);
    const int rc = sqlite3_step(m_stString.get());
    if (rc == SQLITE_ROW && sqlite3_column_type(m_stString.get(), 0) != SQLITE_NULL) {
        found = ColumnText(m_stString.get(), 0);
    } else if (rc != SQLITE_ROW && rc != SQLITE_DONE && failure) {
        *failure = FormatTrappedError(rc, sqlite3_errmsg(m_db.get()), "LoadResStringDb");
    }
    sqlite3_reset(m_stString.get());
    return found;
}

std::string clsDbManager::GetSetting(const std::string& appName, const std::string& section,
                                     const std::string& keyName, const std::optional<std::string>& defaultValue) {
    const DbLock lock(kvr::LogMutex());
    std::string value;
    Statement st(m_db.get(), kSettingsQuery);
    if (st) {
        st.Bind(1, appName);
        st.Bind(2, section);
        st.Bind(3, keyName);
        if (sqlite3_step(st.get()) == SQLITE_ROW) value = ColumnText(st.get(), 1);
    }
    if (value.empty() && defaultValue) return *defaultValue;
    return value;
}

void clsDbManager::SaveSetting(const std::string& appName, const std::string& section, const std::string& keyName,
                               const std::string& value) {
    const DbLock lock(kvr::LogMutex());
    if (!IsUpdatable()) return;
    Statement find(m_db.get(), kSettingsQuery);
    if (!find) return;
    find.Bind(1, appName);
    find.Bind(2, section);
    find.Bind(3, keyName);
    const int rc = sqlite3_step(find.get());
    if (rc == SQLITE_ROW) {
        const sqlite3_int64 id = sqlite3_column_int64(find.get(), 0);
        Statement upd(m_db.get(), value.empty() ? "UPDATE tblSettings SET strAppName = ?1, strSection = ?2, strKeyName = ?3 WHERE ID = ?5"
                                          : "UPDATE tblSettings SET strAppName = ?1, strSection = ?2, strKeyName = ?3, "
                                            "strValue = ?4 WHERE ID = ?5");
        if (!upd) return;
        upd.Bind(1, appName);
        upd.Bind(2, section);
        upd.Bind(3, keyName);
        if (!value.empty()) upd.Bind(4, value);
        sqlite3_bind_int64(upd.get(), 5, id);
        sqlite3_step(upd.get());
    } else if (rc == SQLITE_DONE) {
        Statement ins(m_db.get(), "INSERT INTO tblSettings (strAppName, strSection, strKeyName, strValue) VALUES (?1, ?2, ?3, ?4)");
        if (!ins) return;
        ins.Bind(1, appName);
        ins.Bind(2, section);
        ins.Bind(3, keyName);
        if (!value.empty()) ins.Bind(4, value);  // unbound stays NULL: a row without a value
        sqlite3_step(ins.get());
    }
}

void clsDbManager::RemoveSetting(const std::string& appName, const std::string& section, const std::string& keyName) {
    const DbLock lock(kvr::LogMutex());
    if (!IsUpdatable()) return;
    Statement find(m_db.get(), kSettingsQuery);
    if (!find) return;
    find.Bind(1, appName);
    find.Bind(2, section);
    find.Bind(3, keyName);
    if (sqlite3_step(find.get()) != SQLITE_ROW) return;
    const sqlite3_int64 id = sqlite3_column_int64(find.get(), 0);
    Statement del(m_db.get(), "DELETE FROM tblSettings WHERE ID = ?1");
    if (!del) return;
    sqlite3_bind_int64(del.get(), 1, id);
    sqlite3_step(del.get());
}

void clsDbManager::AppendToLog(const std::string& message, long level, const std::string& module, long runTime) {
    const DbLock lock(kvr::LogMutex());
    if (!IsUpdatable() || !m_stInsert) return;
    // One transaction per record: the row and its trim are committed together.
    sqlite3_reset(m_stBegin.get());
    if (sqlite3_step(m_stBegin.get()) != SQLITE_DONE) {
        sqlite3_reset(m_stBegin.get());
        NoteStatusLogWrite(false);
        return;
    }
    sqlite3_reset(m_stBegin.get());
    bool ok = false;
    const std::string msg = FirstChars(message, 250);
    const std::string mod = FirstChars(module, 50);
    sqlite3_reset(m_stInsert.get());
    sqlite3_bind_int64(m_stInsert.get(), 1, runTime);
    sqlite3_bind_int64(m_stInsert.get(), 2, level);
    sqlite3_bind_text(m_stInsert.get(), 3, msg.data(), static_cast<int>(msg.size()), SQLITE_STATIC);
    sqlite3_bind_text(m_stInsert.get(), 4, mod.data(), static_cast<int>(mod.size()), SQLITE_STATIC);
    long long rows = m_statusRows;
    if (sqlite3_step(m_stInsert.get()) == SQLITE_DONE) {
        ok = true;
        ++rows;
        for (int i = 0; i < 2 && rows > m_maxRecords; ++i) {
            sqlite3_reset(m_stDeleteOldest.get());
            if (sqlite3_step(m_stDeleteOldest.get()) != SQLITE_DONE) {
                ok = false;
                break;
            }
            rows -= sqlite3_changes(m_db.get());
        }
    }
    sqlite3_reset(m_stInsert.get());
    sqlite3_clear_bindings(m_stInsert.get());
    sqlite3_reset(m_stDeleteOldest.get());
    if (ok) {
        sqlite3_reset(m_stCommit.get());
        ok = sqlite3_step(m_stCommit.get()) == SQLITE_DONE;
        sqlite3_reset(m_stCommit.get());
    }
    if (ok) {
        m_statusRows = rows;
    } else if (!sqlite3_get_autocommit(m_db.get())) {
        sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    NoteStatusLogWrite(ok);
}

// A full disk costs the records that do not fit, never the program: the first
// lost record is reported (the report itself is lost too while the disk stays
// full; it still reaches the status window and the output file), and so is
// the first record stored again.
void clsDbManager::NoteStatusLogWrite(bool written) {
    if (written && m_lostRecords == 0) return;
    if (!written && m_lostRecords++ > 0) return;
    if (!written) {
        DebugLog("Status log cannot be written (" + std::string(sqlite3_errmsg(m_db.get())) +
                     "); the program goes on, and records are not stored until the status log can be written again.",
                 "ERROR", std::string(kModule));
        return;
    }
    const long long lost = m_lostRecords;
    m_lostRecords = 0;
    DebugLog("Status log written again; " + std::to_string(lost) + " records could not be stored.", "WARNING",
             std::string(kModule));
}

long clsDbManager::ReopenDatabase() {
    if (!OpenDatabase()) return 0;
    OpenStatusRecordSet();
    StatusDisplay("Database initialized and status log opened on " + NowText() + ".", 13);
    const long rc = OpenStringTable();
    if (rc != 0)
        StatusDisplay("ReopenDatabase: failed to open string table, code 0x" + kvr::HexUpper(static_cast<std::uint32_t>(rc)) + "!",
                      11);
    return 0;
}

long clsDbManager::MakeCopy(const std::string& strFilename) {
    std::error_code ec;
    if (PathExists(strFilename)) {
        // The question in the user's language when the string table has it.
        const std::string question =
            Replace(StoredString(4200).value_or(Text("The file '%strFilename%' already exists.  Overwrite?", 4200)),
                    "%strFilename%", strFilename);
        if (kvr::CurrentPrompter().Ask(question, kProgramTitle, kvr::PromptButtons::YesNo, kvr::PromptIcon::Question) !=
            kvr::PromptAnswer::Yes)
            return -1;
    }
    // Asked before the lock is taken: logging goes on while the user decides.
    const DbLock lock(kvr::LogMutex());
    std::string failure;
    if (m_db) CloseDatabase();
    const std::string source = DataPath("db1.mdb");
    const std::string tmp = strFilename + ".part";
    // Another process may still hold changes in the write-ahead log: then copy
    // through the engine, which sees them; otherwise copy the file as it is.
    if (PathExists(source + "-wal")) {
        int rc = SQLITE_OK;
        const kvr::SqliteConnection src = OpenConnection(source, SQLITE_OPEN_READONLY, rc);
        kvr::SqliteConnection dst;  // closed before the source
        if (rc == SQLITE_OK) dst = OpenConnection(tmp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, rc);
        if (rc == SQLITE_OK) {
            sqlite3_busy_timeout(src.get(), kBusyTimeoutMs);
            sqlite3_backup* b = sqlite3_backup_init(dst.get(), "main", src.get(), "main");
            if (b) {
                sqlite3_backup_step(b, -1);
                sqlite3_backup_finish(b);
            }
            rc = sqlite3_errcode(dst.get());
            if (rc != SQLITE_OK) failure = FormatTrappedError(rc, sqlite3_errmsg(dst.get()), "MakeCopy");
        } else {
            failure = FormatTrappedError(rc, sqlite3_errstr(rc), "MakeCopy");
        }
    } else {
        fs::copy_file(source, tmp, fs::copy_options::overwrite_existing, ec);
        if (ec) failure = FormatTrappedError(ec.value(), ec.message(), "MakeCopy");
    }
    if (failure.empty()) {
        fs::rename(tmp, strFilename, ec);
        if (ec) failure = FormatTrappedError(ec.value(), ec.message(), "MakeCopy");
    }
    if (!failure.empty()) {
        fs::remove(tmp, ec);
        if (!m_db) ReopenDatabase();
        StatusDisplay(failure + ".  " + "Could not create '" + strFilename + "'  " + "Exiting abnormally.", "ERROR");
        return -1;
    }
    ReopenDatabase();
    return 0;
}

long clsDbManager::CompactDatabase() {
    if (m_db) {
        StatusDisplay("Cannot compact a database that is currently open.  Compact operation cannot complete.", "ERROR");
        return -1;
    }
    const std::string dbPath = DataPath("db1.mdb");
    const std::string target = DataPath("db1-compacted.mdb");
    std::error_code ec;
    if (PathExists(target)) fs::remove(target, ec);
    if (PathExists(target)) {
        StatusDisplay("Could not kill old compacted database'" + target + "'.  Compact operation cannot complete.",
                      "ERROR");
        return -1;
    }
    // Only a file of ours to change: it exists, may be written, and no other
    // process has it open (its write-ahead log would then still exist).
    if (!m_everOpened || !PathExists(dbPath) || access(dbPath.c_str(), W_OK) != 0 || access(m_dataDirectory.c_str(), W_OK) != 0)
        return -1;
    if (PathExists(dbPath + "-wal") || PathExists(dbPath + "-shm")) {
        DebugLog("Database is still in use by another process; not compacted.", "WARNING", std::string(kModule));
        return -1;
    }
    std::string failure = VacuumInto(dbPath, target);
    if (failure.empty() && PathExists(target)) {
        // The compacted file is on the disk before it takes the place of the
        // old one in one step, so a stop at any point leaves one whole database.
        std::string problem;
        if (const int err = kvr::MoveFileWhole(target, dbPath, problem)) failure = std::to_string(err) + ": " + problem;
    }
    if (!failure.empty()) {
        fs::remove(target, ec);
        StatusDisplay("Error #" + failure + " in clsDbManager.CompactDatabase.  EXITING ABNORMALLY.", "ERROR");
        return -1;
    }
    return 0;
}

void clsDbManager::StatusDisplay(const std::string& message, const kvr::LogLevelArg& level) {
    const long lvl = level.IsMissing() ? 7 : ParseLogLevel(level);
    AppendToLog(message, lvl, kModule, -1);
    DebugLog(message, level, std::string(kModule));
}

void clsDbManager::WriteStartupHeader() {
    std::string exe;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) exe = self.stem().string();
    StatusDisplay("App = " + std::string(kProgramTitle) + " ver " + std::to_string(KVR_VERSION_MAJOR) + "." +
                      std::to_string(KVR_VERSION_MINOR) + "." + std::to_string(KVR_VERSION_PATCH) +
                      ", EXE=" + m_appDirectory + "/" + exe,
                  13);
    StatusDisplay("User default language = '" + G().UserLanguage + "'", 13);
}

clsDbManager::~clsDbManager() {
    // No thread's log record reaches the manager once it is no longer current.
    const DbLock lock(kvr::LogMutex());
    StatusDisplay("Closing database...", "TRACE");
    if (G().DbManager == this) G().DbManager = nullptr;
    if (m_db) CloseDatabase();
    CompactDatabase();
}
