#include "Globals.h"

#include <algorithm>
#include <mutex>

ProgramState& G() {
    static ProgramState state;
    return state;
}

void MarkDownloadInProgress(bool begins) {
    static std::mutex m;
    static int running = 0;
    const std::lock_guard<std::mutex> lock(m);
    running = begins ? running + 1 : std::max(running - 1, 0);
    G().DownloadInProgress = running > 0;
}
