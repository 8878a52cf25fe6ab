#pragma once
// The wireless settings of one of the PC's own adapters. Reading and writing go
// through the raw-frame layer's wireless wrappers, which change nothing and
// report failure, so GetWNICSettings and SetWLANSettings always report false;
// the texts and Clone work.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class clsWLAN {
public:
    std::int16_t wepIndex = 0;
    std::string SSID;
    std::string WEP;                   // key as the user writes it
    std::int32_t Encryption = 1;       // 0 WEP enabled, 1 WEP disabled
    std::int32_t Infrastructure = 1;   // 0 ad hoc, 1 infrastructure

    // Reads the adapter's settings; resets the properties first (Encryption and
    // Infrastructure -1). True when every read succeeded.
    bool GetWNICSettings(std::int32_t hNIC);
    // Writes the settings to the adapter. True when every write succeeded. An
    // SSID longer than 32 characters is refused (false, logged).
    bool SetWLANSettings(std::int32_t hNIC);
    // Copies SSID, WEP, wepIndex, Infrastructure and Encryption into target.
    void Clone(clsWLAN& target) const;
    // "WEP Enabled" (9010) when Encryption is 0, else "WEP Disabled" (9011).
    std::string GetWEPModeTxt() const;
    // "Ad-hoc Mode" (9012) when Infrastructure is 0, else "Infrastructure Mode" (9013).
    std::string GetConnectionModeTxt() const;

    // Turns a WEP key text into key bytes (true for a valid key form). The
    // profile layer installs its converter; without one no key is written.
    using WepKeyConverter = std::function<bool(const std::string& key, std::int32_t& length,
                                               std::vector<std::uint8_t>& bytes)>;
    static void SetWepKeyConverter(WepKeyConverter converter);
};
