#pragma once
// The program's start-up: decides in a fixed order whether the program may
// run, sets up the program-wide state, hands the command line to the
// automation module and opens the main window.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "AutomationRun.h"
#include "clsDbManager.h"

namespace kvr {

class frmZarni;

// Holds the single-instance lock for as long as it lives.
class InstanceLock {
public:
    // Takes an exclusive lock on `path` (created when missing). Acquired()
    // tells whether this process now holds it; false when another process (or
    // another lock object) already holds it.
    explicit InstanceLock(const std::string& path);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    bool Acquired() const { return m_acquired; }
    // True when the lock file could not be made at all (then nothing is known
    // about other instances).
    bool Unavailable() const { return m_fd < 0; }

private:
    int m_fd = -1;
    bool m_acquired = false;
};

// The acknowledgement time-out in seconds after reading the setting
// AckTimeoutMs (text): a number above 0 replaces `current`; anything else
// leaves it.
float AckTimeoutFromSetting(const std::string& settingText, float current);

// What start-up leaves running.
struct StartupOutcome {
    std::unique_ptr<InstanceLock> lock;
    // The program's database manager (G().DbManager while it lives); closed
    // before the lock is released and after the main window has gone.
    std::unique_ptr<clsDbManager> database;
    std::unique_ptr<frmZarni> mainWindow;  // null: the program ends
    // The automated operations of the run (attended ones through the main window).
    std::unique_ptr<basAutomation::AutomationRun> run;
    // The program's exit status when it ends during start-up: 1 when a
    // check refused to run (so scripts see the failure), else 0.
    int exitStatus = 0;
};

// Main: runs every start-up step. `args` are the program's arguments without
// its name; `appDirectory` is the directory of the running program;
// `stopRequest` is where a terminate signal's number is put (null: nowhere).
// A scripted run (IsScriptedRun) is run whole by RunScripted and opens no
// window.
StartupOutcome Main(const std::vector<std::string>& args, const std::string& appDirectory,
                    std::atomic<int>* stopRequest = nullptr);

// A scripted run (/U, --list) from start to end without an application
// object: lock, data directory, database, log, adapter library, search and
// the automated operations. The exit status; a failure is also told on
// standard error. A terminate signal puts its number into `stopRequest`
// (async-signal-safe) and the run ends through its own waits.
int RunScripted(const std::vector<std::string>& args, const std::string& appDirectory,
                std::atomic<int>* stopRequest = nullptr);

// True when the arguments ask for a run without anybody at the screen
// (/U or --list): no display needed, no box waits.
bool IsScriptedRun(const std::vector<std::string>& args);

// Before the application object exists, where there is no display: /I
// (nothing to ask anybody) becomes an unattended run; any other run that
// would open windows gets the reason it cannot ("" when the run can go on).
std::string FitRunToDisplay(std::vector<std::string>& args);

// Before the application object exists: where windows are drawn offscreen
// the toolkit's remarks about them (it cannot raise windows or pass size
// hints on) stay off standard error, which a script reads.
void QuietOffscreenPlatform();

// The program's exit status after its event loop ended: the run's outcome
// in (attended) automated mode.
int FinishRun(StartupOutcome& outcome, int eventLoopStatus);

// Ends the run: closes the message window, releases the database manager.
void Shutdown(StartupOutcome& outcome);

}  // namespace kvr
