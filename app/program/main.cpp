// KVRinstaller: finds Zarn Adapters on every Ethernet adapter, lists them,
// edits their wireless profiles and upgrades their firmware.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "CommandLineHelp.h"
#include "LibraryLoader.h"
#include "frmZarni.h"
#include "modZarni.h"

namespace {

// SIGTERM and SIGINT (logout, Ctrl+C in the terminal) close the main window
// the ordinary way, so its unload and the database shutdown still run.
int g_signalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &c, 1);
}

void CloseOnTerminate(QWidget* window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char c = 0;
        [[maybe_unused]] const auto n = ::read(g_signalPipe[0], &c, 1);
        window->close();
    });
    struct sigaction sa {};
    sa.sa_handler = OnTerminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    // --help and --version answer before any window, lock or database exists
    // (also where no display is).
    if (const auto status = kvr::RunInformationOption(std::vector<std::string>(argv + 1, argv + argc), stdout))
        return *status;
    QApplication app(argc, argv);
    QApplication::setApplicationName("KVRinstaller");
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

    kvr::StartupOutcome outcome = kvr::Main(args, kvr::ExecutableDirectory());
    int status = outcome.exitStatus;
    if (outcome.mainWindow) {
        CloseOnTerminate(outcome.mainWindow.get());
        // Demonstrations and screenshots without anybody at the screen close
        // the main window themselves (milliseconds after it opened).
        if (const char* ms = std::getenv("KVR_CLOSE_AFTER_MS")) {
            const long delay = std::strtol(ms, nullptr, 10);
            if (delay > 0) QTimer::singleShot(static_cast<int>(delay), outcome.mainWindow.get(), &QWidget::close);
        }
        status = QApplication::exec();
        if (status == 0) status = outcome.mainWindow->ExitStatus();
    }
    kvr::Shutdown(outcome);
    return status;
}
