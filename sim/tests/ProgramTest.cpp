// The kvrsim program: started as users start it, answering on a segment of
// the test's own, obeying commands on standard input, ending on SIGTERM.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "TempDir.h"
#include "libs/zarnisupp/vseg/Segment.h"
#include "sim/tests/TestWire.h"

extern char** environ;

using namespace simtest;

namespace {

const std::string kProgram = std::string(KVR_BUNDLE_DIR) + "/kvrsim";

std::size_t Responses(const std::vector<Seen>& v) {
    std::size_t n = 0;
    for (const Seen& s : v) n += s.Kind() == 2 ? 1 : 0;
    return n;
}

class KvrsimProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_files.Path().empty());
        m_root = m_files.Path();
        m_segment = "prog" + std::to_string(getpid());
    }
    void TearDown() override {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_stdin >= 0) close(m_stdin);
    }

    // Starts kvrsim with `args`; its standard input is a pipe kept by the test.
    void Launch(std::vector<std::string> args) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[0], 0);
        posix_spawn_file_actions_addclose(&fa, p[1]);
        std::string out = m_root + "/out.txt";
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        args.insert(args.begin(), kProgram);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&m_pid, kProgram.c_str(), &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        close(p[0]);
        m_stdin = p[1];
    }

    // Waits until the segment has `n` stations besides the test's own.
    bool WaitForStations(std::size_t n) {
        for (int i = 0; i < 300; ++i) {
            if (kvr::vseg::CountStations(m_segment) >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // The frames answering a discovery request within half a second; once
    // `responses` responses came, only a further 100 ms in which a stray
    // extra frame would show.
    std::vector<Seen> Discover(kvr::vseg::Station& host, std::uint16_t label, std::size_t responses) {
        Bytes f = HostFrame(kGroup, 8, 0, label, DiscoveryPayload());
        host.Send(f.data(), f.size());
        std::vector<Seen> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        std::uint8_t buf[kvr::vseg::kMaxFrame];
        bool tail = false;
        while (std::chrono::steady_clock::now() < end) {
            if (!tail && Responses(out) == responses) {
                end = std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
                tail = true;
            }
            if (!host.Wait(20)) continue;
            long n = host.Receive(buf, sizeof buf);
            if (n > 0) out.push_back(Read(Bytes(buf, buf + n)));
        }
        return out;
    }

    int Exit() {
        int status = 0;
        if (waitpid(m_pid, &status, 0) != m_pid) return -1;
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string Output() {
        std::ifstream f(m_root + "/out.txt");
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    SegmentRootScope m_segments;
    TempDir m_files{"kvrsim-prog"};
    std::string m_root, m_segment;
    pid_t m_pid = -1;
    int m_stdin = -1;
};

}  // namespace

TEST_F(KvrsimProgram, DemoDevicesAnswerCommandsApplyAndSigtermEnds) {
    Launch({"--demo", "--segment", m_segment, "--log"});
    ASSERT_TRUE(WaitForStations(3));
    std::string err;
    auto host = kvr::vseg::Station::Attach(m_segment, kHost, &err);
    ASSERT_TRUE(host) << err;
    auto seen = Discover(*host, 0x11, 3);
    ASSERT_EQ(Responses(seen), 3u);
    std::size_t inDownload = 0;
    for (const Seen& s : seen)
        if (s.Kind() == 2 && s.DownloadBit()) ++inDownload;
    EXPECT_EQ(inDownload, 1u);

    std::string cmd = "vanish 00:07:F5:D0:00:01\n";
    ASSERT_EQ(write(m_stdin, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
    for (int i = 0; i < 300 && kvr::vseg::CountStations(m_segment) > 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Responses(Discover(*host, 0x12, 2)), 2u);

    ASSERT_EQ(kill(m_pid, SIGTERM), 0);
    EXPECT_EQ(Exit(), 0);
    std::string out = Output();
    EXPECT_NE(out.find("3 device(s) on segment"), std::string::npos) << out;
    EXPECT_NE(out.find("v8 READ label=0x11"), std::string::npos) << "--log prints frames in";
    EXPECT_NE(out.find("v8 RESP label=0x11"), std::string::npos) << "--log prints frames out";
    EXPECT_NE(out.find("vanished"), std::string::npos);
    EXPECT_EQ(kvr::vseg::CountStations(m_segment), 1u) << "its stations are gone";
}

TEST_F(KvrsimProgram, ConfigFileDevicesAndClosedStdinKeepsRunning) {
    std::string conf = m_root + "/devices.conf";
    std::ofstream(conf) << "segment " << m_segment << "\n"
                        << "device mac=00:07:F5:00:00:31 name=One\n"
                        << "device mac=00:07:F5:00:00:32 name=Two profiles=5\n";
    Launch({"--config", conf});
    close(m_stdin);  // no more commands: it keeps running
    m_stdin = -1;
    ASSERT_TRUE(WaitForStations(2));
    std::string err;
    auto host = kvr::vseg::Station::Attach(m_segment, kHost, &err);
    ASSERT_TRUE(host) << err;
    EXPECT_EQ(Responses(Discover(*host, 0x21, 2)), 2u);
    ASSERT_EQ(kill(m_pid, SIGINT), 0);
    EXPECT_EQ(Exit(), 0);
}

TEST_F(KvrsimProgram, UsageErrorsExitWithTwo) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"--device", "bogus=1"}, {"--frobnicate"}, {"--segment"}, {"--config", "/nonexistent/x.conf"},
             {"--demo", "--segment", "a", "--interface", "b"}}) {
        Launch(args);
        EXPECT_EQ(Exit(), 2);
        close(m_stdin);
        m_stdin = -1;
    }
    Launch({"--demo", "--segment", "bad/name"});
    EXPECT_EQ(Exit(), 1) << "a segment that cannot be used is a start failure";
}

TEST_F(KvrsimProgram, MakeQfwWritesTheWholeFileOrNothing) {
    auto run = [&](std::vector<std::string> args) {
        Launch(args);
        close(m_stdin);
        m_stdin = -1;
        return Exit();
    };
    EXPECT_EQ(run({"--make-qfw", m_root + "/a.qfw", "image1=10", "image2=@" + m_root + "/out.txt"}), 0);
    EXPECT_EQ(std::filesystem::file_size(m_root + "/a.qfw"), 96u + 10 + 0);
    EXPECT_EQ(run({"--make-qfw", m_root + "/b.qfw", "image1=-1"}), 2);
    EXPECT_EQ(run({"--make-qfw", m_root + "/no/such/dir/c.qfw"}), 1);
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(m_root)) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 2u) << "a.qfw and the program's output; nothing half written";
}
