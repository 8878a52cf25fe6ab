#include "AdapterTestSupport.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace kvr::test {
namespace {

FakeSupp g_fake;

bool Valid(std::int32_t i) { return i >= 0 && static_cast<std::size_t>(i) < g_fake.adapters.size(); }

std::int32_t GetVersion() { return 0x00010032; }
std::int32_t Scan(std::int32_t* count, std::int32_t wait) {
    g_fake.scanWaits.push_back(wait);
    bool ok = true;
    if (!g_fake.scanResults.empty()) {
        ok = g_fake.scanResults.front();
        g_fake.scanResults.pop_front();
    }
    std::int32_t n = static_cast<std::int32_t>(g_fake.adapters.size());
    if (!g_fake.scanCounts.empty()) {
        n = g_fake.scanCounts.front();
        g_fake.scanCounts.pop_front();
    }
    if (!ok) return 0;
    *count = n;
    return 1;
}
std::int32_t CopyText(const std::string& s, char* buffer, std::int32_t size) {
    if (!buffer || size < 512) return 0;
    std::memcpy(buffer, s.c_str(), s.size() + 1);
    return 1;
}
std::int32_t GetDesc(std::int32_t i, char* b, std::int32_t n) {
    if (!Valid(i) || g_fake.adapters[static_cast<std::size_t>(i)].descFails) return 0;
    return CopyText(g_fake.adapters[static_cast<std::size_t>(i)].desc, b, n);
}
std::int32_t GetName(std::int32_t i, char* b, std::int32_t n) {
    if (!Valid(i)) return 0;
    return CopyText(g_fake.adapters[static_cast<std::size_t>(i)].name, b, n);
}
std::int32_t IsWlan(std::int32_t i, std::int32_t* v) {
    if (!Valid(i)) return 0;
    *v = g_fake.adapters[static_cast<std::size_t>(i)].wireless;
    return 1;
}
std::int32_t IsConnected(std::int32_t i, std::int32_t* v) {
    if (!Valid(i) || g_fake.adapters[static_cast<std::size_t>(i)].connectFails) return 0;
    *v = g_fake.adapters[static_cast<std::size_t>(i)].connected;
    return 1;
}
std::int32_t HasIp(std::int32_t i, std::int32_t* v) {
    if (!Valid(i) || g_fake.adapters[static_cast<std::size_t>(i)].ipFails) return 0;
    *v = g_fake.adapters[static_cast<std::size_t>(i)].hasIp;
    return 1;
}
std::int32_t GetMac(std::int32_t i, std::uint8_t* a) {
    if (!Valid(i) || g_fake.adapters[static_cast<std::size_t>(i)].macFails) return 0;
    std::memcpy(a, g_fake.adapters[static_cast<std::size_t>(i)].mac, 6);
    return 1;
}
std::int32_t Open(std::int32_t i) {
    if (!Valid(i) || g_fake.adapters[static_cast<std::size_t>(i)].openFails) return 0;
    g_fake.adapters[static_cast<std::size_t>(i)].open = true;
    return 1;
}
std::int32_t Close(std::int32_t i) {
    if (!Valid(i)) return 0;
    g_fake.adapters[static_cast<std::size_t>(i)].open = false;
    return 1;
}
std::int32_t GetSsid(std::int32_t i, std::int32_t* len, std::uint8_t* ssid) {
    if (!Valid(i)) return 0;
    const std::string& s = g_fake.adapters[static_cast<std::size_t>(i)].ssid;
    *len = static_cast<std::int32_t>(s.size());
    std::memcpy(ssid, s.data(), s.size());
    return 1;
}
std::int32_t Receive(std::int32_t, std::int32_t* noFrame, std::int32_t* len, std::uint8_t* frame) {
    ++g_fake.receiveCalls;
    if (g_fake.receiveFails) {
        errno = 9;
        return 0;
    }
    if (g_fake.rx.empty()) {
        *noFrame = 1;
        *len = 0;
        return 1;
    }
    const auto f = g_fake.rx.front();
    g_fake.rx.pop_front();
    *noFrame = 0;
    *len = static_cast<std::int32_t>(f.size());
    if (!f.empty()) std::memcpy(frame, f.data(), f.size());
    return 1;
}
std::int32_t Send(std::int32_t, std::int32_t len, const std::uint8_t* frame) {
    if (g_fake.sendFails) {
        errno = 100;
        return 0;
    }
    g_fake.sent.emplace_back(frame, frame + len);
    return 1;
}
std::int32_t Wait(std::int32_t, std::int32_t) {
    ++g_fake.waitCalls;
    return 0;  // time up at once: the caller sleeps the window out on its clock
}

void* Resolver(const char* library, const char* name) {
    if (std::strcmp(library, kZarniSuppFile) != 0) return nullptr;
    struct Entry {
        const char* name;
        void* fn;
    };
    static const Entry kTable[] = {
        {"ZARNISUPP_GetVersion", reinterpret_cast<void*>(&GetVersion)},
        {"ZARNISUPP_ScanForEthernetAdapters", reinterpret_cast<void*>(&Scan)},
        {"ZARNISUPP_GetAdapterDesc", reinterpret_cast<void*>(&GetDesc)},
        {"ZARNISUPP_GetAdapterName", reinterpret_cast<void*>(&GetName)},
        {"ZARNISUPP_IsWlanAdapter", reinterpret_cast<void*>(&IsWlan)},
        {"ZARNISUPP_IsAdapterConnected", reinterpret_cast<void*>(&IsConnected)},
        {"ZARNISUPP_HasAdapterIP", reinterpret_cast<void*>(&HasIp)},
        {"ZARNISUPP_GetAdapterMacAddress", reinterpret_cast<void*>(&GetMac)},
        {"ZARNISUPP_OpenAdapter", reinterpret_cast<void*>(&Open)},
        {"ZARNISUPP_CloseAdapter", reinterpret_cast<void*>(&Close)},
        {"ZARNISUPP_GetSSID", reinterpret_cast<void*>(&GetSsid)},
        {"ZARNISUPP_ReceiveRawPacket", reinterpret_cast<void*>(&Receive)},
        {"ZARNISUPP_SendRawPacket", reinterpret_cast<void*>(&Send)},
        {"ZARNISUPP_WaitForRawPacket", reinterpret_cast<void*>(&Wait)},
    };
    for (const auto& e : kTable)
        if (std::strcmp(e.name, name) == 0) return e.fn;
    return nullptr;
}

}  // namespace

FakeSupp& Fake() { return g_fake; }

void UseFakeSupp() {
    g_fake = FakeSupp{};
    SetExportResolver(&Resolver);
    ResetZarniSuppModule();
}

void UseRealLibraries() {
    SetExportResolver(nullptr);
    ResetZarniSuppModule();
}

std::vector<std::uint8_t> DeviceFrame(int version, const std::uint8_t dst[6], const std::uint8_t src[6],
                                      std::uint8_t frameType, std::uint16_t label, std::uint8_t status,
                                      const std::vector<std::uint8_t>& payload) {
    kvr::SnapFrame f;
    std::copy(src, src + 6, f.sender.begin());
    f.version = static_cast<std::int16_t>(version);
    f.frameType = frameType;
    f.label = static_cast<std::int16_t>(label);
    f.status = status;
    f.payload = payload;
    kvr::MacAddress destination{};
    std::copy(dst, dst + 6, destination.begin());
    std::vector<std::uint8_t> bytes;
    if (!kvr::BuildSnapFrame(destination, f, bytes)) throw std::invalid_argument("the frame codec refused a test frame");
    return bytes;
}

}  // namespace kvr::test
