#pragma once
// What the system tells about one network interface through ioctls and /sys
// (no privileges needed), and the kernel filter that selects the frames an
// open adapter keeps. Shared by the pcap backend and the raw-frame helper.
#include <cstddef>
#include <cstdint>
#include <string>

#include "PacketDriver.h"

namespace kvr::zs {

// An interface name that can be opened: not empty, shorter than IFNAMSIZ, no '/',
// not "." or "..", not a virtual segment's name.
bool IsUsableName(const std::string& name);
bool IsZero(const Mac& m);

std::string DriverName(const std::string& ifname);
bool IsEthernet(const std::string& ifname);
Mac CurrentAddress(const std::string& ifname);
// The burnt-in address, or the current one where the interface has none.
Mac PermanentAddress(const std::string& ifname);
bool IsWireless(const std::string& ifname);
bool IsConnected(const std::string& ifname);
// Queries answered through the wireless extensions: status and the answer.
std::uint32_t QuerySsid(const std::string& ifname, std::uint8_t* buffer, std::uint32_t length);
std::uint32_t QueryMode(const std::string& ifname, std::uint8_t* buffer, std::uint32_t length);

// Kernel filter for a packet filter value: destinations as a NIC would keep
// them, then KVR SNAP frames only (802.3 length field, organisation 00-07-F5).
// "" when the packet filter keeps nothing.
std::string FilterProgram(std::uint32_t filter, const Mac& current, const Mac& permanent);
// The same selection in user space, for one received frame.
bool FrameWanted(std::uint32_t filter, const Mac& current, const Mac& permanent, const std::uint8_t* frame,
                 std::size_t length);

}  // namespace kvr::zs
