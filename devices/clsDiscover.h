#pragma once
// Finding Zarn Adapters: the discovery request and its collection window
// (DiscoveryProbe) turned into device objects. A full discovery walks every
// adapter of the NIC pool (two requests each, one label per adapter, the
// adapter open for the time of its requests) and then reads the profile names
// of every device found. The same request/collect step finds one known device
// again (FindZarn) or the first device not yet known (FindNewZarn).
//
// Single-threaded: the collection loops let pending window events run so that
// a Cancel button can set bCancel.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DiscoveryProbe.h"
#include "Seams.h"
#include "clsZarn.h"
#include "clsZarnPool.h"

class clsPayload;
class clsSnapResponse;

// bCancel, FindZarn, SendDiscover, BuildDiscoverPayload, SetExtraCancelFlag
// and Cancelled come from DiscoveryProbe; bCancel is cleared at the start of
// DiscoverAllZarns, FindZarn and FindNewZarn.
class clsDiscover : public DiscoveryProbe {
public:
    // Shows a status text (the discovery dialog's activity label); may be empty.
    using StatusLabelFn = std::function<void(const std::string&)>;

    // Discovers on every adapter of the NIC pool into ZarnsFound (a new pool is
    // created when it is null). True when at least one request was sent. When
    // cancelled, ZarnsFound becomes null: the whole result is discarded.
    bool DiscoverAllZarns(std::int16_t ProtocolVersion, std::shared_ptr<clsZarnPool>& ZarnsFound,
                          kvr::ProgressBar* pgb1, const StatusLabelFn& StatusLabel,
                          std::int32_t RequestedRetries);

    // The search everybody runs (the discovery window, scripted runs, the
    // device list): every adapter, protocol 8, two requests each, and a
    // second search when the first finds nothing. The devices found, or null
    // when none were found or the search was cancelled (Cancelled() tells).
    std::shared_ptr<clsZarnPool> DiscoverDevices(kvr::ProgressBar* pgb1, const StatusLabelFn& StatusLabel);
    // As FindZarn, but the first device that is not in ZarnsKnown counts; it is
    // returned in newZarn.
    bool FindNewZarn(std::int32_t hNIC, const clsZarnPool& ZarnsKnown, std::shared_ptr<clsZarn>& newZarn,
                     kvr::ProgressBar* pgb1, std::int32_t RequestedRetries, const std::string& NicName,
                     std::int16_t ProtocolVersion);

    // Searches every adapter of the NIC pool, one request and a collection
    // window each per round, until a device that is not in ZarnsKnown answers
    // or timeoutMs have passed (a device being brought onto the segment).
    // The new device, or null after the time-out or a cancel (Cancelled()
    // tells). The bar counts the seconds waited.
    std::shared_ptr<clsZarn> WaitForNewZarn(const clsZarnPool& ZarnsKnown, std::int64_t timeoutMs,
                                            kvr::ProgressBar* pgb1);

    // Reads the device's profile names (one request); fills ProfileName and
    // ActiveProfileName. The first form opens the device's adapter for the
    // request, the second uses an adapter that is open already.
    bool GetProfileData(clsZarn& zarn);
    bool GetProfileData(clsZarn& zarn, std::int32_t hNIC);

    // Reads one discovery response into a new device object (newZarn; null
    // when nothing was read).
    bool GetDiscoveryResponse(std::int32_t hNIC, std::shared_ptr<clsZarn>& newZarn, const std::string& NicName,
                              std::int16_t ProtocolVersion, clsSnapResponse& cResponse);

private:
    // Reads the profile names of the pool's devices from index firstNew on and
    // removes those whose names cannot be read.
    void ReadProfilesOfNewDevices(std::int32_t hNIC, clsZarnPool& pool, std::size_t firstNew);

    // The device an accepted discovery answer describes.
    static std::shared_ptr<clsZarn> DeviceFromAnswer(const clsSnapResponse& cResponse, const std::string& NicName,
                                                     std::int16_t ProtocolVersion);
};

namespace kvr {
// A dotted IPv4 text of a long whose least significant byte is the first octet.
std::string IpLongToText(std::int32_t addr);
}  // namespace kvr
