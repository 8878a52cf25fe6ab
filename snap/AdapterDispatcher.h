#pragma once
// One reader per adapter while several devices are worked on at the same time.
// Installed as the current link for its life, over the link that was current
// (which it keeps using for the real frames): each adapter is opened once and
// a thread of its own reads every frame that adapter receives, once, and hands
// it to the lane of the device that sent it. A lane is a thread working on one
// device; its reads return only frames from that device.
//
// A frame answers the lane whose request carried its label when it comes from
// that lane's device; a frame with a label no lane sent goes to the lane of
// its sender. Any other frame (a device nobody works on, a device answering
// another lane's discovery request, a device answering for another) is
// acknowledged as the program's reader acknowledges every frame that is not an
// ACK, and dropped: no lane ever acknowledges or consumes another device's
// frame. Writes to one adapter go out one at a time.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "Seams.h"
#include "SnapLink.h"

namespace kvr {

class AdapterDispatcher : public SnapLink {
public:
    // Installs itself over the current link. The reader threads use the clock
    // current on the constructing thread.
    AdapterDispatcher();
    // Stops the readers, closes the adapters it opened and puts the link it
    // found back.
    ~AdapterDispatcher() override;
    AdapterDispatcher(const AdapterDispatcher&) = delete;
    AdapterDispatcher& operator=(const AdapterDispatcher&) = delete;

    // The calling thread works on the device with this MAC for the life of
    // the object.
    class Lane {
    public:
        Lane(AdapterDispatcher& dispatcher, const std::string& mac);
        ~Lane();
        Lane(const Lane&) = delete;
        Lane& operator=(const Lane&) = delete;

    private:
        AdapterDispatcher& m_dispatcher;
    };

    bool Write(std::int32_t hNIC, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
               std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen, std::uint8_t modifiedSnap,
               std::vector<std::uint8_t>& payload) override;
    // On a lane's thread: waits up to about 100 ms for the next frame from its
    // device. Elsewhere: nothing comes (the readers take every frame).
    bool Read(std::int32_t hNIC, SnapFrame& frame) override;
    // The adapter's one shared open; it stays open until the dispatcher goes.
    bool Open(const std::string& description, std::int32_t& hNIC) override;
    bool Close(std::int32_t hNIC) override;

    struct Adapter;
    struct LaneState;

private:
    Adapter* FindOrAdopt(std::int32_t hNIC);
    void ReadLoop(Adapter& adapter);
    void Route(Adapter& adapter, SnapFrame& frame);
    bool WriteThrough(Adapter& adapter, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
                      std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen,
                      std::uint8_t modifiedSnap, std::vector<std::uint8_t>& payload);

    SnapLink& m_inner;
    SnapLink* m_installed;  // what was installed before (nullptr: the default)
    Clock* m_clock;
    // Opening and closing change the adapter layer's tables, which writes read.
    std::shared_mutex m_layer;
    std::shared_mutex m_list;  // m_adapters
    std::vector<std::unique_ptr<Adapter>> m_adapters;
    std::mutex m_mutex;  // the lanes, their frames and the labels below
    std::vector<LaneState*> m_lanes;
    std::map<std::int16_t, LaneState*> m_labels;  // request label -> the lane that sent it
};

}  // namespace kvr
