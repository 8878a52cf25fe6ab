#include "AutomationRun.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "DownloadLanes.h"
#include "FleetUpgrade.h"
#include "Globals.h"
#include "HexText.h"
#include "QfwHeader.h"
#include "QfwIntegrity.h"
#include "Text.h"
#include "basAutomation.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsDiscover.h"
#include "clsZarnPool.h"

namespace basAutomation {

namespace {

namespace fs = std::filesystem;
using kvr::ExitStatus;
// Keeps the fields in the order they are written: scripts and people read the lines.
using Json = nlohmann::ordered_json;

void Log(const std::string& message, const kvr::LogLevelArg& level = {}, const std::string& procedure = {}) {
    if (G().QuietLogging && ParseLogLevel(level) < 8) return;
    static const kvr::ModuleLog moduleLog("basAutomation");
    moduleLog(message, level, procedure);
}

std::string Hex(long code) { return kvr::HexUpper(static_cast<std::uint32_t>(code)); }

bool FitsFile(const clsZarn& z) {
    const auto& st = State();
    if (!st.FileHeaderRead) return true;  // nothing known about the file: no device is ruled out
    return kvr::IsHardwareCompatible(z.HardwareID, z.HardwareVersion, static_cast<std::int32_t>(st.FileHardwareID),
                                     static_cast<std::int32_t>(st.FileCompatibleHardwareVersion));
}

// A JSON line; texts that are not UTF-8 (a file name in another encoding)
// get replacement characters rather than breaking the line.
std::string JsonLine(const Json& object) {
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

const char* kExiting = "Exiting without performing operations!";

using kvr::kAnswerAgainMs;

}  // namespace

// --- the JSON record --------------------------------------------------------

class AutomationRun::JsonRecord {
public:
    ~JsonRecord() { Close(); }
    bool Open(const std::string& path, std::string& reason) {
        Close();
        if (path == "-") {
            m_out = stdout;
            return true;
        }
        m_path = path;
        m_out = std::fopen(path.c_str(), "w");
        if (!m_out) {
            reason = "cannot write the JSON record '" + path + "': " + std::strerror(errno);
            return false;
        }
        m_own = true;
        return true;
    }
    bool IsOpen() const { return m_out != nullptr; }
    // Nothing more is written once a line could not be (Error() says why).
    void Line(const Json& object) {
        if (!m_out || !m_error.empty()) return;
        errno = 0;
        if (std::fputs((JsonLine(object) + "\n").c_str(), m_out) < 0 || std::fflush(m_out) != 0) Failed(errno);
    }
    void Close() {
        errno = 0;
        if (m_out && m_own && std::fclose(m_out) != 0 && m_error.empty()) Failed(errno);
        m_out = nullptr;
        m_own = false;
    }
    const std::string& Error() const { return m_error; }

private:
    void Failed(int error) {
        m_error = "cannot write the JSON record '" + (m_own ? m_path : std::string("standard output")) +
                  "': " + (error != 0 ? std::strerror(error) : "write error");
        std::fprintf(stderr, "%s: could not record the run: %s\n", kProgramTitle, m_error.c_str());
        std::fflush(stderr);
        Log("could not record the run: " + m_error, kvr::LEVEL_ERROR);
    }
    std::FILE* m_out = nullptr;
    bool m_own = false;
    std::string m_path;
    std::string m_error;
};

// One device's record, filled while it is worked on.
struct AutomationRun::DeviceRecord {
    std::string mac, name, adapter, versionBefore, versionAfter, error;
    ExitStatus status = ExitStatus::Ok;
    // The result word when it is not the status's own: "current" (no
    // download was needed) or "would-upgrade" (a check).
    std::string result;
    int attempt = 0;
    std::int64_t startMs = 0;
};

// One device's work: what the run knew of it before the work started, its
// record, and the prompter its download asks (nobody answers in an
// unattended run).
struct AutomationRun::DeviceJob {
    std::string mac;
    std::shared_ptr<clsZarn> device;  // as the run found it
    DeviceRecord record;
    kvr::NegativePrompter prompter;
};

// The devices asked for, each with what is already known against it.
struct AutomationRun::Target {
    std::string mac;
    ExitStatus status = ExitStatus::Ok;  // not Ok: the device cannot be worked on
    std::string error;
};

AutomationRun::AutomationRun(AutomationServices services, std::atomic<int>* stopRequest)
    : m_services(std::move(services)),
      m_stop(stopRequest ? stopRequest : &m_ownStop),
      m_json(std::make_unique<JsonRecord>()),
      m_display(std::make_unique<ProgressDisplay>(m_mutex, stderr, ::isatty(STDERR_FILENO) == 1)) {
    if (!m_services.VerifyFile) m_services.VerifyFile = [](const std::string& f) { return kvr::VerifyQfwIntegrity(f); };
}

AutomationRun::~AutomationRun() = default;

void AutomationRun::NoteRecordFailures() {
    std::lock_guard lock(m_mutex);
    const std::string why = !OutputFileError().empty() ? OutputFileError() : m_json->Error();
    if (!why.empty())
        SetRunStatus(kvr::WorseOf(m_runStatus, ExitStatus::NotRecorded), "could not record the run: " + why);
}

void AutomationRun::WriteDeviceRecord(const DeviceRecord& r) {
    std::lock_guard lock(m_mutex);
    ++m_devicesDone;
    if (r.status == ExitStatus::Ok) ++m_devicesOk;
    if (!m_json->IsOpen()) return;
    const double seconds = r.startMs ? static_cast<double>(kvr::CurrentClock().NowMs() - r.startMs) / 1000.0 : 0.0;
    Json o;
    o["mac"] = ::FormatMacAddress(r.mac);
    o["name"] = Latin1ToUtf8(r.name);
    o["adapter"] = r.adapter;
    o["firmware_before"] = r.versionBefore;
    o["firmware_after"] = r.versionAfter;
    o["result"] = r.status == ExitStatus::Ok && !r.result.empty() ? r.result : kvr::ExitStatusName(r.status);
    o["status"] = kvr::ToInt(r.status);
    o["attempt"] = r.attempt;
    o["seconds"] = std::round(seconds * 10.0) / 10.0;
    o["error"] = r.error;
    m_json->Line(o);
}

void AutomationRun::WriteSummary() {
    std::lock_guard lock(m_mutex);
    if (!m_json->IsOpen()) return;
    Json o;
    o["summary"] = true;
    o["devices"] = m_devicesDone;
    o["succeeded"] = m_devicesOk;
    o["failed"] = m_devicesDone - m_devicesOk;
    o["status"] = kvr::ToInt(m_runStatus);
    o["result"] = kvr::ExitStatusName(m_runStatus);
    o["error"] = m_failureReason;
    m_json->Line(o);
}

namespace {

// A failure of the device being worked on: logged at ERROR (so it reaches
// the output file), kept for its record and for the run's outcome.
long Fail(AutomationRun::DeviceJob& job, ExitStatus status, const std::string& text) {
    Log(text, kvr::LEVEL_ERROR);
    job.record.status = status;
    job.record.error = text;
    return -1;
}

}  // namespace

// Why the firmware file cannot go to any device ("" when it can): checked
// whole, sizes, sections and checksums, before any device sees it.
std::string AutomationRun::FileProblem(const std::string& fileName) const {
    std::error_code ec;
    if (!fs::is_regular_file(fileName, ec)) {
        const char* what = fs::exists(fileName, ec) ? "\" is not a regular file." : "\" does not exist.";
        return "ERROR: \"" + fileName + what + "  Can't perform operation!";
    }
    kvr::QfwHeader header;
    const bool headerOk = kvr::ReadQfwHeaderFile(fileName, header) == kvr::QfwReadStatus::Ok && header.HasMagic();
    // The integrity check runs on every file, so its findings (an empty file too) reach the record.
    const bool intact = m_services.VerifyFile(fileName);
    if (!headerOk || !intact)
        return "DownloadImage ERROR: '" + fileName +
               "': The QFW file does not contain a valid firmware image!  Can't perform operation!";
    return {};
}

// The outcome of a download the wizard ran: failed (with the step that
// failed), back on another version, or done.
long AutomationRun::DownloadOutcome(DeviceJob& job, const kvr::FirmwareDownloadResult& result, bool ok,
                                    const std::string& fileVersion, DeviceProgress* progress) {
    const std::string mac = ::FormatMacAddress(job.mac);
    job.record.versionAfter = result.versionAfter;
    switch (kvr::JudgeDownload(result, ok)) {
        case kvr::DownloadVerdict::Failed:
            if (progress) progress->Finish("failed");
            return Fail(job, ExitStatus::DownloadFailed,
                        "DownloadImage ERROR: the firmware upload failed for '" + mac + "'" +
                            (result.failure.empty() ? std::string() : " (" + result.failure + ")") + ".");
        case kvr::DownloadVerdict::NotBack:
            // Not back within the restart wait: its version is unknown, not refused.
            if (progress) progress->Finish("not back in time, version unknown");
            return Fail(job, ExitStatus::NotBack,
                        "DownloadImage ERROR: the device did not come back in time after the "
                        "download; the firmware version it runs is unknown.");
        case kvr::DownloadVerdict::OtherVersion:
            if (progress) progress->Finish("back with another version");
            return Fail(job, ExitStatus::NotBack, "DownloadImage ERROR: the device came back running version " +
                                                      result.versionAfter + ", not the file's version " +
                                                      fileVersion + ".");
        case kvr::DownloadVerdict::Upgraded: break;
    }
    if (progress) progress->Finish("done, now " + result.versionAfter);
    return 0;
}

// The device as the run knows it now: one after the other, the pool of the
// last rediscovery; at once, what the run found before the devices started.
std::shared_ptr<clsZarn> AutomationRun::PoolDevice(const std::string& mac) {
    std::lock_guard lock(m_mutex);
    std::string m = mac;
    return ZarnPool().FindZarn(m);
}

// One attempt of the download, with the wizard's model (or, attended, its
// window for the user).
long AutomationRun::DownloadImageOnce(DeviceJob& job, const std::string& fileName) {
    const auto& st = State();
    // The file, checked whole before any page of the wizard sees it: a
    // corrupt file never reaches a device.
    if (const std::string problem = FileProblem(fileName); !problem.empty()) {
        m_fileRejected = true;
        return Fail(job, ExitStatus::FirmwareFileInvalid, problem);
    }
    kvr::QfwHeader header;
    kvr::ReadQfwHeaderFile(fileName, header);
    const std::shared_ptr<clsZarn> z = m_parallel > 1 ? job.device : PoolDevice(job.mac);
    if (!z)
        return Fail(job, ExitStatus::NoDevice,
                    "DownloadImage PROGRAM ERROR: no ZARN object in DownloadImage.  Can't perform operation!");
    job.record.name = z->Name;
    job.record.adapter = z->NICName;
    if (job.record.versionBefore.empty()) job.record.versionBefore = kvr::FirmwareVersionOf(*z);
    const std::string shownMac = ::FormatMacAddress(job.mac);
    if (st.SkipCurrent && kvr::FirmwareVersionOf(*z) == header.VersionText()) {
        Log("DownloadImage: '" + shownMac + "' already runs version " + header.VersionText() + "; no download.",
            kvr::LEVEL_USER);
        job.record.result = "current";
        job.record.versionAfter = job.record.versionBefore;
        return 0;
    }
    if (!st.UnattendedMode) {
        // A check shows no wizard: one click there would download.
        if (st.CheckOnly)
            return Fail(job, ExitStatus::Refused, "DownloadImage ERROR: --check runs unattended only (--unattended).");
        // The user goes on from the chosen file; the outcome is judged as in
        // an unattended run.
        if (!m_services.ShowWizard)
            return Fail(job, ExitStatus::DownloadFailed,
                        "DownloadImage ERROR: the firmware wizard is not available in this build.  Can't perform "
                        "operation!");
        const AttendedDownload shown = m_services.ShowWizard(z, fileName);
        if (!shown.opened)
            return Fail(job, ExitStatus::DownloadFailed,
                        "DownloadImage ERROR: frmFirmwareWizard.Init failed.  Can't perform operation!");
        return DownloadOutcome(job, shown.result, shown.ok, header.VersionText(), nullptr);
    }
    kvr::DeviceUpgrade upgrade(z, fileName);
    switch (upgrade.Prepare()) {
        case kvr::DeviceUpgrade::Prepared::AdapterFailed:
            return Fail(job, ExitStatus::DownloadFailed,
                        "DownloadImage ERROR: frmFirmwareWizard.Init failed.  Can't perform operation!");
        case kvr::DeviceUpgrade::Prepared::NotAccepted:
            return Fail(job, ExitStatus::Incompatible, "DownloadImage ERROR: the firmware wizard did not accept '" +
                                                           fileName +
                                                           "' for this device (page 2 not reached).  Can't perform "
                                                           "operation!");
        case kvr::DeviceUpgrade::Prepared::Ready: break;
    }
    if (st.ForceCne) upgrade.SetUploadImageOnly(false);
    if (st.ForceNoCne) upgrade.SetUploadImageOnly(true);
    if (!upgrade.UploadImageOnly() && !st.ForceNoCne)
        return Fail(job, ExitStatus::Refused, "ERROR: Cannot upgrade a CNE in unattended mode!");
    if (st.CheckOnly) {
        // Everything a download would be refused for has been judged; the
        // device has been sent nothing.
        Log("DownloadImage: '" + shownMac + "' would be upgraded from version " + job.record.versionBefore + " to " +
                header.VersionText() + ".",
            kvr::LEVEL_USER);
        job.record.result = "would-upgrade";
        upgrade.Finish();
        return 0;
    }
    std::error_code ec;
    DeviceProgress progress(*m_display, ::FormatMacAddress(job.mac),
                            static_cast<long long>(fs::file_size(fileName, ec)));
    const bool ok = upgrade.Download(&progress.DownloadMode(), &progress.Erase(), &progress.Upload());
    return DownloadOutcome(job, upgrade.Result(), ok, header.VersionText(), &progress);
}

kvr::ExitStatus AutomationRun::NoneCompatibleStatus() {
    // Devices were found but none takes the file: that is the file's hardware.
    for (const auto& z : ZarnPool().colZarn)
        if (z && !FitsFile(*z)) return ExitStatus::Incompatible;
    return ExitStatus::NoDevice;
}

// The devices to upgrade: one for a single address, several for a list or
// "all". When the list is empty, `status` tells why and m_failureReason-to-be
// is the last error logged (returned in `reason`).
std::vector<AutomationRun::Target> AutomationRun::GetTargetDevices(const std::string& match, ExitStatus& status,
                                                                   bool& prompt) {
    status = ExitStatus::Ok;
    prompt = false;
    m_targetReason.clear();
    const auto refuse = [this](const std::string& text) {
        Log(text, kvr::LEVEL_ERROR);
        m_targetReason = text;
    };
    const auto& st = State();
    std::vector<Target> targets;
    if (match.find('*') != std::string::npos) {
        refuse("GetTargetDevice: wildcard characters (*) are not yet supported: '" + match + "'.  " + kExiting);
        status = ExitStatus::BadCommandLine;
        return targets;
    }
    const char* noneFits =
        "There are no Zarn Adapters that are compatible with firmware downloading from this application.";
    if (st.MatchAll && match == st.MatchMac) {
        for (const auto& z : ZarnPool().colZarn) {
            if (!z) continue;
            if (FitsFile(*z))
                targets.push_back({z->MAC});
            else
                Log("GetTargetDevice: '" + ::FormatMacAddress(z->MAC) +
                        "' is not compatible with the firmware file and is left out.",
                    kvr::LEVEL_WARNING);
        }
        if (targets.empty()) {
            refuse(noneFits);
            status = NoneCompatibleStatus();
        }
        return targets;
    }
    std::vector<std::string> macs;
    if (!match.empty()) {
        std::stringstream in(match);
        for (std::string m; std::getline(in, m, ',');)  // a MAC given twice is one device
            if (!m.empty() &&
                std::none_of(macs.begin(), macs.end(), [&](const std::string& k) { return kvr::SameMac(k, m); }))
                macs.push_back(m);
    }
    if (!macs.empty()) {
        for (const std::string& m : macs) {
            std::shared_ptr<clsZarn> hit;
            for (const auto& z : ZarnPool().colZarn)
                if (z && kvr::SameMac(z->MAC, m)) hit = z;  // the last hit counts
            Target t{hit ? hit->MAC : kvr::Upper(m)};
            if (!hit) {
                t.status = ExitStatus::NoDevice;
                t.error = "GetTargetDevice: failed to find a match for device '" + m + "' on the bus.  " +
                          (macs.size() == 1 ? kExiting : "Going on with the others.");
            } else if (!FitsFile(*hit)) {
                t.status = ExitStatus::Incompatible;
                t.error = "GetTargetDevice: device '" + m + "' is not compatible with the firmware file (QFW=" +
                          std::to_string(st.FileHardwareID) + "." + std::to_string(st.FileCompatibleHardwareVersion) +
                          ", Zarn=" + std::to_string(hit->HardwareID) + "." + std::to_string(hit->HardwareVersion) +
                          ").";
            }
            if (!t.error.empty()) refuse(t.error);
            targets.push_back(t);
        }
        return targets;
    }
    // No match given: the compatible devices decide.
    std::vector<std::shared_ptr<clsZarn>> fit;
    for (const auto& z : ZarnPool().colZarn)
        if (z && FitsFile(*z)) fit.push_back(z);
    const std::string count = std::to_string(fit.size());
    if (fit.size() == 1) {
        targets.push_back({fit.front()->MAC});
    } else if (fit.empty()) {
        refuse(noneFits);
        status = NoneCompatibleStatus();
    } else if (st.PromptForMultiple) {
        Log("There are " + count + " Zarn Adapters that are compatible with firmware downloading from this " +
                "application.  Prompting for device.",
            kvr::LEVEL_WATCH);
        prompt = true;
    } else {
        refuse("There are " + count + " Zarn Adapters that are compatible with firmware downloading from this " +
               "application.  Cannot proceed.");
        status = ExitStatus::SeveralDevices;
    }
    return targets;
}

void AutomationRun::StartRecord(DeviceRecord& record, const std::string& mac, const std::shared_ptr<clsZarn>& z) {
    record = DeviceRecord{};
    record.mac = mac;
    record.startMs = kvr::CurrentClock().NowMs();
    if (z) {
        record.name = z->Name;
        record.adapter = z->NICName;
        record.versionBefore = kvr::FirmwareVersionOf(*z);
    }
}

void AutomationRun::EndRecord(const DeviceRecord& record) {
    std::lock_guard lock(m_mutex);
    SetRunStatus(kvr::WorseOf(m_runStatus, record.status), record.error);
    WriteDeviceRecord(record);
    NoteRecordFailures();
}

// The firmware file cannot go to any device: that is the run's outcome,
// whatever the devices found are; each device asked for is left as it is.
void AutomationRun::RefuseFile(const std::string& problem) {
    const auto& st = State();
    m_fileRejected = true;
    Log(problem, kvr::LEVEL_ERROR);
    for (const auto& z : ZarnPool().colZarn) {
        if (!z) continue;
        const bool asked = st.MatchAll || st.MatchMacs.empty() ||
                           std::any_of(st.MatchMacs.begin(), st.MatchMacs.end(),
                                       [&](const std::string& m) { return kvr::SameMac(m, z->MAC); });
        if (!asked) continue;
        DeviceRecord record;
        StartRecord(record, z->MAC, z);
        record.status = ExitStatus::FirmwareFileInvalid;
        record.error = problem;
        WriteDeviceRecord(record);
    }
    SetRunStatus(ExitStatus::FirmwareFileInvalid, problem);
}

// Before another attempt: the device as it is now, also when the last
// attempt lost it. False when it does not answer again in time. One device
// after the other, the whole segment is searched again; at once, the device
// is looked for alone, so the others' downloads go on undisturbed.
bool AutomationRun::MeetAgain(DeviceJob& job) {
    const std::string shown = ::FormatMacAddress(job.mac);
    const auto waiting = [&] {
        Log("DownloadImage: waiting up to " + std::to_string(kAnswerAgainMs / 1000) + " s for '" + shown +
                "' to answer again.",
            kvr::LEVEL_USER);
    };
    if (m_parallel > 1) return job.device && kvr::DeviceAnswersAgain(*job.device, waiting);
    std::lock_guard lock(m_mutex);
    Rediscover();
    if (PoolDevice(job.mac)) return true;
    if (!job.device) return false;
    waiting();
    if (!job.device->ScanForZarn(kAnswerAgainMs, nullptr)) return false;
    Rediscover();
    if (!PoolDevice(job.mac)) ZarnPool().AddZarn(job.device);
    return true;
}

// Said once in the output file when a signal stopped the run.
void AutomationRun::NoteStop(const std::string& leftOut) {
    std::lock_guard lock(m_mutex);
    const std::string signal = StopSignal();
    if (signal.empty() || m_stopNoted) return;
    m_stopNoted = true;
    const std::string text = "the run was stopped by " + signal + leftOut;
    Log("PerformAutomatedOperations: " + text + ".", kvr::LEVEL_ERROR);
    SetRunStatus(kvr::WorseOf(m_runStatus, ExitStatus::Failure), text);
}

kvr::ExitStatus AutomationRun::RunStatus() const {
    std::lock_guard lock(m_mutex);
    return m_runStatus;
}

std::string AutomationRun::RunFailureReason() const {
    std::lock_guard lock(m_mutex);
    return m_failureReason;
}

void AutomationRun::SetRunStatus(kvr::ExitStatus status, const std::string& reason) {
    std::lock_guard lock(m_mutex);
    if (status != ExitStatus::Ok && status != m_runStatus) m_failureReason = reason;
    m_runStatus = status;
}

void AutomationRun::RequestStop(int signalNumber) {
    int none = 0;
    m_stop->compare_exchange_strong(none, signalNumber > 0 ? signalNumber : -1);
}

std::string AutomationRun::StopSignal() const {
    const int n = m_stop->load();
    if (n == 0) return {};
    if (n == SIGTERM) return "SIGTERM";
    if (n == SIGINT) return "SIGINT";
    return "a signal";
}

bool AutomationRun::OpenJsonRecord(const std::string& path, std::string& reason) {
    std::lock_guard lock(m_mutex);
    return m_json->Open(path, reason);
}

void AutomationRun::CloseJsonRecord() {
    std::lock_guard lock(m_mutex);
    m_json->Close();
}

kvr::ExitStatus CheckScriptedCommandLine(std::string& reason) {
    const auto& st = State();
    std::vector<std::string> problems;
    for (std::size_t i = 1; i < st.CommandLineErrs.size(); ++i) problems.push_back(st.CommandLineErrs[i]);
    problems.insert(problems.end(), st.UsageErrors.begin(), st.UsageErrors.end());
    if (!st.JsonFile.empty() && st.JsonFile != "-") {
        std::error_code ec;
        const fs::path p(st.JsonFile);
        const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
        if (fs::is_directory(p, ec))
            problems.push_back("the JSON record '" + st.JsonFile + "' is a directory");
        else if (!fs::is_directory(dir, ec) || ::access(dir.c_str(), W_OK | X_OK) != 0 ||
                 (fs::exists(p, ec) && ::access(p.c_str(), W_OK) != 0))
            problems.push_back("the JSON record '" + st.JsonFile + "' cannot be written");
    }
    if (!problems.empty()) {
        reason = problems.front();
        return ExitStatus::BadCommandLine;
    }
    if (st.DownloadRequested && !st.FileProblem.empty()) {
        reason = st.FileProblem;
        return ExitStatus::FirmwareFileInvalid;
    }
    return ExitStatus::Ok;
}

long AutomationRun::PerformAutomatedOperations() {
    auto& st = State();
    // Several at once only where nobody watches a wizard window.
    m_parallel = st.UnattendedMode ? std::max(1, st.Parallel) : 1;
    if (st.DownloadRequested && !StopSignal().empty()) {
        NoteStop(" before the first device");
        EndAutomation();
        return -1;
    }
    // An unusable file is the run's outcome before anything else: no device
    // could take it, whichever hardware it names.
    if (st.DownloadRequested) {
        if (const std::string problem = FileProblem(st.DownloadFile); !problem.empty()) {
            RefuseFile(problem);
            EndAutomation();
            return -1;
        }
    }
    ExitStatus targetStatus = ExitStatus::Ok;
    bool prompt = false;
    const std::vector<Target> targets = GetTargetDevices(st.MatchMac, targetStatus, prompt);
    if (prompt) return 3;
    long code = 0;
    if ((st.DownloadRequested && targets.empty()) || targetStatus == ExitStatus::BadCommandLine) {
        // The run asked for a download but no device can take it.
        SetRunStatus(targetStatus, m_targetReason);
        code = -1;
    }
    if (code == 0 && st.DownloadRequested) {
        RunDevices(targets, code);
        NoteStop("");
    }
    // Boot-loader downloads do not exist: refused before anything is sent,
    // whichever devices were found.
    if (st.BootloaderRequested && (code == 0 || !st.DownloadRequested)) {
        const std::string target = targets.empty() ? std::string() : targets.front().mac;
        code = DownloadBootloader(target, st.BootloaderFile);
        if (code != 0) {
            Log("ERROR: DownloadBootloader failed, code " + std::to_string(code) + "(0x" + Hex(code) +
                    ") in basAutomation.PerformAutomatedOperations",
                kvr::LEVEL_ERROR);
            SetRunStatus(kvr::WorseOf(RunStatus(), ExitStatus::Refused), "boot-loader downloads are not available");
        } else {
            Log("Successfully programmed new bootloader firmware image.", kvr::LEVEL_USER);
        }
    }
    EndAutomation();
    return code;
}

// The devices, in lanes: one after the other (with a rediscovery between
// them, so each is met as it is now: another may have restarted
// meanwhile), or up to m_parallel of one adapter at once. A signal or a
// record that cannot be written starts no further device.
void AutomationRun::RunDevices(const std::vector<Target>& targets, long& code) {
    std::vector<std::unique_ptr<DeviceJob>> jobs;
    std::vector<std::shared_ptr<clsZarn>> devices;
    for (const Target& t : targets) {
        if (t.status != ExitStatus::Ok) {  // known before anything is sent
            DeviceRecord record;
            StartRecord(record, t.mac, PoolDevice(t.mac));
            record.status = t.status;
            record.error = t.error;
            EndRecord(record);
            code = -1;
            continue;
        }
        auto job = std::make_unique<DeviceJob>();
        job->mac = t.mac;
        job->device = PoolDevice(t.mac);
        devices.push_back(job->device);
        jobs.push_back(std::move(job));
    }
    if (jobs.empty()) return;
    std::atomic<int> begun{0};
    std::atomic<bool> failed{false};
    kvr::LaneOptions options;
    options.parallel = m_parallel;
    options.stopRequested = [this] {
        std::lock_guard lock(m_mutex);
        return !StopSignal().empty() || !m_json->Error().empty();
    };
    const std::vector<bool> started = kvr::RunInLanes(devices, options, [&](std::size_t i) {
        if (WorkOn(*jobs[i], begun.fetch_add(1) == 0) != 0) failed = true;
    });
    if (failed) code = -1;
    const auto left = static_cast<std::size_t>(std::count(started.begin(), started.end(), false));
    if (left == 0) return;
    code = -1;
    if (!StopSignal().empty()) {
        NoteStop("; " + std::to_string(left) + " device(s) not started");
    } else {
        Log("PerformAutomatedOperations: the JSON record cannot be written; " + std::to_string(left) +
                " device(s) not started.",
            kvr::LEVEL_ERROR);
    }
}

// One device's whole work, on the lane's thread: its record, its download
// and its questions (answered negatively in an unattended run).
long AutomationRun::WorkOn(DeviceJob& job, bool first) {
    const auto& st = State();
    kvr::ThreadSeams seams(nullptr, nullptr, st.UnattendedMode ? &job.prompter : nullptr);
    if (m_parallel == 1 && !first) {
        std::lock_guard lock(m_mutex);
        Rediscover();
    }
    StartRecord(job.record, job.mac, m_parallel > 1 ? job.device : PoolDevice(job.mac));
    long c = -1;
    if (m_fileRejected) {  // the file changed during the run
        Fail(job, ExitStatus::FirmwareFileInvalid, "DownloadImage: the firmware file was rejected; '" +
                                                       ::FormatMacAddress(job.mac) + "' is left as it is.");
    } else {
        c = DownloadImage(job, st.DownloadFile);
        if (c != 0)
            Log("DownloadImage failed, code " + std::to_string(c) + "(0x" + Hex(c) +
                    ") in basAutomation.PerformAutomatedOperations",
                kvr::LEVEL_WARNING);
    }
    EndRecord(job.record);
    return c;
}

std::string AutomationRun::GetTargetDevice(const std::string& match) {
    ExitStatus status = ExitStatus::Ok;
    bool prompt = false;
    const std::vector<Target> targets = GetTargetDevices(match, status, prompt);
    if (prompt) return "<prompt>";
    if (targets.empty() || targets.back().status != ExitStatus::Ok) return {};
    return targets.back().mac;
}

long AutomationRun::DownloadImage(DeviceJob& job, const std::string& fileName) {
    const auto& st = State();
    const int attempts = st.UnattendedMode ? 1 + st.Retries : 1;
    const std::string shown = ::FormatMacAddress(job.mac);
    long code = -1;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (attempt > 1) {
            if (!StopSignal().empty()) break;
            Log("DownloadImage: attempt " + std::to_string(attempt) + " of " + std::to_string(attempts) + " for '" +
                    shown + "'.",
                kvr::LEVEL_USER);
            // The device may have been left in download mode, on another
            // adapter, or silent for a while: meet it as it is now.
            job.record.attempt = attempt;
            if (!MeetAgain(job)) {
                code = Fail(job, ExitStatus::DownloadFailed, "DownloadImage ERROR: '" + shown +
                                                                 "' did not answer again before attempt " +
                                                                 std::to_string(attempt) + ".");
                continue;
            }
        }
        job.record.attempt = attempt;
        job.record.status = ExitStatus::Ok;
        job.record.error.clear();
        code = DownloadImageOnce(job, fileName);
        if (code == 0) break;
        // Only a download that was tried can go better the next time.
        if (job.record.status != ExitStatus::DownloadFailed && job.record.status != ExitStatus::NotBack) break;
    }
    if (code == 0 && attempts > 1)
        Log("DownloadImage: '" + shown + "' upgraded at attempt " + std::to_string(job.record.attempt) + ".",
            kvr::LEVEL_USER);
    return code;
}

long AutomationRun::DownloadBootloader(const std::string& /*target*/, const std::string& /*fileName*/) {
    const std::string text = "The DownloadBootloader functionality is not yet implemented.";
    Log(text, kvr::LEVEL_ERROR, "DownloadBootloader");
    kvr::CurrentPrompter().Ask(text, std::string(kProgramTitle) + " Automation Error", kvr::PromptButtons::OK,
                               kvr::PromptIcon::None);
    return -1;
}

void AutomationRun::CloseLogFile() {
    const std::string& name = OutputFileName();
    if (State().ShowStatus) {
        std::error_code ec;
        if (!fs::exists(name, ec)) {
            Log("CloseLogFile: log file '" + name + "' does not exist.", kvr::LEVEL_WARNING);
        } else {
            WriteOutputLine(OutputRule());
            CloseOutputFile();
            if (m_services.ShowFile) m_services.ShowFile(name);
            return;
        }
    } else {
        Log("CloseLogFile: not displaying results on exit.", kvr::LEVEL_WATCH);
    }
    // Every run's record ends with its closing line and is closed, shown or not.
    WriteOutputLine(OutputRule());
    CloseOutputFile();
}

// The records' last lines: the summary, the line with the exit status and
// the closing line; the exit status also counts the records that failed.
void AutomationRun::CloseRecords() {
    NoteRecordFailures();
    WriteSummary();
    NoteRecordFailures();
    const ExitStatus status = RunStatus();
    Log("Automated operations ended with exit status " + std::to_string(kvr::ToInt(status)) + " (" +
            kvr::ExitStatusName(status) + ").",
        kvr::LEVEL_USER);
    CloseLogFile();
    CloseJsonRecord();
    NoteRecordFailures();
}

void AutomationRun::AbortAutomation() {
    if (m_ended) return;
    m_ended = true;
    Log("Aborting operation.", kvr::LEVEL_USER);
    if (!StopSignal().empty())
        NoteStop(" before the run ended");
    else if (RunStatus() == ExitStatus::Ok && (State().DownloadRequested || State().BootloaderRequested))
        SetRunStatus(ExitStatus::Failure, "the run was stopped before it ended");
    CloseRecords();
}

void AutomationRun::EndAutomation() {
    if (m_ended) return;
    m_ended = true;
    CloseRecords();
    if (m_services.EndProgram) m_services.EndProgram();
}

void AutomationRun::Rediscover() {
    std::lock_guard lock(m_mutex);
    if (m_services.Rediscover) {
        m_services.Rediscover();
        return;
    }
    clsDiscover discover;
    const std::shared_ptr<clsZarnPool> found = discover.DiscoverDevices(nullptr, {});
    ZarnPool().Clear();
    if (found)
        for (const auto& z : found->colZarn) ZarnPool().AddZarn(z);
}

// --- --list ----------------------------------------------------------------

kvr::ExitStatus AutomationRun::ListDevices() {
    Rediscover();
    const auto devices = DevicesForList();
    const std::string& json = State().JsonFile;
    if (json.empty()) {
        WriteDeviceList(devices, stdout, false);
    } else {
        std::FILE* out = json == "-" ? stdout : std::fopen(json.c_str(), "w");
        if (!out) {
            std::fprintf(stderr, "%s: cannot write '%s': %s\n", kProgramTitle, json.c_str(), std::strerror(errno));
            std::fflush(stderr);
            return ExitStatus::BadCommandLine;
        }
        WriteDeviceList(devices, out, true);
        if (out != stdout) std::fclose(out);
    }
    Log("ListDevices: " + std::to_string(devices.size()) + " devices listed.", kvr::LEVEL_USER);
    return ExitStatus::Ok;
}

std::vector<ListedDevice> AutomationRun::DevicesForList() {
    std::vector<ListedDevice> out;
    for (const auto& z : ZarnPool().colZarn)
        if (z) out.push_back(kvr::ListedDeviceOf(*z));
    return out;
}

void AutomationRun::WriteDeviceList(const std::vector<ListedDevice>& devices, std::FILE* out, bool json) {
    if (json) {
        for (const auto& d : devices) std::fprintf(out, "%s\n", kvr::DeviceRecordJson(d).c_str());
    } else {
        std::fprintf(out, "%-17s  %-32s  %-9s  %-8s  %-15s  %s\n", "MAC", "NAME", "FIRMWARE", "HARDWARE", "IP",
                     "ADAPTER");
        for (const auto& d : devices)
            std::fprintf(out, "%-17s  %-32s  %-9s  %-8s  %-15s  %s\n", d.mac.c_str(), d.name.c_str(),
                         d.firmware.c_str(), d.hardware.c_str(), d.ip.c_str(), d.adapter.c_str());
    }
    std::fflush(out);
}

// --- progress ---------------------------------------------------------------

DeviceProgress::DeviceProgress(ProgressDisplay& display, const std::string& mac, long long fileBytes)
    : m_display(display),
      m_line(display.Add(mac)),
      m_fileBytes(fileBytes),
      m_bars([this](int stage, long percent) { Update(stage, percent); }) {}

DeviceProgress::~DeviceProgress() {
    if (!m_finished) m_display.Finish(m_line, "ended");
}

void DeviceProgress::Update(int stage, long percent) {
    if (!m_finished) m_display.Stage(m_line, stage, percent, m_fileBytes);
}

void DeviceProgress::Finish(const std::string& result) {
    if (m_finished) return;
    m_finished = true;
    m_display.Finish(m_line, result);
}

ProgressDisplay::ProgressDisplay(std::recursive_mutex& mutex, std::FILE* out, bool terminal)
    : m_mutex(mutex), m_out(out), m_terminal(terminal) {}

ProgressDisplay::~ProgressDisplay() = default;

int ProgressDisplay::Add(const std::string& mac) {
    std::lock_guard lock(m_mutex);
    Line line;
    line.id = m_nextId++;
    line.mac = mac;
    m_lines.push_back(line);
    return line.id;
}

ProgressDisplay::Line* ProgressDisplay::Find(int id) {
    for (Line& l : m_lines)
        if (l.id == id) return &l;
    return nullptr;
}

void ProgressDisplay::Stage(int line, int stage, long percent, long long fileBytes) {
    static const char* const kStages[] = {"download mode", "erasing", "uploading"};
    if (stage < 0 || stage > 2 || (stage != 0 && percent == 0)) return;  // a bar set back before its stage begins
    std::lock_guard lock(m_mutex);
    Line* l = Find(line);
    if (!l) return;
    if (!m_terminal) {
        // Logs and pipes: one line when a stage begins.
        if (stage != l->stage) std::fprintf(m_out, "%s: %s: %s\n", kProgramTitle, l->mac.c_str(), kStages[stage]);
        l->stage = stage;
        std::fflush(m_out);
        return;
    }
    if (stage == l->stage && percent == l->percent) return;
    l->stage = stage;
    l->percent = percent;
    std::string bytes;
    if (stage == 2 && fileBytes > 0)
        bytes = "  " + std::to_string(fileBytes * percent / 100 / 1024) + "/" + std::to_string(fileBytes / 1024) +
                " KiB";
    char text[160];
    std::snprintf(text, sizeof text, "%s: %-13s %3ld%%%s", l->mac.c_str(), kStages[stage], percent, bytes.c_str());
    l->text = text;
    Redraw(nullptr);
}

void ProgressDisplay::Finish(int line, const std::string& result) {
    std::lock_guard lock(m_mutex);
    Line* l = Find(line);
    if (!l) return;
    const std::string done = l->mac + ": " + result;
    m_lines.erase(m_lines.begin() + (l - m_lines.data()));
    if (!m_terminal) {
        std::fprintf(m_out, "%s: %s\n", kProgramTitle, done.c_str());
        std::fflush(m_out);
        return;
    }
    Redraw(&done);
}

// At a terminal: the lines of the devices under way, redrawn where they
// stand (the cursor goes back up over them); a device that ended leaves its
// last line above them.
void ProgressDisplay::Redraw(const std::string* finished) {
    if (m_drawn > 0) std::fprintf(m_out, "\033[%dA", m_drawn);
    if (finished) std::fprintf(m_out, "\r%s\033[K\n", finished->c_str());
    int drawn = 0;
    for (const Line& l : m_lines) {
        if (l.text.empty()) continue;
        std::fprintf(m_out, "\r%s\033[K\n", l.text.c_str());
        ++drawn;
    }
    std::fputs("\033[J", m_out);  // lines of devices that ended since
    m_drawn = drawn;
    std::fflush(m_out);
}

}  // namespace basAutomation
