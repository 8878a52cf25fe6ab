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
        ASSERT_FALSE(m_dir.Path().empty());
        m_root = m_dir.Path();
        m_app.CopyTemplate();
        for (const char* lib : {"libzarnisupp.so", "libzarni_utils.so"})
            fs::create_symlink(fs::path(KVR_BUNDLE_DIR) / lib, App() / lib);
        m_startDir = fs::current_path();
        G() = ProgramState{};
        kvr::SetClock(&m_clock);
    }

    void TearDown() override {
        m_segments.StopAll();
        ZarnPool().Clear();
        kvr::SetClock(nullptr);
        fs::current_path(m_startDir);  // the run made the application directory the current one
    }

    void StartDevices(const std::vector<std::string>& specs) {
        // A segment of its own for every row: the rows share the process, and
        // with it the adapter library's table of adapters.
        static int rows = 0;
        m_sim = unattended::StartDevices(m_segments, "r" + std::to_string(++rows), specs);
        ASSERT_NE(m_sim, nullptr);
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
    TempDir m_dir{"kvr-unattended"};
    fs::path m_root;              // firmware file, captured output
    fs::path m_startDir;
    kvr::test::SimSegments m_segments{"ur"};  // also: only virtual segments are listed
    Simulator* m_sim = nullptr;
};

TEST_P(UnattendedInProcess, EndsWithItsStatusRecordAndJson) {
    const Row& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartDevices(row.devices));
    MakeFile(row.qfw, m_root / "fw.qfw");
    std::string err;
    const int status = Run(Arguments(row, m_root), err);
    CheckRun(row, status, err, App(), m_root, *m_sim);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, UnattendedInProcess, ::testing::ValuesIn(Outcomes()), RowName);

}  // namespace
