#include "DriverService.h"

#include <filesystem>

#include "CommandLine.h"
#include "Globals.h"
#include "basDebug.h"

namespace {

namespace fs = std::filesystem;

const kvr::ModuleLog Log("modZarni");

constexpr const char* kRepairProgram = "PCARmDrv.exe";

std::string AppDirectory() {
    if (!G().AppDirectory.empty()) return G().AppDirectory;
    std::error_code ec;
    return fs::current_path(ec).string();
}

}  // namespace

bool RepairDriverService(const std::string& callerMessage) {
    const std::string program = (fs::path(AppDirectory()) / kRepairProgram).string();
    std::error_code ec;
    if (!fs::is_regular_file(program, ec)) {
        Log("Missing '" + program + "', which is required to removed an improperly installed driver service.",
            kvr::LEVEL_ERROR);
        return false;
    }
    Log(callerMessage, kvr::LEVEL_USER);
    std::string error;
    if (!kvr::SpawnProgram({program}, false, nullptr, &error)) {
        Log("cannot start '" + program + "': " + error, kvr::LEVEL_ERROR, "RepairDriverService");
        return false;
    }
    return true;
}
