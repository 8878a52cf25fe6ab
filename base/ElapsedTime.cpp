#include "ElapsedTime.h"

#include <ctime>

#include "LibraryLoader.h"

std::uint64_t ReadPerformanceCounter() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t ReadPerformanceFrequency() { return 1000000u; }

float GetElapsedMs(std::uint64_t timerBase) {
    const auto base = static_cast<std::int64_t>(timerBase);
    std::int64_t ms;
    kvr::LibError err;
    if (kvr::ResolveExport(kvr::kZarniUtilsFile, "QueryElapsedTimeMsLongInt", err)) {
        ms = kvr::zu::QueryElapsedTimeMsLongInt(&base);
    } else {
        const std::uint32_t d = static_cast<std::uint32_t>(ReadPerformanceCounter()) - static_cast<std::uint32_t>(timerBase);
        ms = d / 1000;
    }
    return static_cast<float>(static_cast<std::int32_t>(ms));
}
