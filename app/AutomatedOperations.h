#pragma once
// Command-line automation, back half: once discovery has listed the devices,
// the main window's automation timer runs PerformAutomatedOperations, which
// picks the target devices, drives the firmware wizard for each of them and
// ends the run. Plain C++: the wizard, the rediscovery and the end of the
// program reach it through AutomationServices, which the program binds to
// its windows (and tests to fakes).
//
// For fleets: --match-mac takes several MACs (comma-separated) or "all"; each
// device is upgraded in turn with a rediscovery between them, and one
// device's failure does not stop the others. --retries N repeats a failed
// unattended download whole. --json FILE|- writes one JSON object per device
// as it ends, then a summary. The run's exit status (ExitStatus.h) is the
// worst device outcome.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ExitStatus.h"
#include "Seams.h"

class clsZarn;

namespace basAutomation {

// The firmware wizard as the automated run drives it (Init, the file,
// GotoStep(2), the image-only decision, Advance for the whole download).
class AutomatedWizard {
public:
    virtual ~AutomatedWizard() = default;
    // Opens the device's adapter; false when it cannot.
    virtual bool Init(std::shared_ptr<clsZarn> device) = 0;
    virtual void SetFileName(const std::string& fileName) = 0;
    virtual void GotoStep(int page) = 0;
    virtual int iStep() const = 0;
    virtual bool UploadImageOnly() const = 0;
    virtual void SetUploadImageOnly(bool value) = 0;
    // The run's own progress bars for page 3 (they pass values on to the
    // window's bars when it has any).
    virtual void SetProgressBars(kvr::ProgressBar* downloadMode, kvr::ProgressBar* erase,
                                 kvr::ProgressBar* upload) = 0;
    // Shows the wizard; modal returns when the user has closed it.
    virtual void Show(bool modal) = 0;
    // What Next does: from page 2 the whole download.
    virtual void Advance() = 0;
    virtual bool UploadOK() const = 0;
    // The version the device reported after its restart ("" unknown) and
    // whether it is the file's.
    virtual std::string VersionAfter() const = 0;
    virtual bool VersionMatchesFile() const = 0;
    // Unloads the wizard (closes the adapter it opened).
    virtual void Close() = 0;
};

struct AutomationServices {
    // A new wizard for one download; null (or unset) when this build has none.
    std::function<std::unique_ptr<AutomatedWizard>()> MakeWizard;
    // The integrity check of a firmware file (sizes, sections, checksums).
    std::function<bool(const std::string& fileName)> VerifyFile;
    // Discovers again and refills the device pool (ZarnPool()).
    std::function<void()> Rediscover;
    // Ends the program (closes the main window) once the run has ended.
    std::function<void()> EndProgram;
    // Opens a file in a viewer (CloseLogFile with /S).
    std::function<void(const std::string& fileName)> ShowFile;
};

void SetServices(AutomationServices services);
AutomationServices& Services();

// One step of the main window's automation timer: 0 when the run ended well,
// -1 when it failed, 3 when it waits for the user to pick a device.
long PerformAutomatedOperations();
// The MAC of the device to work on, "<prompt>", or "" (logged why).
std::string GetTargetDevice(const std::string& match);
// 0 when the device now runs the file's firmware; -1 otherwise (logged).
long DownloadImage(const std::string& target, const std::string& fileName);
long DownloadBootloader(const std::string& target, const std::string& fileName);
// Writes the closing line and closes the output file; with /S opens it.
void CloseLogFile();
// The main window closed while automation was running.
void AbortAutomation();
// Closes the output file and ends the program.
void EndAutomation();
// True once EndAutomation or AbortAutomation has run.
bool AutomationEnded();

// A terminate signal ("SIGTERM") asks the run to stop: the download under
// way ends (a cut-off download would leave the device in download mode), no
// further attempt or device is started, and both records say so.
void RequestStop(const std::string& signalName);
// The signal that asked the run to stop ("" none).
const std::string& StopSignal();

// Forgets the outcome of a previous run (start-up calls it first).
void ResetRun();
// The outcome of the run so far (the program's exit status once it ended).
kvr::ExitStatus RunStatus();
void SetRunStatus(kvr::ExitStatus status, const std::string& reason);
// Why the run failed, for standard error ("" when it did not).
const std::string& RunFailureReason();

// Checks a command line meant for a script (/U, --list or --json) before
// anything is sent: unknown options, syntax errors, MACs, --retries, the
// firmware file and the --json path. Ok, or the status with a one-line reason.
kvr::ExitStatus CheckScriptedCommandLine(std::string& reason);

// --json: opens the record file ("-" is standard output). False with the
// reason when it cannot be written.
bool OpenJsonRecord(const std::string& path, std::string& reason);
void CloseJsonRecord();

// --list: the devices of `pool` as a table, or one JSON object per line.
struct ListedDevice {
    std::string mac, name, adapter, ip, firmware, hardware;
    bool downloadMode = false;
};
std::vector<ListedDevice> DevicesForList();
void WriteDeviceList(const std::vector<ListedDevice>& devices, std::FILE* out, bool json);

// Progress of one device for people at a terminal (one updating line) or
// for logs (a plain line per stage).
class DeviceProgress {
public:
    DeviceProgress(std::FILE* out, bool terminal, std::string mac, long long fileBytes);
    ~DeviceProgress();
    kvr::ProgressBar& DownloadMode() { return *m_bars[0]; }
    kvr::ProgressBar& Erase() { return *m_bars[1]; }
    kvr::ProgressBar& Upload() { return *m_bars[2]; }
    void Finish(const std::string& result);

private:
    friend class StageBar;
    void Update(int stage, long percent);
    std::FILE* m_out;
    bool m_terminal;
    std::string m_mac;
    long long m_fileBytes;
    int m_stage = -1;
    long m_percent = -1;
    bool m_lineOpen = false;
    std::unique_ptr<kvr::ProgressBar> m_bars[3];
};

// JSON text of a string (quotes and escapes; bytes above 127 as \u00XX, as
// device texts are one character per byte).
std::string JsonString(const std::string& s);

}  // namespace basAutomation
