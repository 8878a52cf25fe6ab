#pragma once
// The adapter library libzarnisupp.so as the main program calls it: its
// exports, loaded at run time through the program's one library loader
// (LibraryLoader.h: library directory, error numbers, test resolver).
#include <cstdint>
#include <string>

#include "LibraryLoader.h"

namespace kvr {

// The signatures of the exports, as the libraries define them.
namespace zs {
using GetVersionFn = std::int32_t (*)();
using ScanFn = std::int32_t (*)(std::int32_t* count, std::int32_t waitForDriver);
using GetTextFn = std::int32_t (*)(std::int32_t index, char* buffer, std::int32_t size);
using GetFlagFn = std::int32_t (*)(std::int32_t index, std::int32_t* value);
using GetMacFn = std::int32_t (*)(std::int32_t index, std::uint8_t* address);
using IndexFn = std::int32_t (*)(std::int32_t index);
using SetValueFn = std::int32_t (*)(std::int32_t index, std::int32_t value);
using SetWepFn = std::int32_t (*)(std::int32_t index, std::int32_t keyIndex, std::int32_t keyLength,
                                  const std::uint8_t* key);
using GetSsidFn = std::int32_t (*)(std::int32_t index, std::int32_t* length, std::uint8_t* ssid);
using SetSsidFn = std::int32_t (*)(std::int32_t index, std::int32_t length, const std::uint8_t* ssid);
using ReceiveFn = std::int32_t (*)(std::int32_t index, std::int32_t* noFrame, std::int32_t* frameLength,
                                   std::uint8_t* frame);
using SendFn = std::int32_t (*)(std::int32_t index, std::int32_t frameLength, const std::uint8_t* frame);
using WaitFn = std::int32_t (*)(std::int32_t index, std::int32_t timeoutMs);

// The adapter library's exports used by the main program. Each returns 0 when
// the library or the export is missing.
std::int32_t GetVersion();
std::int32_t ScanForEthernetAdapters(std::int32_t* count, std::int32_t waitForDriver);
std::int32_t GetAdapterDesc(std::int32_t index, char* buffer, std::int32_t size);
std::int32_t GetAdapterName(std::int32_t index, char* buffer, std::int32_t size);
std::int32_t IsWlanAdapter(std::int32_t index, std::int32_t* value);
std::int32_t IsAdapterConnected(std::int32_t index, std::int32_t* value);
std::int32_t HasAdapterIP(std::int32_t index, std::int32_t* value);
std::int32_t GetAdapterMacAddress(std::int32_t index, std::uint8_t* address);
std::int32_t OpenAdapter(std::int32_t index);
std::int32_t CloseAdapter(std::int32_t index);
std::int32_t IsOpen(std::int32_t index);
std::int32_t GetSSID(std::int32_t index, std::int32_t* length, std::uint8_t* ssid);
std::int32_t ReceiveRawPacket(std::int32_t index, std::int32_t* noFrame, std::int32_t* frameLength,
                              std::uint8_t* frame);
std::int32_t SendRawPacket(std::int32_t index, std::int32_t frameLength, const std::uint8_t* frame);
// Returns when a frame may be ready or timeoutMs has passed (1 = maybe ready,
// 0 = time up or failure).
std::int32_t WaitForRawPacket(std::int32_t index, std::int32_t timeoutMs);
}  // namespace zs

}  // namespace kvr

// True when both libraries can be called (LeMakeWord and ZARNISUPP_GetVersion
// resolve and return). Otherwise logs "Error #<n>: <description> in CheckDll"
// at ERROR under "modZarni" and returns false.
bool CheckDll();
