#pragma once
// Several devices' downloads at the same time. The work for each device runs
// in a lane of its own: with one lane per adapter the devices are worked on
// one after the other on the calling thread, exactly as a one-device run;
// with more, up to that many devices of one adapter are worked on at once.
//
// Inside a lane the work reaches its own device only: the frames its adapter
// receives from that device, its own waits and its own log tag. Whatever the
// works share (records, the run's outcome, the terminal) they guard
// themselves: works of different lanes run on different threads.
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class clsZarn;

namespace kvr {

// Devices of one adapter worked on at once unless the user asks otherwise:
// the program's waits, not the transfer, take most of a device's time, so a
// site goes in one go when all its devices start together. Devices beyond
// this wait for a whole device's time (a 100-device site at 64 took twice as
// long as at 128); a hundred at once use about a third of one core.
inline constexpr int kDefaultParallel = 128;

struct LaneOptions {
    // At most this many devices of one adapter at once (1: one after the other).
    int parallel = 1;
    // Asked before each device starts; true: that device and every later one
    // are not started.
    std::function<bool()> stopRequested;
};

// Runs work(i) once for each devices[i] that is started, in list order of
// starting. Returns when every started work has returned; the result says
// which were started. With parallel above 1 each work runs on a thread of its
// own, with the calling thread's clock, an event pump that does nothing, the
// headless prompter (a work installs its own with ThreadSeams), a
// transaction label of its own and its device's MAC in front of every line
// it logs; the adapters are read through one AdapterDispatcher for the time
// of the call. Devices of different adapters start independently; two devices
// with the same MAC never run at the same time. The first exception a work
// throws is thrown again once every work has returned.
std::vector<bool> RunInLanes(const std::vector<std::shared_ptr<clsZarn>>& devices, const LaneOptions& options,
                             const std::function<void(std::size_t index)>& work);

}  // namespace kvr
