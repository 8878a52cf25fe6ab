#pragma once
// Shared pieces of the window tests: the shared test support, and a private
// application directory for the whole test process (the segments come from
// SimSegments.h).
#include <filesystem>

#include "Globals.h"
#include "Seams.h"
#include "ZarniLibs.h"
#include "LogRecorder.h"
#include "SkipSleepClock.h"

namespace kvr::test {

// Points the program at `appDir` (the shipped libraries linked in, built-in
// strings).
inline void UsePrivateAppDirectory(const std::filesystem::path& appDir) {
    for (const char* lib : {kZarniSuppFile, kZarniUtilsFile})
        std::filesystem::create_symlink(std::filesystem::path(KVR_BUNDLE_DIR) / lib, appDir / lib);
    G().AppDirectory = appDir.string();
    G().DbManager = nullptr;
    SetLibraryDirectory(appDir.string());
}

}  // namespace kvr::test
