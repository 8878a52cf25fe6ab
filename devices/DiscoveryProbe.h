#pragma once
// The discovery request and its answers, without any device object: a SNAP
// read request to the SNAP multicast address on an open adapter, then one
// second of collecting the answers. Discovery (clsDiscover) builds its device
// list on it; a device (clsZarn) uses it to find itself again after a restart.
//
// Single-threaded: the collection loops let pending window events run so that
// a Cancel button can set bCancel.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Seams.h"

class clsPayload;
class clsSnapResponse;

class DiscoveryProbe {
public:
    // One collection window after each request.
    static constexpr std::int64_t kCollectWindowMs = 1000;

    // Takes the program-wide authorization identifier (or 1 when it is 0).
    DiscoveryProbe();
    virtual ~DiscoveryProbe() = default;

    // Set by a window to stop a running discovery or search; cleared at the
    // start of each search.
    bool bCancel = false;

    // Sends discovery requests on the open adapter until the device with the
    // MAC ZarnMac (colons removed, in the caller's text too; case ignored)
    // answers. The caller allocates the label. cResponse then holds its answer
    // (its downloadMode tells the device's mode).
    bool FindZarn(std::int32_t hNIC, std::string& ZarnMac, kvr::ProgressBar* pgb1,
                  std::int32_t RequestedRetries, const std::string& NicName, std::int16_t ProtocolVersion,
                  std::shared_ptr<clsSnapResponse>& cResponse);

    // Sends the discovery request with the current label.
    bool SendDiscover(std::int32_t hNIC, std::int16_t ProtocolVersion);

    // The discovery request payload for the given protocol version.
    void BuildDiscoverPayload(std::int16_t ProtocolVersion, clsPayload& payload) const;

    // Reads one answer to a discovery request into cResponse: true when a
    // response of the current transaction came. Logs it, and asks the user
    // about a device whose header and mode query disagree on its mode.
    bool ReadDiscoveryAnswer(std::int32_t hNIC, std::int16_t ProtocolVersion, clsSnapResponse& cResponse);

    // A second stop flag watched like bCancel but never cleared here (a
    // device's CancelWait while it waits for the device); null for none.
    void SetExtraCancelFlag(const bool* flag) { m_alsoCancel = flag; }
    bool Cancelled() const;

protected:
    // Runs one collection window on the open adapter: every answer read goes
    // to `onAnswer`, which returns true to end the window early.
    void Collect(std::int32_t hNIC, std::int16_t ProtocolVersion,
                 const std::function<bool(std::shared_ptr<clsSnapResponse>&)>& onAnswer, bool doEventsThrottled);

    static void SetupProgress(kvr::ProgressBar* pgb, std::int32_t retries);
    static void ShowProgress(kvr::ProgressBar* pgb, std::int32_t attempt);

private:
    // Authorization identifiers (the original's array with bounds 1 to 1).
    std::vector<std::int32_t> m_authorizationIds;
    const bool* m_alsoCancel = nullptr;
};
