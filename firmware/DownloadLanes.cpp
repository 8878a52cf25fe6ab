#include "DownloadLanes.h"

namespace kvr {

std::vector<bool> RunInLanes(const std::vector<std::shared_ptr<clsZarn>>& devices, const LaneOptions& options,
                             const std::function<void(std::size_t index)>& work) {
    std::vector<bool> started(devices.size(), false);
    // Every run is one after the other on this thread for now, whatever
    // options.parallel asks.
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (options.stopRequested && options.stopRequested()) break;
        started[i] = true;
        work(i);
    }
    return started;
}

}  // namespace kvr
