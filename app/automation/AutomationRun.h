#pragma once
// The automated operations of one run: which devices, the download into each
// of them, the records (history.log and the JSON record) and the run's exit
// status. A scripted run (/U, --list) is this object alone, with no window:
// start-up discovers, then PerformAutomatedOperations works through the
// devices. The main window's attended automation (/D without /U, /P) drives
// the same object from its automation timer and shows the firmware wizard.
//
// For fleets: --match-mac takes several MACs (comma-separated) or "all"; one
// device's failure does not stop the others. --parallel N works on up to N
// devices of one adapter at once (1: one after the other, with a rediscovery
// between them). --retries N repeats a failed unattended download whole, per
// device. --json FILE|- writes one JSON object per device as it ends, then a
// summary. The run's exit status (ExitStatus.h) is the worst device outcome.
//
// Thread use: the per-device work runs in lanes (DownloadLanes.h), possibly
// several at once; whatever they share (status, records, JSON writer,
// counters, the terminal) is guarded by the run's mutex. RequestStop may be
// called from a signal handler.
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceRecord.h"
#include "ExitStatus.h"
#include "FirmwareWizardModel.h"
#include "FleetUpgrade.h"
#include "Seams.h"

class clsZarn;

namespace basAutomation {

// What the attended wizard window reports once the user has closed it.
struct AttendedDownload {
    bool opened = false;  // its Init opened the device's adapter
    bool ok = false;      // the firmware went in
    kvr::FirmwareDownloadResult result;
};

struct AutomationServices {
    // The integrity check of a firmware file (sizes, sections, checksums).
    std::function<bool(const std::string& fileName)> VerifyFile;
    // Discovers again and refills the device pool (ZarnPool()); unset: the
    // run searches itself, without a window.
    std::function<void()> Rediscover;
    // Ends the program (closes the main window) once the run has ended.
    std::function<void()> EndProgram;
    // Opens a file in a viewer (CloseLogFile with /S).
    std::function<void(const std::string& fileName)> ShowFile;
    // Attended runs: the wizard window on page 2 with the run's file, for the
    // user to go on from; returns when it is closed.
    std::function<AttendedDownload(std::shared_ptr<clsZarn> device, const std::string& fileName)> ShowWizard;
};

// --list: one device of the list.
using kvr::ListedDevice;

// The run's progress display on standard error: at a terminal one line per
// device being upgraded (stage, percent), all redrawn in place; otherwise a
// plain line per stage change per device.
class ProgressDisplay {
public:
    ProgressDisplay(std::recursive_mutex& mutex, std::FILE* out, bool terminal);
    ~ProgressDisplay();
    // A device's line begins, changes and ends (its last text stays).
    int Add(const std::string& mac);
    void Stage(int line, int stage, long percent, long long fileBytes);
    void Finish(int line, const std::string& result);

private:
    struct Line {
        int id = 0;
        std::string mac, text;
        int stage = -1;
        long percent = -1;
    };
    Line* Find(int id);
    void Redraw(const std::string* finished);
    std::recursive_mutex& m_mutex;
    std::FILE* m_out;
    bool m_terminal;
    std::vector<Line> m_lines;
    int m_nextId = 1;
    int m_drawn = 0;
};

// One device's progress bars for the download; they feed its display line.
class DeviceProgress {
public:
    DeviceProgress(ProgressDisplay& display, const std::string& mac, long long fileBytes);
    ~DeviceProgress();
    kvr::ProgressBar& DownloadMode() { return m_bars.DownloadMode(); }
    kvr::ProgressBar& Erase() { return m_bars.Erase(); }
    kvr::ProgressBar& Upload() { return m_bars.Upload(); }
    void Finish(const std::string& result);

private:
    void Update(int stage, long percent);
    ProgressDisplay& m_display;
    int m_line;
    long long m_fileBytes;
    bool m_finished = false;
    kvr::StageProgress m_bars;
};

class AutomationRun {
public:
    // `stopRequest`: where a signal handler asks the run to stop (the
    // signal's number; 0 none); null: the run's own.
    explicit AutomationRun(AutomationServices services = {}, std::atomic<int>* stopRequest = nullptr);
    ~AutomationRun();
    AutomationRun(const AutomationRun&) = delete;
    AutomationRun& operator=(const AutomationRun&) = delete;

    AutomationServices& Services() { return m_services; }

    // One step of the run: 0 when it ended well, -1 when it failed, 3 when
    // it waits for the user to pick a device (attended, /P).
    long PerformAutomatedOperations();
    // The MAC of the device to work on, "<prompt>", or "" (logged why).
    std::string GetTargetDevice(const std::string& match);
    struct DeviceJob;
    // 0 when the job's device now runs the file's firmware; -1 otherwise
    // (logged, and kept in the job's record).
    long DownloadImage(DeviceJob& job, const std::string& fileName);
    long DownloadBootloader(const std::string& target, const std::string& fileName);
    // Writes the closing line and closes the output file; with /S opens it.
    void CloseLogFile();
    // The run was cut short (the main window closed while it ran).
    void AbortAutomation();
    // Closes the records and ends the program.
    void EndAutomation();
    bool AutomationEnded() const { return m_ended; }

    // --list: searches, then writes the devices found to standard output (or
    // the --json file); the run's exit status.
    kvr::ExitStatus ListDevices();
    // The search of a scripted run (the device pool is refilled).
    void Rediscover();

    // A terminate signal asks the run to stop: the downloads under way end
    // (a cut-off download would leave the device in download mode), no
    // further attempt or device is started, and both records say so.
    // Async-signal-safe.
    void RequestStop(int signalNumber);
    // "SIGTERM", "SIGINT", "a signal", or "" when no stop was asked for.
    std::string StopSignal() const;

    kvr::ExitStatus RunStatus() const;
    void SetRunStatus(kvr::ExitStatus status, const std::string& reason);
    // Why the run failed, for standard error ("" when it did not).
    std::string RunFailureReason() const;

    // --json: opens the record file ("-" is standard output). False with the
    // reason when it cannot be written.
    bool OpenJsonRecord(const std::string& path, std::string& reason);
    void CloseJsonRecord();

    // --list's rows and their table or JSON lines.
    static std::vector<ListedDevice> DevicesForList();
    static void WriteDeviceList(const std::vector<ListedDevice>& devices, std::FILE* out, bool json);

private:
    struct Target;
    class JsonRecord;
    struct DeviceRecord;
    std::vector<Target> GetTargetDevices(const std::string& match, kvr::ExitStatus& status, bool& prompt);
    void RunDevices(const std::vector<Target>& targets, long& code);
    long WorkOn(DeviceJob& job, bool first);
    long DownloadImageOnce(DeviceJob& job, const std::string& fileName);
    long DownloadOutcome(DeviceJob& job, const kvr::FirmwareDownloadResult& result, bool ok,
                         const std::string& fileVersion, DeviceProgress* progress);
    bool MeetAgain(DeviceJob& job);
    std::shared_ptr<clsZarn> PoolDevice(const std::string& mac);
    std::string FileProblem(const std::string& fileName) const;
    void RefuseFile(const std::string& problem);
    void StartRecord(DeviceRecord& record, const std::string& mac, const std::shared_ptr<clsZarn>& device);
    void EndRecord(const DeviceRecord& record);
    void WriteDeviceRecord(const DeviceRecord& record);
    void WriteSummary();
    void NoteRecordFailures();
    void NoteStop(const std::string& leftOut);
    void CloseRecords();
    kvr::ExitStatus NoneCompatibleStatus();

    AutomationServices m_services;
    mutable std::recursive_mutex m_mutex;  // everything below that device works share
    std::atomic<int> m_ownStop{0};
    std::atomic<int>* m_stop;
    kvr::ExitStatus m_runStatus = kvr::ExitStatus::Ok;
    std::string m_failureReason;
    std::string m_targetReason;  // why GetTargetDevices found no device to work on
    bool m_ended = false;
    std::atomic<bool> m_fileRejected{false};  // the firmware file failed its check: no device can take it
    bool m_stopNoted = false;                 // the records say the run was stopped
    std::unique_ptr<JsonRecord> m_json;
    int m_devicesDone = 0, m_devicesOk = 0;
    int m_parallel = 1;
    std::unique_ptr<ProgressDisplay> m_display;
};

// Checks a command line meant for a script (/U, --list or --json) before
// anything is sent: unknown options, syntax errors, MACs, --retries,
// --parallel, the firmware file and the --json path. Ok, or the status with
// a one-line reason.
kvr::ExitStatus CheckScriptedCommandLine(std::string& reason);

// Device texts (one character per byte, Latin-1) as UTF-8.
using kvr::Latin1ToUtf8;

}  // namespace basAutomation
