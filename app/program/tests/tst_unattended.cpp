// Unattended firmware upgrades end to end: the real KVRinstaller started as
// a script starts it (no display, its own application directory) against
// simulated devices on a private virtual segment. Each row checks the exit
// status, the output file history.log and the JSON record.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "TempAppDir.h"
#include "sim/DeviceOptions.h"
#include "sim/QfwMaker.h"
#include "sim/Simulator.h"

extern char** environ;
namespace fs = std::filesystem;
using namespace kvr::sim;

namespace {

struct Row {
    const char* name;
    std::vector<std::string> devices;  // kvrsim device specs
    std::vector<std::string> qfw;      // --make-qfw fields; "corrupt" spoils a section
    std::vector<std::string> args;     // besides --download FILE --unattended --json FILE
    int status;
    std::vector<std::string> results;  // JSON "result" of the record of each device, in device order
    std::vector<std::string> history;  // texts in history.log (its ERROR lines and records)
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::string Text(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class UnattendedFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvr-unattended-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        fs::create_directories(m_root / "segments");
        const fs::path bundle = KVR_BUNDLE_DIR;
        // The program's own directory holds its database, lock and history.log.
        m_app.CopyTemplate();
        fs::copy_file(bundle / "KVRinstaller", App() / "KVRinstaller");
        for (const char* lib : {"libzarnisupp.so", "libzarni_utils.so"}) fs::create_symlink(bundle / lib, App() / lib);
        ::setenv("KVR_SEGMENT_DIR", (m_root / "segments").c_str(), 1);
    }
    void TearDown() override {
        if (m_sim) m_sim->Stop();
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    void StartDevices(const std::vector<std::string>& specs) {
        m_sim = std::make_unique<Simulator>();
        for (const auto& spec : specs) {
            DeviceConfig d;
            std::string err;
            ASSERT_TRUE(ParseDeviceOptions(spec, d, &err)) << err;
            ASSERT_TRUE(m_sim->AddDevice(d, &err)) << err;
        }
        std::string err;
        ASSERT_TRUE(m_sim->StartOnSegment("ua" + std::to_string(::getpid()), &err)) << err;
    }

    void MakeFile(std::vector<std::string> fields) {
        const bool corrupt = !fields.empty() && fields.back() == "corrupt";
        if (corrupt) fields.pop_back();
        QfwSpec spec;
        std::string err;
        ASSERT_TRUE(ParseQfwFields(fields, spec, &err)) << err;
        if (!spec.image1) spec.image1 = QfwFiller(64 * 1024, 7);
        auto bytes = MakeQfw(spec);
        if (corrupt) bytes.back() ^= 0xFF;  // the last section's checksum no longer fits
        ASSERT_TRUE(WriteQfwFile((m_root / "fw.qfw").string(), bytes, &err)) << err;
    }

    // Runs the program like a script over ssh: no display, nothing to click.
    int Run(const std::vector<std::string>& args, const std::vector<std::string>& moreEnv = {}) {
        std::vector<std::string> argv{(App() / "KVRinstaller").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env{"KVR_ADAPTERS=virtual", "KVR_SEGMENT_DIR=" + (m_root / "segments").string(),
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
        for (int i = 0; i < 1800 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (::waitpid(pid, &status, WNOHANG) == 0) {  // hung: a run must never wait for anybody
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -2;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
    }

    fs::path App() const { return m_app.Path(); }

    kvr::test::TempAppDir m_app;  // the program's own directory: database, lock, history.log
    fs::path m_root;              // segments, firmware file, captured output
    std::unique_ptr<Simulator> m_sim;
};

class UnattendedRun : public UnattendedFixture, public ::testing::WithParamInterface<Row> {};

TEST_P(UnattendedRun, EndsWithItsStatusRecordAndJson) {
    const Row& row = GetParam();
    StartDevices(row.devices);
    MakeFile(row.qfw);
    std::vector<std::string> args{"--download", (m_root / "fw.qfw").string(), "--unattended", "--json",
                                  (m_root / "run.json").string()};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const int status = Run(args);
    const std::string err = Text(m_root / "stderr.txt");
    EXPECT_EQ(status, row.status) << err;
    // Standard error: the reason of a failure, and no toolkit noise.
    EXPECT_EQ(err.find("This plugin does not support"), std::string::npos) << err;
    if (row.status != 0) {
        EXPECT_NE(err.find("(exit status " + std::to_string(row.status) + ")"), std::string::npos) << err;
    }

    const auto history = Lines(App() / "history.log");
    ASSERT_GE(history.size(), 6u);
    const std::string rule(67, '*');
    EXPECT_EQ(history.front(), rule);
    EXPECT_EQ(history[1].rfind("   Started KVRinstaller ver ", 0), 0u);
    EXPECT_EQ(history.back(), rule);  // the closing line
    const std::string all = Text(App() / "history.log");
    for (const auto& e : row.history) EXPECT_NE(all.find(e), std::string::npos) << e << "\n" << all;
    EXPECT_NE(all.find("Automated operations ended with exit status " + std::to_string(row.status)), std::string::npos)
        << all;

    const auto json = Lines(m_root / "run.json");
    ASSERT_EQ(json.size(), row.results.size() + 1) << Text(m_root / "run.json");
    const auto macs = m_sim->Devices();  // in the order of row.devices; records come in discovery order
    for (std::size_t i = 0; i < row.results.size(); ++i) {
        std::string mac = MacText(macs[i]);  // 0007F5000101 -> 00:07:F5:00:01:01
        for (std::size_t k = 10; k >= 2; k -= 2) mac.insert(k, ":");
        const auto line = std::find_if(json.begin(), json.end() - 1, [&](const std::string& l) {
            return l.find("\"mac\":\"" + mac + "\"") != std::string::npos;
        });
        ASSERT_NE(line, json.end() - 1) << mac;
        EXPECT_NE(line->find("\"result\":\"" + row.results[i] + "\""), std::string::npos) << *line;
    }
    EXPECT_NE(json.back().find("\"summary\":true"), std::string::npos);

    // What the devices now run: the file's version exactly where the record says "ok",
    // and no firmware byte sent when the run refused before the download.
    for (std::size_t i = 0; i < macs.size(); ++i) {
        const bool ok = i < row.results.size() && row.results[i] == "ok";
        if (row.status == 0 || row.results.size() == macs.size()) {
            EXPECT_EQ(m_sim->State(macs[i]).firmwareVersion == 0x0204, ok) << MacText(macs[i]);
        }
        if (row.status >= 3 && row.status <= 6) {
            EXPECT_EQ(m_sim->Counters(macs[i]).chunksReceived, 0u);
        }
    }
    EXPECT_NE(json.back().find("\"status\":" + std::to_string(row.status) + ","), std::string::npos) << json.back();
}

// Inventory for scripts: every device, one JSON object each, no window, nothing changed.
TEST_F(UnattendedFixture, ListPrintsEveryDeviceAsJson) {
    StartDevices({"mac=00:07:F5:00:03:01 name=Hall", "mac=00:07:F5:00:03:02 name=\"Back room\" hwid=2"});
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
// says nothing on standard error.
TEST_F(UnattendedFixture, CloseAfterTimeEndsAWindowedRunWithoutDevices) {
    StartDevices({});
    EXPECT_EQ(Run({}, {"KVR_CLOSE_AFTER_MS=1000", "QT_QPA_PLATFORM=offscreen"}), 0);
    EXPECT_EQ(Text(m_root / "stderr.txt"), "");
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
    StartDevices({"mac=00:07:F5:00:02:01"});
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
        BadInput{"UnwritableJson", {"--download", "@fw.qfw", "/U", "--json", "@dir.qfw"}, 2, "is a directory"},
        BadInput{"SecondInstance", {"--download", "@fw.qfw", "/U"}, 9, "already running"}),
    [](const ::testing::TestParamInfo<BadInput>& p) { return std::string(p.param.name); });

const char* kDev1 = "mac=00:07:F5:00:01:01 name=One restart=300";
const char* kDev2 = "mac=00:07:F5:00:01:02 name=Two restart=300";
const char* kDev3 = "mac=00:07:F5:00:01:03 name=Three restart=300";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, UnattendedRun,
    ::testing::Values(
        Row{"SuccessProtocol16", {kDev1}, {}, {}, 0, {"ok"}, {}},
        Row{"SuccessProtocol1", {std::string(kDev1) + " v16=0"}, {}, {}, 0, {"ok"}, {}},
        Row{"NoDevice", {}, {}, {}, 4, {}, {"There are no Zarn Adapters that are compatible"}},
        Row{"TwoMatching", {kDev1, kDev2}, {}, {}, 5, {}, {"There are 2 Zarn Adapters", "Cannot proceed."}},
        Row{"Incompatible", {std::string(kDev1) + " hwid=2"}, {}, {"--match-mac", "00:07:F5:00:01:01"}, 6,
            {"incompatible"}, {"is not compatible with the firmware file (QFW=1.1, Zarn=2.1)"}},
        Row{"CorruptFile", {kDev1}, {"corrupt"}, {}, 3, {"file-invalid"},
            {"The QFW file does not contain a valid firmware image!"}},
        Row{"RefusesDownloadMode", {std::string(kDev1) + " no-download-mode=1"}, {}, {}, 7, {"download-failed"},
            {"the firmware upload failed"}},
        Row{"FailsMidway", {std::string(kDev1) + " fail-chunk=3:refuse:always"}, {}, {}, 7, {"download-failed"},
            {"the firmware upload failed"}},
        Row{"ComesBackOld", {std::string(kDev1) + " old-identity=1"}, {}, {}, 8, {"not-back"},
            {"did not come back running version 256.516"}},
        Row{"RetryRecovers", {std::string(kDev1) + " fail-chunk=3:refuse:once"}, {}, {"--retries", "2"}, 0, {"ok"},
            {"attempt 2 of 3", "upgraded at attempt 2."}},
        Row{"AllOverThreeOneFailing", {kDev1, std::string(kDev2) + " fail-chunk=2:refuse:always", kDev3}, {},
            {"--match-mac", "all"}, 7, {"ok", "download-failed", "ok"}, {"the firmware upload failed"}}),
    [](const ::testing::TestParamInfo<Row>& p) { return std::string(p.param.name); });

}  // namespace
