#pragma once
// One network adapter of the NIC pool, as the adapter library describes it.
#include <cstdint>
#include <string>

class clsNIC {
public:
    std::string Name;                 // adapter description: the key that opens it
    std::string Caption;              // the adapter's driver (interface) name
    std::int32_t AdapterTypeID = -1;  // 0 once pooled
    std::int32_t ConnectStatus = -1;  // 1 connected, 0 not, -1 unknown
    bool HasIP = false;               // the IP stack knows the adapter
    bool IsWireless = false;          // physical medium is wireless LAN
    std::string SSID;                 // wireless: the service set it is associated with
    std::string MAC;                  // 12 upper-case hexadecimal digits
};
