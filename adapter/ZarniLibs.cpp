#include "ZarniLibs.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <exception>
#include <type_traits>
#include <unordered_map>

#include "RunTimeError.h"
#include "basDebug.h"
#include "zarni_utils.h"
#include "zarnisupp.h"

namespace kvr {

// Our call signatures must be the libraries' own.
namespace zs {
static_assert(std::is_same_v<GetVersionFn, decltype(&ZARNISUPP_GetVersion)>);
static_assert(std::is_same_v<ScanFn, decltype(&ZARNISUPP_ScanForEthernetAdapters)>);
static_assert(std::is_same_v<GetTextFn, decltype(&ZARNISUPP_GetAdapterDesc)>);
static_assert(std::is_same_v<GetTextFn, decltype(&ZARNISUPP_GetAdapterName)>);
static_assert(std::is_same_v<GetFlagFn, decltype(&ZARNISUPP_IsWlanAdapter)>);
static_assert(std::is_same_v<GetFlagFn, decltype(&ZARNISUPP_IsAdapterConnected)>);
static_assert(std::is_same_v<GetFlagFn, decltype(&ZARNISUPP_HasAdapterIP)>);
static_assert(std::is_same_v<GetMacFn, decltype(&ZARNISUPP_GetAdapterMacAddress)>);
static_assert(std::is_same_v<IndexFn, decltype(&ZARNISUPP_OpenAdapter)>);
static_assert(std::is_same_v<IndexFn, decltype(&ZARNISUPP_CloseAdapter)>);
static_assert(std::is_same_v<IndexFn, decltype(&ZARNISUPP_IsOpen)>);
static_assert(std::is_same_v<GetSsidFn, decltype(&ZARNISUPP_GetSSID)>);
static_assert(std::is_same_v<ReceiveFn, decltype(&ZARNISUPP_ReceiveRawPacket)>);
static_assert(std::is_same_v<SendFn, decltype(&ZARNISUPP_SendRawPacket)>);
static_assert(std::is_same_v<WaitFn, decltype(&ZARNISUPP_WaitForRawPacket)>);
}  // namespace zs

namespace {

// The error numbers the program's trap handlers report for a library problem.
constexpr long kErrFileNotFound = 53;
constexpr long kErrEntryPointNotFound = 453;

std::string ExecutableDirectory() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

struct Library {
    const char* file;
    void* handle = nullptr;
    std::string loadError;  // dlerror() text of the last failed load
    // Resolved exports; a null value remembers an export the library lacks.
    std::unordered_map<std::string, void*> exports;
};

struct State {
    bool dirSet = false;
    std::string dir;
    Library supp{kZarniSuppFile};
    Library utils{kZarniUtilsFile};
};

State& S() {
    static State s;
    return s;
}

const std::string& Dir() {
    State& s = S();
    if (!s.dirSet) {
        s.dir = ExecutableDirectory();
        s.dirSet = true;
    }
    return s.dir;
}

std::string FullPath(const char* file) {
    const std::string& d = Dir();
    if (!d.empty() && d.back() == '/') return d + file;
    return d + "/" + file;
}

void Forget(Library& lib) {
    if (lib.handle) ::dlclose(lib.handle);
    lib.handle = nullptr;
    lib.loadError.clear();
    lib.exports.clear();
}

Library* Find(const char* library) {
    State& s = S();
    if (std::strcmp(library, kZarniSuppFile) == 0) return &s.supp;
    if (std::strcmp(library, kZarniUtilsFile) == 0) return &s.utils;
    return nullptr;
}

// Loads the library when it is not loaded yet; a failed load is tried again on
// the next call, so a library put in place later is found.
bool Load(Library& lib, LibError& err) {
    if (lib.handle) return true;
    const std::string path = FullPath(lib.file);
    ::dlerror();
    lib.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib.handle) {
        const char* why = ::dlerror();
        lib.loadError = why ? why : "cannot be loaded";
        err.number = kErrFileNotFound;
        err.description = "File not found: " + path + " (" + lib.loadError + ")";
        return false;
    }
    return true;
}

ExportResolver g_resolver = nullptr;

void* Resolve(Library& lib, const char* name, LibError& err) {
    if (g_resolver) {
        void* sym = g_resolver(lib.file, name);
        if (!sym) {
            err.number = kErrEntryPointNotFound;
            err.description = std::string("Can't find DLL entry point ") + name + " in " + lib.file;
        }
        return sym;
    }
    if (!Load(lib, err)) return nullptr;
    auto it = lib.exports.find(name);
    void* sym = nullptr;
    if (it != lib.exports.end()) {
        sym = it->second;
    } else {
        ::dlerror();
        sym = ::dlsym(lib.handle, name);
        lib.exports.emplace(name, sym);
    }
    if (!sym) {
        err.number = kErrEntryPointNotFound;
        err.description = std::string("Can't find DLL entry point ") + name + " in " + FullPath(lib.file);
    }
    return sym;
}

template <typename Fn>
Fn Supp(const char* name) {
    LibError err;
    return reinterpret_cast<Fn>(Resolve(S().supp, name, err));
}

template <typename Fn>
Fn Utils(const char* name) {
    LibError err;
    return reinterpret_cast<Fn>(Resolve(S().utils, name, err));
}

}  // namespace

void SetLibraryDirectory(const std::string& dir) {
    State& s = S();
    Forget(s.supp);
    Forget(s.utils);
    s.dir = dir;
    s.dirSet = true;
}

std::string LibraryDirectory() { return Dir(); }

void SetExportResolver(ExportResolver resolver) { g_resolver = resolver; }

bool ResolveExport(const char* library, const char* exportName, LibError& err) {
    err = {};
    Library* lib = Find(library);
    if (!lib) {
        err.number = kErrFileNotFound;
        err.description = std::string("File not found: ") + (library ? library : "");
        return false;
    }
    return Resolve(*lib, exportName, err) != nullptr;
}

namespace zs {

std::int32_t GetVersion() {
    auto f = Supp<GetVersionFn>("ZARNISUPP_GetVersion");
    return f ? f() : 0;
}
std::int32_t ScanForEthernetAdapters(std::int32_t* count, std::int32_t waitForDriver) {
    auto f = Supp<ScanFn>("ZARNISUPP_ScanForEthernetAdapters");
    return f ? f(count, waitForDriver) : 0;
}
std::int32_t GetAdapterDesc(std::int32_t index, char* buffer, std::int32_t size) {
    auto f = Supp<GetTextFn>("ZARNISUPP_GetAdapterDesc");
    return f ? f(index, buffer, size) : 0;
}
std::int32_t GetAdapterName(std::int32_t index, char* buffer, std::int32_t size) {
    auto f = Supp<GetTextFn>("ZARNISUPP_GetAdapterName");
    return f ? f(index, buffer, size) : 0;
}
std::int32_t IsWlanAdapter(std::int32_t index, std::int32_t* value) {
    auto f = Supp<GetFlagFn>("ZARNISUPP_IsWlanAdapter");
    return f ? f(index, value) : 0;
}
std::int32_t IsAdapterConnected(std::int32_t index, std::int32_t* value) {
    auto f = Supp<GetFlagFn>("ZARNISUPP_IsAdapterConnected");
    return f ? f(index, value) : 0;
}
std::int32_t HasAdapterIP(std::int32_t index, std::int32_t* value) {
    auto f = Supp<GetFlagFn>("ZARNISUPP_HasAdapterIP");
    return f ? f(index, value) : 0;
}
std::int32_t GetAdapterMacAddress(std::int32_t index, std::uint8_t* address) {
    auto f = Supp<GetMacFn>("ZARNISUPP_GetAdapterMacAddress");
    return f ? f(index, address) : 0;
}
std::int32_t OpenAdapter(std::int32_t index) {
    auto f = Supp<IndexFn>("ZARNISUPP_OpenAdapter");
    return f ? f(index) : 0;
}
std::int32_t CloseAdapter(std::int32_t index) {
    auto f = Supp<IndexFn>("ZARNISUPP_CloseAdapter");
    return f ? f(index) : 0;
}
std::int32_t IsOpen(std::int32_t index) {
    auto f = Supp<IndexFn>("ZARNISUPP_IsOpen");
    return f ? f(index) : 0;
}
std::int32_t GetSSID(std::int32_t index, std::int32_t* length, std::uint8_t* ssid) {
    auto f = Supp<GetSsidFn>("ZARNISUPP_GetSSID");
    return f ? f(index, length, ssid) : 0;
}
std::int32_t ReceiveRawPacket(std::int32_t index, std::int32_t* noFrame, std::int32_t* frameLength,
                              std::uint8_t* frame) {
    auto f = Supp<ReceiveFn>("ZARNISUPP_ReceiveRawPacket");
    return f ? f(index, noFrame, frameLength, frame) : 0;
}
std::int32_t SendRawPacket(std::int32_t index, std::int32_t frameLength, const std::uint8_t* frame) {
    auto f = Supp<SendFn>("ZARNISUPP_SendRawPacket");
    return f ? f(index, frameLength, frame) : 0;
}
std::int32_t WaitForRawPacket(std::int32_t index, std::int32_t timeoutMs) {
    auto f = Supp<WaitFn>("ZARNISUPP_WaitForRawPacket");
    return f ? f(index, timeoutMs) : 0;
}

}  // namespace zs

namespace zu {

std::uint32_t crc32_gen(const std::uint8_t* data, std::int32_t length) {
    auto f = Utils<decltype(&::crc32_gen)>("crc32_gen");
    return f ? f(data, length) : 0;
}
void crc32_rgen(const std::uint8_t* data, std::int32_t length, std::uint32_t* crc) {
    auto f = Utils<decltype(&::crc32_rgen)>("crc32_rgen");
    if (f) f(data, length, crc);
}
double QueryElapsedTimeMs(std::uint32_t startLow, std::uint32_t startHigh) {
    auto f = Utils<decltype(&::QueryElapsedTimeMs)>("QueryElapsedTimeMs");
    return f ? f(startLow, startHigh) : 0.0;
}
std::int64_t QueryElapsedTimeMsLongInt(const std::int64_t* start) {
    auto f = Utils<decltype(&::QueryElapsedTimeMsLongInt)>("QueryElapsedTimeMsLongInt");
    return f ? f(start) : 0;
}
std::int32_t LeMakeWord(std::int32_t a, std::int32_t b) {
    auto f = Utils<decltype(&::LeMakeWord)>("LeMakeWord");
    return f ? f(a, b) : 0;
}
std::uint8_t LeHiByte(std::int32_t x) {
    auto f = Utils<decltype(&::LeHiByte)>("LeHiByte");
    return f ? f(x) : 0;
}
std::uint8_t LeLoByte(std::int32_t x) {
    auto f = Utils<decltype(&::LeLoByte)>("LeLoByte");
    return f ? f(x) : 0;
}
std::int32_t LeMakeLong(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) {
    auto f = Utils<decltype(&::LeMakeLong)>("LeMakeLong");
    return f ? f(a, b, c, d) : 0;
}
std::int16_t LeHiWord(std::int32_t x) {
    auto f = Utils<decltype(&::LeHiWord)>("LeHiWord");
    return f ? f(x) : 0;
}
std::int16_t LeLoWord(std::int32_t x) {
    auto f = Utils<decltype(&::LeLoWord)>("LeLoWord");
    return f ? f(x) : 0;
}

}  // namespace zu

}  // namespace kvr

bool CheckDll() {
    static const kvr::ModuleLog Log("modZarni");
    try {
        kvr::LibError err;
        if (!kvr::ResolveExport(kvr::kZarniUtilsFile, "LeMakeWord", err)) throw RunTimeError(err.number, err.description);
        (void)kvr::zu::LeMakeWord(1, 2);
        if (!kvr::ResolveExport(kvr::kZarniSuppFile, "ZARNISUPP_GetVersion", err))
            throw RunTimeError(err.number, err.description);
        (void)kvr::zs::GetVersion();
        return true;
    } catch (const RunTimeError& e) {
        Log(FormatTrappedError(e.Number(), e.Description(), "CheckDll"), kvr::LEVEL_ERROR);
    } catch (const std::exception& e) {
        Log(FormatTrappedError(5, e.what(), "CheckDll"), kvr::LEVEL_ERROR);
    }
    return false;
}
