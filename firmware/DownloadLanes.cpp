#include "DownloadLanes.h"

#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include "AdapterDispatcher.h"
#include "HexText.h"
#include "Seams.h"
#include "basDebug.h"
#include "clsZarn.h"
#include "modSNAP.h"

namespace kvr {
namespace {

// Lane threads never touch windows.
class NoEvents : public EventPump {
public:
    void DoEvents() override {}
};

std::vector<bool> OneAfterTheOther(const std::vector<std::shared_ptr<clsZarn>>& devices, const LaneOptions& options,
                                   const std::function<void(std::size_t index)>& work) {
    std::vector<bool> started(devices.size(), false);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (options.stopRequested && options.stopRequested()) break;
        started[i] = true;
        work(i);
    }
    return started;
}

}  // namespace

std::vector<bool> RunInLanes(const std::vector<std::shared_ptr<clsZarn>>& devices, const LaneOptions& options,
                             const std::function<void(std::size_t index)>& work) {
    if (options.parallel <= 1) return OneAfterTheOther(devices, options, work);

    std::vector<bool> started(devices.size(), false);
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable laneEnded;
    std::map<std::string, int> busyAdapters;  // NICName -> lanes running on it
    std::vector<std::string> busyMacs;       // devices being worked on
    std::exception_ptr firstError;

    Clock* clock = &CurrentClock();
    NoEvents noEvents;
    {
        AdapterDispatcher dispatcher;
        auto canStart = [&](std::size_t i) {
            const clsZarn* d = devices[i].get();
            if (!d) return true;
            const auto busy = busyAdapters.find(d->NICName);
            if (busy != busyAdapters.end() && busy->second >= options.parallel) return false;
            // Two devices answering to one MAC would read each other's frames:
            // they are worked on one after the other.
            for (const std::string& mac : busyMacs)
                if (SameMac(mac, d->MAC)) return false;
            return true;
        };
        std::unique_lock<std::mutex> lock(mutex);
        std::size_t next = 0;  // devices before it have all been started
        bool stop = false;
        while (!stop) {
            while (next < devices.size() && started[next]) ++next;
            if (next == devices.size()) break;
            std::size_t pick = devices.size();
            for (std::size_t i = next; i < devices.size() && pick == devices.size(); ++i)
                if (!started[i] && canStart(i)) pick = i;
            if (pick == devices.size()) {
                laneEnded.wait(lock);
                continue;
            }
            lock.unlock();
            stop = options.stopRequested && options.stopRequested();
            lock.lock();
            if (stop) break;
            started[pick] = true;
            const std::shared_ptr<clsZarn> device = devices[pick];
            const std::string nic = device ? device->NICName : std::string();
            const std::string mac = device ? device->MAC : std::string();
            ++busyAdapters[nic];
            busyMacs.push_back(mac);
            threads.emplace_back([&, pick, nic, mac] {
                {
                    const ThreadSeams seams(clock, &noEvents, &HeadlessPrompter());
                    const ThreadLabel label;
                    const ThreadLogTag tag(RemoveColons(mac));
                    const AdapterDispatcher::Lane lane(dispatcher, mac);
                    try {
                        work(pick);
                    } catch (...) {
                        const std::lock_guard<std::mutex> guard(mutex);
                        if (!firstError) firstError = std::current_exception();
                    }
                }
                const std::lock_guard<std::mutex> guard(mutex);
                --busyAdapters[nic];
                for (auto it = busyMacs.begin(); it != busyMacs.end(); ++it) {
                    if (*it == mac) {
                        busyMacs.erase(it);
                        break;
                    }
                }
                laneEnded.notify_all();
            });
        }
        lock.unlock();
        for (std::thread& t : threads) t.join();
    }
    if (firstError) std::rethrow_exception(firstError);
    return started;
}

}  // namespace kvr
