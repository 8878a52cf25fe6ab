#include "clsWLAN.h"

#include <algorithm>
#include <array>

#include "basUtils.h"
#include "basDebug.h"
#include "modZarniSupp.h"

namespace {

const kvr::ModuleLog Log("clsWLAN");
constexpr std::size_t kSsidBuffer = 33;
constexpr std::size_t kMaxSsid = 32;

clsWLAN::WepKeyConverter& Converter() {
    static clsWLAN::WepKeyConverter c;
    return c;
}

}  // namespace

void clsWLAN::SetWepKeyConverter(WepKeyConverter converter) { Converter() = std::move(converter); }

bool clsWLAN::GetWNICSettings(std::int32_t hNIC) {
    SSID.clear();
    WEP.clear();
    Encryption = -1;
    Infrastructure = -1;
    wepIndex = 0;

    std::vector<std::uint8_t> buffer(kSsidBuffer, 0);
    std::int32_t length = 0;
    if (!GetSSID(hNIC, length, buffer)) return false;
    const std::size_t n = length < 0 ? 0 : std::min(static_cast<std::size_t>(length), buffer.size());
    SSID.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    if (!GetInfrastructureMode(hNIC, Infrastructure)) return false;
    return GetEncryptionStatus(hNIC, Encryption);
}

bool clsWLAN::SetWLANSettings(std::int32_t hNIC) {
    if (SSID.size() > kMaxSsid) {
        Log("the SSID '" + SSID + "' is longer than " + std::to_string(kMaxSsid) + " characters.", kvr::LEVEL_ERROR,
            "SetWLANSettings");
        return false;
    }
    std::vector<std::uint8_t> buffer(kSsidBuffer, 0);
    for (std::size_t i = 0; i < SSID.size(); ++i) buffer[i] = static_cast<std::uint8_t>(SSID[i]);
    if (!SetSSID(hNIC, static_cast<std::int32_t>(SSID.size()), buffer)) return false;
    if (!SetInfrastructureMode(hNIC, Infrastructure)) return false;
    if (!SetEncryptionStatus(hNIC, Encryption)) return false;
    if (Encryption == 0) {
        std::int32_t keyLength = 0;
        std::vector<std::uint8_t> key;
        if (Converter() && Converter()(WEP, keyLength, key))
            (void)SetWEP(hNIC, wepIndex, keyLength, key);
    }
    return true;
}

void clsWLAN::Clone(clsWLAN& target) const {
    target.SSID = SSID;
    target.WEP = WEP;
    target.wepIndex = wepIndex;
    target.Infrastructure = Infrastructure;
    target.Encryption = Encryption;
}

std::string clsWLAN::GetWEPModeTxt() const { return LoadResStringWrapper(Encryption != 0 ? 9011 : 9010); }

std::string clsWLAN::GetConnectionModeTxt() const { return LoadResStringWrapper(Infrastructure != 0 ? 9013 : 9012); }
