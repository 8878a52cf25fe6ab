#pragma once
// The door through which the response reader and the command transport send
// and receive SNAP frames. The program's link goes through the raw frame I/O
// (WriteNDIS / ReadNDIS); tests and the fuzz target install their own.
#include <cstdint>
#include <string>
#include <vector>

#include "SnapCodec.h"

namespace kvr {

class SnapLink {
public:
    virtual ~SnapLink() = default;
    // Sends one frame (the arguments of WriteNDIS). True when it was handed on.
    virtual bool Write(std::int32_t hNIC, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
                       std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen,
                       std::uint8_t modifiedSnap, std::vector<std::uint8_t>& payload) = 0;
    // Waits up to about 100 ms for the next SNAP frame (ReadNDIS). True when
    // one came; `frame` then holds it.
    virtual bool Read(std::int32_t hNIC, SnapFrame& frame) = 0;
    // Opens the adapter with this description for one operation
    // (OpenNdisRaw + OpenNdisDeviceByDesc); hNIC is -1 on failure. The program
    // owns an adapter through an AdapterSession, which opens and closes it
    // here; nothing else calls Open and Close.
    virtual bool Open(const std::string& description, std::int32_t& hNIC) = 0;
    // Releases it again (CloseNdisRaw).
    virtual bool Close(std::int32_t hNIC) = 0;
};

// The link in use: the raw frame I/O unless replaced (not owned; nullptr
// restores the default).
SnapLink& CurrentSnapLink();
void SetSnapLink(SnapLink* link);
// The replacement installed now; nullptr while the default is in use.
SnapLink* InstalledSnapLink();

}  // namespace kvr
