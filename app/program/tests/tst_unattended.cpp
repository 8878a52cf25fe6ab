// Unattended runs end to end: the real KVRinstaller started as a script
// starts it (no display, its own application directory) against simulated
// devices on a private virtual segment. What only the process shows: its exit
// status, its standard output and error, signals, and a successful upgrade
// through the shipped program (the other outcomes run inside the test process,
// tst_unattended_runs.cpp).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "Segment.h"
#include "TempAppDir.h"
#include "UnattendedRows.h"
#include "sim/Simulator.h"

extern char** environ;
namespace fs = std::filesystem;
using namespace kvr::sim;
namespace unattended = kvr::test::unattended;
using unattended::Lines;
using unattended::Text;

namespace {

class UnattendedFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        m_root = m_dir.Path();
        const fs::path bundle = KVR_BUNDLE_DIR;
        // The program's own directory holds its database, lock and history.log.
        m_app.CopyTemplate();
        fs::copy_file(bundle / "KVRinstaller", App() / "KVRinstaller");
        for (const char* lib : {"libzarnisupp.so", "libzarni_utils.so"}) fs::create_symlink(bundle / lib, App() / lib);
    }

    void StartDevices(const std::vector<std::string>& specs) {
        m_sim = unattended::StartDevices(m_segments, "", specs);
        ASSERT_NE(m_sim, nullptr);
    }

    void MakeFile(const std::vector<std::string>& fields) { unattended::MakeFile(fields, m_root / "fw.qfw"); }

    // Runs the program like a script over ssh: no display, nothing to click.
    // termWhen: a SIGTERM reaches the program as soon as it holds.
    int Run(const std::vector<std::string>& args, const std::vector<std::string>& moreEnv = {},
            const std::function<bool()>& termWhen = {}) {
        std::vector<std::string> argv{(App() / "KVRinstaller").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env{"KVR_ADAPTERS=virtual", "KVR_SEGMENT_DIR=" + m_segments.Root(),
                                     "HOME=" + m_root.string(), "PATH=/usr/bin:/bin"};
        env.insert(env.end(), moreEnv.begin(), moreEnv.end());
        std::vector<char*> cargv, cenv;
        for (auto& a : argv) cargv.push_back(a.data());
        for (auto& e : env) cenv.push_back(e.data());
        cargv.push_back(nullptr);
        cenv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (m_root / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, (m_root / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) return -1;
        int status = 0;
        bool termSent = false;
        for (int i = 0; i < 9000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
            if (termWhen && !termSent && termWhen()) termSent = ::kill(pid, SIGTERM) == 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (::waitpid(pid, &status, WNOHANG) == 0) {  // hung: a run must never wait for anybody
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -2;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
    }

    fs::path App() const { return m_app.Path(); }

    // True when the program's status log (its database) holds a message containing `text`.
    bool StatusLogHas(const std::string& text) const {
        sqlite3* db = nullptr;
        bool found = false;
        if (fs::exists(App() / "db1.mdb") &&
            sqlite3_open_v2((App() / "db1.mdb").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT 1 FROM tblStatus WHERE instr(Message, ?1) > 0", -1, &st, nullptr) ==
                SQLITE_OK) {
                sqlite3_bind_text(st, 1, text.c_str(), -1, SQLITE_TRANSIENT);
                found = sqlite3_step(st) == SQLITE_ROW;
            }
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return found;
    }

    kvr::test::TempAppDir m_app;  // the program's own directory: database, lock, history.log
    TempDir m_dir{"kvr-unattended"};
    fs::path m_root;              // firmware file, captured output
    kvr::test::SimSegments m_segments{"ua"};
    Simulator* m_sim = nullptr;
};

// A whole upgrade through the shipped program, checked as every outcome of
// the table is.
TEST_F(UnattendedFixture, SuccessProtocol16EndsWithItsStatusRecordAndJson) {
    const unattended::Row& row = unattended::Outcome("SuccessProtocol16");
    ASSERT_NO_FATAL_FAILURE(StartDevices(row.devices));
    MakeFile(row.qfw);
    const int status = Run(unattended::Arguments(row, m_root));
    unattended::CheckRun(row, status, Text(m_root / "stderr.txt"), App(), m_root, *m_sim);
}

// Inventory for scripts: every device, one JSON object each, no window, nothing changed.
TEST_F(UnattendedFixture, ListPrintsEveryDeviceAsJson) {
    ASSERT_NO_FATAL_FAILURE(
        StartDevices({"mac=00:07:F5:00:03:01 name=Hall", "mac=00:07:F5:00:03:02 name=\"Back room\" hwid=2"}));
    EXPECT_EQ(Run({"--list", "--json", "-"}), 0) << Text(m_root / "stderr.txt");
    std::vector<std::string> out = Lines(m_root / "stdout.txt");
    std::sort(out.begin(), out.end());
    ASSERT_EQ(out.size(), 2u) << Text(m_root / "stdout.txt");
    EXPECT_EQ(out[0].rfind("{\"mac\":\"00:07:F5:00:03:01\",\"name\":\"Hall\",", 0), 0u) << out[0];
    EXPECT_NE(out[1].find("\"name\":\"Back room\""), std::string::npos) << out[1];
    EXPECT_NE(out[1].find("\"hardware\":\"2.1\""), std::string::npos) << out[1];
    EXPECT_EQ(Text(m_root / "stderr.txt"), "");
}

// A demonstration nobody watches closes itself, also when the "No Zarn
// Adapters found" box opens after the time is up; and the offscreen platform
// says nothing on standard error. The segment holds one station that is no
// Zarn Adapter, so the program finds an adapter but no device on it.
TEST_F(UnattendedFixture, CloseAfterTimeEndsAWindowedRunWithoutDevices) {
    ASSERT_NO_FATAL_FAILURE(StartDevices({}));
    std::string err;
    const auto bystander = kvr::vseg::Station::Attach(m_segments.Segment(""), {0x02, 0, 0, 0, 0x0B, 0x01}, &err);
    ASSERT_TRUE(bystander) << err;
    EXPECT_EQ(Run({}, {"KVR_CLOSE_AFTER_MS=1000", "QT_QPA_PLATFORM=offscreen"}), 0);
    EXPECT_TRUE(StatusLogHas("No Zarn Adapters found."));
    EXPECT_EQ(Text(m_root / "stderr.txt"), "");
}

// Logging out (SIGTERM) ends the program also while the "No suitable network
// adapters found" box (no segment, no adapter) waits for an answer nobody
// gives. The signal comes once the program has logged that it found no adapter.
TEST_F(UnattendedFixture, TerminateEndsARunWaitingInAMessageBox) {
    ASSERT_NO_FATAL_FAILURE(StartDevices({}));
    bool boxOpen = false;
    const auto waitsInTheBox = [&] {
        return boxOpen = StatusLogHas("the number of network adapters is reported to be 0");
    };
    EXPECT_EQ(Run({}, {"QT_QPA_PLATFORM=offscreen"}, waitsInTheBox), 1);
    EXPECT_TRUE(boxOpen);
}

// Logging out during a fleet upgrade: the download under way ends, the next
// device is not started, and the exit status, history.log and the JSON
// record all say the run was stopped by the signal.
TEST_F(UnattendedFixture, TerminateDuringADownloadEndsItAndStartsNoOtherDevice) {
    ASSERT_NO_FATAL_FAILURE(StartDevices({unattended::kDev1, unattended::kDev2}));
    MakeFile({"image1=262144"});
    const auto uploading = [&] { return Text(m_root / "stderr.txt").find("uploading") != std::string::npos; };
    unattended::Row row{"", {}, {}, {"--match-mac", "all", "--parallel", "1"}, 1, {}, {}};
    EXPECT_EQ(Run(unattended::Arguments(row, m_root), {}, uploading), 1) << Text(m_root / "stderr.txt");
    EXPECT_NE(Text(App() / "history.log").find("the run was stopped by SIGTERM; 1 device(s) not started"),
              std::string::npos) << Text(App() / "history.log");
    const auto json = Lines(m_root / "run.json");
    ASSERT_EQ(json.size(), 2u) << Text(m_root / "run.json");
    EXPECT_NE(json[0].find("\"result\":\"ok\""), std::string::npos) << json[0];
    EXPECT_NE(json[1].find("\"status\":1,"), std::string::npos) << json[1];
    const auto macs = m_sim->Devices();
    EXPECT_EQ((m_sim->Counters(macs[0]).chunksReceived > 0) + (m_sim->Counters(macs[1]).chunksReceived > 0), 1);
}

// Without a display /I needs nobody and runs as an unattended run does.
TEST_F(UnattendedFixture, InformationWithoutADisplayRunsUnattended) {
    ASSERT_NO_FATAL_FAILURE(StartDevices({unattended::kDev1}));
    EXPECT_EQ(Run({"/I"}), 0) << Text(m_root / "stderr.txt");
    EXPECT_NE(Text(App() / "history.log").find("Unattended mode is enabled."), std::string::npos);
}

// A script's mistakes end the run before anything is sent to a device.
struct BadInput {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string says;  // the one line on standard error contains this
};

void PrintTo(const BadInput& row, std::ostream* os) { *os << row.name; }

class UnattendedBadInput : public UnattendedFixture, public ::testing::WithParamInterface<BadInput> {};

TEST_P(UnattendedBadInput, IsRefusedWithOneLineAndNothingSent) {
    const BadInput& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartDevices({"mac=00:07:F5:00:02:01"}));
    MakeFile({});
    fs::create_directories(m_root / "dir.qfw");
    std::vector<std::string> args;
    for (std::string a : row.args) {
        if (a.rfind("@", 0) == 0) a = (m_root / a.substr(1)).string();  // a path in the test's directory
        args.push_back(a);
    }
    int lockFd = -1;
    if (row.status == 9) {  // another instance holds the lock
        lockFd = ::open((App() / "KVRinstaller.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_EQ(::flock(lockFd, LOCK_EX), 0);
    }
    EXPECT_EQ(Run(args), row.status);
    if (lockFd >= 0) ::close(lockFd);
    const auto err = Lines(m_root / "stderr.txt");
    ASSERT_EQ(err.size(), 1u) << Text(m_root / "stderr.txt");
    EXPECT_NE(err[0].find(row.says), std::string::npos) << err[0];
    EXPECT_EQ(m_sim->Counters(m_sim->Devices().front()).framesIn, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, UnattendedBadInput,
    ::testing::Values(
        BadInput{"UnknownOption", {"--download", "@fw.qfw", "--unattended", "--unatended"}, 2, "unknown option '--unatended'"},
        BadInput{"MissingFile", {"--download", "@none.qfw", "--unattended"}, 3, "does not exist"},
        BadInput{"DirectoryAsFile", {"--download", "@dir.qfw", "--unattended"}, 3, "is a directory"},
        BadInput{"BadMac", {"--download", "@fw.qfw", "/U", "--match-mac", "00:07:F5:01:02"}, 2, "is not a MAC address"},
        BadInput{"BadRetries", {"--download", "@fw.qfw", "/U", "--retries", "-1"}, 2, "--retries needs a whole number"},
        BadInput{"ParallelZero", {"--download", "@fw.qfw", "/U", "--parallel", "0"}, 2, "from 1 to 256, not '0'"},
        BadInput{"ParallelTooMany", {"--download", "@fw.qfw", "/U", "--parallel", "257"}, 2, "from 1 to 256"},
        BadInput{"ParallelNotANumber", {"--download", "@fw.qfw", "/U", "--parallel", "2x"}, 2, "--parallel needs"},
        BadInput{"CheckWithoutDownload", {"/U", "--check", "--match-mac", "all"}, 2, "it needs --download"},
        BadInput{"UnwritableJson", {"--download", "@fw.qfw", "/U", "--json", "@dir.qfw"}, 2, "is a directory"},
        BadInput{"WildcardMac", {"--download", "@fw.qfw", "/U", "--match-mac", "0007F51000*"}, 2,
                 "wildcard characters (*) are not yet supported"},
        BadInput{"AttendedWithoutDisplay", {"--download", "@fw.qfw"}, 1, "there is no display"},
        BadInput{"SecondInstance", {"--download", "@fw.qfw", "/U"}, 9, "already running"}),
    [](const ::testing::TestParamInfo<BadInput>& p) { return std::string(p.param.name); });

}  // namespace
