// Unattended firmware upgrades, one row per outcome: the program's whole run
// (start-up, discovery, the automated download, the end of the run) inside
// the test process, without an application object, against simulated devices
// on a private virtual segment. Sleeps pass at once and the program's clock runs ten times faster
// than real time, so protocol waits (the download-mode wait, restarts,
// retries) cost little; the simulator still answers in real time. Every row
// starts from the state the previous one left: the process is shared.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Globals.h"
#include "SkipSleepClock.h"
#include "TempAppDir.h"
#include "UnattendedRows.h"
#include "clsZarnPool.h"
#include "frmZarni.h"
#include "modZarni.h"

using namespace kvr::test::unattended;
namespace unattended = kvr::test::unattended;
using kvr::sim::Simulator;

namespace {

class UnattendedInProcess : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvr-unattended-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        fs::create_directories(m_root / "segments");
        ::setenv("KVR_SEGMENT_DIR", (m_root / "segments").c_str(), 1);
        ::setenv("KVR_ADAPTERS", "virtual", 1);  // never the machine's real network
        m_app.CopyTemplate();
        for (const char* lib : {"libzarnisupp.so", "libzarni_utils.so"})
            fs::create_symlink(fs::path(KVR_BUNDLE_DIR) / lib, App() / lib);
        m_startDir = fs::current_path();
        G() = ProgramState{};
        kvr::SetClock(&m_clock);
    }

    void TearDown() override {
        if (m_sim) m_sim->Stop();
        ZarnPool().Clear();
        kvr::SetClock(nullptr);
        fs::current_path(m_startDir);  // the run made the application directory the current one
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    void StartDevices(const std::vector<std::string>& specs) {
        // A segment of its own for every row, also when the rows share the process.
        static int rows = 0;
        m_sim = unattended::StartDevices(specs, "ur" + std::to_string(::getpid()) + "r" + std::to_string(++rows));
    }

    // Runs the program the way its main() does, standard error going to a
    // file; the exit status.
    int Run(const std::vector<std::string>& args, std::string& err) {
        const fs::path errFile = m_root / "stderr.txt";
        std::fflush(stderr);
        const int saved = ::dup(2);
        const int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::close(fd);

        const int status = kvr::RunScripted(args, App().string());
        EXPECT_EQ(QCoreApplication::instance(), nullptr);  // the run made no application object

        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        err = Text(errFile);
        return status;
    }

    fs::path App() const { return m_app.Path(); }

    kvr::test::SkipSleepClock m_clock{10};
    kvr::test::TempAppDir m_app;  // the program's own directory: database, lock, history.log
    fs::path m_root;              // segments, firmware file, captured output
    fs::path m_startDir;
    std::unique_ptr<Simulator> m_sim;
};

TEST_P(UnattendedInProcess, EndsWithItsStatusRecordAndJson) {
    const Row& row = GetParam();
    StartDevices(row.devices);
    MakeFile(row.qfw, m_root / "fw.qfw");
    std::string err;
    const int status = Run(Arguments(row, m_root), err);
    CheckRun(row, status, err, App(), m_root, *m_sim);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, UnattendedInProcess, ::testing::ValuesIn(Outcomes()), RowName);

}  // namespace
