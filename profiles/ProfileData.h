#pragma once
// One wireless profile as the editor holds it, the requests that read and
// write it, the reading of a device's answer into a plain record, and the
// validation of the editor's values. No windows and no I/O: the editor
// (ProfileEditor) sends what is built here.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Rids.h"

class clsPayload;
class clsSnapResponse;

namespace kvr::profiles {

// Entries of the encryption list (by position) and of the cipher list.
enum Encryption : int { kNoEncryption = 0, kWEP = 1, kWPAPSK = 2 };
enum Cipher : int { kCipherUnknown = 0, kCipherAES = 1, kCipherTKIP = 2 };
inline constexpr int kNothingSelected = -1;

// The longest texts the device's fields take.
inline constexpr std::size_t kMaxNameChars = 32;          // profile name, device name, SSID
inline constexpr std::size_t kMaxShortProxyChars = 32;    // RID_PROXY_SERVER; longer ones go as RID_PROXY_SERVER_LONG
inline constexpr std::size_t kMaxProxyServerChars = 255;  // the editor's proxy box
inline constexpr std::size_t kMaxPassphraseChars = 63;
inline constexpr std::size_t kMinPassphraseChars = 6;

// Text shown when a box holds characters outside Latin-1.
inline constexpr long kNotLatin1TextId = 3507;

enum class Control;

// What the per-profile controls of the editor hold.
struct ProfileFields {
    std::string profileName;                 // ebName
    std::string ssid;                        // ebZarnSsid
    bool adhoc = false;                      // ckZarnAdHoc
    int encryption = kNoEncryption;          // cmbEncryption
    std::string wepKey;                      // txtZarnWep
    int keyIndex = 0;                        // cbKeyIndex (0-3)
    std::string passphrase;                  // txtWpaPassphrase
    int cipher = kCipherUnknown;             // cmbCipher
    bool useProxy = false;                   // cbUseProxy
    std::string proxyServer;                 // ebProxyServer
    std::string proxyPort;                   // ebProxyPort
    bool dhcp = false;                       // cbDHCP
    std::array<std::string, 5> addresses;    // ebIPAddress, ebNetmask, ebGateway, ebDNS1, ebDNS2
    // Boxes whose text has characters the device cannot store (outside
    // Latin-1); their texts above hold '?' in their place.
    std::vector<Control> notLatin1;
};

// The address RIDs in the order of the five address boxes.
inline constexpr std::array<Rid, 5> kCurrentAddressRids{RID_IP_ADDRESS, RID_NETMASK, RID_GATEWAY, RID_DNS1,
                                                        RID_DNS2};
inline constexpr std::array<Rid, 5> kStaticAddressRids{RID_STATIC_IP_ADDRESS, RID_STATIC_NETMASK,
                                                       RID_STATIC_GATEWAY, RID_STATIC_DNS1, RID_STATIC_DNS2};

// A profile as read from the device. Every per-profile field starts empty, so
// nothing of a previously shown profile survives a read.
struct ProfileRecord {
    std::optional<std::string> deviceName;
    ProfileFields fields;                    // addresses left empty: see StaticTexts / CurrentTexts
    int activeProfile = -1;                  // -1 when not reported
    std::array<std::string, 5> currentTexts; // dotted, or "Not Available" (3496)
    std::array<std::string, 5> staticTexts;  // dotted, or empty when not reported
    bool wepKeyShownMasked = false;          // the key box shows "********" (9009): a key is set
};

// The read request of profile n, in the order the device expects.
void BuildReadRequest(clsPayload& payload, int profile);

// The write request of the editor's profile. The values must have passed
// ValidateSettings. securityWord: the device takes RID_SECURITY (and WPA-PSK).
// WEP settings go only with wepKeyChanged, WPA settings only with
// passphraseChanged.
void BuildSaveRequest(clsPayload& payload, int profile, const ProfileFields& fields, bool securityWord,
                      bool wepKeyChanged, bool passphraseChanged);

void BuildNameRequest(clsPayload& payload, const std::string& deviceName);
void BuildSetActiveRequest(clsPayload& payload, int profile);

// Reads the answer to BuildReadRequest. securityWord decides how security is
// read. Problems are logged under "frmProfiles" with the ActivateProfile prefix.
ProfileRecord ParseProfileAnswer(const clsSnapResponse& response, bool securityWord);

// The RIDs an answer refuses (RID_ERROR_STATUS blocks): refused RID and code.
std::vector<std::pair<Rid, long>> RefusedRids(const clsSnapResponse& response);

// A control the validation can turn red.
enum class Control {
    ebName, ebZarnSsid, txtZarnWep, cbKeyIndex, txtWpaPassphrase, cmbCipher, ebIPAddress, ebNetmask, ebGateway,
    ebDNS1, ebDNS2, ebProxyServer, ebProxyPort
};
// The control's object name ("ebName" ...).
const char* ControlName(Control control);

struct ValidationFailure {
    Control control;
    long labelId;             // string of the warning label
    std::string labelText;    // its text
    std::string logMessage;   // logged at WARNING after "ValidateSettings"
};

// Checks the editor's values; every failing control with its label text, in
// the order the checks run (the last one's text is what the label shows).
// Empty when the profile may be written.
std::vector<ValidationFailure> ValidateSettings(const ProfileFields& fields, bool wepKeyChanged,
                                                bool passphraseChanged);

// The proxy port text as a number: 1-5 decimal digits, nullopt otherwise.
std::optional<long> PortNumber(const std::string& text);

}  // namespace kvr::profiles
