#include "modZarni.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "CommandLine.h"
#include "DataDirectory.h"
#include "Globals.h"
#include "LibraryLoader.h"
#include "QfwIntegrity.h"
#include "QtSeams.h"
#include "RefreshNicPool.h"
#include "UiResources.h"
#include "ZarniLibs.h"
#include "basAutomation.h"
#include "basDebug.h"
#include "basWinAPI.h"
#include "clsDbManager.h"
#include "clsZarn.h"
#include "frmFirmwareWizard.h"
#include "frmHelp.h"
#include "frmMsg.h"
#include "frmSplash.h"
#include "frmStatus.h"
#include "frmProfiles.h"
#include "frmZarni.h"
#include "modWLAN.h"
#include "modSNAP.h"
#include "modZarniChecks.h"

namespace kvr {
namespace {

const ModuleLog Log("modZarni");

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// True when the arguments hold the unattended switch (/U or --unattended, any case).
bool LooksUnattended(const std::vector<std::string>& args) {
    for (std::string a : args) {
        for (char& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (a == "/u" || a == "--unattended") return true;
    }
    return false;
}

// A script that runs the program unattended learns why it did not start,
// also when the failure comes before the status log or the output file exist.
void TellUnattendedCaller(bool unattended, const std::string& text) {
    if (!unattended) return;
    std::fprintf(stderr, "%s: %s\n", kProgramTitle, text.c_str());
    std::fflush(stderr);
}

// Real adapters are opened for raw frames: say which capability is missing
// and how to add it (not when only virtual segments are asked for).
void TellMissingRawAccess() {
    const char* adapters = std::getenv("KVR_ADAPTERS");
    if (adapters && std::string(adapters) == "virtual") return;
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    const std::string advice = RawAccessAdvice(MissingRawCapabilities(), ec ? std::string(kProgramTitle) : self);
    if (advice.empty()) return;
    Log(advice, LEVEL_WARNING, "Main");
    std::fprintf(stderr, "%s: %s\n", kProgramTitle, advice.c_str());
    std::fflush(stderr);
}

}  // namespace

InstanceLock::InstanceLock(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) return;
    m_acquired = ::flock(m_fd, LOCK_EX | LOCK_NB) == 0;
}

InstanceLock::~InstanceLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing releases the lock
}

float AckTimeoutFromSetting(const std::string& settingText, float current) {
    // The setting is a number of milliseconds; like a Val() of the text, a
    // leading number counts and anything else is 0.
    const std::string t = Trim(settingText);
    char* end = nullptr;
    errno = 0;
    const double ms = std::strtod(t.c_str(), &end);
    if (end == t.c_str() || errno == ERANGE || !(ms > 0) || ms > 3600.0 * 1000.0) return current;
    const float seconds = static_cast<float>(ms / 1000.0);
    return seconds != current ? seconds : current;
}

namespace {

// Start-up steps, in the order Main runs them.

// The program ends during start-up: scripts see the failure.
StartupOutcome Refused(StartupOutcome out) {
    out.exitStatus = 1;
    return out;
}

// One instance at a time: the lock lives beside the database. False, after
// telling the user, when another instance holds it.
bool TakeInstanceLock(StartupOutcome& out, const std::string& dataDirectory, bool unattended) {
    const std::string title = kProgramTitle;
    out.lock = std::make_unique<InstanceLock>(dataDirectory + "/" + title + ".lock");
    if (out.lock->Acquired() || out.lock->Unavailable()) return true;
    const std::string text = title + " is already running.  Cannot start a second instance.";
    TellUnattendedCaller(unattended, text);
    CurrentPrompter().Ask(text, "Cannot Start", PromptButtons::OK, PromptIcon::None);
    out.lock.reset();
    return false;
}

// The program-wide values that everything after relies on.
void SetProgramValues(const std::string& appDirectory) {
    G().QuietLogging = false;
    G().EngineeringFeatures = false;
    G().UserLanguage = GetLocalLanguage();
    G().AppDirectory = appDirectory;
    SetLibraryDirectory(appDirectory);  // both libraries ship beside the program
}

// False, after the repair has started, when a packet-driver file lies in the
// application directory.
bool InstallationIsSound(const std::string& appDirectory, bool unattended) {
    if (VerifySupportingFiles() == 0) return true;
    TellUnattendedCaller(unattended, "improper installation: a packet-driver file lies in the application directory '" +
                                         appDirectory + "'.");
    return false;
}

void ResetSessionState() {
    G().StatusWindowSlot0 = nullptr;
    G().LabelCounter = 1;
    G().RediscoveryNeeded = true;
    G().ModifiedSnap = 0;
}

// The application directory becomes the current one; file names on the
// command line stay relative to where the user started us.
void EnterApplicationDirectory(const std::string& appDirectory) {
    std::error_code ec;
    G().StartDirectory = std::filesystem::current_path(ec).string();
    std::filesystem::current_path(appDirectory, ec);
    if (ec) Log("cannot make '" + appDirectory + "' the current directory: " + ec.message(), LEVEL_ERROR, "Main");
}

// The database (owned by the outcome), the log's level setting, and the
// status window, which collects every message from here on (hidden until the
// user opens it from the main window's Tools menu).
void OpenDatabaseAndLog(StartupOutcome& out) {
    G().DebugLoggingLevel = 7;
    out.database = std::make_unique<clsDbManager>();
    InitDebugLog();
    StatusWindow();
}

// The acknowledgement time-out from the settings.
void ReadSettings(clsDbManager& database) {
    G().AckTimeout = 0.2f;
    const std::string ackSetting = database.GetSetting(kProgramTitle, "Settings", "AckTimeoutMs",
                                                       std::to_string(static_cast<long>(G().AckTimeout * 1000)));
    G().AckTimeout = AckTimeoutFromSetting(ackSetting, G().AckTimeout);
}

// Hands a non-blank command line to the automation module. Returns why an
// asked-for run cannot go on ("" when it can, or when nothing was asked).
std::string StartAutomation(const std::vector<std::string>& args) {
    // Blank arguments carry nothing: a command line of blanks is no command line.
    std::vector<std::string> given;
    for (const std::string& a : args)
        if (!Trim(a).empty()) given.push_back(a);
    const std::string commandLine = Trim(JoinCommandLine(given));
    if (commandLine.empty()) return "";
    Log("Command Line = '" + commandLine + "'", LEVEL_USER);
    if (basAutomation::Initialize() != 0) {
        Log("Error initializing automation module!", LEVEL_ERROR);
        return "the output file '" + basAutomation::OutputFileName() + "' cannot be opened";
    }
    std::vector<std::string> cmdArgs, errs;
    if (basAutomation::ProcessCommandLine(commandLine, cmdArgs, errs) != 0) {
        Log("Error processing command line!  CommandLineErrs: ", LEVEL_ERROR);
        for (std::size_t i = 1; i < errs.size(); ++i) Log("   err #" + std::to_string(i) + ": " + errs[i], LEVEL_ERROR);
        return "the command line cannot be processed";
    }
    if (G().EngineeringMode) G().EngineeringFeatures = true;
    if (G().AutomationMode) Log("Automation mode requested.", LEVEL_TRACE);
    return "";
}

// The run's seams: an unattended run never waits for a click; every Help
// button and F1 opens the help pages.
void InstallRunSeams() {
    const bool neverBlock = G().AutomationMode && basAutomation::State().UnattendedMode;
    InstallQtSeams(neverBlock);
    if (neverBlock) frmMsg::SetNeverBlock(true);
    InstallHelpWindow();
}

void OpenMainWindow(StartupOutcome& out) {
    RefreshNicPool();
    out.mainWindow = std::make_unique<frmZarni>();
    out.mainWindow->SetFirmwareOpener(ShowFirmwareWizard);
    profiles::InstallWepKeyConverter();
    out.mainWindow->SetProfilesOpener([](clsZarn& zarn, QWidget* parent) {
        frmProfiles editor(parent);
        editor.Init(zarn);
    });
    out.mainWindow->SetAutomationAbort([] {
        Log("Aborting operation.", LEVEL_USER, "AbortAutomation");
        basAutomation::CloseOutputFile();
    });
    if (G().AutomationMode) {
        // The automated run's firmware file decides which devices are offered,
        // and its target is the device the user picks.
        const auto& st = basAutomation::State();
        const auto fileId = static_cast<std::int32_t>(st.FileHardwareID);
        const auto fileVersion = static_cast<std::int32_t>(st.FileCompatibleHardwareVersion);
        out.mainWindow->SetAutomationFirmwareFit([fileId, fileVersion](const clsZarn& z) {
            return IsHardwareCompatible(z.HardwareID, z.HardwareVersion, fileId, fileVersion);
        });
        out.mainWindow->SetAutomationTarget([](const std::string& mac) { basAutomation::State().MatchMac = mac; });
        out.mainWindow->SetAutomationUnattended(st.UnattendedMode);
    }
    out.mainWindow->Form_Load();
    CloseSplash();
    out.mainWindow->show();
}

}  // namespace

StartupOutcome Main(const std::vector<std::string>& args, const std::string& appDirectory) {
    StartupOutcome out;
    // The unattended switch may be anywhere on the command line; such a run
    // never waits for a click, from the first message box on.
    const bool unattended = LooksUnattended(args);
    InstallQtSeams(unattended);

    // Where the database and history.log go: beside the program, or in the
    // user's own directory when the application directory is read-only.
    const DataDirectoryChoice data = ChooseDataDirectory(appDirectory);
    if (data.path.empty()) {
        const std::string text = "cannot start: " + data.problem + ".";
        std::fprintf(stderr, "%s: %s\n", kProgramTitle, text.c_str());
        std::fflush(stderr);
        CurrentPrompter().Ask(std::string(kProgramTitle) + " " + text, "Cannot Start", PromptButtons::OK,
                              PromptIcon::Critical);
        return Refused(std::move(out));
    }
    SetDataDirectory(data.beside ? std::string() : data.path);
    // The lock lives beside the database, so it follows the user when the
    // application directory is read-only.
    if (!TakeInstanceLock(out, data.path, unattended)) return Refused(std::move(out));
    SetProgramValues(appDirectory);
    if (!InstallationIsSound(appDirectory, unattended)) return Refused(std::move(out));
    ResetSessionState();
    EnterApplicationDirectory(appDirectory);
    OpenDatabaseAndLog(out);
    if (!data.beside) Log("Database and history.log are kept in '" + data.path + "'.", LEVEL_USER, "Main");
    TellMissingRawAccess();
    ReadSettings(*out.database);

    std::string automationProblem = StartAutomation(args);
    if (unattended && automationProblem.empty() && !G().AutomationMode)
        automationProblem = "no operation was asked for (/D, /B, /C or /I)";
    // Nobody is at the screen of an unattended run: when it cannot run (no
    // output file to record it in, nothing to do), the windows would wait for
    // a user for ever.
    if (!automationProblem.empty() && unattended) {
        const std::string text = "the unattended run cannot start: " + automationProblem + ".";
        Log(text, LEVEL_ERROR, "Main");
        TellUnattendedCaller(unattended, text);
        return Refused(std::move(out));
    }
    InstallRunSeams();

    ShowSplash();
    SetCloseSplashHook([] { CloseSplash(); });
    if (!CheckOS()) {
        ShowMessage(1100);
        CloseSplash();
        return Refused(std::move(out));
    }
    if (!CheckDll()) {
        CloseSplash();
        ShowMessage(1111);
        return Refused(std::move(out));
    }
    OpenMainWindow(out);
    return out;
}

void Shutdown(StartupOutcome& outcome) {
    SetCloseSplashHook(nullptr);
    CloseSplash();
    outcome.mainWindow.reset();
    DestroyMessageWindow();
    DestroyStatusWindow();
    SetHelpOpener(nullptr);
    outcome.database.reset();
    RemoveQtSeams();
    outcome.lock.reset();
    SetDataDirectory({});
}

}  // namespace kvr
