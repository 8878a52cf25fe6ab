#include "AutomatedOperations.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <sstream>

#include "Globals.h"
#include "QfwHeader.h"
#include "QfwIntegrity.h"
#include "basAutomation.h"
#include "basDebug.h"
#include "HexText.h"
#include "Text.h"
#include "basUtils.h"
#include "clsZarnPool.h"

namespace basAutomation {

namespace {

namespace fs = std::filesystem;
using kvr::ExitStatus;

void Log(const std::string& message, const kvr::LogLevelArg& level = {}, const std::string& procedure = {}) {
    if (G().QuietLogging && ParseLogLevel(level) < 8) return;
    static const kvr::ModuleLog moduleLog("basAutomation");
    moduleLog(message, level, procedure);
}

AutomationServices g_services;
ExitStatus g_runStatus = ExitStatus::Ok;
std::string g_failureReason;
bool g_ended = false;
bool g_fileRejected = false;  // the firmware file failed its check: no device can take it
std::string g_stopSignal;     // the signal that asked the run to stop ("" none)
bool g_stopNoted = false;     // the records say so

std::string Hex(long code) { return kvr::HexUpper(static_cast<std::uint32_t>(code)); }

bool FitsFile(const clsZarn& z) {
    const auto& st = State();
    if (!st.FileHeaderRead) return true;  // nothing known about the file: no device is ruled out
    return kvr::IsHardwareCompatible(z.HardwareID, z.HardwareVersion, static_cast<std::int32_t>(st.FileHardwareID),
                                     static_cast<std::int32_t>(st.FileCompatibleHardwareVersion));
}

std::string VersionOf(const clsZarn& z) {
    return z.IsFirmwareIdValid ? std::to_string(z.FirmwareID) + "." + std::to_string(z.FirmwareVersion) : "";
}

// --- the JSON record --------------------------------------------------------

class JsonRecord {
public:
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
    void Line(const std::string& object) {
        if (!m_out || !m_error.empty()) return;
        errno = 0;
        if (std::fputs((object + "\n").c_str(), m_out) < 0 || std::fflush(m_out) != 0) Failed(errno);
    }
    void Close() {
        errno = 0;
        if (m_out && m_own && std::fclose(m_out) != 0 && m_error.empty()) Failed(errno);
        m_out = nullptr;
        m_own = false;
    }
    const std::string& Error() const { return m_error; }
    void Forget() { m_error.clear(); }

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

JsonRecord g_json;

// A record that could not be written (history.log or the JSON record, each
// told on standard error when it failed): the run cannot end well.
void NoteRecordFailures() {
    const std::string& why = !OutputFileError().empty() ? OutputFileError() : g_json.Error();
    if (!why.empty()) SetRunStatus(kvr::WorseOf(g_runStatus, ExitStatus::NotRecorded), "could not record the run: " + why);
}

// One device's record, filled while it is worked on.
struct DeviceRecord {
    std::string mac, name, adapter, versionBefore, versionAfter, error;
    ExitStatus status = ExitStatus::Ok;
    int attempt = 0;
    std::int64_t startMs = 0;
};

DeviceRecord g_current;
int g_devicesDone = 0, g_devicesOk = 0;

std::string FieldText(const char* key, const std::string& value) { return std::string("\"") + key + "\":" + JsonString(value); }

void WriteDeviceRecord(const DeviceRecord& r) {
    ++g_devicesDone;
    if (r.status == ExitStatus::Ok) ++g_devicesOk;
    if (!g_json.IsOpen()) return;
    const double seconds = static_cast<double>(kvr::CurrentClock().NowMs() - r.startMs) / 1000.0;
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.1f", r.startMs ? seconds : 0.0);
    std::string o = "{" + FieldText("mac", ::FormatMacAddress(r.mac)) + "," + FieldText("name", r.name) + "," +
                    FieldText("adapter", r.adapter) + "," + FieldText("firmware_before", r.versionBefore) + "," +
                    FieldText("firmware_after", r.versionAfter) + "," +
                    FieldText("result", kvr::ExitStatusName(r.status)) +
                    ",\"status\":" + std::to_string(kvr::ToInt(r.status)) +
                    ",\"attempt\":" + std::to_string(r.attempt) + ",\"seconds\":" + secs + "," +
                    FieldText("error", r.error) + "}";
    g_json.Line(o);
}

void WriteSummary() {
    if (!g_json.IsOpen()) return;
    g_json.Line("{\"summary\":true,\"devices\":" + std::to_string(g_devicesDone) +
                ",\"succeeded\":" + std::to_string(g_devicesOk) +
                ",\"failed\":" + std::to_string(g_devicesDone - g_devicesOk) +
                ",\"status\":" + std::to_string(kvr::ToInt(g_runStatus)) + "," +
                FieldText("result", kvr::ExitStatusName(g_runStatus)) + "," + FieldText("error", g_failureReason) +
                "}");
}

// A failure of the device being worked on: logged at ERROR (so it reaches
// the output file), kept for its record and for the run's outcome.
long Fail(ExitStatus status, const std::string& text) {
    Log(text, kvr::LEVEL_ERROR);
    g_current.status = status;
    g_current.error = text;
    return -1;
}

// The message part of an output-file line ("0:00:01.234 | text" -> "text").
std::string MessageOf(const std::string& line) {
    const std::size_t bar = line.find(" | ");
    return bar == std::string::npos ? line : line.substr(bar + 3);
}

bool Terminal() { return ::isatty(STDERR_FILENO) == 1; }

// Why the firmware file cannot go to any device ("" when it can): checked
// whole, sizes, sections and checksums, before any device sees it.
std::string FileProblem(const std::string& fileName) {
    std::error_code ec;
    if (!fs::is_regular_file(fileName, ec)) {
        const char* what = fs::exists(fileName, ec) ? "\" is not a regular file." : "\" does not exist.";
        return "ERROR: \"" + fileName + what + "  Can't perform operation!";
    }
    kvr::QfwHeader header;
    const bool headerOk = kvr::ReadQfwHeaderFile(fileName, header) == kvr::QfwReadStatus::Ok && header.HasMagic();
    // The integrity check runs on every file, so its findings (an empty file too) reach the record.
    const bool intact = !g_services.VerifyFile || g_services.VerifyFile(fileName);
    if (!headerOk || !intact)
        return "DownloadImage ERROR: '" + fileName +
               "': The QFW file does not contain a valid firmware image!  Can't perform operation!";
    return {};
}

// The step of a failed download: the last thing it said, not the wizard's
// closing line or the unanswered boxes after it. Earlier lines can be problems the download got over
// (a device already in download mode refuses to be put into it).
std::string FailedStep(const std::vector<std::string>& said) {
    for (auto it = said.rbegin(); it != said.rend(); ++it) {
        const std::string m = MessageOf(*it);
        // Boxes nobody answers repeat the step's failure in words for people.
        if (m.find("PerformDownload failed.") == std::string::npos && m.rfind("Unanswered question (", 0) != 0)
            return m;
    }
    return {};
}

// The outcome of a download the wizard ran: failed, back on another version,
// or done.
long DownloadOutcome(bool ok, bool matches, const std::string& mac, const std::string& fileVersion,
                     const std::vector<std::string>& said, DeviceProgress* progress) {
    if (!ok) {
        if (progress) progress->Finish("failed");
        const std::string step = FailedStep(said);
        return Fail(ExitStatus::DownloadFailed, "DownloadImage ERROR: the firmware upload failed for '" + mac + "'" +
                                                    (step.empty() ? std::string() : " (" + step + ")") + ".");
    }
    if (g_current.versionAfter.empty()) {
        // Not back within the restart wait: its version is unknown, not refused.
        if (progress) progress->Finish("not back in time, version unknown");
        return Fail(ExitStatus::NotBack, "DownloadImage ERROR: the device did not come back in time after the "
                                         "download; the firmware version it runs is unknown.");
    }
    if (!matches) {
        if (progress) progress->Finish("back with another version");
        return Fail(ExitStatus::NotBack, "DownloadImage ERROR: the device came back running version " +
                                             g_current.versionAfter + ", not the file's version " + fileVersion + ".");
    }
    if (progress) progress->Finish("done, now " + g_current.versionAfter);
    return 0;
}

// One attempt of the download, as the wizard runs it.
long DownloadImageOnce(const std::string& target, const std::string& fileName) {
    auto& st = State();
    // The file, checked whole before any page of the wizard sees it: a
    // corrupt file never reaches a device.
    if (const std::string problem = FileProblem(fileName); !problem.empty()) {
        g_fileRejected = true;
        return Fail(ExitStatus::FirmwareFileInvalid, problem);
    }
    kvr::QfwHeader header;
    kvr::ReadQfwHeaderFile(fileName, header);
    std::string mac = target;
    const std::shared_ptr<clsZarn> z = ZarnPool().FindZarn(mac);
    if (!z)
        return Fail(ExitStatus::NoDevice,
                    "DownloadImage PROGRAM ERROR: no ZARN object in DownloadImage.  Can't perform operation!");
    g_current.name = z->Name;
    g_current.adapter = z->NICName;
    if (g_current.versionBefore.empty()) g_current.versionBefore = VersionOf(*z);
    std::unique_ptr<AutomatedWizard> wizard = g_services.MakeWizard ? g_services.MakeWizard() : nullptr;
    if (!wizard)
        return Fail(ExitStatus::DownloadFailed,
                    "DownloadImage ERROR: the firmware wizard is not available in this build.  Can't perform operation!");
    if (!wizard->Init(z))
        return Fail(ExitStatus::DownloadFailed,
                    "DownloadImage ERROR: frmFirmwareWizard.Init failed.  Can't perform operation!");
    wizard->SetFileName(fileName);
    wizard->GotoStep(2);
    const std::string shownMac = ::FormatMacAddress(target);
    if (!st.UnattendedMode) {
        // The user goes on from the chosen file; the outcome is judged as in
        // an unattended run.
        const std::size_t mark = OutputLineCount();
        wizard->Show(true);
        const bool ok = wizard->UploadOK();
        g_current.versionAfter = wizard->VersionAfter();
        const bool matches = wizard->VersionMatchesFile();
        wizard->Close();
        return DownloadOutcome(ok, matches, shownMac, header.VersionText(), OutputLinesSince(mark), nullptr);
    }
    // Page 2 refuses a device the file does not fit (the wizard stays on
    // page 1); Next there would open the file dialog, which nobody answers.
    if (wizard->iStep() != 2) {
        wizard->Close();
        return Fail(ExitStatus::Incompatible, "DownloadImage ERROR: the firmware wizard did not accept '" + fileName +
                                                  "' for this device (page 2 not reached).  Can't perform operation!");
    }
    if (st.ForceCne) wizard->SetUploadImageOnly(false);
    if (st.ForceNoCne) wizard->SetUploadImageOnly(true);
    if (!wizard->UploadImageOnly() && !st.ForceNoCne) {
        wizard->Close();
        return Fail(ExitStatus::Refused, "ERROR: Cannot upgrade a CNE in unattended mode!");
    }
    std::error_code ec;
    DeviceProgress progress(stderr, Terminal(), shownMac, static_cast<long long>(fs::file_size(fileName, ec)));
    wizard->SetProgressBars(&progress.DownloadMode(), &progress.Erase(), &progress.Upload());
    wizard->Show(false);
    const std::size_t mark = OutputLineCount();
    wizard->Advance();
    kvr::CurrentClock().SleepMs(300);
    kvr::CurrentEventPump().DoEvents();
    const bool ok = wizard->UploadOK();
    g_current.versionAfter = wizard->VersionAfter();
    const bool matches = wizard->VersionMatchesFile();
    const std::vector<std::string> said = OutputLinesSince(mark);
    wizard->Close();
    return DownloadOutcome(ok, matches, shownMac, header.VersionText(), said, &progress);
}

// The devices asked for, each with what is already known against it.
struct Target {
    std::string mac;
    ExitStatus status = ExitStatus::Ok;  // not Ok: the device cannot be worked on
    std::string error;
};

const char* kExiting = "Exiting without performing operations!";

ExitStatus NoneCompatibleStatus() {
    // Devices were found but none takes the file: that is the file's hardware.
    for (const auto& z : ZarnPool().colZarn)
        if (z && !FitsFile(*z)) return ExitStatus::Incompatible;
    return ExitStatus::NoDevice;
}

// The devices to upgrade: one for a single address, several for a
// list or "all". `status` tells why the list is empty.
std::vector<Target> GetTargetDevices(const std::string& match, ExitStatus& status, bool& prompt) {
    status = ExitStatus::Ok;
    prompt = false;
    const auto& st = State();
    std::vector<Target> targets;
    if (match.find('*') != std::string::npos) {
        Log("GetTargetDevice: wildcard characters (*) are not yet supported: '" + match + "'.  " + kExiting,
            kvr::LEVEL_ERROR);
        status = ExitStatus::BadCommandLine;
        return targets;
    }
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
            Log("There are no Zarn Adapters that are compatible with firmware downloading from this application.",
                kvr::LEVEL_ERROR);
            status = NoneCompatibleStatus();
        }
        return targets;
    }
    std::vector<std::string> macs;
    if (!match.empty()) {
        std::stringstream in(match);
        for (std::string m; std::getline(in, m, ',');)  // a MAC given twice is one device
            if (!m.empty() && std::none_of(macs.begin(), macs.end(), [&](const std::string& k) { return kvr::SameMac(k, m); }))
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
            if (!t.error.empty()) Log(t.error, kvr::LEVEL_ERROR);
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
        Log("There are no Zarn Adapters that are compatible with firmware downloading from this application.",
            kvr::LEVEL_ERROR);
        status = NoneCompatibleStatus();
    } else if (st.PromptForMultiple) {
        Log("There are " + count + " Zarn Adapters that are compatible with firmware downloading from this " +
                "application.  Prompting for device.",
            kvr::LEVEL_WATCH);
        prompt = true;
    } else {
        Log("There are " + count + " Zarn Adapters that are compatible with firmware downloading from this " +
                "application.  Cannot proceed.",
            kvr::LEVEL_ERROR);
        status = ExitStatus::SeveralDevices;
    }
    return targets;
}

void StartRecord(const std::string& mac) {
    g_current = DeviceRecord{};
    g_current.mac = mac;
    g_current.startMs = kvr::CurrentClock().NowMs();
    std::string m = mac;
    if (const auto z = ZarnPool().FindZarn(m)) {
        g_current.name = z->Name;
        g_current.adapter = z->NICName;
        g_current.versionBefore = VersionOf(*z);
    }
}

void EndRecord() {
    SetRunStatus(kvr::WorseOf(g_runStatus, g_current.status), g_current.error);
    WriteDeviceRecord(g_current);
    NoteRecordFailures();
}

// The firmware file cannot go to any device: that is the run's outcome,
// whatever the devices found are; each device asked for is left as it is.
void RefuseFile(const std::string& problem) {
    const auto& st = State();
    g_fileRejected = true;
    Log(problem, kvr::LEVEL_ERROR);
    for (const auto& z : ZarnPool().colZarn) {
        if (!z) continue;
        const bool asked = st.MatchAll || st.MatchMacs.empty() ||
                           std::any_of(st.MatchMacs.begin(), st.MatchMacs.end(),
                                       [&](const std::string& m) { return kvr::SameMac(m, z->MAC); });
        if (!asked) continue;
        StartRecord(z->MAC);
        g_current.status = ExitStatus::FirmwareFileInvalid;
        g_current.error = problem;
        WriteDeviceRecord(g_current);
    }
    SetRunStatus(ExitStatus::FirmwareFileInvalid, problem);
}

// The time a device that was lost during a download has to answer again
// before the next attempt (it may come back in download mode).
constexpr std::int32_t kAnswerAgainMs = 30000;

// Before another attempt: the device as it is now, also when the last
// attempt lost it. False when it does not answer again in time.
bool MeetAgain(const std::string& target, const std::shared_ptr<clsZarn>& seen) {
    if (g_services.Rediscover) g_services.Rediscover();
    std::string mac = target;
    if (ZarnPool().FindZarn(mac)) return true;
    if (!seen) return false;
    Log("DownloadImage: waiting up to " + std::to_string(kAnswerAgainMs / 1000) + " s for '" +
            ::FormatMacAddress(target) + "' to answer again.",
        kvr::LEVEL_USER);
    if (!seen->ScanForZarn(kAnswerAgainMs, nullptr)) return false;
    if (g_services.Rediscover) g_services.Rediscover();
    mac = target;
    if (!ZarnPool().FindZarn(mac)) ZarnPool().AddZarn(seen);
    return true;
}

// Said once in the output file when a signal stopped the run.
void NoteStop(const std::string& leftOut) {
    if (g_stopSignal.empty() || g_stopNoted) return;
    g_stopNoted = true;
    const std::string text = "the run was stopped by " + g_stopSignal + leftOut;
    Log("PerformAutomatedOperations: " + text + ".", kvr::LEVEL_ERROR);
    SetRunStatus(kvr::WorseOf(g_runStatus, ExitStatus::Failure), text);
}

}  // namespace

void SetServices(AutomationServices services) { g_services = std::move(services); }
AutomationServices& Services() { return g_services; }

kvr::ExitStatus RunStatus() { return g_runStatus; }
const std::string& RunFailureReason() { return g_failureReason; }
bool AutomationEnded() { return g_ended; }

void SetRunStatus(kvr::ExitStatus status, const std::string& reason) {
    if (status != ExitStatus::Ok && status != g_runStatus) g_failureReason = reason;
    g_runStatus = status;
}

void RequestStop(const std::string& signalName) {
    if (g_stopSignal.empty()) g_stopSignal = signalName.empty() ? std::string("a signal") : signalName;
}
const std::string& StopSignal() { return g_stopSignal; }

void ResetRun() {
    g_runStatus = ExitStatus::Ok;
    g_failureReason.clear();
    g_ended = false;
    g_fileRejected = false;
    g_stopSignal.clear();
    g_stopNoted = false;
    g_json.Forget();
    g_devicesDone = g_devicesOk = 0;
    g_current = DeviceRecord{};
    g_json.Close();
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c > 0x7E) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

bool OpenJsonRecord(const std::string& path, std::string& reason) { return g_json.Open(path, reason); }
void CloseJsonRecord() { g_json.Close(); }

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

long PerformAutomatedOperations() {
    auto& st = State();
    // An unusable file is the run's outcome before anything else: no device
    // could take it, whichever hardware it names.
    if (st.DownloadRequested && !g_stopSignal.empty()) {
        NoteStop(" before the first device");
        EndAutomation();
        return -1;
    }
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
    if (st.DownloadRequested) {
        if (targets.empty()) {
            // The run asked for a download but no device can take it.
            SetRunStatus(targetStatus, MessageOf(LastOutputLine()));
            code = -1;
        }
    } else if (targetStatus == ExitStatus::BadCommandLine) {
        SetRunStatus(targetStatus, MessageOf(LastOutputLine()));
        code = -1;
    }
    // The devices one after the other, with a rediscovery between them so
    // each is met as it is now (another may have restarted meanwhile). A
    // signal or a record that cannot be written ends the run after the
    // device under way.
    if (code == 0 && st.DownloadRequested) {
        bool first = true;
        for (std::size_t i = 0; i < targets.size(); ++i) {
            const Target& t = targets[i];
            const std::string left = std::to_string(targets.size() - i);
            if (!g_stopSignal.empty()) {
                NoteStop("; " + left + " device(s) not started");
                code = -1;
                break;
            }
            if (!g_json.Error().empty()) {
                Log("PerformAutomatedOperations: the JSON record cannot be written; " + left +
                        " device(s) not started.",
                    kvr::LEVEL_ERROR);
                code = -1;
                break;
            }
            if (!first && g_services.Rediscover) g_services.Rediscover();
            first = false;
            StartRecord(t.mac);
            long c = -1;
            if (t.status != ExitStatus::Ok) {
                g_current.status = t.status;
                g_current.error = t.error;
            } else if (g_fileRejected) {  // the file changed during the run
                Fail(ExitStatus::FirmwareFileInvalid, "DownloadImage: the firmware file was rejected; '" +
                                                          ::FormatMacAddress(t.mac) + "' is left as it is.");
            } else {
                c = DownloadImage(t.mac, st.DownloadFile);
                if (c != 0)
                    Log("DownloadImage failed, code " + std::to_string(c) + "(0x" + Hex(c) +
                            ") in basAutomation.PerformAutomatedOperations",
                        kvr::LEVEL_WARNING);
            }
            EndRecord();
            if (c != 0) code = -1;
        }
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
            SetRunStatus(kvr::WorseOf(g_runStatus, ExitStatus::Refused), "boot-loader downloads are not available");
        } else {
            Log("Successfully programmed new bootloader firmware image.", kvr::LEVEL_USER);
        }
    }
    EndAutomation();
    return code;
}

std::string GetTargetDevice(const std::string& match) {
    ExitStatus status = ExitStatus::Ok;
    bool prompt = false;
    const std::vector<Target> targets = GetTargetDevices(match, status, prompt);
    if (prompt) return "<prompt>";
    if (targets.empty() || targets.back().status != ExitStatus::Ok) return {};
    return targets.back().mac;
}

long DownloadImage(const std::string& target, const std::string& fileName) {
    const auto& st = State();
    const int attempts = st.UnattendedMode ? 1 + st.Retries : 1;
    std::string mac = target;
    const std::shared_ptr<clsZarn> seen = ZarnPool().FindZarn(mac);  // as the run found it
    long code = -1;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (attempt > 1) {
            if (!g_stopSignal.empty()) break;
            Log("DownloadImage: attempt " + std::to_string(attempt) + " of " + std::to_string(attempts) + " for '" +
                    ::FormatMacAddress(target) + "'.",
                kvr::LEVEL_USER);
            // The device may have been left in download mode, on another
            // adapter, or silent for a while: meet it as it is now.
            g_current.attempt = attempt;
            if (!MeetAgain(target, seen)) {
                code = Fail(ExitStatus::DownloadFailed, "DownloadImage ERROR: '" + ::FormatMacAddress(target) +
                                                            "' did not answer again before attempt " +
                                                            std::to_string(attempt) + ".");
                continue;
            }
        }
        g_current.attempt = attempt;
        g_current.status = ExitStatus::Ok;
        g_current.error.clear();
        code = DownloadImageOnce(target, fileName);
        if (code == 0) break;
        // Only a download that was tried can go better the next time.
        if (g_current.status != ExitStatus::DownloadFailed && g_current.status != ExitStatus::NotBack) break;
    }
    if (code == 0 && attempts > 1)
        Log("DownloadImage: '" + ::FormatMacAddress(target) + "' upgraded at attempt " +
                std::to_string(g_current.attempt) + ".",
            kvr::LEVEL_USER);
    return code;
}

long DownloadBootloader(const std::string& /*target*/, const std::string& /*fileName*/) {
    const std::string text = "The DownloadBootloader functionality is not yet implemented.";
    Log(text, kvr::LEVEL_ERROR, "DownloadBootloader");
    kvr::CurrentPrompter().Ask(text, std::string(kProgramTitle) + " Automation Error", kvr::PromptButtons::OK,
                               kvr::PromptIcon::None);
    return -1;
}

void CloseLogFile() {
    const std::string& name = OutputFileName();
    if (State().ShowStatus) {
        std::error_code ec;
        if (!fs::exists(name, ec)) {
            Log("CloseLogFile: log file '" + name + "' does not exist.", kvr::LEVEL_WARNING);
        } else {
            WriteOutputLine(OutputRule());
            CloseOutputFile();
            if (g_services.ShowFile) g_services.ShowFile(name);
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
void CloseRecords() {
    NoteRecordFailures();
    WriteSummary();
    NoteRecordFailures();
    Log("Automated operations ended with exit status " + std::to_string(kvr::ToInt(g_runStatus)) + " (" +
            kvr::ExitStatusName(g_runStatus) + ").",
        kvr::LEVEL_USER);
    CloseLogFile();
    CloseJsonRecord();
    NoteRecordFailures();
}

void AbortAutomation() {
    if (g_ended) return;
    g_ended = true;
    Log("Aborting operation.", kvr::LEVEL_USER);
    if (!g_stopSignal.empty())
        NoteStop(" before the run ended");
    else if (g_runStatus == ExitStatus::Ok && (State().DownloadRequested || State().BootloaderRequested))
        SetRunStatus(ExitStatus::Failure, "the run was stopped before it ended");
    CloseRecords();
}

void EndAutomation() {
    if (g_ended) return;
    g_ended = true;
    CloseRecords();
    if (g_services.EndProgram) g_services.EndProgram();
}

// --- --list ----------------------------------------------------------------

std::vector<ListedDevice> DevicesForList() {
    std::vector<ListedDevice> out;
    for (const auto& z : ZarnPool().colZarn) {
        if (!z) continue;
        out.push_back({::FormatMacAddress(z->MAC), z->Name, z->NICName, z->GetIPStatus(), VersionOf(*z),
                       std::to_string(z->HardwareID) + "." + std::to_string(z->HardwareVersion), z->IsInDownloadMode});
    }
    return out;
}

void WriteDeviceList(const std::vector<ListedDevice>& devices, std::FILE* out, bool json) {
    if (json) {
        for (const auto& d : devices)
            std::fprintf(out, "{%s,%s,%s,%s,%s,%s,\"download_mode\":%s}\n", FieldText("mac", d.mac).c_str(),
                         FieldText("name", d.name).c_str(), FieldText("adapter", d.adapter).c_str(),
                         FieldText("ip", d.ip).c_str(), FieldText("firmware", d.firmware).c_str(),
                         FieldText("hardware", d.hardware).c_str(), d.downloadMode ? "true" : "false");
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

class StageBar : public kvr::MemoryProgressBar {
public:
    StageBar(DeviceProgress& owner, int stage) : m_owner(owner), m_stage(stage) {}
    void SetValue(long v) override {
        MemoryProgressBar::SetValue(v);
        const long span = Max() - Min();
        const long pct = span > 0 ? std::clamp((v - Min()) * 100 / span, 0L, 100L) : 0L;
        m_owner.Update(m_stage, pct);
    }

private:
    DeviceProgress& m_owner;
    int m_stage;
};

DeviceProgress::DeviceProgress(std::FILE* out, bool terminal, std::string mac, long long fileBytes)
    : m_out(out), m_terminal(terminal), m_mac(std::move(mac)), m_fileBytes(fileBytes) {
    for (int i = 0; i < 3; ++i) m_bars[i] = std::make_unique<StageBar>(*this, i);
}

DeviceProgress::~DeviceProgress() {
    if (m_lineOpen) std::fputc('\n', m_out);
}

void DeviceProgress::Update(int stage, long percent) {
    static const char* const kStages[] = {"download mode", "erasing", "uploading"};
    if (stage != 0 && percent == 0) return;  // a bar set back before its stage begins
    if (!m_terminal) {
        // Logs and pipes: one line when a stage begins.
        if (stage != m_stage) std::fprintf(m_out, "%s: %s: %s\n", kProgramTitle, m_mac.c_str(), kStages[stage]);
        m_stage = stage;
        std::fflush(m_out);
        return;
    }
    if (stage == m_stage && percent == m_percent) return;
    m_stage = stage;
    m_percent = percent;
    std::string bytes;
    if (stage == 2 && m_fileBytes > 0)
        bytes = "  " + std::to_string(m_fileBytes * percent / 100 / 1024) + "/" + std::to_string(m_fileBytes / 1024) +
                " KiB";
    std::fprintf(m_out, "\r%s: %-13s %3ld%%%s\033[K", m_mac.c_str(), kStages[stage], percent, bytes.c_str());
    std::fflush(m_out);
    m_lineOpen = true;
}

void DeviceProgress::Finish(const std::string& result) {
    if (m_terminal) {
        std::fprintf(m_out, "\r%s: %s\033[K\n", m_mac.c_str(), result.c_str());
        m_lineOpen = false;
    } else {
        std::fprintf(m_out, "%s: %s: %s\n", kProgramTitle, m_mac.c_str(), result.c_str());
    }
    std::fflush(m_out);
}

}  // namespace basAutomation
