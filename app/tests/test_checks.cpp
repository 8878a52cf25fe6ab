#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "LogRecorder.h"
#include "RecordingPrompter.h"
#include "basDebug.h"
#include "DriverService.h"
#include "Globals.h"
#include "modZarniChecks.h"
#include "Seams.h"
#include "TempAppDir.h"

namespace fs = std::filesystem;
using kvr::OsVersionRecord;

namespace {

using kvr::test::LogRecorder;
using kvr::test::RecordingPrompter;

OsVersionRecord Rec(long major, long minor, long platform, std::string sp = "", long build = 0) {
    OsVersionRecord r;
    r.MajorVersion = major;
    r.MinorVersion = minor;
    r.PlatformId = platform;
    r.CSDVersion = std::move(sp);
    r.BuildNumber = build;
    return r;
}

}  // namespace

TEST(CheckOS, VersionTable) {
    struct Row {
        OsVersionRecord rec;
        const char* name;
        bool accepted;
    } rows[] = {
        {Rec(4, 0, 1), "Windows 95", false},
        {Rec(4, 10, 1, " A "), "Windows 98", true},
        {Rec(4, 10, 1, "a"), "Windows 98", true},
        {Rec(4, 10, 1, ""), "Windows 98", false},
        {Rec(4, 10, 1, " B "), "Windows 98", false},
        {Rec(4, 90, 1), "Windows ME", true},
        {Rec(3, 51, 2), "Windows NT 3.51", false},
        {Rec(4, 0, 2, "Service Pack 6a"), "Windows NT 4.0", false},
        {Rec(5, 0, 2), "Windows 2000", true},
        {Rec(5, 1, 2, "Service Pack 2"), "Windows XP", true},
        {Rec(5, 2, 2), "Windows Server 2003", false},
        {Rec(6, 1, 2), "Windows 7", true},
        {Rec(6, 3, 2), "Windows 8.1", true},
        {Rec(10, 0, 2, "", 19045), "Windows 10", true},
        {Rec(10, 0, 2, "", 22631), "Windows 11", true},
        {Rec(6, 1, kvr::kPlatformLinux, "6.1.0-13-amd64"), "Linux 6.1", true},
        {Rec(5, 1, 1), "Unknown version of windows: Major Version = 5 Minor Version = 1 PlatformID = 1", false},
        {Rec(4, 10, 2, "A"), "Unknown version of windows: Major Version = 4 Minor Version = 10 PlatformID = 2", false},
        {Rec(6, 0, 1), "Unknown version of windows: Major Version = 6 Minor Version = 0 PlatformID = 1", false},
    };
    for (const auto& r : rows) {
        const kvr::OsVerdict v = kvr::ClassifyOS(r.rec);
        EXPECT_EQ(v.Name, r.name);
        EXPECT_EQ(v.Accepted, r.accepted) << r.name << " sp='" << r.rec.CSDVersion << "'";
    }
}

TEST(CheckOS, LogsWhatItDetected) {
    LogRecorder log;
    G().StatusWindowSlot0 = &log;
    // The service-pack text ends at its first NUL.
    EXPECT_TRUE(CheckOS(Rec(4, 10, 1, std::string(" A \0junk", 8))));
    EXPECT_TRUE(log.Has("CheckOS: Windows 98 detected.  Version=\" A \"", kvr::LEVEL_USER));
    // Only the first 128 characters count: an "A" beyond them is not seen.
    EXPECT_FALSE(CheckOS(Rec(4, 10, 1, std::string(128, 'x') + "A")));
    EXPECT_FALSE(CheckOS(std::nullopt));
    EXPECT_TRUE(log.Has("CheckOS Error: failed to get OS version.  uname failed in CheckOS", kvr::LEVEL_ERROR));
    for (const auto& l : log.lines) EXPECT_EQ(l.module, "modZarni");
    G().StatusWindowSlot0 = nullptr;
}

TEST(CheckOS, ThisMachineIsAccepted) {
    auto rec = kvr::ReadPlatformVersion();
    ASSERT_TRUE(rec.has_value());
    EXPECT_EQ(rec->PlatformId, kvr::kPlatformLinux);
    EXPECT_GE(rec->MajorVersion, 3);
    EXPECT_FALSE(rec->CSDVersion.empty());
    EXPECT_EQ(kvr::ClassifyOS(*rec).Name.rfind("Linux ", 0), 0u);
    EXPECT_TRUE(CheckOS());
}

// An application directory of its own, with a log capture and a prompter.
class SupportingFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = app.Path();
        G().DbManager = nullptr;
        G().StatusWindowSlot0 = &log;
        kvr::SetPrompter(&prompter);
    }
    void TearDown() override {
        kvr::SetPrompter(nullptr);
        G().StatusWindowSlot0 = nullptr;
    }
    void Touch(const std::string& name) { std::ofstream(dir + "/" + name) << "x"; }

    kvr::test::TempAppDir app;
    std::string dir;
    LogRecorder log;
    RecordingPrompter prompter;
};

TEST_F(SupportingFiles, CleanDirectoryPasses) {
    Touch("KVRinstaller");
    Touch("PKTNRW.SYS.txt");
    EXPECT_EQ(VerifySupportingFiles(), 0);
    EXPECT_TRUE(prompter.questions.empty());
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(SupportingFiles, FirstDriverFileInListOrderIsNamedWhateverItsCase) {
    Touch("PKTNRW.VXD");
    Touch("pktnrw.dll");
    EXPECT_EQ(VerifySupportingFiles(), -1);
    ASSERT_EQ(prompter.questions.size(), 1u);
    const std::string expected = "Improper Installation Detected.  The following file should not be in the "
                                 "application directory: '" + dir + "/pktnrw.dll' Terminating abnormally...";
    EXPECT_EQ(prompter.questions[0].text, expected);
    EXPECT_EQ(prompter.questions[0].title, "KVRinstaller");
    EXPECT_EQ(prompter.questions[0].buttons, kvr::PromptButtons::OK);
    EXPECT_TRUE(log.Has("VerifySupportingFiles: " + expected, kvr::LEVEL_ERROR));
    // No repair program here: said so.
    EXPECT_TRUE(log.Has("Missing '" + dir + "/PCARmDrv.exe', which is required to removed an improperly "
                        "installed driver service.", kvr::LEVEL_ERROR));
}

TEST_F(SupportingFiles, RepairProgramIsStartedWithoutAShell) {
    // An application directory whose name holds shell metacharacters, which
    // must not matter, and a repair program that leaves a mark.
    const std::string app = dir + "/app dir;touch pwned;$(touch pwned2)";
    fs::create_directory(app);
    G().AppDirectory = app;
    std::ofstream(app + "/PKTNRW.SYS") << "x";
    const std::string marker = app + "/repaired";
    const std::string program = app + "/PCARmDrv.exe";
    std::ofstream(program) << "#!/bin/sh\ntouch \"$(dirname \"$0\")/repaired\"\n";
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    EXPECT_EQ(VerifySupportingFiles(), -1);
    EXPECT_TRUE(log.Has("VerifySupportingFiles: Improper driver installation: Performing corrective action of "
                        "Deleting Service...  You should restart the application",
                        kvr::LEVEL_USER));
    // Started without waiting: give it time to run.
    for (int i = 0; i < 500 && !fs::exists(marker); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_FALSE(fs::exists(dir + "/pwned"));
    EXPECT_FALSE(fs::exists(app + "/pwned"));

    // A repair program that cannot be run is reported, not ignored.
    ASSERT_EQ(chmod(program.c_str(), 0644), 0);
    log.lines.clear();
    EXPECT_FALSE(RepairDriverService("RefreshNicPool: No NICs found: Performing corrective action of Deleting Service..."));
    EXPECT_TRUE(log.Has("RefreshNicPool: No NICs found: Performing corrective action of Deleting Service...",
                        kvr::LEVEL_USER));
    bool reported = false;
    for (const auto& l : log.lines)
        reported |= l.level == kvr::LEVEL_ERROR && l.message.find("RepairDriverService: cannot start") == 0;
    EXPECT_TRUE(reported);
}
