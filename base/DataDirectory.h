#pragma once
// Where the program keeps the files it writes: the database "db1.mdb" (with
// its compaction file and write-ahead log), the error-report copy
// "debug_log.mdb", the automation output file "history.log" and the
// single-instance lock.
//
// An application directory this user may write (a build's bundle/) keeps them
// beside the program, as always. One the user may not write (the installed
// package under /opt, or any directory without write permission bits) sends
// them to $XDG_DATA_HOME/kvr-installer/ (default ~/.local/share/kvr-installer/),
// created with mode 0700, so each user has a database, a history and a lock
// of their own. What ships with the program (template database, help pages,
// pictures, libraries) is always read from the application directory.
#include <functional>
#include <string>
#include <vector>

namespace kvr {

// The folder below $XDG_DATA_HOME.
inline constexpr const char* kDataFolderName = "kvr-installer";

// What ChooseDataDirectory decided.
struct DataDirectoryChoice {
    std::string path;     // where the files go; "" when no directory can be used
    bool beside = true;   // the application directory itself
    std::string problem;  // why no directory can be used (one sentence)
};

// Looks up an environment variable; empty function: the process environment.
using EnvLookup = std::function<const char*(const char* name)>;

// True when this user may create files in dir: it is a directory with at least
// one write permission bit that access() lets this user write. A directory
// without any write bit counts as read-only also for root.
bool IsWritableDirectory(const std::string& dir);

// The per-user directory: $XDG_DATA_HOME/kvr-installer when XDG_DATA_HOME is
// an absolute path, else $HOME/.local/share/kvr-installer (HOME from the
// password database when unset); "" when neither is known.
std::string UserDataDirectory(const EnvLookup& env = {});

// Decides for appDirectory. For a read-only application directory it creates
// the per-user directory (missing parents too) with mode 0700; it fails,
// writing nothing anywhere, when that cannot be made or written.
DataDirectoryChoice ChooseDataDirectory(const std::string& appDirectory, const EnvLookup& env = {});

// The directory chosen for this run; "" (the default) means the application
// directory.
void SetDataDirectory(const std::string& dir);
const std::string& DataDirectory();
// The data file `name`: in the chosen directory, else in fallbackDirectory.
std::string DataFilePath(const std::string& name, const std::string& fallbackDirectory);

// Files of the program written so that a stop at any moment (a full disk, a
// crash, a power cut) leaves either what was there or the whole new file,
// never a part of it. The steps, in the order they run:
enum class FileStep { Create, Write, Flush, Close, Rename, FlushDirectory };
// Test hook, called before each step with the file it works on (before each
// piece that Write writes); a non-zero errno it returns makes that step fail
// with it. Empty function: no hook.
using FileStepHook = std::function<int(FileStep step, const std::string& path)>;
void SetFileStepHook(FileStepHook hook);

// Copies source to target, a file that does not exist yet, through
// target + ".part" (one that a stopped copy left behind is replaced), flushed
// to the disk, then renamed to target and the directory flushed. 0 on
// success; else the errno, with problem saying which file could not be
// handled and why, no ".part" file left and nothing at target.
int CopyFileWhole(const std::string& source, const std::string& target, std::string& problem);
// Flushes from to the disk, renames it to to (replacing it in one step) and
// flushes the directory. 0, or the errno with problem as above.
int MoveFileWhole(const std::string& from, const std::string& to, std::string& problem);
// Renames path and its SQLite companions (path + "-wal", "-shm") to
// path + ".bad-YYYYMMDD-HHMMSS" (with "-2", "-3"... when that name is taken;
// nothing already there is replaced). The new name of path, or "" with problem
// set when it cannot be renamed.
std::string SetFileAside(const std::string& path, std::string& problem);

}  // namespace kvr
