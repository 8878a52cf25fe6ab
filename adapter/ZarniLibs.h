#pragma once
// Run-time access to the two shared libraries that ship beside the program:
// libzarnisupp.so (adapters, raw frames) and libzarni_utils.so (CRC-32,
// stopwatch, little-endian helpers). Each library is loaded by its file name
// from the library directory on the first call (dlopen with the full path,
// dlsym per export). A library that cannot be loaded, or an export it lacks,
// never crashes a caller: the wrappers below return the export's failure value
// (0 for the adapter library) and the reason is kept as an error number plus
// description (53 = library not found, 453 = export not found).
#include <cstdint>
#include <string>

namespace kvr {

inline constexpr const char* kZarniSuppFile = "libzarnisupp.so";
inline constexpr const char* kZarniUtilsFile = "libzarni_utils.so";

// The directory both libraries are loaded from. Default: the directory of the
// running executable. Changing it forgets the libraries loaded so far.
void SetLibraryDirectory(const std::string& dir);
std::string LibraryDirectory();

// Why a library or export could not be used.
struct LibError {
    long number = 0;            // 0 = no error
    std::string description;
};

// Resolves one export; false with err filled when the library or the export is
// missing. `library` is kZarniSuppFile or kZarniUtilsFile.
bool ResolveExport(const char* library, const char* exportName, LibError& err);

// Tests: take every export from this function instead of loading the
// libraries (a null result counts as a missing export). nullptr restores loading.
using ExportResolver = void* (*)(const char* library, const char* exportName);
void SetExportResolver(ExportResolver resolver);

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

// The utility library's exports. Missing library or export: 0 (crc32_rgen
// leaves the word unchanged).
namespace zu {
std::uint32_t crc32_gen(const std::uint8_t* data, std::int32_t length);
void crc32_rgen(const std::uint8_t* data, std::int32_t length, std::uint32_t* crc);
double QueryElapsedTimeMs(std::uint32_t startLow, std::uint32_t startHigh);
std::int64_t QueryElapsedTimeMsLongInt(const std::int64_t* start);
std::int32_t LeMakeWord(std::int32_t a, std::int32_t b);
std::uint8_t LeHiByte(std::int32_t x);
std::uint8_t LeLoByte(std::int32_t x);
std::int32_t LeMakeLong(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d);
std::int16_t LeHiWord(std::int32_t x);
std::int16_t LeLoWord(std::int32_t x);
}  // namespace zu

}  // namespace kvr

// True when both libraries can be called (LeMakeWord and ZARNISUPP_GetVersion
// resolve and return). Otherwise logs "Error #<n>: <description> in CheckDll"
// at ERROR under "modZarni" and returns false.
bool CheckDll();
