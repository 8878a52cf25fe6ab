#include "basAutomation.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>

#include "CommandLine.h"
#include "DataDirectory.h"
#include "Globals.h"
#include "HexText.h"
#include "QfwHeader.h"
#include "QfwIntegrity.h"
#include "RunTimeError.h"
#include "Text.h"
#include "basDebug.h"
#include "basUtils.h"

#ifndef KVR_VERSION_TEXT
#define KVR_VERSION_TEXT "0.0.0"
#endif

namespace basAutomation {

namespace {

namespace fs = std::filesystem;

// The module's log routine: while QuietLogging is set it drops everything
// below level 8.
void Log(const std::string& message, const kvr::LogLevelArg& level = {}, const std::string& procedure = {}) {
    if (G().QuietLogging && ParseLogLevel(level) < 8) return;
    static const kvr::ModuleLog moduleLog("basAutomation");
    moduleLog(message, level, procedure);
}

const std::string kRule(67, '*');
// Beside the program (the current directory), or in the user's data
// directory when the application directory is read-only.
std::string g_outputFileName = "./history.log";

std::vector<CommandLineOption> g_options;
AutomationState g_state;

// The open output file, and the sink through which the debug log copies its
// messages into it.
class OutputFile : public kvr::OutputFileSink {
public:
    bool Open(const std::string& path, std::string& error) {
        Close();
        m_out.open(path, std::ios::out | std::ios::trunc);
        if (!m_out) {
            error = std::strerror(errno);
            return false;
        }
        kvr::SetOutputFileSink(this);
        return true;
    }
    bool IsOpen() const { return m_out.is_open(); }
    void WriteLine(const std::string& line) override {
        if (!m_out.is_open()) return;
        if (m_error.empty()) {
            errno = 0;
            m_out << line << '\n';
            m_out.flush();
            if (!m_out) Failed(errno);
        }
    }
    void Close() {
        if (!m_out.is_open()) return;
        kvr::SetOutputFileSink(nullptr);
        errno = 0;
        m_out.close();
        if (m_out.fail() && m_error.empty()) Failed(errno);
    }
    ~OutputFile() override { Close(); }
    // Why a write failed ("" while every line went in).
    const std::string& Error() const { return m_error; }
    void Forget() { m_error.clear(); }

private:
    // The first failed write is told at once on standard error: the record a
    // script relies on is incomplete from here on, whatever the run does.
    void Failed(int error) {
        m_error = "cannot write the output file '" + g_outputFileName +
                  "': " + (error != 0 ? std::strerror(error) : "write error");
        std::fprintf(stderr, "%s: could not record the run: %s\n", kProgramTitle, m_error.c_str());
        std::fflush(stderr);
    }

    std::ofstream m_out;
    std::string m_error;  // why a write failed
};

OutputFile g_outputFile;

// Command lines and file entries are trimmed of blanks and tabs only.
std::string Trim(const std::string& s) { return kvr::Trim(s, " \t"); }

std::string Without(const std::string& s, const std::string& chars) {
    std::string out;
    out.reserve(s.size());
    for (char c : s)
        if (chars.find(c) == std::string::npos) out += c;
    return out;
}

// The value after a two-character switch: "/D  x " -> "x".
std::string ValueOf(const std::string& entry) { return entry.size() > 2 ? Trim(entry.substr(2)) : std::string(); }

std::string ExecutablePath() {
    std::error_code ec;
    fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string NowText() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

// The number in an /A value: decimal, or hexadecimal after "0x" (or "&H").
// Blanks are ignored and the number ends at the first character that cannot
// belong to it. False when there is no number or it does not fit 32 bits.
bool ReadAuthorizationNumber(const std::string& text, std::int32_t& value) {
    std::string s = Without(text, " \t\r\n");
    std::size_t i = 0;
    if (s.size() >= 2 && ((s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) || (s[0] == '&' && (s[1] == 'H' || s[1] == 'h')))) {
        i = 2;
        std::uint64_t v = 0;
        std::size_t digits = 0;
        for (; i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i])); ++i) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
            v = v * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
            if (v > 0xFFFFFFFFull) return false;
            ++digits;
        }
        if (digits == 0) return false;
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        return true;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    std::int64_t v = 0;
    std::size_t digits = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1) return false;
        ++digits;
    }
    if (digits == 0) return false;
    if (negative) v = -v;
    if (v > std::numeric_limits<std::int32_t>::max() || v < std::numeric_limits<std::int32_t>::min()) return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

// Positions (1-based) of every double quote and of every switch mark ("/" or
// the start of "--") of the command line, so that each search is a lookup.
class Marks {
public:
    explicit Marks(const std::string& s) {
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '"') m_quotes.push_back(i + 1);
            if (s[i] == '/' || (s[i] == '-' && i + 1 < s.size() && s[i + 1] == '-')) m_switches.push_back(i + 1);
        }
    }
    // Nearest switch mark at or after `from`, 0 when none.
    std::size_t Switch(std::size_t from) const { return Find(m_switches, from); }
    // Nearest double quote at or after `from`, 0 when none.
    std::size_t Quote(std::size_t from) const { return Find(m_quotes, from); }

private:
    static std::size_t Find(const std::vector<std::size_t>& v, std::size_t from) {
        auto it = std::lower_bound(v.begin(), v.end(), from);
        return it == v.end() ? 0 : *it;
    }
    std::vector<std::size_t> m_quotes;
    std::vector<std::size_t> m_switches;
};

void ReadDownloadFileHeader(const std::string& file) {
    kvr::QfwHeader header;
    std::string error;
    switch (kvr::ReadQfwHeaderFile(file, header, &error)) {
        case kvr::QfwReadStatus::NotAFile: {
            std::error_code ec;
            g_state.FileProblem = fs::is_directory(file, ec) ? "the firmware file '" + file + "' is a directory"
                                  : fs::exists(file, ec)     ? "the firmware file '" + file + "' is not a regular file"
                                                             : "the firmware file '" + file + "' does not exist";
            Log("File '" + file + "' not found.", kvr::LEVEL_ERROR);
            return;
        }
        case kvr::QfwReadStatus::ReadError:
            g_state.FileProblem = "cannot read the firmware file '" + file + "': " + error;
            Log("cannot read '" + file + "': " + error, kvr::LEVEL_ERROR, "SetAutomationParams");
            return;
        case kvr::QfwReadStatus::Short:
            g_state.FileProblem = "'" + file + "' is too short to be a firmware file";
            kvr::VerifyQfwIntegrity(file);  // its own findings ("is 0.", "contains no images!") reach the record
            Log("'" + file + "' is too short to be a firmware file: " + error, kvr::LEVEL_ERROR,
                "SetAutomationParams");
            return;
        case kvr::QfwReadStatus::Ok:
            break;
    }
    g_state.FileHardwareID = header.HardwareID;  // sign-extended
    g_state.FileCompatibleHardwareVersion = header.CompatibleHardwareVersion;
    g_state.FileHeaderRead = true;
}

// The MACs of /M: comma-separated, each 12 hexadecimal digits, or "all"; a
// MAC given twice counts once. Wildcards are refused like any other MAC that
// is not one, before anything is sent.
void ReadMatchList(const std::string& value) {
    g_state.MatchMacs.clear();
    g_state.MatchAll = false;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        const std::string mac = value.substr(start, comma - start);
        start = comma + 1;
        if (kvr::Lower(mac) == "all") {
            g_state.MatchAll = true;
            continue;
        }
        const bool hex = mac.size() == 12 && std::all_of(mac.begin(), mac.end(), [](char c) {
                             return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                         });
        if (mac.find('*') != std::string::npos)
            g_state.UsageErrors.push_back("wildcard characters (*) are not yet supported: '" + mac + "'");
        else if (!hex)
            g_state.UsageErrors.push_back("'" + mac +
                                          "' is not a MAC address (12 hexadecimal digits, with or without colons)");
        else if (std::none_of(g_state.MatchMacs.begin(), g_state.MatchMacs.end(),
                              [&](const std::string& m) { return kvr::SameMac(m, mac); }))
            g_state.MatchMacs.push_back(mac);
    }
    if (g_state.MatchAll && !g_state.MatchMacs.empty())
        g_state.UsageErrors.push_back("--match-mac takes either MAC addresses or 'all', not both");
}

// A whole number from `low` to `high` (no more digits than `high` has) for
// `option`; anything else is a usage error and leaves `target` as it was.
void ReadWholeNumber(const char* option, const std::string& value, int low, int high, int& target) {
    const bool digits = !value.empty() && value.size() <= std::to_string(high).size() &&
                        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    const int n = digits ? std::stoi(value) : -1;
    if (n < low || n > high) {
        g_state.UsageErrors.push_back(std::string(option) + " needs a whole number from " + std::to_string(low) +
                                      " to " + std::to_string(high) + ", not '" + value + "'");
        return;
    }
    target = n;
}

void ReadRetries(const std::string& value) { ReadWholeNumber("--retries", value, 0, kMaxRetries, g_state.Retries); }
void ReadParallel(const std::string& value) {
    ReadWholeNumber("--parallel", value, 1, kMaxParallel, g_state.Parallel);
}

bool OpenOutputFile(const std::string& commandLine) {
    g_outputFileName = kvr::DataFilePath("history.log", ".");
    const std::string& name = g_outputFileName;
    // Directory part, trimmed, without its trailing "/".
    std::string dir;
    std::size_t slash = name.rfind('/');
    if (slash != std::string::npos) dir = Trim(name.substr(0, slash + 1));
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::error_code ec;
    if (!dir.empty() && !fs::exists(dir, ec)) fs::create_directories(dir, ec);
    // Each run starts a new file.
    fs::remove(name, ec);

    std::string error;
    g_outputFile.Forget();
    if (!g_outputFile.Open(name, error)) {
        Log("cannot open the output file '" + name + "': " + error, kvr::LEVEL_ERROR, "OpenOutputFile");
        return false;
    }

    std::string exePath = ExecutablePath();
    std::string exeName = exePath.empty() ? std::string(kProgramTitle) : fs::path(exePath).filename().string();
    std::string appDir = G().AppDirectory;
    if (appDir.empty() && !exePath.empty()) appDir = fs::path(exePath).parent_path().string();

    g_outputFile.WriteLine(kRule);
    g_outputFile.WriteLine(std::string("   Started ") + kProgramTitle + " ver " + KVR_VERSION_TEXT + ", EXE=" + appDir +
                           "/" + exeName);
    g_outputFile.WriteLine("   Command Line = '" + exeName + " " + commandLine + "'");
    g_outputFile.WriteLine("   User default language = '" + G().UserLanguage + "'.");
    g_outputFile.WriteLine(kRule);
    Log("Opened status output file '" + name + "' on " + NowText(), "LEVEL_USER");
    return true;
}

}  // namespace

AutomationState& State() { return g_state; }

const std::vector<CommandLineOption>& Options() {
    if (g_options.empty()) InitializeCommandLineOptions();
    return g_options;
}

const std::string& OutputFileName() { return g_outputFileName; }
bool IsOutputFileOpen() { return g_outputFile.IsOpen(); }
void WriteOutputLine(const std::string& line) { g_outputFile.WriteLine(line); }
void CloseOutputFile() { g_outputFile.Close(); }
const std::string& OutputFileError() { return g_outputFile.Error(); }
const std::string& OutputRule() { return kRule; }

long InitializeCommandLineOptions() {
    g_options = {
        {"", 0, "", false, "", ""},
        {"DownloadImage", 'D', "--download", true, "FILE",
         "Upgrade the firmware with this `.qfw` file. A relative path is taken from the directory the program "
         "was started in."},
        {"DownloadBootloader", 'B', "--download-bootloader", true, "FILE",
         "Boot-loader upgrades are not available; the run reports this and stops."},
        {"ForceCneDownload", 'C', "--force-cne", true, "",
         "Send the configuration data of the file as well. This erases the adapter's settings, so it is refused "
         "in an unattended run."},
        {"ForceNoCneDownload", 'X', "--no-cne", false, "",
         "Send the firmware image only and keep the adapter's configuration data (profiles, IP settings, WEP "
         "keys)."},
        {"Override", 'O', "--override", false, "",
         "Recorded in the output file only; the hardware check is overridden only with the check box of "
         "engineering mode."},
        {"SetGuid", 'M', "--match-mac", false, "MAC[,MAC...]|all",
         "Upgrade the adapter with this hardware address, written with or without colons "
         "(`00:07:F5:01:02:03` or `0007F5010203`); several addresses separated by commas, or `all` for every "
         "compatible adapter found. Up to `--parallel` of them are upgraded at the same time; one adapter's "
         "failure does not stop the others. Wildcards are not supported."},
        {"ShowStatus", 'S', "--show-status", false, "",
         "Open the output file in the desktop's text viewer when the run ends."},
        {"GetSystemInformation", 'I', "--information", true, "",
         "Start an automated run that searches the network and then ends without changing anything."},
        {"UnattendedMode", 'U', "--unattended", false, "",
         "Run without asking anything and without needing a display: every question is answered with Cancel or "
         "No and recorded in the output file. The run ends by itself with an exit status that says what "
         "happened, and says why on standard error when it failed."},
        {"EngineeringMode", 'E', "--eng", false, "",
         "Engineering mode: shows the controls for overriding the hardware check and for choosing whether the "
         "configuration data is sent. For service staff only."},
        {"PromptForMultipleZarns", 'P', "--prompt", false, "",
         "When several adapters fit and no `/M` is given: wait until one is selected in the main window and "
         "Firmware is pressed. Without it such a run stops."},
        {"AuthorizationID", 'A', "--auth", false, "NUMBER",
         "Authorization identifier sent with the search, for adapters that answer only to it: decimal (`5`) or "
         "hexadecimal (`0x1F`)."},
        {"JsonRecord", 'J', "--json", false, "FILE|-",
         "Write one JSON object per adapter (MAC, name, network adapter, firmware version before and after, "
         "result, exit status, attempt, seconds taken, error text) as soon as it is done, then a summary "
         "object; `-` writes to standard output. With `--list`, the list in JSON."},
        {"ListDevices", 'L', "--list", false, "",
         "Search every network adapter, print the adapters found (a table, or JSON with `--json`) and exit "
         "without opening a window."},
        {"Retries", 'R', "--retries", false, "N",
         "In an unattended run, repeat a failed download up to N more times (0 to 20, default 0); the record "
         "says which attempt succeeded."},
        {"Parallel", 'N', "--parallel", false, "N",
         "In an unattended run, upgrade up to N matching adapters of one network adapter at the same time (1 to "
         "256, default 128; 1 upgrades them one after the other, searching again between them). What each adapter "
         "costs is the protocol's fixed waits, not the transfer, so a site of up to 128 adapters goes in one go."},
        {"Check", 'K', "--check", false, "",
         "With `--download`: search, check the file and judge each adapter asked for (would be upgraded, already "
         "current, incompatible, not found) in the records, without sending anything beyond the search; the exit "
         "status is the one the real run would have for the file and the adapters found."},
        {"SkipCurrent", 'Y', "--skip-current", false, "",
         "With `--download`: an adapter that already runs the file's firmware (id and version) gets no download "
         "and is recorded as current, with status 0."},
    };
    return 0;
}

long Initialize(const std::string& commandLine) {
    try {
        bool overrideFlag = g_state.OverrideFlag;
        long hwId = g_state.FileHardwareID;
        long hwVersion = g_state.FileCompatibleHardwareVersion;
        g_state = AutomationState{};
        g_state.OverrideFlag = overrideFlag;
        g_state.FileHardwareID = hwId;
        g_state.FileCompatibleHardwareVersion = hwVersion;
        G().AutomationMode = false;
        G().EngineeringMode = false;

        if (!OpenOutputFile(commandLine)) return -1;
        return InitializeCommandLineOptions() == 0 ? 0 : -1;
    } catch (const std::exception& e) {
        Log(FormatTrappedError(5, e.what(), "Initialize"), kvr::LEVEL_ERROR);
        return -1;
    }
}

long Initialize() {
    // The process's own arguments, joined as Main joins them.
    std::vector<std::string> argv;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    for (std::string arg; std::getline(in, arg, '\0');) argv.push_back(arg);
    if (!argv.empty()) argv.erase(argv.begin());
    return Initialize(Trim(kvr::JoinCommandLine(argv)));
}

long ProcessCommandLine(const std::string& commandLine, std::vector<std::string>& args,
                        std::vector<std::string>& errs) {
    args.assign(1, std::string());
    errs.assign(1, std::string());
    try {
        const std::string cmd = Trim(commandLine);
        if (cmd.empty()) return 0;
        const Marks marks(cmd);
        const std::size_t len = cmd.size();
        std::vector<std::size_t> reportedQuotes;

        // Errors are logged once the line is split, after automation mode is
        // known, so that an unattended run keeps them in its output file.
        auto addError = [&](const std::string& text) { errs.push_back(text); };
        // Closing quote for the opening quote at q1; reports an unmatched one
        // once, however often the search meets it.
        auto closingQuote = [&](std::size_t q1) {
            std::size_t q2 = marks.Quote(q1 + 1);
            if (q2 == 0 && std::find(reportedQuotes.begin(), reportedQuotes.end(), q1) == reportedQuotes.end()) {
                reportedQuotes.push_back(q1);
                addError("Command Line Error: Begin quotation with no matching end quotation!");
            }
            return q2;
        };

        // Positions are 1-based. The loop also takes a one-character item at
        // the very end, so a lone "x" is reported rather than dropped.
        std::size_t pos = 1;
        while (pos <= len) {
            if (cmd[pos - 1] != '/' && cmd.compare(pos - 1, 2, "--") != 0)
                addError("ERROR: expected '/' or '--' in command line position " + std::to_string(pos));
            std::size_t next = marks.Switch(pos + 1);
            std::size_t q1 = marks.Quote(pos + 1);
            std::size_t q2 = q1 > 1 ? closingQuote(q1) : 0;
            // Switch marks inside a quoted value belong to the value. Every
            // quoted value before the mark counts, not only the first one:
            // in  /D "a" "b/c"  the "/" of the second value is no switch.
            for (;;) {
                while (next != 0 && q1 != 0 && q2 != 0 && q2 < next) {
                    q1 = marks.Quote(q2 + 1);
                    q2 = q1 >= 2 ? closingQuote(q1) : 0;
                }
                if (next == 0 || next <= q1 || next >= q2) break;
                next = marks.Switch(q2 + 1);
                q1 = marks.Quote(q2 + 1);
                q2 = q1 >= 2 ? closingQuote(q1) : 0;
            }
            if (next == 0) {
                args.push_back(Trim(cmd.substr(pos - 1)));
                pos = len + 1;
            } else {
                args.push_back(Trim(cmd.substr(pos - 1, next - pos)));
                pos = next;
            }
        }

        SubstituteFriendlyArgNames(args);
        if (IsAutomationModeRequest(args)) G().AutomationMode = true;
        for (std::size_t i = 1; i < errs.size(); ++i) Log(errs[i], kvr::LEVEL_ERROR, "ProcessCommandLine");
        g_state.CmdArgs = args;
        g_state.CommandLineErrs = errs;
        SetAutomationParams(g_state.CmdArgs);
        return 0;
    } catch (const std::bad_alloc&) {
        Log(FormatTrappedError(7, "Out of memory", "ProcessCommandLine"), kvr::LEVEL_ERROR);
        return -1;
    } catch (const std::exception& e) {
        Log(FormatTrappedError(5, e.what(), "ProcessCommandLine"), kvr::LEVEL_ERROR);
        return -1;
    }
}

long SubstituteFriendlyArgNames(std::vector<std::string>& args) {
    const auto& options = Options();
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string lower = kvr::Lower(args[i]);
        std::size_t best = 0;
        for (std::size_t k = 1; k < options.size(); ++k) {
            const std::string& lf = options[k].LongForm;
            if (lower.compare(0, lf.size(), lf) == 0 && (best == 0 || lf.size() > options[best].LongForm.size()))
                best = k;
        }
        if (best != 0)
            args[i] = std::string("/") + options[best].ShortForm + args[i].substr(options[best].LongForm.size());
    }
    return 0;
}

long SetAutomationParams(const std::vector<std::string>& args) {
    // Automation mode holds from the start, so the records of the options
    // and their errors reach the output file of the run.
    const bool automation = IsAutomationModeRequest(args);
    if (automation) G().AutomationMode = true;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& entry = args[i];
        // Letters are taken in either case: "/d" is a download like "/D".
        const std::string upper = kvr::Upper(entry);
        const std::string key = upper.substr(0, 2);
        try {
            if (upper == "/E") {
                G().EngineeringMode = true;
                Log("Engineering mode is enabled.", kvr::LEVEL_USER);
            } else if (key == "/A") {
                std::string value = Without(ValueOf(entry), "\"=");
                std::int32_t id = 0;
                if (ReadAuthorizationNumber(value, id) && id != 0) {
                    G().AuthorizationID = id;
                    Log("The authorization ID of the application is set at the command line to " +
                            std::to_string(id) + " (0x" + kvr::HexUpper(static_cast<std::uint32_t>(id)) + ")",
                        kvr::LEVEL_USER);
                } else {
                    Log("Unable to read the authorization ID format: '" + entry + "'", kvr::LEVEL_ERROR,
                        "SetAutomationParams");
                }
            } else if (upper == "/U") {
                g_state.UnattendedMode = true;
                Log("Unattended mode is enabled.", kvr::LEVEL_USER);
            } else if (upper == "/O") {
                g_state.OverrideFlag = true;
                Log("Override Hardware Compatibility checking is enabled.", kvr::LEVEL_USER);
            } else if (upper == "/S") {
                g_state.ShowStatus = true;
                Log("Automatically showing output file on exit.", kvr::LEVEL_USER);
            } else if (key == "/D") {
                std::string file = kvr::ResolveCommandLinePath(Without(ValueOf(entry), "\""), G().StartDirectory);
                g_state.DownloadFile = file;
                g_state.DownloadRequested = true;
                g_state.FileHeaderRead = false;
                g_state.FileProblem.clear();
                Log("Command-line instruction to download file '" + file + "' to target.", kvr::LEVEL_USER);
                ReadDownloadFileHeader(file);
            } else if (key == "/M") {
                g_state.MatchMac = Without(ValueOf(entry), "\" :");
                ReadMatchList(g_state.MatchMac);
            } else if (key == "/C") {
                g_state.ForceCne = true;
                Log("Forcing a CNE download.", kvr::LEVEL_USER);
            } else if (key == "/X") {
                g_state.ForceNoCne = true;
                Log("Forcing no CNE download (image only).", kvr::LEVEL_USER);
            } else if (key == "/B") {
                g_state.BootloaderFile =
                    kvr::ResolveCommandLinePath(Without(ValueOf(entry), "\""), G().StartDirectory);
                g_state.BootloaderRequested = true;
            } else if (key == "/I") {
                // asks for automation mode only
            } else if (key == "/J") {
                const std::string value = Without(ValueOf(entry), "\"");
                g_state.JsonFile = value == "-" ? value : kvr::ResolveCommandLinePath(value, G().StartDirectory);
                if (value.empty()) g_state.UsageErrors.push_back("--json needs a file name or '-'");
            } else if (upper == "/L") {
                g_state.ListRequested = true;
            } else if (key == "/R") {
                ReadRetries(Without(ValueOf(entry), "\"="));
            } else if (key == "/N") {
                ReadParallel(Without(ValueOf(entry), "\"="));
            } else if (upper == "/K") {
                g_state.CheckOnly = true;
                Log("Check only: no adapter is sent anything beyond the search.", kvr::LEVEL_USER);
            } else if (upper == "/Y") {
                g_state.SkipCurrent = true;
                Log("Adapters that already run the file's firmware are skipped.", kvr::LEVEL_USER);
            } else if (key == "/P") {
                g_state.PromptForMultiple = true;
                Log("Prompt user to select if multiple devices are present.", kvr::LEVEL_USER);
            } else if (!entry.empty() && (entry[0] == '/' || entry[0] == '-')) {
                // A mistyped option must not pass unnoticed: "--unatended"
                // would otherwise turn an unattended run into one that waits.
                Log("unknown command-line option '" + entry + "' is ignored.", kvr::LEVEL_ERROR,
                    "SetAutomationParams");
                g_state.UsageErrors.push_back("unknown option '" + entry + "'");

            }
        } catch (const std::exception& e) {
            Log(FormatTrappedError(5, e.what(), "SetAutomationParams"), kvr::LEVEL_ERROR);
        }
    }

    if (g_state.CheckOnly && !g_state.DownloadRequested)
        g_state.UsageErrors.push_back("--check judges a download: it needs --download");
    if (g_state.SkipCurrent && !g_state.DownloadRequested)
        g_state.UsageErrors.push_back("--skip-current needs --download");
    if (!automation && g_outputFile.IsOpen()) {
        g_outputFile.WriteLine(" - automation mode is not requested - ");
        g_outputFile.WriteLine(kRule);
        g_outputFile.Close();
    }
    return 0;
}

bool IsAutomationModeRequest(const std::vector<std::string>& args) {
    const auto& options = Options();
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string key = kvr::Upper(args[i].substr(0, 2));
        for (std::size_t k = 1; k < options.size(); ++k)
            if (options[k].AsksForAutomation && key == std::string("/") + options[k].ShortForm) return true;
    }
    return false;
}

bool IsAutomationModeRequest() { return IsAutomationModeRequest(g_state.CmdArgs); }

long ShellAndWait(const std::vector<std::string>& argv) {
    int code = -1;
    std::string error;
    if (!kvr::SpawnProgram(argv, true, &code, &error)) {
        Log("cannot start '" + (argv.empty() ? std::string() : argv[0]) + "': " + error, kvr::LEVEL_ERROR,
            "ShellAndWait");
        return -1;
    }
    return code;
}

}  // namespace basAutomation
