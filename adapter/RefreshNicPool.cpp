#include "RefreshNicPool.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "basUtils.h"
#include "Globals.h"
#include "Seams.h"
#include "ZarniLibs.h"
#include "basDebug.h"
#include "clsNICpool.h"

extern char** environ;

namespace {

const kvr::ModuleLog Log("modZarni");

std::function<void()>& CloseSplash() {
    static std::function<void()> hook;
    return hook;
}

void CloseSplashWindow() {
    if (CloseSplash()) CloseSplash()();
}

std::string AppDirectory() {
    const std::string& dir = G().AppDirectory;
    return dir.empty() ? kvr::LibraryDirectory() : dir;
}

// Starts the program detached (its exit is collected by an intermediate
// process), without a shell and without waiting for it.
bool StartDetached(const std::string& path) {
    pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        if (::fork() == 0) {
            int nul = ::open("/dev/null", O_RDWR);
            if (nul >= 0) {
                ::dup2(nul, 0);
                ::dup2(nul, 1);
                ::dup2(nul, 2);
            }
            char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
            ::execve(path.c_str(), argv, environ);
            ::_exit(127);
        }
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace

namespace kvr {

void SetCloseSplashHook(std::function<void()> hook) { CloseSplash() = std::move(hook); }

void RepairDriverService(const std::string& callerMessage) {
    const std::string repair = AppDirectory() + "/" + kRepairProgram;
    std::error_code ec;
    if (std::filesystem::exists(repair, ec)) {
        Log(callerMessage, LEVEL_USER);
        StartDetached(repair);
    } else {
        Log("Missing '" + repair + "', which is required to removed an improperly installed driver service.",
            LEVEL_ERROR);
    }
}

}  // namespace kvr

std::int32_t RefreshNicPool() {
    clsNICpool& pool = NicPool();
    const std::int32_t count = pool.BuildNicPool();
    if (count == 0) {
        kvr::CurrentPrompter().Ask(LoadResStringWrapper(1101), LoadResStringWrapper(1000), kvr::PromptButtons::OK,
                                   kvr::PromptIcon::Warning);
        CloseSplashWindow();
        kvr::RepairDriverService("RefreshNicPool: No NICs found: Performing corrective action of Deleting Service...");
        return 0;
    }
    if (pool.bWNicPresent) {
        if (!pool.bIpOnWNic) Log("RefreshNicPool: " + LoadResStringWrapper(1102), kvr::LEVEL_WARNING);
        auto wnic = pool.GetWNic();
        if (wnic && wnic->SSID.empty()) {
            Log(LoadResStringWrapper(1103), kvr::LEVEL_WARNING);
            if (count == 1) {
                const auto answer = kvr::CurrentPrompter().Ask(LoadResStringWrapper(1103), LoadResStringWrapper(1000),
                                                               kvr::PromptButtons::YesNo, kvr::PromptIcon::Warning);
                if (answer == kvr::PromptAnswer::No) CloseSplashWindow();
            }
        }
    } else if (pool.GetWiredNicCountWithIP() == 0) {
        Log("RefreshNicPool: " + LoadResStringWrapper(1104), kvr::LEVEL_WARNING);
    }
    return count;
}
