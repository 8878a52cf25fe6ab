#pragma once
// Run-time access to the two shared libraries that ship beside the program:
// libzarnisupp.so (adapters, raw frames; its exports are wrapped in the
// adapter layer's ZarniLibs.h) and libzarni_utils.so (CRC-32, stopwatch,
// little-endian helpers; wrapped below). Each library is loaded by its file
// name from the library directory on the first call (dlopen with the full
// path, dlsym per export). A library that cannot be loaded, or an export it
// lacks, never crashes a caller: the wrappers return the export's failure
// value and the reason is kept as an error number plus description
// (53 = library not found, 453 = export not found). Exports may be looked up
// from several threads at once.
#include <cstdint>
#include <string>

namespace kvr {

inline constexpr const char* kZarniSuppFile = "libzarnisupp.so";
inline constexpr const char* kZarniUtilsFile = "libzarni_utils.so";

// Directory of the running executable (from /proc/self/exe), without a trailing '/'.
std::string ExecutableDirectory();

// The directory both libraries are loaded from. Default: the directory of the
// running executable. Changing it forgets (unloads) the libraries loaded so
// far, so it is done while no other thread calls into them.
void SetLibraryDirectory(const std::string& dir);
std::string LibraryDirectory();

// Why a library or export could not be used.
struct LibError {
    long number = 0;            // 0 = no error
    std::string description;
};

// The address of one export; nullptr with err filled when the library or the
// export is missing. `library` is kZarniSuppFile or kZarniUtilsFile. A failed
// load is tried again on the next call, so a library put in place later is found.
void* FindExport(const char* library, const char* exportName, LibError& err);
// The same as a yes/no answer.
bool ResolveExport(const char* library, const char* exportName, LibError& err);

// Tests: take every export from this function instead of loading the
// libraries (a null result counts as a missing export). nullptr restores loading.
using ExportResolver = void* (*)(const char* library, const char* exportName);
void SetExportResolver(ExportResolver resolver);

// The utility library's exports (the adapter layer checks these signatures
// against the library's header). Missing library or export: 0 (crc32_rgen
// leaves the word unchanged).
namespace zu {
using Crc32GenFn = std::uint32_t (*)(const std::uint8_t* data, std::int32_t length);
using Crc32RgenFn = void (*)(const std::uint8_t* data, std::int32_t length, std::uint32_t* crc);
using ElapsedMsFn = double (*)(std::uint32_t startLow, std::uint32_t startHigh);
using ElapsedMsLongIntFn = std::int64_t (*)(const std::int64_t* start);
using MakeWordFn = std::int32_t (*)(std::int32_t a, std::int32_t b);
using ByteOfFn = std::uint8_t (*)(std::int32_t x);
using MakeLongFn = std::int32_t (*)(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d);
using WordOfFn = std::int16_t (*)(std::int32_t x);

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
