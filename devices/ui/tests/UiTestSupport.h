#pragma once
// Shared pieces of the window tests: a clock whose sleeps pass at once, a
// capture of the debug log, and a private application directory and segment
// directory for the whole test process.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Globals.h"
#include "Seams.h"
#include "ZarniLibs.h"
#include "basDebug.h"

namespace kvr::test {

// Real time, but sleeps pass at once (the adapter scan's fixed pause).
class SkipSleepClock : public Clock {
public:
    std::int64_t NowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + m_skipped;
    }
    void SleepMs(long ms) override {
        if (ms > 0) m_skipped += ms;
    }

private:
    std::int64_t m_skipped = 0;
};

class LogCapture : public StatusWindowSink {
public:
    struct Line {
        std::string module, message;
        long level;
    };
    void PostMessage(const std::string& message, float, long level, const std::string& module) override {
        lines.push_back({module, message, level});
    }
    bool Has(const std::string& module, const std::string& message, long level) const {
        for (const auto& l : lines)
            if (l.module == module && l.message == message && l.level == level) return true;
        return false;
    }
    std::vector<Line> lines;
};

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
