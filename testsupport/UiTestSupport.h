#pragma once
// Shared pieces of the window tests: the shared test support, and a private
// application directory and segment directory for the whole test process.
#include <cstdlib>
#include <filesystem>

#include "Globals.h"
#include "Seams.h"
#include "ZarniLibs.h"
#include "LogRecorder.h"
#include "SkipSleepClock.h"

namespace kvr::test {

// Points the program at `appDir` (the shipped libraries linked in, built-in
// strings) and the virtual segments at `segmentDir`.
inline void UsePrivateDirectories(const std::filesystem::path& appDir, const std::filesystem::path& segmentDir) {
    ::setenv("KVR_SEGMENT_DIR", segmentDir.c_str(), 1);
    ::setenv("KVR_ADAPTERS", "virtual", 1);  // never the machine's real network
    for (const char* lib : {kZarniSuppFile, kZarniUtilsFile})
        std::filesystem::create_symlink(std::filesystem::path(KVR_BUNDLE_DIR) / lib, appDir / lib);
    G().AppDirectory = appDir.string();
    G().DbManager = nullptr;
    SetLibraryDirectory(appDir.string());
}

}  // namespace kvr::test
