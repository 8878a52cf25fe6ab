#include "clsNICpool.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <new>

#include "basDebug.h"
#include "HexText.h"
#include "modZarniSupp.h"
#include "RunTimeError.h"
#include "ZarniLibs.h"

namespace {

const kvr::ModuleLog Log("clsNICpool");

constexpr std::int32_t kTextBufferSize = 1025;  // the library is told 1024
constexpr std::int32_t kSsidBufferSize = 33;

void LogTrapped(const char* procedure) { kvr::LogTrappedError(Log, procedure); }

// The library's NUL-terminated text; "" when it starts with NUL. The buffer is
// one byte longer than the library may fill, so a terminator is always there.
std::string BufferText(const std::vector<char>& buffer) {
    const void* nul = std::memchr(buffer.data(), '\0', buffer.size());
    const char* end = nul ? static_cast<const char*>(nul) : buffer.data() + buffer.size();
    return std::string(buffer.data(), end);
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

std::int32_t clsNICpool::BuildNicPool() {
    static const std::string name = "BuildNicPool";
    std::int32_t count = 0;
    try {
        while (!colNIC.empty()) colNIC.erase(colNIC.begin());
        const std::int32_t n = GetNumAdapters();
        if (n < 1) Log(name + ": the number of network adapters is reported to be " + std::to_string(n), kvr::LEVEL_ERROR);

        for (std::int32_t i = 0; i < n; ++i) {
            try {
                auto nic = std::make_shared<clsNIC>();

                std::vector<char> buffer(kTextBufferSize, '\0');
                if (kvr::zs::GetAdapterName(i, buffer.data(), kTextBufferSize - 1) != 0) nic->Caption = BufferText(buffer);
                nic->AdapterTypeID = 0;

                std::vector<char> descBuffer(kTextBufferSize, '\0');
                if (kvr::zs::GetAdapterDesc(i, descBuffer.data(), kTextBufferSize - 1) != 0)
                    nic->Name = BufferText(descBuffer);
                else
                    Log(name + ": ZARNISUPP_GetAdapterDesc failed!", kvr::LEVEL_ERROR);

                std::int32_t value = 0;
                if (kvr::zs::IsAdapterConnected(i, &value) != 0) nic->ConnectStatus = value;

                std::array<std::uint8_t, 6> mac{};
                if (kvr::zs::GetAdapterMacAddress(i, mac.data()) != 0) nic->MAC = kvr::MacText(mac.data());

                value = 0;
                if (kvr::zs::HasAdapterIP(i, &value) != 0)
                    nic->HasIP = value != 0;
                else
                    Log(name + ": ZARNISUPP_HasAdapterIP failed for NicNum ");

                value = 0;
                if (kvr::zs::IsWlanAdapter(i, &value) != 0) {
                    nic->IsWireless = value != 0;
                    if (nic->IsWireless) {
                        std::array<std::uint8_t, kSsidBufferSize> ssid{};
                        std::int32_t length = 0;
                        if (kvr::zs::GetSSID(i, &length, ssid.data()) != 0 && length > 0) {
                            // The library reports at most 32 bytes; never trust more.
                            const auto len = static_cast<std::size_t>(std::min<std::int32_t>(length, kSsidBufferSize - 1));
                            nic->SSID.assign(reinterpret_cast<const char*>(ssid.data()), len);
                        }
                    }
                }
                if (nic->IsWireless) {
                    bWNicPresent = true;
                    sWNicName = nic->Name;
                    bIpOnWNic = nic->HasIP;
                }

                if (!VerifyRawNdisSupport(*nic)) {
                    Log(name + ": VerifyNicSupport failed (caption = '" + nic->Caption + "', name = '" + nic->Name + "').",
                        kvr::LEVEL_WARNING);
                    continue;
                }
                Log(name + ": NIC #" + std::to_string(count) + " found: " + Quoted(nic->Name), kvr::LEVEL_WATCH);
                Log("   Caption=" + Quoted(nic->Caption), kvr::LEVEL_WATCH);
                Log("   MAC=" + nic->MAC, kvr::LEVEL_WATCH);
                Log("   Connected=" + std::to_string(nic->ConnectStatus) + ", " + "AdapterTypeID=" +
                        std::to_string(nic->AdapterTypeID) + ", " + "IP enabled=" + kvr::BoolText(nic->HasIP) + ", " +
                        "Wireless=" + kvr::BoolText(nic->IsWireless) + ", " + "SSID=" + Quoted(nic->SSID),
                    kvr::LEVEL_WATCH);
                Log(name + ": Adding NIC #" + std::to_string(count) + " (" + Quoted(nic->Name) + ") to adapter list.",
                    kvr::LEVEL_WATCH);
                ++count;
                colNIC.push_back(std::move(nic));
            } catch (...) {
                // One adapter that cannot be described must not cost the others.
                LogTrapped("BuildNicPool");
            }
        }
    } catch (...) {
        LogTrapped("BuildNicPool");
    }
    return count;
}

std::int32_t clsNICpool::GetNicCount() const { return static_cast<std::int32_t>(colNIC.size()); }

std::int32_t clsNICpool::GetWiredNicCountWithIP() const {
    std::int32_t n = 0;
    for (const auto& nic : colNIC)
        if (!nic->IsWireless && nic->HasIP) ++n;
    return n;
}

std::shared_ptr<clsNIC> clsNICpool::GetWNic() const {
    std::shared_ptr<clsNIC> last;
    for (const auto& nic : colNIC)
        if (nic->IsWireless) last = nic;
    return last;
}

bool clsNICpool::VerifyRawNdisSupport(const clsNIC& nic) {
    bool result = false;
    try {
        std::int32_t handle = OpenNdisRaw();
        if (handle != -1) result = OpenNdisDeviceByDesc(handle, nic.Name);
        CloseNdisRaw(handle);
    } catch (...) {
        LogTrapped("VerifyRawNdisSupport");
    }
    return result;
}

clsNICpool& NicPool() {
    static clsNICpool pool;
    return pool;
}
