// KVRinstaller: finds Zarn Adapters on every Ethernet adapter, lists them,
// edits their wireless profiles and upgrades their firmware.
#include <QApplication>
#include <cstdlib>
#include <string>
#include <vector>

#include "basUtils.h"
#include "frmZarni.h"
#include "modZarni.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("KVRinstaller");
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

    kvr::StartupOutcome outcome = kvr::Main(args, kvr::ExecutableDirectory());
    int status = 0;
    if (outcome.mainWindow) status = QApplication::exec();
    kvr::Shutdown(outcome);
    return status;
}
