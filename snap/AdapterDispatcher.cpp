#include "AdapterDispatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

#include "Globals.h"
#include "HexText.h"
#include "Rids.h"
#include "SnapCommon.h"
#include "basDebug.h"

namespace kvr {
namespace {

const ModuleLog Log("AdapterDispatcher");

constexpr long kReadWindowMs = 100;
// Reads that fail at once, this many in a row (the adapter went away): the
// reader pauses before it tries again, instead of spinning. One such failure
// is a frame the adapter layer discarded (cut short, too long); pausing for it
// would let whoever sends such frames stall every device of the adapter.
constexpr int kFastFailuresBeforePause = 8;
// The pause doubles while the reads keep failing, up to the longest.
constexpr auto kFailedReadPause = std::chrono::milliseconds(20);
constexpr auto kLongestFailedReadPause = std::chrono::milliseconds(640);
// Frames kept for a lane that is not reading (as a socket keeps them).
constexpr std::size_t kLaneQueueFrames = 512;

}  // namespace

struct AdapterDispatcher::Adapter {
    std::int32_t handle = -1;
    std::string description;
    bool owned = false;  // opened here, closed here
    std::mutex writing;
    std::atomic<bool> stop{false};
    std::thread reader;
};

struct AdapterDispatcher::LaneState {
    std::string mac;  // 12 hexadecimal digits
    std::map<std::int32_t, std::deque<SnapFrame>> frames;  // per adapter handle
    std::vector<std::int16_t> labels;                      // the labels it sent
    std::condition_variable arrived;
};

namespace {
thread_local AdapterDispatcher::LaneState* t_lane = nullptr;
}

AdapterDispatcher::AdapterDispatcher()
    : m_inner(CurrentSnapLink()), m_installed(InstalledSnapLink()), m_clock(&CurrentClock()) {
    SetSnapLink(this);
}

AdapterDispatcher::~AdapterDispatcher() {
    std::vector<Adapter*> adapters;
    {
        const std::shared_lock<std::shared_mutex> list(m_list);
        for (auto& a : m_adapters) adapters.push_back(a.get());
    }
    for (Adapter* a : adapters) a->stop = true;
    for (Adapter* a : adapters)
        if (a->reader.joinable()) a->reader.join();
    SetSnapLink(m_installed);
    for (Adapter* a : adapters) {
        if (!a->owned) continue;
        const std::unique_lock<std::shared_mutex> layer(m_layer);
        m_inner.Close(a->handle);
    }
}

AdapterDispatcher::Lane::Lane(AdapterDispatcher& dispatcher, const std::string& mac) : m_dispatcher(dispatcher) {
    auto* lane = new LaneState;
    lane->mac = RemoveColons(mac);
    const std::lock_guard<std::mutex> lock(dispatcher.m_mutex);
    dispatcher.m_lanes.push_back(lane);
    t_lane = lane;
}

AdapterDispatcher::Lane::~Lane() {
    LaneState* lane = t_lane;
    t_lane = nullptr;
    if (!lane) return;
    {
        const std::lock_guard<std::mutex> lock(m_dispatcher.m_mutex);
        auto& lanes = m_dispatcher.m_lanes;
        lanes.erase(std::remove(lanes.begin(), lanes.end(), lane), lanes.end());
        for (std::int16_t label : lane->labels) {
            auto it = m_dispatcher.m_labels.find(label);
            if (it != m_dispatcher.m_labels.end() && it->second == lane) m_dispatcher.m_labels.erase(it);
        }
    }
    delete lane;
}

AdapterDispatcher::Adapter* AdapterDispatcher::FindOrAdopt(std::int32_t hNIC) {
    {
        const std::shared_lock<std::shared_mutex> list(m_list);
        for (auto& a : m_adapters)
            if (a->handle == hNIC) return a.get();
    }
    if (hNIC == -1) return nullptr;
    const std::unique_lock<std::shared_mutex> list(m_list);
    for (auto& a : m_adapters)
        if (a->handle == hNIC) return a.get();
    // A handle opened before the dispatcher came (lent to a download): its
    // frames are read here too, and its owner closes it.
    auto adapter = std::make_unique<Adapter>();
    adapter->handle = hNIC;
    Adapter* a = adapter.get();
    m_adapters.push_back(std::move(adapter));
    a->reader = std::thread([this, a] { ReadLoop(*a); });
    return a;
}

bool AdapterDispatcher::Open(const std::string& description, std::int32_t& hNIC) {
    hNIC = -1;
    {
        const std::shared_lock<std::shared_mutex> list(m_list);
        for (auto& a : m_adapters) {
            if (a->description == description) {
                hNIC = a->handle;
                return true;
            }
        }
    }
    // One thread opens at a time (exclusive), and nobody writes meanwhile.
    const std::unique_lock<std::shared_mutex> layer(m_layer);
    {
        const std::shared_lock<std::shared_mutex> list(m_list);
        for (auto& a : m_adapters) {
            if (a->description == description) {
                hNIC = a->handle;
                return true;
            }
        }
    }
    std::int32_t handle = -1;
    if (!m_inner.Open(description, handle) || handle == -1) return false;
    hNIC = handle;
    const std::unique_lock<std::shared_mutex> list(m_list);
    for (auto& a : m_adapters) {
        if (a->handle == handle) {
            // Lent before, opened now by its description: the same adapter.
            a->description = description;
            return true;
        }
    }
    auto adapter = std::make_unique<Adapter>();
    adapter->handle = handle;
    adapter->description = description;
    adapter->owned = true;
    Adapter* a = adapter.get();
    m_adapters.push_back(std::move(adapter));
    a->reader = std::thread([this, a] { ReadLoop(*a); });
    return true;
}

bool AdapterDispatcher::Close(std::int32_t hNIC) {
    // The shared open lasts as long as the dispatcher.
    return hNIC != -1;
}

bool AdapterDispatcher::WriteThrough(Adapter& adapter, const std::string& destMAC, std::int16_t version,
                                     std::uint8_t frameType, std::int16_t label, std::uint8_t downloadMode,
                                     std::int16_t payloadLen, std::uint8_t modifiedSnap,
                                     std::vector<std::uint8_t>& payload) {
    const std::shared_lock<std::shared_mutex> layer(m_layer);
    const std::lock_guard<std::mutex> one(adapter.writing);
    return m_inner.Write(adapter.handle, destMAC, version, frameType, label, downloadMode, payloadLen, modifiedSnap,
                         payload);
}

bool AdapterDispatcher::Write(std::int32_t hNIC, const std::string& destMAC, std::int16_t version,
                              std::uint8_t frameType, std::int16_t label, std::uint8_t downloadMode,
                              std::int16_t payloadLen, std::uint8_t modifiedSnap, std::vector<std::uint8_t>& payload) {
    Adapter* adapter = FindOrAdopt(hNIC);
    if (!adapter) return false;
    if (t_lane && (frameType & SNAP_KIND_MASK) != SNAP_KIND_ACK) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        auto [it, fresh] = m_labels.insert({label, t_lane});
        if (it->second != t_lane) {
            it->second = t_lane;
            fresh = true;
        }
        if (fresh) t_lane->labels.push_back(label);
    }
    return WriteThrough(*adapter, destMAC, version, frameType, label, downloadMode, payloadLen, modifiedSnap, payload);
}

bool AdapterDispatcher::Read(std::int32_t hNIC, SnapFrame& frame) {
    Adapter* adapter = FindOrAdopt(hNIC);
    Clock& clock = CurrentClock();
    const auto window = std::chrono::milliseconds(std::max(clock.RealMs(kReadWindowMs), 1L));
    std::unique_lock<std::mutex> lock(m_mutex);
    LaneState* lane = t_lane;
    if (!adapter || !lane) {
        // Not a lane: every frame belongs to a reader; wait out the window.
        lock.unlock();
        std::this_thread::sleep_for(window);
        return false;
    }
    std::deque<SnapFrame>& queue = lane->frames[hNIC];
    if (!lane->arrived.wait_for(lock, window, [&] { return !queue.empty(); })) return false;
    frame = std::move(queue.front());
    queue.pop_front();
    return true;
}

void AdapterDispatcher::Route(Adapter& adapter, SnapFrame& frame) {
    const std::string sender = MacText(frame.sender);
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        LaneState* to = nullptr;
        const auto owner = m_labels.find(frame.label);
        if (owner != m_labels.end()) {
            if (SameMac(owner->second->mac, sender)) to = owner->second;
        } else {
            for (LaneState* lane : m_lanes) {
                if (SameMac(lane->mac, sender)) {
                    to = lane;
                    break;
                }
            }
        }
        if (to) {
            std::deque<SnapFrame>& queue = to->frames[adapter.handle];
            if (queue.size() >= kLaneQueueFrames) queue.pop_front();
            queue.push_back(std::move(frame));
            to->arrived.notify_one();
            return;
        }
    }
    // Nobody's frame: acknowledged as the reader acknowledges every frame of
    // the versions it speaks that is not itself an ACK, then dropped.
    Log("a frame from '" + sender + "' (label 0x" + HexUpper(static_cast<std::uint16_t>(frame.label)) +
            ") belongs to no device being worked on; acknowledged and dropped.",
        LEVEL_DETAIL);
    if ((frame.frameType & SNAP_KIND_MASK) == SNAP_KIND_ACK || (frame.version != 0 && frame.version != 8)) return;
    std::vector<std::uint8_t> empty;
    WriteThrough(adapter, sender, frame.version, SNAP_KIND_ACK, frame.label, 0, 0, G().ModifiedSnap, empty);
}

void AdapterDispatcher::ReadLoop(Adapter& adapter) {
    const ThreadSeams seams(m_clock, nullptr, nullptr);
    int fastFailures = 0;
    auto pause = kFailedReadPause;
    while (!adapter.stop) {
        SnapFrame frame;
        const auto before = std::chrono::steady_clock::now();
        if (m_inner.Read(adapter.handle, frame)) {
            fastFailures = 0;
            pause = kFailedReadPause;
            Route(adapter, frame);
        } else if (std::chrono::steady_clock::now() - before >= std::chrono::milliseconds(5)) {
            fastFailures = 0;
            pause = kFailedReadPause;
        } else if (++fastFailures >= kFastFailuresBeforePause) {
            if (pause == kFailedReadPause) {
                Log("ReadLoop: reads from adapter #" + std::to_string(adapter.handle) +
                        " keep failing; the devices on it get no answers until it works again.",
                    LEVEL_ERROR);
            }
            // Sliced, so that the end of the run does not wait out a long pause.
            for (auto slept = std::chrono::milliseconds(0); slept < pause && !adapter.stop; slept += kFailedReadPause)
                std::this_thread::sleep_for(kFailedReadPause);
            pause = std::min(pause * 2, kLongestFailedReadPause);
        }
    }
}

}  // namespace kvr
