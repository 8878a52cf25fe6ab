#include "ZarniLibs.h"

#include <type_traits>

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

namespace zu {
static_assert(std::is_same_v<Crc32GenFn, decltype(&::crc32_gen)>);
static_assert(std::is_same_v<Crc32RgenFn, decltype(&::crc32_rgen)>);
static_assert(std::is_same_v<ElapsedMsFn, decltype(&::QueryElapsedTimeMs)>);
static_assert(std::is_same_v<ElapsedMsLongIntFn, decltype(&::QueryElapsedTimeMsLongInt)>);
static_assert(std::is_same_v<MakeWordFn, decltype(&::LeMakeWord)>);
static_assert(std::is_same_v<ByteOfFn, decltype(&::LeHiByte)>);
static_assert(std::is_same_v<ByteOfFn, decltype(&::LeLoByte)>);
static_assert(std::is_same_v<MakeLongFn, decltype(&::LeMakeLong)>);
static_assert(std::is_same_v<WordOfFn, decltype(&::LeHiWord)>);
static_assert(std::is_same_v<WordOfFn, decltype(&::LeLoWord)>);
}  // namespace zu

namespace {

template <typename Fn>
Fn Supp(const char* name) {
    LibError err;
    return reinterpret_cast<Fn>(FindExport(kZarniSuppFile, name, err));
}

}  // namespace

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
    } catch (...) {
        kvr::LogTrappedError(Log, "CheckDll");
    }
    return false;
}
