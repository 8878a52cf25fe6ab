#include "ProfileData.h"

#include <algorithm>

#include "ByteReader.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsDiscover.h"
#include "clsPayload.h"
#include "clsSnapResponse.h"
#include "modWLAN.h"

namespace kvr::profiles {
namespace {

const ModuleLog Log("frmProfiles");
constexpr long kFixedStringField = 34;
constexpr long kProxyLongMax = 257;

// String ids of the texts read and validation use.
constexpr long kNotAvailable = 3496;

ValidationFailure Failure(Control control, long labelId, const std::string& logMessage) {
    return {control, labelId, LoadResStringWrapper(labelId), logMessage};
}

}  // namespace

void BuildReadRequest(clsPayload& payload, int profile) {
    payload.AddRID(RID_DEVICE_NAME);
    payload.AddWord(RID_PROFILE_SELECT, static_cast<std::uint16_t>(profile));
    for (Rid rid : {RID_DHCP, RID_IP_ADDRESS, RID_NETMASK, RID_GATEWAY, RID_DNS1, RID_DNS2, RID_USE_PROXY,
                    RID_PROXY_SERVER, RID_PROXY_SERVER_LONG, RID_PROXY_PORT, RID_SSID, RID_WEP_ENABLED, RID_ADHOC,
                    RID_PROFILE_NAME, RID_ACTIVE_PROFILE, RID_STATIC_IP_ADDRESS, RID_STATIC_NETMASK,
                    RID_STATIC_GATEWAY, RID_STATIC_DNS1, RID_STATIC_DNS2, RID_SECURITY, RID_WPA_PASSPHRASE,
                    RID_WPA_CIPHER, RID_WPA_CIPHER_LIST})
        payload.AddRID(rid);
}

void BuildSaveRequest(clsPayload& payload, int profile, const ProfileFields& f, bool securityWord,
                      bool wepKeyChanged, bool passphraseChanged) {
    payload.AddWord(RID_PROFILE_SELECT, static_cast<std::uint16_t>(profile));
    if (f.dhcp) {
        payload.AddBool(RID_DHCP, true);
    } else {
        payload.AddBool(RID_DHCP, false);
        for (std::size_t i = 0; i < 5; ++i) {
            const std::string text = (i == 4 && f.addresses[i].empty()) ? "0.0.0.0" : f.addresses[i];
            payload.AddIPAddr(kStaticAddressRids[i], IpAddressLong(text).value_or(0));
        }
    }
    if (f.useProxy) {
        payload.AddBool(RID_USE_PROXY, true);
        if (f.proxyServer.size() > kMaxShortProxyChars)
            payload.AddStringVarLen(RID_PROXY_SERVER_LONG, f.proxyServer, kProxyLongMax);
        else
            payload.AddString(RID_PROXY_SERVER, f.proxyServer, kFixedStringField);
        payload.AddWord(RID_PROXY_PORT, static_cast<std::uint16_t>(PortNumber(f.proxyPort).value_or(0)));
    } else {
        payload.AddBool(RID_USE_PROXY, false);
    }
    payload.AddString(RID_SSID, f.ssid, kFixedStringField);
    if (f.encryption == kWEP && wepKeyChanged) {
        if (securityWord)
            payload.AddWord(RID_SECURITY, 1);
        else
            payload.AddBool(RID_WEP_ENABLED, true);
        payload.AddWepKey(f.wepKey, static_cast<std::int16_t>(f.keyIndex));
        payload.AddWord(RID_WEP_KEY_INDEX, static_cast<std::uint16_t>(f.keyIndex));
    } else if (f.encryption == kWPAPSK && passphraseChanged) {
        payload.AddWord(RID_SECURITY, 2);
        payload.AddStringVarLen(RID_WPA_PASSPHRASE, f.passphrase, static_cast<long>(kMaxPassphraseChars));
        payload.AddWord(RID_WPA_CIPHER, f.cipher == kCipherAES ? 0 : 1);
    } else if (f.encryption == kNoEncryption) {
        if (securityWord)
            payload.AddWord(RID_SECURITY, 0);
        else
            payload.AddBool(RID_WEP_ENABLED, false);
    }
    payload.AddBool(RID_ADHOC, f.adhoc);
    payload.AddString(RID_PROFILE_NAME, f.profileName, kFixedStringField);
}

void BuildNameRequest(clsPayload& payload, const std::string& deviceName) {
    payload.AddString(RID_DEVICE_NAME, deviceName, kFixedStringField);
}

void BuildSetActiveRequest(clsPayload& payload, int profile) {
    payload.AddWord(RID_PROFILE_SELECT, static_cast<std::uint16_t>(profile));
    payload.AddWord(RID_ACTIVE_PROFILE, static_cast<std::uint16_t>(profile));
}

ProfileRecord ParseProfileAnswer(const clsSnapResponse& r, bool securityWord) {
    const std::string proc = "ActivateProfile";
    ProfileRecord rec;
    ProfileFields& f = rec.fields;
    std::string text;
    if (r.GetRIDFieldAsString(RID_DEVICE_NAME, text)) rec.deviceName = text;

    if (!r.GetRIDFieldAsString(RID_PROXY_SERVER_LONG, f.proxyServer) || f.proxyServer.empty())
        r.GetRIDFieldAsString(RID_PROXY_SERVER, f.proxyServer);
    std::int16_t word = 0;
    if (r.GetRIDFieldAsWord(RID_PROXY_PORT, word)) f.proxyPort = std::to_string(static_cast<std::uint16_t>(word));
    r.GetRIDFieldAsBool(RID_USE_PROXY, f.useProxy);
    r.GetRIDFieldAsBool(RID_DHCP, f.dhcp);
    if (r.GetRIDFieldAsWord(RID_ACTIVE_PROFILE, word)) rec.activeProfile = word;

    for (std::size_t i = 0; i < 5; ++i) {
        std::int32_t addr = 0;
        rec.currentTexts[i] = r.GetRIDFieldAsLong(kCurrentAddressRids[i], addr) ? kvr::IpLongToText(addr)
                                                                                 : LoadResStringWrapper(kNotAvailable);
        if (r.GetRIDFieldAsLong(kStaticAddressRids[i], addr)) rec.staticTexts[i] = kvr::IpLongToText(addr);
    }
    r.GetRIDFieldAsString(RID_PROFILE_NAME, f.profileName);
    r.GetRIDFieldAsString(RID_SSID, f.ssid);
    r.GetRIDFieldAsBool(RID_ADHOC, f.adhoc);

    if (!securityWord) {
        bool wep = false;
        r.GetRIDFieldAsBool(RID_WEP_ENABLED, wep);
        f.encryption = wep ? kWEP : kNoEncryption;
        rec.wepKeyShownMasked = wep;
        if (wep) f.wepKey = LoadResStringWrapper(9009);
        return rec;
    }
    if (!r.GetRIDFieldAsWord(RID_SECURITY, word)) {
        Log("Program Error: cResponse.GetRIDFieldAsWord(RID_SECURITY, w) failed.", LEVEL_ERROR, proc);
        return rec;
    }
    if (word < 0 || word > 2) {
        Log("invalid security setting returned from target: " + std::to_string(word) + ".  Disabling encryption.",
            LEVEL_ERROR, proc);
        word = 0;
    }
    if (word == 1) {
        long code = 0;
        if (r.GetRIDerrorCode(RID_WPA_PASSPHRASE, code) && code == RID_ERROR_EXISTS_UNREADABLE) {
            f.encryption = kWEP;
            rec.wepKeyShownMasked = true;
        }
    } else if (word == 2) {
        f.encryption = kWPAPSK;
        r.GetRIDFieldAsString(RID_WPA_PASSPHRASE, f.passphrase);
        std::int16_t cipher = -1;
        r.GetRIDFieldAsWord(RID_WPA_CIPHER, cipher);
        if (cipher == 0) {
            f.cipher = kCipherAES;
        } else if (cipher == 1) {
            f.cipher = kCipherTKIP;
        } else {
            Log("invalid WPA encryption type: " + std::to_string(cipher) + ".  Setting to AES...", LEVEL_ERROR, proc);
            f.cipher = kCipherAES;
        }
    }
    if (rec.wepKeyShownMasked) f.wepKey = LoadResStringWrapper(9009);
    return rec;
}

std::vector<std::pair<Rid, long>> RefusedRids(const clsSnapResponse& response) {
    std::vector<std::pair<Rid, long>> out;
    std::vector<std::uint8_t> v;
    long len = 0;
    for (long seq = 1; response.GetRIDFieldEx(RID_ERROR_STATUS, v, len, seq); ++seq) {
        ByteReader reader(v.data(), std::min(v.size(), static_cast<std::size_t>(len < 0 ? 0 : len)));
        const std::uint16_t rid = reader.U16();
        const std::uint16_t code = reader.U16();
        if (reader.Ok()) out.emplace_back(rid, code);
    }
    return out;
}

const char* ControlName(Control control) {
    switch (control) {
        case Control::ebName: return "ebName";
        case Control::ebZarnSsid: return "ebZarnSsid";
        case Control::txtZarnWep: return "txtZarnWep";
        case Control::cbKeyIndex: return "cbKeyIndex";
        case Control::txtWpaPassphrase: return "txtWpaPassphrase";
        case Control::cmbCipher: return "cmbCipher";
        case Control::ebIPAddress: return "ebIPAddress";
        case Control::ebNetmask: return "ebNetmask";
        case Control::ebGateway: return "ebGateway";
        case Control::ebDNS1: return "ebDNS1";
        case Control::ebDNS2: return "ebDNS2";
        case Control::ebProxyServer: return "ebProxyServer";
        case Control::ebProxyPort: return "ebProxyPort";
    }
    return "";
}

std::optional<long> PortNumber(const std::string& text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::vector<ValidationFailure> ValidateSettings(const ProfileFields& f, bool wepKeyChanged, bool passphraseChanged) {
    std::vector<ValidationFailure> out;
    if (f.encryption == kWEP && wepKeyChanged) {
        std::int32_t length = 0;
        std::vector<std::uint8_t> bytes;
        if (!WEPKeyAsVar(f.wepKey, length, bytes)) out.push_back(Failure(Control::txtZarnWep, 3436, "Invalid WEP Key!"));
        if (f.keyIndex < 0 || f.keyIndex > 3) out.push_back(Failure(Control::cbKeyIndex, 3437, "invalid key index!"));
    }
    if (f.encryption == kWPAPSK && passphraseChanged) {
        if (f.passphrase.size() < kMinPassphraseChars || f.passphrase.size() > kMaxPassphraseChars)
            out.push_back(Failure(Control::txtWpaPassphrase, 3499, "Invalid WPA Passphrase!"));
        // "unknown" would be sent as TKIP: a cipher has to be chosen.
        if (f.cipher != kCipherAES && f.cipher != kCipherTKIP)
            out.push_back(Failure(Control::cmbCipher, 3505, "invalid cipher selection!"));
    }
    if (!f.dhcp) {
        static constexpr Control boxes[5] = {Control::ebIPAddress, Control::ebNetmask, Control::ebGateway,
                                             Control::ebDNS1, Control::ebDNS2};
        for (std::size_t i = 0; i < 5; ++i) {
            if (i == 4 && f.addresses[i].empty()) continue;
            if (!IsValidIPAddress(f.addresses[i]))
                out.push_back(Failure(boxes[i], 3438, LoadResStringWrapper(3438)));
        }
    }
    if (f.useProxy) {
        if (f.proxyServer.empty() || f.proxyServer.size() > kMaxProxyServerChars)
            out.push_back(Failure(Control::ebProxyServer, 3440, "Invalid Proxy Settings!"));
        const long port = PortNumber(f.proxyPort).value_or(0);
        if (port < 1 || port > 65535) out.push_back(Failure(Control::ebProxyPort, 3469, "Invalid proxy port"));
    }
    if (f.profileName.empty() || f.profileName.size() > kMaxNameChars)
        out.push_back(Failure(Control::ebName, 3472, "Invalid profile name!"));
    if (f.encryption == kWEP && f.ssid.empty())
        out.push_back(Failure(Control::ebZarnSsid, 3476, "Blank SSID with WEP Enabled!"));
    if (f.ssid.size() > kMaxNameChars)
        out.push_back(Failure(Control::ebZarnSsid, 3506, "Service Set ID longer than 32 characters!"));
    // Last, so the warning label names what would otherwise reach the device as '?'.
    for (Control c : f.notLatin1)
        out.push_back(Failure(c, kNotLatin1TextId, std::string("characters outside Latin-1 in ") + ControlName(c) + "!"));
    return out;
}

}  // namespace kvr::profiles
