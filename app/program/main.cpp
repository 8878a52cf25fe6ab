// KVRinstaller: finds Zarn Adapters on every Ethernet adapter, lists them,
// edits their wireless profiles and upgrades their firmware.
#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "CommandLineHelp.h"
#include "basAutomation.h"
#include "LibraryLoader.h"
#include "frmZarni.h"
#include "modZarni.h"

namespace {

// The run's stop request: the number of the terminate signal that came first.
std::atomic<int> g_stopRequest{0};

// A scripted run has no event loop: the signal only asks the run to stop, and
// the run ends through its own waits.
void OnTerminateScripted(int signal) {
    int none = 0;
    g_stopRequest.compare_exchange_strong(none, signal);
}

void StopOnTerminate() {
    struct sigaction sa {};
    sa.sa_handler = OnTerminateScripted;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

// SIGTERM and SIGINT (logout, Ctrl+C in the terminal) close the main window
// the ordinary way, so its unload and the database shutdown still run.
int g_signalPipe[2] = {-1, -1};

void OnTerminate(int signal) {
    const char c = static_cast<char>(signal);
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &c, 1);
}

// Set once a signal ended every event loop; the main loop then never starts.
bool g_terminated = false;
QWidget* g_mainWindow = nullptr;  // closed the ordinary way at the first signal

void CloseOnTerminate() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char c = 0;
        [[maybe_unused]] const auto n = ::read(g_signalPipe[0], &c, 1);
        // An automated run records the signal, ends the download under way
        // and starts nothing more; the main window closes once it has.
        int none = 0;
        g_stopRequest.compare_exchange_strong(none, c == SIGINT ? SIGINT : SIGTERM);
        // A box or dialog waiting for an answer (also during start-up, before
        // the main window exists), or a window that did not close at the
        // first signal, would keep the program alive: every event loop ends
        // instead, and so does every box opened after it. A download under
        // way still runs to its end first.
        static int signalsSeen = 0;
        const bool boxWaits = QApplication::activeModalWidget() != nullptr;
        if (!g_mainWindow || boxWaits || ++signalsSeen > 1) {
            g_terminated = true;
            QCoreApplication::exit(1);
            return;
        }
        g_mainWindow->close();
    });
    struct sigaction sa {};
    sa.sa_handler = OnTerminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

// KVR_CLOSE_AFTER_MS: demonstrations and screenshots without anybody at the
// screen close the program themselves, milliseconds after the start. Armed
// before the first window, and from then on every window that opens is
// closed at once, so a box shown during start-up (no adapter, no device)
// cannot wait for ever either.
bool g_closeTimeElapsed = false;

void ArmCloseAfter() {
    const char* ms = std::getenv("KVR_CLOSE_AFTER_MS");
    const long delay = ms ? std::strtol(ms, nullptr, 10) : 0;
    if (delay <= 0) return;
    static const auto closeAll = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible()) w->close();
    };
    auto* closer = new QTimer(qApp);
    closer->setInterval(200);
    QObject::connect(closer, &QTimer::timeout, closeAll);
    QTimer::singleShot(static_cast<int>(std::min(delay, 24L * 3600 * 1000)), qApp, [closer] {
        g_closeTimeElapsed = true;
        closer->start();
        closeAll();
    });
}

}  // namespace

int main(int argc, char** argv) {
    // --help and --version answer before any window, lock or database exists
    // (also where no display is).
    if (const auto status = kvr::RunInformationOption(std::vector<std::string>(argv + 1, argv + argc), stdout))
        return *status;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    // Windows need a display; without one the toolkit would abort.
    if (const std::string why = kvr::FitRunToDisplay(args); !why.empty()) {
        std::fprintf(stderr, "KVRinstaller: %s\n", why.c_str());
        return 1;
    }
    // A scripted run (/U, --list) needs no window and no application object.
    if (kvr::IsScriptedRun(args)) {
        StopOnTerminate();
        return kvr::RunScripted(args, kvr::ExecutableDirectory(), &g_stopRequest);
    }
    kvr::QuietOffscreenPlatform();
    QApplication app(argc, argv);
    QApplication::setApplicationName("KVRinstaller");
    ArmCloseAfter();
    CloseOnTerminate();

    kvr::StartupOutcome outcome = kvr::Main(args, kvr::ExecutableDirectory(), &g_stopRequest);
    int loopStatus = g_terminated ? 1 : 0;
    if (outcome.mainWindow && !g_terminated) {
        g_mainWindow = outcome.mainWindow.get();
        if (g_closeTimeElapsed) QTimer::singleShot(0, outcome.mainWindow.get(), &QWidget::close);
        loopStatus = QApplication::exec();
    }
    if (g_terminated) loopStatus = 1;
    g_mainWindow = nullptr;
    const int status = kvr::FinishRun(outcome, loopStatus);
    kvr::Shutdown(outcome);
    return status;
}
