#pragma once
// The door through which the response reader and the command transport send
// and receive SNAP frames. The program's link goes through the raw frame I/O
// (WriteNDIS / ReadNDIS); tests and the fuzz target install their own.
#include <cstdint>
#include <string>
#include <vector>

namespace kvr {

// One SNAP frame as received.
struct SnapReceived {
    std::string srcMAC;           // 12 upper-case hexadecimal digits
    std::int16_t version = 0;     // 0 or 8
    std::uint8_t frameType = 0;   // the whole frame-type byte
    std::int16_t label = 0;
    std::uint8_t status = 0;      // status byte / response code
    std::int16_t payloadLen = 0;
    std::vector<std::uint8_t> payload;
};

class SnapLink {
public:
    virtual ~SnapLink() = default;
    // Sends one frame (the arguments of WriteNDIS). True when it was handed on.
    virtual bool Write(std::int32_t hNIC, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
                       std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen,
                       std::uint8_t modifiedSnap, std::vector<std::uint8_t>& payload) = 0;
    // Waits up to about 100 ms for the next SNAP frame. True when one came.
    virtual bool Read(std::int32_t hNIC, SnapReceived& frame) = 0;
    // Opens the adapter with this description for one operation
    // (OpenNdisRaw + OpenNdisDeviceByDesc); hNIC is -1 on failure.
    virtual bool Open(const std::string& description, std::int32_t& hNIC) = 0;
    // Releases it again (CloseNdisRaw).
    virtual bool Close(std::int32_t hNIC) = 0;
};

// The link in use: the raw frame I/O unless replaced (not owned; nullptr
// restores the default).
SnapLink& CurrentSnapLink();
void SetSnapLink(SnapLink* link);

}  // namespace kvr
