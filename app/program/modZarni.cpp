#include "modZarni.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "AutomationRun.h"
#include "AutomationBinding.h"
#include "CommandLine.h"
#include "DataDirectory.h"
#include "ExitStatus.h"
#include "Globals.h"
#include "LibraryLoader.h"
#include "QtSeams.h"
#include "RawAccess.h"
#include "RefreshNicPool.h"
#include "Text.h"
#include "UiResources.h"
#include "ZarniLibs.h"
#include "basAutomation.h"
#include "basDebug.h"
#include "basWinAPI.h"
#include "clsDbManager.h"
#include "clsDiscover.h"
#include "clsZarnPool.h"
#include "frmFirmwareWizard.h"
#include "frmMultiUpgrade.h"
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

bool HasSwitch(const std::vector<std::string>& args, const char* shortForm, const char* longForm) {
    for (const std::string& arg : args) {
        const std::string a = Lower(arg);
        if (a == shortForm || a == longForm) return true;
    }
    return false;
}

// True when the arguments hold the unattended switch (/U or --unattended, any case).
bool LooksUnattended(const std::vector<std::string>& args) { return HasSwitch(args, "/u", "--unattended"); }

// A script that runs the program unattended learns why it did not start,
// also when the failure comes before the status log or the output file exist.
void TellUnattendedCaller(bool unattended, const std::string& text) {
    if (!unattended) return;
    std::fprintf(stderr, "%s: %s\n", kProgramTitle, text.c_str());
    std::fflush(stderr);
}

// Real adapters are opened for raw frames: say why that cannot be, and what
// mends it (not when only virtual segments are asked for).
void TellMissingRawAccess() {
    if (OnlyVirtualAdapters()) return;
    const std::string advice = RawAccessAdvice(LearnRawAccessFacts(ExecutableDirectory()));
    if (advice.empty()) return;
    Log(advice, LEVEL_WARNING, "Main");
    std::fprintf(stderr, "%s: %s\n", kProgramTitle, advice.c_str());
    std::fflush(stderr);
}

// The offscreen platform says on every run that it cannot raise windows or
// hand size hints to a window manager; a script reading standard error must
// see only what concerns it.
QtMessageHandler g_defaultHandler = nullptr;
bool g_noiseFiltered = false;

void FilterToolkitNoise(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg && (message.contains("This plugin does not support") ||
                               message.contains("propagateSizeHints") || message.contains("QStandardPaths:")))
        return;
    if (g_defaultHandler) g_defaultHandler(type, context, message);
}

}  // namespace

void QuietOffscreenPlatform() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    // Installed once: a second filter would hand every message to itself.
    if (!g_noiseFiltered && platform && std::string(platform) == "offscreen") {
        g_noiseFiltered = true;
        g_defaultHandler = qInstallMessageHandler(FilterToolkitNoise);
    }
}

std::string FitRunToDisplay(std::vector<std::string>& args) {
    const auto set = [](const char* name) { return std::getenv(name) && *std::getenv(name); };
    if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM") || IsScriptedRun(args)) return {};
    bool information = false, operation = false;
    for (const std::string& arg : args) {
        const std::string a = Lower(arg);
        if (a == "/i" || a == "--information") information = true;
        for (const char* op : {"/d", "/b", "/c", "--download", "--force-cne"})
            if (a.rfind(op, 0) == 0) operation = true;
    }
    if (information && !operation) {
        args.emplace_back("--unattended");
        return {};
    }
    return "cannot open a window: there is no display (DISPLAY and WAYLAND_DISPLAY are not set); "
           "add --unattended to run without one.";
}

bool IsScriptedRun(const std::vector<std::string>& args) {
    return LooksUnattended(args) || HasSwitch(args, "/l", "--list");
}

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
    const std::string t = Trim(settingText, " \t\r\n");
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
void OpenDatabaseAndLog(StartupOutcome& out, bool headless) {
    G().DebugLoggingLevel = 7;
    out.database = std::make_unique<clsDbManager>();
    SetStatusLogWriter(clsDbManager::LogWriter());
    InitDebugLog();
    ApplyDebugLoggingLevelSetting(out.database->GetSetting(kProgramTitle, "Settings", "DebugLoggingLevel",
                                                           std::to_string(G().DebugLoggingLevel)));
    if (!headless) StatusWindow();
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
        if (!Trim(a, " \t\r\n").empty()) given.push_back(a);
    const std::string commandLine = Trim(JoinCommandLine(given), " \t\r\n");
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
    const auto& st = basAutomation::State();
    const bool neverBlock = (G().AutomationMode && st.UnattendedMode) || st.ListRequested;
    InstallQtSeams(neverBlock);
    if (neverBlock) frmMsg::SetNeverBlock(true);
    InstallHelpWindow();
}

void OpenMainWindow(StartupOutcome& out) {
    RefreshNicPool();
    out.mainWindow = std::make_unique<frmZarni>();
    out.mainWindow->SetFirmwareOpener(ShowFirmwareWizard);
    out.mainWindow->SetSeveralFirmwareOpener(ShowMultiUpgrade);
    profiles::InstallWepKeyConverter();
    out.mainWindow->SetProfilesOpener([](clsZarn& zarn, QWidget* parent) {
        frmProfiles editor(parent);
        editor.Init(zarn);
    });
    BindAutomation(*out.mainWindow, *out.run);
    out.mainWindow->Form_Load();
    CloseSplash();
    out.mainWindow->show();
}


// The start-up steps of every run, up to the check of its command line.
// False when the program ends here (out.exitStatus says how). A headless
// run (scripted) has no application object: nothing here opens a window.
bool StartRun(StartupOutcome& out, const std::vector<std::string>& args, const std::string& appDirectory,
              bool headless) {
    // The unattended switch may be anywhere on the command line; such a run
    // never waits for a click, from the first message box on.
    const bool unattended = LooksUnattended(args);
    const bool scripted = IsScriptedRun(args);  // also --list
    if (!headless) InstallQtSeams(scripted);

    // Where the database and history.log go: beside the program, or in the
    // user's own directory when the application directory is read-only.
    const DataDirectoryChoice data = ChooseDataDirectory(appDirectory);
    if (data.path.empty()) {
        const std::string text = "cannot start: " + data.problem + ".";
        std::fprintf(stderr, "%s: %s\n", kProgramTitle, text.c_str());
        std::fflush(stderr);
        CurrentPrompter().Ask(std::string(kProgramTitle) + " " + text, "Cannot Start", PromptButtons::OK,
                              PromptIcon::Critical);
        out.exitStatus = 1;
        return false;
    }
    SetDataDirectory(data.beside ? std::string() : data.path);
    // The lock lives beside the database, so it follows the user when the
    // application directory is read-only.
    if (!TakeInstanceLock(out, data.path, scripted)) {
        out.exitStatus = ToInt(ExitStatus::AlreadyRunning);
        return false;
    }
    SetProgramValues(appDirectory);
    if (!InstallationIsSound(appDirectory, scripted)) {
        out.exitStatus = 1;
        return false;
    }
    ResetSessionState();
    EnterApplicationDirectory(appDirectory);
    OpenDatabaseAndLog(out, headless);
    if (!data.beside) Log("Database and history.log are kept in '" + data.path + "'.", LEVEL_USER, "Main");
    TellMissingRawAccess();
    ReadSettings(*out.database);

    std::string automationProblem = StartAutomation(args);
    const auto& st = basAutomation::State();
    const bool list = st.ListRequested;
    ExitStatus refusal = ExitStatus::Failure;
    // A script's command line is checked whole before anything is sent: a
    // mistyped option or MAC must not turn into a run that does something else.
    if (automationProblem.empty() && (scripted || !st.JsonFile.empty())) {
        std::string reason;
        refusal = basAutomation::CheckScriptedCommandLine(reason);
        if (refusal != ExitStatus::Ok) automationProblem = reason;
    }
    if (unattended && !list && automationProblem.empty() && !G().AutomationMode) {
        automationProblem = "no operation was asked for (/D, /B, /C or /I)";
        refusal = ExitStatus::BadCommandLine;
    }
    if (automationProblem.empty() && !list && !st.JsonFile.empty()) {
        std::string reason;
        if (!out.run->OpenJsonRecord(st.JsonFile, reason)) {
            automationProblem = reason;
            refusal = ExitStatus::BadCommandLine;
        }
    }
    // Nobody is at the screen of an unattended run: when it cannot run (no
    // output file to record it in, nothing to do, a mistake on its command
    // line), the windows would wait for a user for ever.
    if (!automationProblem.empty() && (scripted || !st.JsonFile.empty())) {
        const std::string text = (list ? "cannot list the devices: " : "the unattended run cannot start: ") +
                                 automationProblem + ".";
        Log(text, LEVEL_ERROR, "Main");
        TellUnattendedCaller(true, text);
        out.run->SetRunStatus(refusal, text);
        out.run->CloseLogFile();
        out.exitStatus = ToInt(refusal);
        return false;
    }
    return true;
}

}  // namespace

StartupOutcome Main(const std::vector<std::string>& args, const std::string& appDirectory,
                    std::atomic<int>* stopRequest) {
    StartupOutcome out;
    // Scripted runs never open a window.
    if (IsScriptedRun(args)) {
        out.exitStatus = RunScripted(args, appDirectory, stopRequest);
        return out;
    }
    out.run = std::make_unique<basAutomation::AutomationRun>(basAutomation::AutomationServices{}, stopRequest);
    if (!StartRun(out, args, appDirectory, false)) return out;
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

namespace {

// A scripted run after start-up: the adapter library, the adapters, the
// search, and the run of the automated operations or the device list.
int RunScriptedSteps(StartupOutcome& out, const std::vector<std::string>& args, const std::string& appDirectory) {
    if (!StartRun(out, args, appDirectory, true)) return out.exitStatus;
    basAutomation::AutomationRun& run = *out.run;
    if (!CheckOS()) {
        TellUnattendedCaller(true, "cannot start: this operating system is not supported.");
        return 1;
    }
    if (!CheckDll()) {
        TellUnattendedCaller(true, "cannot start: the adapter library cannot be loaded.");
        return 1;
    }
    const std::int32_t adapters = RefreshNicPool();
    if (basAutomation::State().ListRequested) {
        const int status = adapters > 0 ? ToInt(run.ListDevices()) : ToInt(ExitStatus::NoDevice);
        if (adapters == 0) TellUnattendedCaller(true, "no network adapter can be used for the search.");
        run.CloseLogFile();
        return status;
    }
    if (adapters > 0)
        run.Rediscover();
    else
        Log("Discover: we have no valid NICs to perform our discovery through.", LEVEL_ERROR);
    const long r = run.PerformAutomatedOperations();
    if (r == 3) {
        // Nobody can pick one of several devices in an unattended run.
        Log("the run waits for a device to be picked, which nobody can do in an unattended run.", LEVEL_ERROR);
        run.SetRunStatus(ExitStatus::SeveralDevices,
                         "several devices fit and nobody can pick one in an unattended run; name them with "
                         "--match-mac");
        run.AbortAutomation();
    }
    int status = ToInt(run.RunStatus());
    if (status == 0 && r != 0) status = 1;
    if (status != 0) {
        const std::string why = run.RunFailureReason();
        TellUnattendedCaller(true, (why.empty() ? std::string("the unattended run failed") : why) + " (exit status " +
                                       std::to_string(status) + ")");
    }
    return status;
}

}  // namespace

int RunScripted(const std::vector<std::string>& args, const std::string& appDirectory,
                std::atomic<int>* stopRequest) {
    StartupOutcome out;
    out.run = std::make_unique<basAutomation::AutomationRun>(basAutomation::AutomationServices{}, stopRequest);
    const int status = RunScriptedSteps(out, args, appDirectory);
    Shutdown(out);
    return status;
}

int FinishRun(StartupOutcome& outcome, int eventLoopStatus) {
    int status = eventLoopStatus != 0 ? eventLoopStatus : outcome.exitStatus;
    if (G().AutomationMode && outcome.mainWindow && outcome.run) {
        // The window closed before the run ended (signal, time-out): the record says so.
        outcome.run->AbortAutomation();
        if (status == 0) status = ToInt(outcome.run->RunStatus());
    }
    if (outcome.mainWindow && status == 0) status = outcome.mainWindow->ExitStatus();
    return status;
}

void Shutdown(StartupOutcome& outcome) {
    SetCloseSplashHook(nullptr);
    CloseSplash();
    outcome.mainWindow.reset();
    outcome.run.reset();
    DestroyMessageWindow();
    DestroyStatusWindow();
    SetHelpOpener(nullptr);
    outcome.database.reset();
    SetStatusLogWriter({});
    RemoveQtSeams();
    outcome.lock.reset();
    SetDataDirectory({});
}

}  // namespace kvr
