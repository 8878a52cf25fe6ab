#pragma once
// Finding Zarn Adapters: a SNAP read request to the SNAP multicast address on
// an adapter, then one second of collecting the answers. A full discovery
// walks every adapter of the NIC pool (two requests each, one label per
// adapter) and then reads the profile names of every device found. The same
// request/collect step finds one known device again (FindZarn) or the first
// device not yet known (FindNewZarn).
//
// Single-threaded: the collection loops let pending window events run so that
// a Cancel button can set bCancel.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Seams.h"
#include "clsZarn.h"
#include "clsZarnPool.h"

class clsPayload;
class clsSnapResponse;

class clsDiscover {
public:
    // Shows a status text (the discovery dialog's activity label); may be empty.
    using StatusLabelFn = std::function<void(const std::string&)>;

    // One collection window after each request.
    static constexpr std::int64_t kCollectWindowMs = 1000;

    // Takes the program-wide authorization identifier (or 1 when it is 0).
    clsDiscover();

    // Set by a window to stop a running discovery or search; cleared at the
    // start of DiscoverAllZarns, FindZarn and FindNewZarn.
    bool bCancel = false;

    // Discovers on every adapter of the NIC pool into ZarnsFound (a new pool is
    // created when it is null). True when at least one request was sent. When
    // cancelled, ZarnsFound becomes null: the whole result is discarded.
    bool DiscoverAllZarns(std::int16_t ProtocolVersion, std::shared_ptr<clsZarnPool>& ZarnsFound,
                          kvr::ProgressBar* pgb1, const StatusLabelFn& StatusLabel,
                          std::int32_t RequestedRetries);

    // Sends discovery requests on the open adapter until the device with the
    // MAC ZarnMac (colons removed, in the caller's text too; case ignored)
    // answers. The caller allocates the label. cResponse then holds its answer
    // (its downloadMode tells the device's mode).
    bool FindZarn(std::int32_t hNIC, std::string& ZarnMac, kvr::ProgressBar* pgb1,
                  std::int32_t RequestedRetries, const std::string& NicName, std::int16_t ProtocolVersion,
                  std::shared_ptr<clsSnapResponse>& cResponse);

    // As FindZarn, but the first device that is not in ZarnsKnown counts; it is
    // returned in newZarn.
    bool FindNewZarn(std::int32_t hNIC, const clsZarnPool& ZarnsKnown, std::shared_ptr<clsZarn>& newZarn,
                     kvr::ProgressBar* pgb1, std::int32_t RequestedRetries, const std::string& NicName,
                     std::int16_t ProtocolVersion);

    // Sends the discovery request with the current label.
    bool SendDiscover(std::int32_t hNIC, std::int16_t ProtocolVersion);

    // Reads the device's profile names (one request); fills ProfileName and
    // ActiveProfileName. The first form opens the device's adapter for the
    // request, the second uses an adapter that is open already.
    bool GetProfileData(clsZarn& zarn);
    bool GetProfileData(clsZarn& zarn, std::int32_t hNIC);

    // Reads one discovery response into a new device object (newZarn; null
    // when nothing was read).
    bool GetDiscoveryResponse(std::int32_t hNIC, std::shared_ptr<clsZarn>& newZarn, const std::string& NicName,
                              std::int16_t ProtocolVersion, clsSnapResponse& cResponse);

    // The discovery request payload for the given protocol version.
    void BuildDiscoverPayload(std::int16_t ProtocolVersion, clsPayload& payload) const;

    // A second stop flag watched like bCancel but never cleared here (a
    // device's CancelWait while it waits for the device); null for none.
    void SetExtraCancelFlag(const bool* flag) { m_alsoCancel = flag; }
    bool Cancelled() const;

private:
    // Reads the profile names of the pool's devices from index firstNew on and
    // removes those whose names cannot be read.
    void ReadProfilesOfNewDevices(std::int32_t hNIC, clsZarnPool& pool, std::size_t firstNew);

    // Runs one collection window; `onDevice` returns true to end the window early.
    void Collect(std::int32_t hNIC, const std::string& NicName, std::int16_t ProtocolVersion,
                 const std::function<bool(std::shared_ptr<clsZarn>&, std::shared_ptr<clsSnapResponse>&)>& onDevice,
                 bool doEventsThrottled);

    // Authorization identifiers (the original's array with bounds 1 to 1).
    std::vector<std::int32_t> m_authorizationIds;
    const bool* m_alsoCancel = nullptr;
};

namespace kvr {
// A dotted IPv4 text of a long whose least significant byte is the first octet.
std::string IpLongToText(std::int32_t addr);
}  // namespace kvr
