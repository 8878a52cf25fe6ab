#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "AutomationRun.h"
#include "CommandLine.h"
#include "Globals.h"
#include "Seams.h"
#include "LogRecorder.h"
#include "TempDir.h"
#include "basAutomation.h"
#include "basDebug.h"

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

namespace {

using kvr::test::LogRecorder;

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

void WriteHeaderFile(const std::string& path, std::uint16_t hwId, std::uint16_t hwVersion) {
    std::vector<char> b(0x100, 0);
    b[0] = 'q'; b[1] = 'F'; b[2] = 'o'; b[3] = 'W';
    b[0x20] = static_cast<char>(hwId & 0xFF);
    b[0x21] = static_cast<char>(hwId >> 8);
    b[0x22] = static_cast<char>(hwVersion & 0xFF);
    b[0x23] = static_cast<char>(hwVersion >> 8);
    std::ofstream(path, std::ios::binary).write(b.data(), static_cast<std::streamsize>(b.size()));
}

// Each case starts from a fresh program state in its own temporary
// application directory (the output file is written to the current directory).
class Automation : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldCwd = fs::current_path();
        m_dir = m_tmp.Path();
        ASSERT_FALSE(m_dir.empty());
        fs::current_path(m_dir);
        G() = ProgramState{};
        G().AppDirectory = m_dir;
        G().StartDirectory = m_dir + "/start";
        fs::create_directory(G().StartDirectory);
        G().StatusWindowSlot0 = &log;
        basAutomation::CloseOutputFile();
        basAutomation::State() = basAutomation::AutomationState{};
        basAutomation::InitializeCommandLineOptions();
    }
    void TearDown() override {
        basAutomation::CloseOutputFile();
        G().StatusWindowSlot0 = nullptr;
        G().AutomationMode = false;
        fs::current_path(m_oldCwd);
    }
    // Parses and returns the options (index 0 dropped).
    Args Parse(const std::string& line) {
        Args args, errs;
        EXPECT_EQ(basAutomation::ProcessCommandLine(line, args, errs), 0);
        errors.assign(errs.begin() + (errs.empty() ? 0 : 1), errs.end());
        EXPECT_FALSE(args.empty());
        EXPECT_EQ(args[0], "");
        return Args(args.begin() + 1, args.end());
    }
    std::string HistoryPath() const { return m_dir + "/history.log"; }

    LogRecorder log;
    Args errors;
    TempDir m_tmp{"kvrauto"};
    std::string m_dir;
    fs::path m_oldCwd;
};

}  // namespace

// ---------------------------------------------------------------- splitting

TEST_F(Automation, SplitsAtSwitchMarksButNotInsideQuotes) {
    EXPECT_EQ(Parse("/U /S"), (Args{"/U", "/S"}));
    EXPECT_EQ(Parse("  /D \"C:/fw dir/x.qfw\"   /U  "), (Args{"/D \"C:/fw dir/x.qfw\"", "/U"}));
    EXPECT_EQ(Parse("/M \"00:0A--FF\" /D \"a/b\" /S"), (Args{"/M \"00:0A--FF\"", "/D \"a/b\"", "/S"}));
    // Two quoted values in a row, each with marks inside.
    EXPECT_EQ(Parse("/D \"/x/y\" /B \"--z/\" /U"), (Args{"/D \"/x/y\"", "/B \"--z/\"", "/U"}));
    // Marks inside a later quoted value of the same option are skipped too.
    EXPECT_EQ(Parse("/D \"my\" \"fw/1.qfw\" \"\" \"--x\" /U"), (Args{"/D \"my\" \"fw/1.qfw\" \"\" \"--x\"", "/U"}));
    EXPECT_TRUE(errors.empty());
}

TEST_F(Automation, OnlyBlanksIsNoCommandLineAtAll) {
    Args args{"junk"}, errs{"junk"};
    EXPECT_EQ(basAutomation::ProcessCommandLine("   \t ", args, errs), 0);
    EXPECT_EQ(args, (Args{""}));
    EXPECT_EQ(errs, (Args{""}));
    EXPECT_TRUE(log.lines.empty());
    EXPECT_FALSE(G().AutomationMode);
}

TEST_F(Automation, SyntaxErrorsAreCollectedLoggedAndDoNotStopTheParse) {
    // Missing switch mark at the start.
    EXPECT_EQ(Parse("foo /U"), (Args{"foo", "/U"}));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "ERROR: expected '/' or '--' in command line position 1");
    EXPECT_TRUE(log.Has("ProcessCommandLine: " + errors[0], kvr::LEVEL_ERROR));
    EXPECT_TRUE(basAutomation::State().UnattendedMode);

    // A lone character is reported, not silently dropped.
    EXPECT_EQ(Parse("x"), (Args{"x"}));
    ASSERT_EQ(errors.size(), 1u);

    // Unmatched quote: reported once, even though several searches meet it.
    log.lines.clear();
    EXPECT_EQ(Parse("/U /S /D \"abc"), (Args{"/U", "/S", "/D \"abc"}));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Command Line Error: Begin quotation with no matching end quotation!");
    EXPECT_EQ(log.Count("ProcessCommandLine: " + errors[0], kvr::LEVEL_ERROR), 1u);
    EXPECT_TRUE(basAutomation::State().DownloadRequested);  // the parse went on

    // The parser's error list is kept for Main.
    EXPECT_EQ(basAutomation::State().CommandLineErrs, (Args{"", errors[0]}));
}

TEST_F(Automation, PathologicalLinesEndWithOneReport) {
    std::string line(20000, '/');
    line += " \"";
    Args parsed = Parse(line);
    EXPECT_EQ(parsed.size(), 20000u);
    EXPECT_EQ(errors.size(), 1u);
    std::string quoted;
    for (int i = 0; i < 5000; ++i) quoted += "\"/\" ";
    EXPECT_EQ(Parse("/D " + quoted + "/U").size(), 2u);
}

// ---------------------------------------------------------------- long forms

TEST_F(Automation, LongFormsBecomeSwitchesLongestFirst) {
    Args args{"", "--download \"x.qfw\"", "--download-bootloader \"b.bin\"", "--UNATTENDED", "--eng",
              "--auth=5", "--match-mac 00:11", "--information", "/U", "--bogus", "plain"};
    EXPECT_EQ(basAutomation::SubstituteFriendlyArgNames(args), 0);
    EXPECT_EQ(args, (Args{"", "/D \"x.qfw\"", "/B \"b.bin\"", "/U", "/E", "/A=5", "/M 00:11", "/I", "/U",
                          "--bogus", "plain"}));
}

// ---------------------------------------------------------------- option table

TEST_F(Automation, FlagsAndTheirRecords) {
    Parse("/E /U /O /S /C /X /P /M \"00:0a:95 9D:68:16\" /I");
    const auto& s = basAutomation::State();
    EXPECT_TRUE(G().EngineeringMode);
    EXPECT_TRUE(s.UnattendedMode);
    EXPECT_TRUE(s.OverrideFlag);
    EXPECT_TRUE(s.ShowStatus);
    EXPECT_TRUE(s.ForceCne);
    EXPECT_TRUE(s.ForceNoCne);
    EXPECT_TRUE(s.PromptForMultiple);
    EXPECT_EQ(s.MatchMac, "000a959D6816");
    EXPECT_FALSE(s.DownloadRequested);
    for (const char* text : {"Engineering mode is enabled.", "Unattended mode is enabled.",
                             "Override Hardware Compatibility checking is enabled.",
                             "Automatically showing output file on exit.", "Forcing a CNE download.",
                             "Forcing no CNE download (image only).",
                             "Prompt user to select if multiple devices are present."})
        EXPECT_TRUE(log.Has(text, kvr::LEVEL_USER)) << text;
    for (const auto& l : log.lines) EXPECT_EQ(l.module, "basAutomation");
    EXPECT_TRUE(G().AutomationMode);  // /C and /I ask for it
}

TEST_F(Automation, QuietLoggingDropsOnlyLowLevels) {
    G().QuietLogging = true;
    Parse("/U /Q");
    EXPECT_TRUE(log.Has("Unattended mode is enabled.", kvr::LEVEL_USER));
    EXPECT_TRUE(log.HasContaining("'/Q'", kvr::LEVEL_ERROR));
}

TEST_F(Automation, WhichOptionsAskForAutomationMode) {
    struct Row {
        const char* line;
        bool asks;
    } rows[] = {{"/U /S", false}, {"/E /O /X /P /M 1 /A 5", false}, {"/D x", true},  {"/B x", true},
                {"/C", true},     {"/I", true},                      {"/i", true},   {"--information", true},
                {"/S /Dx", true}, {"/Q", false}};
    for (const auto& r : rows) {
        G().AutomationMode = false;
        Parse(r.line);
        EXPECT_EQ(basAutomation::IsAutomationModeRequest(), r.asks) << r.line;
        EXPECT_EQ(G().AutomationMode, r.asks) << r.line;
    }
}

TEST_F(Automation, SwitchLettersInEitherCase) {
    // "/d" asks for automation mode, so it must also be taken as the download;
    // otherwise the run would end having done nothing.
    Parse("/d \"fw.qfw\" /u");
    EXPECT_TRUE(G().AutomationMode);
    EXPECT_TRUE(basAutomation::State().DownloadRequested);
    EXPECT_EQ(basAutomation::State().DownloadFile, G().StartDirectory + "/fw.qfw");
    EXPECT_TRUE(basAutomation::State().UnattendedMode);
}

TEST_F(Automation, UnknownOptionsAreReported) {
    Parse("/U --unatended /Q /Sx");
    EXPECT_TRUE(log.Has("SetAutomationParams: unknown command-line option '--unatended' is ignored.",
                        kvr::LEVEL_ERROR));
    EXPECT_TRUE(log.Has("SetAutomationParams: unknown command-line option '/Q' is ignored.", kvr::LEVEL_ERROR));
    EXPECT_TRUE(log.Has("SetAutomationParams: unknown command-line option '/Sx' is ignored.", kvr::LEVEL_ERROR));
    EXPECT_FALSE(basAutomation::State().ShowStatus);
    EXPECT_TRUE(basAutomation::State().UnattendedMode);
}

TEST_F(Automation, AuthorizationIdDecimalHexAndBadValues) {
    struct Row {
        const char* line;
        long id;  // 0 = refused
        const char* shown;
    } rows[] = {
        {"/A 0x1F", 31, "31 (0x1F)"},
        {"/A=5", 5, "5 (0x5)"},
        {"--auth \"=0X00ff\"", 255, "255 (0xFF)"},
        {"/A &H10", 16, "16 (0x10)"},
        {"/A 0xFFFFFFFF", -1, "-1 (0xFFFFFFFF)"},
        {"/A 0xFFFF", 65535, "65535 (0xFFFF)"},
        {"/A -7", -7, "-7 (0xFFFFFFF9)"},
        {"/A 12abc", 12, "12 (0xC)"},
        {"/A abc", 0, nullptr},
        {"/A 0", 0, nullptr},
        {"/A", 0, nullptr},
        {"/A 0x", 0, nullptr},
        {"/A 0x100000000", 0, nullptr},
        {"/A 99999999999", 0, nullptr},
    };
    for (const auto& r : rows) {
        G().AuthorizationID = 777;
        log.lines.clear();
        Args parsed = Parse(r.line);
        if (r.id != 0) {
            EXPECT_EQ(G().AuthorizationID, r.id) << r.line;
            EXPECT_TRUE(log.Has(std::string("The authorization ID of the application is set at the command line to ") +
                                    r.shown,
                                kvr::LEVEL_USER))
                << r.line;
        } else {
            EXPECT_EQ(G().AuthorizationID, 777) << r.line;
            ASSERT_EQ(parsed.size(), 1u);
            EXPECT_TRUE(log.Has("SetAutomationParams: Unable to read the authorization ID format: '" + parsed[0] + "'",
                                kvr::LEVEL_ERROR))
                << r.line;
        }
    }
}

// ---------------------------------------------------------------- download file

TEST_F(Automation, DownloadPathsResolveAgainstTheStartDirectory) {
    fs::create_directory(G().StartDirectory + "/rel");
    WriteHeaderFile(G().StartDirectory + "/rel/fw.qfw", 0xFFFE, 3);
    Parse("/D \"rel/fw.qfw\"");
    const auto& s = basAutomation::State();
    EXPECT_TRUE(s.DownloadRequested);
    EXPECT_EQ(s.DownloadFile, G().StartDirectory + "/rel/fw.qfw");
    EXPECT_TRUE(s.FileHeaderRead);
    EXPECT_EQ(s.FileHardwareID, -2);  // sign-extended
    EXPECT_EQ(s.FileCompatibleHardwareVersion, 3);
    EXPECT_TRUE(log.Has("Command-line instruction to download file '" + s.DownloadFile + "' to target.",
                        kvr::LEVEL_USER));
    EXPECT_FALSE(log.HasContaining("not found", kvr::LEVEL_ERROR));

    // Absolute paths stay; a trailing "/" of the start directory is not doubled.
    WriteHeaderFile(m_dir + "/abs.qfw", 7, 9);
    Parse("/D \"" + m_dir + "/abs.qfw\"");
    EXPECT_EQ(s.DownloadFile, m_dir + "/abs.qfw");
    EXPECT_EQ(s.FileHardwareID, 7);
    G().StartDirectory = m_dir + "/";
    Parse("/D abs.qfw");
    EXPECT_EQ(s.DownloadFile, m_dir + "/abs.qfw");
}

TEST_F(Automation, MissingOrUnusableDownloadFileIsReportedAndTheRequestStays) {
    Parse("/D \"nothere.qfw\" /U");
    const auto& s = basAutomation::State();
    EXPECT_TRUE(s.DownloadRequested);
    EXPECT_TRUE(G().AutomationMode);
    EXPECT_FALSE(s.FileHeaderRead);
    EXPECT_TRUE(log.Has("File '" + G().StartDirectory + "/nothere.qfw' not found.", kvr::LEVEL_ERROR));
    EXPECT_TRUE(s.UnattendedMode);  // later options still taken

    // No file name at all, and a directory instead of a file.
    log.lines.clear();
    Parse("/D /U");
    EXPECT_TRUE(s.DownloadRequested);
    EXPECT_EQ(s.DownloadFile, "");
    EXPECT_TRUE(log.Has("File '' not found.", kvr::LEVEL_ERROR));
    Parse("/D \"" + m_dir + "\"");
    EXPECT_TRUE(log.Has("File '" + m_dir + "' not found.", kvr::LEVEL_ERROR));

    // A file too short for a header: said so, and no device is judged by its zeros.
    std::ofstream(m_dir + "/short.qfw") << "qFoW";
    Parse("/D \"" + m_dir + "/short.qfw\"");
    EXPECT_FALSE(s.FileHeaderRead);
    EXPECT_NE(s.FileProblem, "");
    EXPECT_TRUE(log.HasContaining("is too short to be a firmware file", kvr::LEVEL_ERROR));
}

TEST_F(Automation, BootloaderPath) {
    Parse("--download-bootloader \"boot/b.bin\"");
    EXPECT_TRUE(basAutomation::State().BootloaderRequested);
    EXPECT_EQ(basAutomation::State().BootloaderFile, G().StartDirectory + "/boot/b.bin");
    EXPECT_FALSE(basAutomation::State().DownloadRequested);
}

// ---------------------------------------------------------------- output file

TEST_F(Automation, OutputFileRecordsARunWithoutAutomation) {
    std::ofstream(HistoryPath()) << "old run\n";
    G().UserLanguage = "German";
    ASSERT_EQ(basAutomation::Initialize("/S /U"), 0);
    EXPECT_TRUE(basAutomation::IsOutputFileOpen());
    EXPECT_TRUE(log.HasContaining("Opened status output file './history.log' on ", kvr::LEVEL_USER));
    Parse("/S /U");
    EXPECT_FALSE(G().AutomationMode);
    EXPECT_FALSE(basAutomation::IsOutputFileOpen());

    auto lines = ReadLines(HistoryPath());
    ASSERT_EQ(lines.size(), 7u);
    const std::string rule(67, '*');
    EXPECT_EQ(lines[0], rule);
    EXPECT_EQ(lines[1].rfind("   Started KVRinstaller ver ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(", EXE=/"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].rfind("   Command Line = '", 0), 0u);
    EXPECT_EQ(lines[2].substr(lines[2].size() - 7), " /S /U'");
    EXPECT_EQ(lines[3], "   User default language = 'German'.");
    EXPECT_EQ(lines[4], rule);
    EXPECT_EQ(lines[5], " - automation mode is not requested - ");
    EXPECT_EQ(lines[6], rule);
}

TEST_F(Automation, OutputFileTakesErrorsAndUserRecordsDuringAutomation) {
    // The run's own records come first: options taken and command-line errors.
    const std::string line = "/I /U /Q /D \"nothere.qfw";
    ASSERT_EQ(basAutomation::Initialize(line), 0);
    Parse(line);
    ASSERT_TRUE(G().AutomationMode);
    ASSERT_TRUE(basAutomation::IsOutputFileOpen());
    DebugLog("a warning stays out", kvr::LEVEL_WARNING, std::string("test"));
    DebugLog("an error goes in", kvr::LEVEL_ERROR, std::string("test"));
    DebugLog("a record goes in", "USER", std::string("test"));
    basAutomation::WriteOutputLine(basAutomation::OutputRule());
    basAutomation::CloseOutputFile();
    DebugLog("after closing nothing more", kvr::LEVEL_ERROR, std::string("test"));

    auto lines = ReadLines(HistoryPath());
    const std::string file = G().StartDirectory + "/nothere.qfw";
    const std::vector<std::string> expected = {
        "ProcessCommandLine: Command Line Error: Begin quotation with no matching end quotation!",
        "Unattended mode is enabled.",
        "SetAutomationParams: unknown command-line option '/Q' is ignored.",
        "Command-line instruction to download file '" + file + "' to target.",
        "File '" + file + "' not found.",
        "an error goes in",
        "a record goes in",
    };
    ASSERT_EQ(lines.size(), 5 + expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string& got = lines[5 + i];
        EXPECT_EQ(got.find(':'), 1u) << got;  // "0:00:00.000 | ..."
        EXPECT_EQ(got.substr(got.find(" | ") + 3), expected[i]);
    }
    EXPECT_EQ(lines.back(), std::string(67, '*'));
}

TEST_F(Automation, InitializeFailsCleanlyWhenTheFileCannotBeMade) {
    fs::create_directory(HistoryPath());  // a folder in the way
    fs::create_directory(HistoryPath() + "/keep");
    EXPECT_EQ(basAutomation::Initialize("/D x"), -1);
    EXPECT_FALSE(basAutomation::IsOutputFileOpen());
    EXPECT_TRUE(log.HasContaining("cannot open the output file './history.log'", kvr::LEVEL_ERROR));
}

// A full disk under history.log: said on standard error at the first line
// that does not go in, and the run cannot end with status 0.
TEST_F(Automation, HistoryOnAFullDiskIsToldAtOnceAndFailsTheRun) {
    const std::string full = m_dir + "/full";
    fs::create_directory(full);
    if (::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
    {
        std::ofstream filler(full + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
        }
    }
    fs::current_path(full);
    basAutomation::AutomationRun run;
    ::testing::internal::CaptureStderr();
    const long opened = basAutomation::Initialize("/D x /U");
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string error = basAutomation::OutputFileError();
    run.EndAutomation();
    fs::current_path(m_dir);
    ::umount2(full.c_str(), MNT_DETACH);
    EXPECT_EQ(opened, 0);
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_EQ(err, "KVRinstaller: could not record the run: " + error + "\n");
    EXPECT_EQ(run.RunStatus(), kvr::ExitStatus::NotRecorded);
    EXPECT_NE(run.RunFailureReason().find("could not record the run"), std::string::npos);
}

// ---------------------------------------------------------------- argv joining

TEST_F(Automation, ArgvJoiningQuotesValuesAndKeepsSwitches) {
    EXPECT_EQ(kvr::JoinCommandLine({"--download", "/home/ann/fw.qfw", "--unattended"}),
              "--download \"/home/ann/fw.qfw\" --unattended");
    EXPECT_EQ(kvr::JoinCommandLine({"/D", "relative/fw.qfw", "/U"}), "/D \"relative/fw.qfw\" /U");
    EXPECT_EQ(kvr::JoinCommandLine({"--auth=0x1F", "/m", "00:11"}), "--auth \"0x1F\" /m \"00:11\"");
    EXPECT_EQ(kvr::JoinCommandLine({"/D", "my \"best\" fw.qfw", ""}), "/D \"my best fw.qfw\" \"\"");
    EXPECT_EQ(kvr::JoinCommandLine({"-U", "/DD", "--", "---x"}), "\"-U\" \"/DD\" \"--\" \"---x\"");
    EXPECT_EQ(kvr::JoinCommandLine({}), "");
    const char* argv[] = {"/opt/kvr/KVRinstaller", "/U", "a b", nullptr};
    EXPECT_EQ(kvr::JoinCommandLine(3, argv), "/U \"a b\"");
}

TEST_F(Automation, JoinedArgvRunsThroughTheParser) {
    WriteHeaderFile(m_dir + "/fw--1.qfw", 5, 1);
    Parse(kvr::JoinCommandLine({"--download", m_dir + "/fw--1.qfw", "--unattended", "--auth=0x1F"}));
    EXPECT_TRUE(errors.empty());
    const auto& s = basAutomation::State();
    EXPECT_EQ(s.DownloadFile, m_dir + "/fw--1.qfw");
    EXPECT_EQ(s.FileHardwareID, 5);
    EXPECT_TRUE(s.UnattendedMode);
    EXPECT_EQ(G().AuthorizationID, 31);

    fs::create_directory(G().StartDirectory + "/relative");
    WriteHeaderFile(G().StartDirectory + "/relative/fw.qfw", 6, 1);
    Parse(kvr::JoinCommandLine({"/D", "relative/fw.qfw", "/U"}));
    EXPECT_EQ(s.DownloadFile, G().StartDirectory + "/relative/fw.qfw");
    EXPECT_EQ(s.FileHardwareID, 6);
}

// ---------------------------------------------------------------- programs

TEST_F(Automation, ShellAndWaitGivesTheExitCode) {
    // While it waits, window events keep running.
    struct CountingPump : kvr::EventPump {
        int calls = 0;
        void DoEvents() override { ++calls; }
    } pump;
    kvr::SetEventPump(&pump);
    EXPECT_EQ(basAutomation::ShellAndWait({"/bin/sleep", "0.3"}), 0);
    kvr::SetEventPump(nullptr);
    EXPECT_GE(pump.calls, 2);

    EXPECT_EQ(basAutomation::ShellAndWait({"/bin/true"}), 0);
    EXPECT_EQ(basAutomation::ShellAndWait({"/bin/false"}), 1);
    EXPECT_EQ(basAutomation::ShellAndWait({m_dir + "/no-such-program"}), -1);
    EXPECT_TRUE(log.HasContaining("ShellAndWait: cannot start", kvr::LEVEL_ERROR));
    EXPECT_EQ(basAutomation::ShellAndWait({}), -1);
    // Arguments are passed as they are: no shell sees them.
    const std::string marker = m_dir + "/a b;touch x";
    EXPECT_EQ(basAutomation::ShellAndWait({"/usr/bin/touch", marker}), 0);
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_FALSE(fs::exists(m_dir + "/x"));

    // Descriptors of ours (adapter sockets, output file, database) stay with
    // us: a program started here may outlive the run.
    const int fd = ::open(m_dir.c_str(), O_RDONLY);  // inheritable
    ASSERT_GE(fd, 3);
    const std::string probe = "test -e /proc/self/fd/" + std::to_string(fd);
    EXPECT_EQ(basAutomation::ShellAndWait({"/bin/sh", "-c", "test -e /proc/self/fd/0"}), 0);
    EXPECT_EQ(basAutomation::ShellAndWait({"/bin/sh", "-c", probe}), 1);
    ::close(fd);
}

TEST_F(Automation, InitializeRecordsTheProgramsOwnArguments) {
    ASSERT_EQ(basAutomation::Initialize(), 0);
    basAutomation::CloseOutputFile();
    auto lines = ReadLines(HistoryPath());
    ASSERT_GE(lines.size(), 5u);
    // "   Command Line = 'kvr_automation_tests --gtest_filter "..."'"
    EXPECT_EQ(lines[2].rfind("   Command Line = 'kvr_automation_tests", 0), 0u) << lines[2];
    EXPECT_EQ(lines[2].back(), '\'');
}

// --list --json: device names are one character per byte (Latin-1) and come
// out as UTF-8, with quotes, backslashes and control characters escaped.
TEST_F(Automation, DeviceListInJsonIsUtf8AndEscaped) {
    const std::string file = m_dir + "/list.json";
    std::FILE* out = std::fopen(file.c_str(), "w");
    ASSERT_NE(out, nullptr);
    basAutomation::AutomationRun::WriteDeviceList(
        {{"00:07:F5:00:01:01", "Caf\xE9 \"A\\B\"\n", "eth0", "10.0.0.2", "1.2", "1.1", true}}, out, true);
    std::fclose(out);
    EXPECT_EQ(ReadLines(file), (std::vector<std::string>{
                                   R"({"mac":"00:07:F5:00:01:01","name":"Café \"A\\B\"\n","adapter":"eth0",)"
                                   R"("ip":"10.0.0.2","firmware":"1.2","hardware":"1.1","download_mode":true})"}));
}
