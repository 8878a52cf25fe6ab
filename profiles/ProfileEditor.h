#pragma once
// The profile editor as logic: the profile shown, the change flags, busy and
// ready, the four exchanges with the device (read a profile, write it, rename
// the device, make a profile active), the validation and the state of every
// control. frmProfiles is a thin window over it: it copies its controls into
// `fields` (and `deviceName`), calls the matching handler, and redraws from
// the model when onChanged fires.
//
// The device is reached through ProfileExchange, so the logic runs without
// windows: the program sends through the command progress dialog, tests
// straight through the transport.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ProfileData.h"

class clsPayload;
class clsSnapResponse;
class clsZarn;

namespace kvr::profiles {

// Sends one request to the device. frameType is SNAP_KIND_READ_REQUEST or
// SNAP_KIND_WRITE_REQUEST; attempts 0 uses the transport's normal retries,
// more sends that many attempts waiting retryIntervalS for each ACK; title
// names the exchange for the user. True, with the device's answer in
// `response`, when the device answered.
class ProfileExchange {
public:
    virtual ~ProfileExchange() = default;
    virtual bool Send(clsZarn& zarn, clsPayload& payload, std::uint8_t frameType, const std::string& title,
                      long attempts, float retryIntervalS, std::shared_ptr<clsSnapResponse>& response) = 0;
};

// The exchange without a window: the command exchange the command dialog
// runs (adapter opened for the request, the send, the one-second pause).
class CommandProfileExchange : public ProfileExchange {
public:
    bool Send(clsZarn& zarn, clsPayload& payload, std::uint8_t frameType, const std::string& title, long attempts,
              float retryIntervalS, std::shared_ptr<clsSnapResponse>& response) override;
};

// What each control shows: enabled, locked (read-only) or visible.
struct ControlStates {
    bool txtZarnWep = false, cbKeyIndex = false;        // enabled while "WEP" is chosen
    bool txtWpaPassphrase = false, cmbCipher = false;   // enabled while "WPA-PSK" is chosen
    bool fraWEP = false, fraWPA = false;                // visible
    bool ebProxyServer = false, ebProxyPort = false;    // enabled while the proxy is used
    bool addressBoxes = false;                          // enabled without DHCP
    bool ckZarnAdHoc = true, cmbEncryption = true;      // enabled
    bool cbActive = false;                              // enabled
    bool readOnly = false;  // profile 0: name, SSID and key locked, info frame in front of proxy and DHCP
    bool cmdApply = false, cmdApplyName = false;
    bool lbWarning = false, lblEditWarning = false;     // visible
};

class ProfileEditor {
public:
    ProfileEditor(clsZarn& zarn, ProfileExchange& exchange);

    // The window redraws everything from the model / enables or disables itself.
    std::function<void()> onChanged;
    std::function<void(bool enabled)> onEnable;

    // Loading: resets the state for the device; returns the profile to read
    // first (the active one when it has a tab, else 0).
    int Load();
    // NumProfiles + 1: profiles 0 to NumProfiles, at most to kMaxProfileNumber.
    int TabCount() const;

    // The exchanges. ActivateProfile: true after a successful read.
    // SaveChanges / SaveName: true when the device took the change; on any
    // failure the edits and their change flags stay.
    bool ActivateProfile(int n);
    bool SaveChanges();
    bool SaveName();
    bool SetNewActiveProfile(int n);

    bool ValidateSettings();
    bool NameCheck();

    // Edits; the window has put the new values into `fields` / `deviceName`.
    void FieldEdited();        // name, SSID, ad-hoc, proxy, addresses
    void WepKeyEdited();
    void KeyIndexChosen();
    void PassphraseEdited();   // pass phrase or cipher
    void EncryptionChosen();   // cmbEncryption_Click
    void DhcpClicked();
    void DeviceNameEdited();

    // A tab (index = profile number) was clicked. Afterwards the window
    // selects the tab of ProfileShown(): the previous one when the read was
    // refused or failed (then not read again; a failed read leaves the
    // profile invalid).
    void TabClicked(int tab);
    void MakeActiveClicked(bool ticked);   // cbActive_Click
    void Apply();                          // cmdApply_Click
    void ApplyName();                      // cmdApplyName_Click
    void Refresh(int selectedTab);         // cmdRefresh_Click
    // Close / Cancel: true when the window may close. OK: looks for the device
    // again briefly (nothing is written); the window then closes.
    bool CloseRequested();
    bool CancelRequested();
    void OkPressed();

    ControlStates States() const;
    // "No Encryption", "WEP" and "WPA-PSK" on devices with the security word.
    std::vector<std::string> EncryptionEntries() const;
    const std::vector<ValidationFailure>& Failures() const { return m_failures; }
    bool DeviceNameInError() const { return m_nameRed; }
    const std::string& EditWarningText() const { return m_editWarning; }

    int ProfileShown() const { return m_profileShown; }
    int ActiveProfile() const { return m_activeProfile; }
    int MarkedTab() const { return m_markedTab; }     // tab with the active marker, -1 none
    bool Ready() const { return m_ready; }
    bool ProfileValid() const { return m_profileValid; }
    bool Busy() const { return m_busy; }
    bool UnsavedChanges() const { return m_unsaved; }
    bool DeviceNameChanged() const { return m_nameChanged; }
    bool WepKeyChanged() const { return m_wepChanged; }
    bool PassphraseChanged() const { return m_wpaChanged; }
    bool SecurityWord() const { return m_securityWord; }
    clsZarn& Zarn() { return m_zarn; }

    // The editor's values.
    ProfileFields fields;
    std::string deviceName;   // ebZarnName
    bool deviceNameLatin1 = true;   // false: the box has characters the device cannot store
    bool cbActive = false;    // the Make Active box is ticked

private:
    void Changed();
    void Enable(bool on);
    void EditStep();
    void ShowAddressBoxes();
    void ShowNameEncodingWarning();
    void PresentAfterRead(bool ok);
    bool Send(clsPayload& payload, std::uint8_t frameType, long titleId, long attempts, float intervalS,
              std::shared_ptr<clsSnapResponse>& response);
    // Logs every RID the device refused in its answer to a write; true when none.
    bool TookWrite(const clsSnapResponse* response, const std::string& proc);
    struct WriteOutcome {
        bool sent = false;   // the request went out and was answered
        bool taken = false;  // and the device refused none of its RIDs
    };
    // Sends one write request with the window's controls off (the caller turns
    // them on again) and the transaction marked busy while it runs.
    WriteOutcome Write(clsPayload& payload, const std::string& proc);
    // Logs the error trapped in proc and gives the window back; false.
    bool Trapped(const std::string& proc);

    clsZarn& m_zarn;
    ProfileExchange& m_exchange;
    bool m_ready = false, m_profileValid = false, m_unsaved = false, m_nameChanged = false;
    bool m_wepChanged = false, m_wpaChanged = false, m_busy = false, m_securityWord = false;
    int m_profileShown = -1, m_activeProfile = -1, m_markedTab = -1;
    std::array<std::string, 5> m_staticTexts, m_currentTexts;
    std::vector<ValidationFailure> m_failures;
    bool m_valid = false;          // last ValidateSettings result
    bool m_nameRed = false, m_nameOk = false;
    bool m_showWarning = false, m_showEditWarning = false;
    std::string m_editWarning;
};

}  // namespace kvr::profiles
