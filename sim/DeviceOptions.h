#pragma once
// Device descriptions for the kvrsim program: one device per spec, written as
// key=value pairs separated by commas or blanks (values may be double-quoted):
//
//   mac=00:07:F5:01:02:03 name="Living room" profiles=3 security=wpa
//
// and a config file of lines "segment NAME", "interface IF", "log on|off",
// "demo" and "device SPEC"; '#' starts a comment. DeviceOptionsHelp() lists the keys.
#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace kvr::sim {

struct SimConfig {
    std::string segment;
    std::string interfaceName;
    bool log = false;
    std::vector<DeviceConfig> devices;
};

// A whole option value as a number in [lo, hi]: decimal, or hexadecimal after
// "0x"; a leading zero does not make it octal ("restart=0500" is 500 ms).
bool ParseOptionNumber(const std::string& text, long long lo, long long hi, long long& v);

// Fills `device` (starting from its current values) from a spec. False with a
// reason naming the offending key on any unknown key or bad value.
bool ParseDeviceOptions(const std::string& spec, DeviceConfig& device, std::string* error);

// Reads a config file's text into `config` (appending devices). False with
// "line N: reason" on the first bad line.
bool ParseConfigText(const std::string& text, SimConfig& config, std::string* error);

// The demonstration set: one device in download mode, one with WPA-capable
// security, one with a name of the full 32 characters.
std::vector<DeviceConfig> DemoDevices();

// An address for the n-th device that has none: 00:07:F5:5E:xx:xx.
Mac AutoMac(unsigned n);

std::string DeviceOptionsHelp();

}  // namespace kvr::sim
