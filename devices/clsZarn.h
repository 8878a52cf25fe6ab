#pragma once
// One Zarn Adapter as the program knows it: identity, state and firmware
// identity as read by discovery, plus the few operations the windows need on
// a single device (list texts, waiting for a restart, finding it again on any
// adapter, capability probes).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AdapterSession.h"
#include "Seams.h"

class clsSnapResponse;

// The highest profile number a device is taken to have: discovery reads the
// names of profiles 0 to this in one request, and the profile editor offers
// no more tabs than that, whatever NumProfiles a device reports.
inline constexpr std::int16_t kMaxProfileNumber = 8;

class clsZarn {
public:
    // Public variables, in their declaration order.
    std::string Name;
    std::string MAC = "      ";             // six blanks until discovery fills it
    std::int16_t ActiveProfile = 0;
    std::string ActiveProfileName;
    std::int16_t Rssi = 0;
    std::string IpAddr;
    bool IsInDownloadMode = false;
    std::string NICName;                    // description of the adapter it answered on
    bool AutoIPBusy = false;
    std::int16_t NumProfiles = 0;
    std::vector<std::string> ProfileName;   // profile names in device order
    std::int16_t ProtocolVersion = 0;       // SNAP version for every command to it (0 or 8)
    std::int32_t BootloaderID = 0;
    std::int32_t BootloaderVersion = 0;
    std::int32_t HardwareID = 0;
    std::int32_t HardwareVersion = 0;
    bool IsFirmwareIdValid = false;
    bool IsBootloaderIdValid = false;
    std::int32_t FirmwareID = 0;
    std::int32_t FirmwareVersion = 0;
    std::string FirmwareDate;
    std::string FirmwareTime;
    bool CancelWait = false;                // stops WaitForBoot and ScanForZarn at their next poll

    // Texts for the device list.
    std::string GetIPStatus() const;
    std::string GetDownloadMode() const;
    std::string GetRSSI() const;

    // Wait until the device answers discovery in download (application) mode.
    // hNIC -1 opens the device's adapter for the time of the wait. The progress
    // bar (may be null) shows the elapsed whole seconds.
    bool WaitForDownloadMode(std::int32_t hNIC, std::int32_t lngTimeoutMs, kvr::ProgressBar* pgb1);
    bool WaitForStartup(std::int32_t hNIC, std::int32_t lngTimeoutMs, kvr::ProgressBar* pgb1);
    // The discovery answer that ended the last successful wait (null after a
    // wait that failed). It carries the device's identity as it restarted.
    const std::shared_ptr<clsSnapResponse>& BootAnswer() const { return m_bootAnswer; }

    // Searches every adapter of the NIC pool for the device; when it answers in
    // application mode on another adapter, NICName follows it.
    bool ScanForZarn(std::int32_t lngTimeoutMs, kvr::ProgressBar* pgb1);

    // True when the device refuses all four protocol-16 download RIDs with
    // code 1 (they exist but cannot be read).
    bool IsTargetV16DownloadCompatible(std::int32_t hNIC = -1);

    // True when the answer to a profile read shows the security interface that
    // WPA-PSK needs.
    bool CheckForV16encryption(clsSnapResponse& cResponse);

private:
    std::shared_ptr<clsSnapResponse> m_bootAnswer;

    // The device's adapter (NICName), opened; logged when it cannot be opened.
    kvr::AdapterSession GetNicHandle() const;
    // For a method given no adapter (hNIC -1): opens the device's adapter into
    // `adapter` (closed when that goes) and sets hNIC to it. False, with the
    // error logged under the procedure's name, when it cannot be opened.
    bool OpenAdapterIfNone(std::int32_t& hNIC, const char* proc, kvr::AdapterSession& adapter) const;
    bool WaitForBoot(std::int32_t hNIC, std::int32_t lngTimeoutMs, bool waitDownload,
                     bool waitApplication, kvr::ProgressBar* pgb1);
};
