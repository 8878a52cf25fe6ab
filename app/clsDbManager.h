#pragma once
// The program's one database, "db1.mdb" in the data directory (the
// application directory, or the user's directory when that is read-only; see
// DataDirectory.h), an SQLite file: settings (tblSettings), the status log (tblStatus) and the
// user-interface string tables ("tbl" + language + "Strings", tblDefaultStrings).
//
// Construction first makes sure the file it opens is one complete database:
// a "db1.mdb" that is empty, damaged or lacks tblSettings or tblStatus is set
// aside (renamed "db1.mdb.bad-<time>", never deleted) and made again, and a
// compaction file that an earlier run left half-written is set aside too; a
// whole compaction file takes the place of a missing or unusable "db1.mdb".
// It then copies the template "db1_clean.mdb" when "db1.mdb" is missing (the
// copy appears whole or not at all), opens the file shared, reads MaxRecords, opens the status log and the string
// table of G().UserLanguage and writes the start-up header; when it has ended
// the constructor sets G().DbManager to the new manager (the destructor clears
// it again), through which the string lookup of the foundation reaches its
// string table (ProgramStore.h); the debug log reaches its status log only
// through the writer the program installs (basDebug.h). No operation throws: when the file cannot be opened (not a
// database, locked by another process, unreadable) the program runs on without
// settings, log table and string tables, and the file is left untouched. A
// read-only file is read but never written, copied over or compacted.
//
// The destructor compacts the file (VACUUM INTO "db1-compacted.mdb", then an
// atomic rename over "db1.mdb"), unless another process still has it open.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ProgramStore.h"
#include "basDebug.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kvr {
class WalCheckpointer;

// SQLite connections and prepared statements that close themselves.
struct SqliteConnectionCloser {
    void operator()(sqlite3* db) const;
};
struct SqliteStatementFinalizer {
    void operator()(sqlite3_stmt* st) const;
};
using SqliteConnection = std::unique_ptr<sqlite3, SqliteConnectionCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteStatementFinalizer>;
}  // namespace kvr

class clsDbManager : public kvr::ProgramStore {
public:
    // When true at the moment the constructor opens the database, all
    // status-log rows are deleted. Nothing in the program sets it.
    bool ysnDeleteStatusLogOnStartup = false;

    clsDbManager();
    // Test and tool hook: the same with the flag above set before opening.
    explicit clsDbManager(bool deleteStatusLogOnStartup);
    ~clsDbManager();
    clsDbManager(const clsDbManager&) = delete;
    clsDbManager& operator=(const clsDbManager&) = delete;

    // The program's database manager (G().DbManager) while one exists, else null.
    static clsDbManager* Current();
    // The status-log writer the program gives the debug log
    // (kvr::SetStatusLogWriter): its rows go to Current() while there is one.
    static kvr::StatusLogWriter LogWriter();

    // Text of string id in the open string table; nothing when the table has
    // no such row or none is open (failure, when given, says why a read failed).
    std::optional<std::string> StoredString(long id, std::string* failure = nullptr) override;
    // Opens the string table of G().UserLanguage, else tblDefaultStrings.
    // 0 on success, -1 when neither exists.
    long OpenStringTable();
    void CloseStringTable();

    // The value of a setting; defaultValue (when given) when it has no row or
    // its value is empty. Reading never creates a row.
    std::string GetSetting(const std::string& appName, const std::string& section, const std::string& keyName,
                           const std::optional<std::string>& defaultValue = std::nullopt) override;
    // Adds or edits the row; an empty value leaves the old value in place (and
    // creates a new row without a value).
    void SaveSetting(const std::string& appName, const std::string& section, const std::string& keyName,
                     const std::string& value) override;
    void RemoveSetting(const std::string& appName, const std::string& section, const std::string& keyName);

    // Appends one status-log row (message cut to 250 characters, module to 50)
    // and then drops at most two of the oldest rows while there are more than
    // MaxRecords.
    void AppendToLog(const std::string& message, long level, const std::string& module, long runTime);

    // Copies the database file to strFilename (asking before overwriting an
    // existing file). 0 on success, -1 otherwise.
    long MakeCopy(const std::string& strFilename);

    // State, for windows and tests.
    bool IsOpen() const { return m_db != nullptr; }
    bool IsUpdatable() const { return m_db != nullptr && m_updatable; }
    long MaxRecords() const { return m_maxRecords; }
    const std::string& StringTableName() const { return m_stringTable; }
    std::string DatabasePath() const;

private:
    long ReopenDatabase();
    long CompactDatabase();
    void StatusDisplay(const std::string& message, const kvr::LogLevelArg& level = {});
    bool TableExists(const std::string& name);
    void WriteStartupHeader();

    void Construct();
    void RecoverDatabaseFiles(const std::string& dbPath, const std::string& cleanPath);
    void SetAside(const std::string& path, const std::string& what);
    void NoteStatusLogWrite(bool written);
    void CheckDatabaseSize();
    bool OpenDatabase();
    void CloseDatabase();
    void OpenStatusRecordSet();
    void CloseStatusRecordSet();
    bool Exec(const char* sql);
    std::string AppPath(const char* fileName) const;   // shipped files: the template
    std::string DataPath(const char* fileName) const;  // written files (DataDirectory.h)

    // Members are destroyed in reverse order: the statements and the
    // checkpoint connection go before the writer's connection.
    kvr::SqliteConnection m_db;
    // Copies the write-ahead log back into the file (and waits for the disk)
    // on a thread of its own, so that logging never waits for a checkpoint.
    std::unique_ptr<kvr::WalCheckpointer> m_checkpointer;
    bool m_updatable = false;
    bool m_everOpened = false;  // only a file this manager could open is compacted
    // The status record set: prepared statements over tblStatus and its row count.
    kvr::SqliteStatement m_stInsert;
    kvr::SqliteStatement m_stDeleteOldest;
    kvr::SqliteStatement m_stBegin;
    kvr::SqliteStatement m_stCommit;
    long long m_statusRows = 0;
    // The string record set.
    kvr::SqliteStatement m_stString;
    std::string m_stringTable;
    const std::string m_statusQuery = "SELECT * FROM tblStatus";
    long m_maxRecords = 0;
    // Why the template could not be copied ("" when it was not tried or worked).
    std::string m_copyProblem;
    // What construction did to the files, for the status log once it is open.
    std::vector<std::string> m_startupNotes;
    bool m_databaseSetAside = false;
    // Status-log records lost since a write last failed; the first loss is
    // reported, and so is the first write that works again.
    long long m_lostRecords = 0;
    std::string m_appDirectory;
    std::string m_dataDirectory;
};
