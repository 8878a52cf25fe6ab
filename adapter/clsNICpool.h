#pragma once
// The pool of network adapters over which devices are searched and addressed:
// every adapter the library reports that the raw-frame layer can really open,
// in the library's order. Users open an adapter by the Name of its record for
// one operation and close it afterwards.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clsNIC.h"
#include "clsWLAN.h"

class clsNICpool {
public:
    bool bWNicPresent = false;  // a build saw a wireless adapter
    std::string sWNicName;      // Name of the last wireless adapter seen
    clsWLAN wlan;               // not set by the pool
    bool bIpOnWNic = false;     // that wireless adapter's HasIP
    std::vector<std::shared_ptr<clsNIC>> colNIC;

    // Rescans the adapters and refills colNIC; returns the number added.
    std::int32_t BuildNicPool();
    std::int32_t GetNicCount() const;
    // Entries that are wired and have IP.
    std::int32_t GetWiredNicCountWithIP() const;
    // The last wireless entry of colNIC, or null.
    std::shared_ptr<clsNIC> GetWNic() const;
    // True when the raw-frame layer can open the adapter by its Name.
    bool VerifyRawNdisSupport(const clsNIC& nic);
};

// The program-wide pool (lives for the whole run).
clsNICpool& NicPool();
