#pragma once
// Command-line automation, front half: the automation output file, the option
// table, the command-line parser and the automation state it sets.
//
// Main hands a non-blank command line over:
//   if (basAutomation::Initialize() != 0) -> log "Error initializing automation module!"
//   else ProcessCommandLine(line, args, errs), then reads G().AutomationMode /
//   G().EngineeringMode.
// The main window's automation timer later runs the automated operations,
// which read State() and finish the output file (CloseOutputFile).
//
// Options: /D --download <file>, /B --download-bootloader <file>, /C --force-cne,
// /X --no-cne, /O --override, /M --match-mac <mac>, /S --show-status,
// /I --information, /U --unattended, /E --eng, /P --prompt, /A --auth <number>,
// /J --json <file|->, /L --list, /R --retries <n>, /N --parallel <n>.
// /D, /B, /C and /I ask for automation mode.
//
// All procedures return their codes and log their failures under the module
// name "basAutomation"; none of them throws.
#include <string>
#include <vector>

#include "DownloadLanes.h"

namespace basAutomation {

// One entry of the option table. The table is the one source of the options:
// --help, the manual page and the command-line help page are made from it
// (CommandLineHelp.h).
struct CommandLineOption {
    std::string Name;       // "DownloadImage"
    char ShortForm = 0;     // 'D' (the switch is "/D")
    std::string LongForm;   // "--download"
    bool AsksForAutomation = false;
    std::string Value;        // what follows the option ("FILE"); "" when nothing
    std::string Description;  // one paragraph; `text` marks literal text
};

// The automation state. AutomationMode, EngineeringMode and AuthorizationID
// live in G() (Globals.h) because other modules read them.
struct AutomationState {
    bool UnattendedMode = false;
    bool DownloadRequested = false;
    bool BootloaderRequested = false;
    bool ForceCne = false;
    bool ForceNoCne = false;
    bool OverrideFlag = false;       // not reset by Initialize
    bool ShowStatus = false;
    bool PromptForMultiple = false;
    std::string MatchMac;            // upper/lower case as given, without ':' and blanks
    std::string DownloadFile;        // full path
    std::string BootloaderFile;      // full path
    // HardwareID and CompatibleHardwareVersion of the download file's header,
    // sign-extended; not reset by Initialize.
    long FileHardwareID = 0;
    long FileCompatibleHardwareVersion = 0;
    bool FileHeaderRead = false;     // the two values above come from the current /D file
    // Fleets and scripts.
    std::vector<std::string> MatchMacs;  // the MACs of /M (comma-separated), without ':' and blanks
    bool MatchAll = false;               // /M all
    std::string JsonFile;                // --json: full path, or "-" for standard output
    bool ListRequested = false;          // --list
    int Retries = 0;                     // --retries
    int Parallel = kvr::kDefaultParallel;  // --parallel: devices of one adapter at once
    bool CheckOnly = false;              // --check: judge each device, send nothing beyond the search
    bool SkipCurrent = false;            // --skip-current: no download to a device on the file's version
    // What a scripted run (/U, --list, --json) refuses to start with: bad
    // options and values, and separately a firmware file that cannot be used.
    std::vector<std::string> UsageErrors;
    std::string FileProblem;
    std::vector<std::string> CmdArgs{""};          // index 0 empty, options from 1
    std::vector<std::string> CommandLineErrs{""};  // index 0 empty, errors from 1
};

AutomationState& State();

// The largest --retries value.
inline constexpr int kMaxRetries = 20;
// The largest --parallel value.
inline constexpr int kMaxParallel = 256;

// The option table, index 0 unused, entries 1..16.
const std::vector<CommandLineOption>& Options();

// Resets the automation state, opens the output file (a new history.log in
// the current directory, i.e. the application directory, or in the data
// directory when one was chosen) with its header,
// which records the command line, and builds the option table. 0 = ready,
// -1 = the output file could not be made (logged).
long Initialize(const std::string& commandLine);
// The same with the process's own arguments (joined like JoinCommandLine).
long Initialize();
long InitializeCommandLineOptions();

// Cuts the command line into options (args from index 1; index 0 empty),
// collecting syntax errors in errs (from index 1, each also logged at ERROR),
// turns long forms into switches and sets the automation state. Returns 0
// when the line was worked through (syntax errors do not change that), -1 on
// an unexpected failure.
long ProcessCommandLine(const std::string& commandLine, std::vector<std::string>& args,
                        std::vector<std::string>& errs);

// "--download x" -> "/D x"; the longest matching long form wins. Returns 0.
long SubstituteFriendlyArgNames(std::vector<std::string>& args);

// Applies the options args[1..] to the automation state; afterwards sets
// G().AutomationMode when an option asks for it, or else finishes and closes
// the output file. Returns 0.
long SetAutomationParams(const std::vector<std::string>& args);

// True when an option of CmdArgs (or of args) asks for automation mode
// (/D, /B, /C, /I; the letter in either case).
bool IsAutomationModeRequest();
bool IsAutomationModeRequest(const std::vector<std::string>& args);

// The output file.
// "./history.log", or history.log in the data directory (DataDirectory.h).
const std::string& OutputFileName();
bool IsOutputFileOpen();
// Appends a line (and a line break) when the file is open; written through at
// once so a crash loses nothing already logged.
void WriteOutputLine(const std::string& line);
// Closes the file (no-op when closed); the debug log stops copying to it.
void CloseOutputFile();
// Why a line could not be written to the output file since it was opened
// ("" when every line went in); the first failure is told on standard error.
const std::string& OutputFileError();
// The line of 67 asterisks that frames the header and ends the file.
const std::string& OutputRule();

// Starts a program from an argument list and waits for its end, letting
// window events run; returns its exit code, or -1 when it could not start.
long ShellAndWait(const std::vector<std::string>& argv);

}  // namespace basAutomation
