#pragma once
// Where simulated devices meet the host: a virtual segment or a real
// interface. A link carries the frames of any number of device addresses.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace kvr::sim {

class Link {
public:
    // Called for each received frame; `station` is the device address the frame
    // was delivered to, or null when the link cannot tell (the caller then
    // delivers by destination address).
    using FrameSink = std::function<void(const Mac* station, std::span<const std::uint8_t> frame)>;

    virtual ~Link() = default;
    virtual std::string Describe() const = 0;
    // Starts receiving for a device address; false with a reason on failure.
    virtual bool AddStation(const Mac& mac, std::string* error) = 0;
    virtual void RemoveStation(const Mac& mac) = 0;
    virtual bool HasStation(const Mac& mac) const = 0;
    // Sends a whole Ethernet frame from a device address.
    virtual bool Send(const Mac& from, std::span<const std::uint8_t> frame) = 0;
    // Descriptors that poll readable when frames wait.
    virtual void PollFds(std::vector<int>& fds) const = 0;
    // Hands every waiting frame to `sink` without blocking.
    virtual void Drain(const FrameSink& sink) = 0;
};

// A virtual segment (by name, under the segment root). Null with a reason when
// the name is unusable or virtual segments are not available in this build.
std::unique_ptr<Link> OpenSegmentLink(const std::string& segment, std::string* error);
// A real Ethernet interface through libpcap (needs CAP_NET_RAW). The interface
// is put into promiscuous mode and joins the SNAP multicast group.
std::unique_ptr<Link> OpenPcapLink(const std::string& interfaceName, std::string* error);

}  // namespace kvr::sim
