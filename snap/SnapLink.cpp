#include "SnapLink.h"

#include "modZarniSupp.h"

namespace kvr {
namespace {

// The program's link: the raw frame I/O of the adapter access layer.
class NdisLink : public SnapLink {
public:
    bool Write(std::int32_t hNIC, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
               std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen, std::uint8_t modifiedSnap,
               std::vector<std::uint8_t>& payload) override {
        return WriteNDIS(hNIC, destMAC, version, frameType, label, downloadMode, payloadLen, modifiedSnap, payload);
    }
    bool Read(std::int32_t hNIC, SnapFrame& frame) override { return ReadNDIS(hNIC, frame); }
    bool Open(const std::string& description, std::int32_t& hNIC) override {
        hNIC = -1;
        if (OpenNdisRaw() == -1) return false;
        return OpenNdisDeviceByDesc(hNIC, description);
    }
    bool Close(std::int32_t hNIC) override { return CloseNdisRaw(hNIC); }
};

NdisLink g_ndis;
SnapLink* g_link = nullptr;

}  // namespace

SnapLink& CurrentSnapLink() { return g_link ? *g_link : g_ndis; }
void SetSnapLink(SnapLink* link) { g_link = link; }
SnapLink* InstalledSnapLink() { return g_link; }

}  // namespace kvr
