#include "RefreshNicPool.h"

#include <cstdlib>
#include <string>

#include "LibraryLoader.h"
#include "RawAccess.h"
#include "Globals.h"
#include "Seams.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsNICpool.h"
#include "DriverService.h"
#include "Seams.h"

namespace {

const kvr::ModuleLog Log("modZarni");

std::function<void()>& CloseSplash() {
    static std::function<void()> hook;
    return hook;
}

void CloseSplashWindow() {
    if (CloseSplash()) CloseSplash()();
}

}  // namespace

namespace kvr {

void SetCloseSplashHook(std::function<void()> hook) { CloseSplash() = std::move(hook); }

}  // namespace kvr

std::int32_t RefreshNicPool() {
    clsNICpool& pool = NicPool();
    const std::int32_t count = pool.BuildNicPool();
    if (count == 0) {
        // Without raw access no real adapter opens: say so, with the cure.
        std::string text = LoadResStringWrapper(1101);
        if (!kvr::OnlyVirtualAdapters()) {
            const std::string advice = kvr::RawAccessAdvice(kvr::LearnRawAccessFacts(kvr::ExecutableDirectory()));
            if (!advice.empty()) text += "\n\n" + advice;
        }
        kvr::CurrentPrompter().Ask(text, LoadResStringWrapper(1000), kvr::PromptButtons::OK,
                                   kvr::PromptIcon::Warning);
        CloseSplashWindow();
        RepairDriverService("RefreshNicPool: No NICs found: Performing corrective action of Deleting Service...");
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
