#include "ProfileEditor.h"

#include <algorithm>
#include <cstdio>

#include "CommandExchange.h"
#include "Globals.h"
#include "Seams.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsPayload.h"
#include "clsSnapResponse.h"
#include "clsZarn.h"

namespace kvr::profiles {
namespace {

const ModuleLog Log("frmProfiles");

std::string Text(long id) { return LoadResStringWrapper(id); }

void Tell(long textId, long titleId, PromptIcon icon = PromptIcon::Warning) {
    CurrentPrompter().Ask(Text(textId), Text(titleId), PromptButtons::OK, icon);
}

std::string RidText(Rid rid) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(rid));
    return buf;
}

}  // namespace

bool CommandProfileExchange::Send(clsZarn& zarn, clsPayload& payload, std::uint8_t frameType, const std::string&,
                                  long attempts, float retryIntervalS, std::shared_ptr<clsSnapResponse>& response) {
    CommandExchange exchange;
    if (!exchange.Open(zarn, payload, frameType, response, attempts, false, attempts > 0 ? retryIntervalS : 0.0f))
        return false;
    const bool ok = exchange.Run(nullptr);
    response = exchange.Response();
    return ok;
}

ProfileEditor::ProfileEditor(clsZarn& zarn, ProfileExchange& exchange) : m_zarn(zarn), m_exchange(exchange) {}

void ProfileEditor::Changed() {
    if (onChanged) onChanged();
}

void ProfileEditor::Enable(bool on) {
    if (onEnable) onEnable(on);
}

int ProfileEditor::TabCount() const {
    return std::clamp<int>(m_zarn.NumProfiles, 0, kMaxProfileNumber) + 1;
}

int ProfileEditor::Load() {
    m_ready = false;
    m_busy = false;
    m_securityWord = false;
    m_profileValid = false;
    m_profileShown = -1;
    m_markedTab = m_zarn.ActiveProfile < TabCount() ? m_zarn.ActiveProfile : -1;
    fields = ProfileFields{};
    deviceName = m_zarn.Name;
    m_nameChanged = false;
    m_nameOk = false;
    m_showWarning = false;
    m_unsaved = false;
    if (m_zarn.NumProfiles > kMaxProfileNumber)
        Log("the device '" + m_zarn.Name + "' reports " + std::to_string(m_zarn.NumProfiles) +
                " as its highest profile number; only profiles 0 to " + std::to_string(kMaxProfileNumber) +
                " are shown.",
            LEVEL_WARNING, "Form_Load");
    const int active = m_zarn.ActiveProfile;
    return (active >= 1 && active < TabCount()) ? active : 0;
}

std::vector<std::string> ProfileEditor::EncryptionEntries() const {
    std::vector<std::string> entries{"No Encryption", "WEP"};
    if (m_securityWord) entries.emplace_back("WPA-PSK");
    return entries;
}

bool ProfileEditor::Send(clsPayload& payload, std::uint8_t frameType, long titleId, long attempts, float intervalS,
                         std::shared_ptr<clsSnapResponse>& response) {
    payload.mProtocolVersion = m_zarn.ProtocolVersion;
    response.reset();
    return m_exchange.Send(m_zarn, payload, frameType, Text(titleId), attempts, intervalS, response) && response;
}

bool ProfileEditor::TookWrite(const clsSnapResponse* response, const std::string& proc) {
    if (!response) return true;
    const auto refused = RefusedRids(*response);
    for (const auto& [rid, code] : refused)
        Log("the device '" + m_zarn.Name + "' refused RID " + RidText(rid) + " (error code " + std::to_string(code) +
                ").",
            LEVEL_WARNING, proc);
    return refused.empty();
}

ProfileEditor::WriteOutcome ProfileEditor::Write(clsPayload& payload, const std::string& proc) {
    Enable(false);
    std::shared_ptr<clsSnapResponse> response;
    m_busy = true;
    WriteOutcome out;
    out.sent = Send(payload, SNAP_KIND_WRITE_REQUEST, 3222, 0, 0.0f, response);
    m_busy = false;
    out.taken = out.sent && TookWrite(response.get(), proc);
    return out;
}

bool ProfileEditor::Trapped(const std::string& proc) {
    LogTrappedError(Log, proc);
    m_busy = false;
    Enable(true);
    Changed();
    return false;
}

bool ProfileEditor::ActivateProfile(int n) {
    const std::string proc = "ActivateProfile";
    try {
        if (m_unsaved && CurrentPrompter().Ask(Text(3477), Text(3478), PromptButtons::OKCancel,
                                               PromptIcon::Warning) != PromptAnswer::OK)
            return false;
        Enable(false);
        if (m_busy) {
            Log("Cannot read profile data while a transaction is in progress!", LEVEL_WARNING);
            return false;
        }
        m_busy = true;
        m_profileValid = false;
        m_profileShown = n;
        m_unsaved = m_wepChanged = m_wpaChanged = false;
        // Nothing of the profile shown before may stay on screen under this one.
        fields = ProfileFields{};
        m_staticTexts = {};
        m_currentTexts = {};
        m_activeProfile = -1;
        cbActive = false;
        m_securityWord = false;   // WPA-PSK is offered again only when this read finds the security word

        clsPayload payload;
        BuildReadRequest(payload, n);
        // A device name being edited stays in its box, and its flag with it.
        if (!m_nameChanged) deviceName = Text(3479);
        Changed();
        std::shared_ptr<clsSnapResponse> response;
        bool ok = Send(payload, SNAP_KIND_READ_REQUEST, 3227, 15, 1.0f, response);
        if (!ok) {
            Tell(3223, 3200);
            m_editWarning = Text(3434);
            m_showEditWarning = true;
            m_showWarning = false;
        } else {
            m_securityWord = m_zarn.CheckForV16encryption(*response);
            ProfileRecord rec = ParseProfileAnswer(*response, m_securityWord);
            if (rec.deviceName) {
                m_zarn.Name = *rec.deviceName;
                if (!m_nameChanged)
                    deviceName = *rec.deviceName;
                else if (deviceName == *rec.deviceName)
                    m_nameChanged = false;   // the edit is what the device has: nothing to apply
            }
            fields = rec.fields;
            // As choosing WPA-PSK does: no ad-hoc with WPA, so a later save cannot send both.
            if (fields.encryption == kWPAPSK) fields.adhoc = false;
            m_activeProfile = rec.activeProfile;
            cbActive = rec.activeProfile == n;
            m_currentTexts = rec.currentTexts;
            m_staticTexts = rec.staticTexts;
            ShowAddressBoxes();
            m_ready = true;
            m_profileValid = true;
        }
        PresentAfterRead(ok);
        return ok;
    } catch (const std::exception&) {
        return Trapped(proc);
    }
}

void ProfileEditor::ShowAddressBoxes() {
    if (!fields.dhcp)
        fields.addresses = m_staticTexts;
    else if (m_profileShown == m_activeProfile)
        fields.addresses = m_currentTexts;
    else
        fields.addresses = {};
}

void ProfileEditor::PresentAfterRead(bool ok) {
    m_markedTab = ok ? m_activeProfile : -1;
    m_showWarning = false;
    m_unsaved = m_wepChanged = m_wpaChanged = false;
    m_busy = false;
    ValidateSettings();
    NameCheck();
    Enable(true);
    Changed();
}

bool ProfileEditor::SaveChanges() {
    const std::string proc = "SaveChanges";
    try {
        Log("Saving profile changes for device '" + m_zarn.Name + "'...", LEVEL_WATCH);
        if (!ValidateSettings()) {
            Log("ValidateSettings failed for device'" + m_zarn.Name + "'.", LEVEL_ERROR, proc);
            Changed();
            return false;
        }
        G().RediscoveryNeeded = true;
        clsPayload payload;
        BuildSaveRequest(payload, m_profileShown, fields, m_securityWord, m_wepChanged, m_wpaChanged);
        const auto [sent, taken] = Write(payload, proc);
        if (!sent)
            Log("fCmd.InitSend returned failure for device '" + m_zarn.Name + "'", LEVEL_WARNING, proc);
        if (!taken) Tell(3234, 3200);
        Enable(true);
        if (taken) {
            m_unsaved = false;
            ActivateProfile(m_profileShown);
        } else {
            // The edits and their change flags stay, so nothing is lost and Close still warns.
            ValidateSettings();
            Changed();
        }
        return taken;
    } catch (const std::exception&) {
        return Trapped(proc);
    }
}

bool ProfileEditor::SaveName() {
    const std::string proc = "SaveName";
    try {
        Log("Saving profile name '" + deviceName + "' for device '" + m_zarn.Name + "'...", LEVEL_WATCH);
        if (!NameCheck()) {
            Changed();
            return false;
        }
        clsPayload payload;
        BuildNameRequest(payload, deviceName);
        const auto [sent, taken] = Write(payload, proc);
        Enable(true);
        G().RediscoveryNeeded = true;
        if (!sent)
            Tell(3223, 3200);
        else if (!taken)
            Tell(3234, 3200);
        if (taken) {
            m_nameChanged = false;
            m_nameOk = false;   // the name's Apply button waits for the next edit
            m_zarn.Name = deviceName;
        }
        Changed();
        return taken;
    } catch (const std::exception&) {
        return Trapped(proc);
    }
}

bool ProfileEditor::SetNewActiveProfile(int n) {
    const std::string proc = "SetNewActiveProfile";
    try {
        if (m_unsaved) {
            Log(Text(3264), LEVEL_ERROR, proc);
            CurrentPrompter().Ask(Text(3264), Text(3200), PromptButtons::OK, PromptIcon::Warning);
            if (n != m_activeProfile) cbActive = false;
            Changed();
            return false;
        }
        clsPayload payload;
        BuildSetActiveRequest(payload, n);
        const auto [sent, taken] = Write(payload, proc);
        G().RediscoveryNeeded = true;
        Enable(true);
        if (taken) return ActivateProfile(n);
        Tell(sent ? 3234 : 3223, 3200);
        cbActive = n == m_activeProfile;
        Changed();
        return false;
    } catch (const std::exception&) {
        return Trapped(proc);
    }
}

bool ProfileEditor::ValidateSettings() {
    const std::string proc = "ValidateSettings";
    if (m_busy) {
        Log("cannot validate settings while a transaction is in progress.  "
            "Validation should be called (again) after transaction is complete.",
            LEVEL_TRACE, proc);
        return false;
    }
    m_failures.clear();
    if (!m_profileValid) {
        m_editWarning = Text(3434);
        m_showEditWarning = true;
        m_showWarning = false;
        m_valid = false;
        Log("cannot validate settings - invalid profile displayed!", LEVEL_WARNING, proc);
        return false;
    }
    m_failures = kvr::profiles::ValidateSettings(fields, m_wepChanged, m_wpaChanged);
    m_editWarning = m_failures.empty() ? Text(3435) : m_failures.back().labelText;
    for (const auto& f : m_failures) Log(f.logMessage, LEVEL_WARNING, proc);
    m_valid = m_failures.empty();
    m_showEditWarning = !m_valid;
    ShowNameEncodingWarning();
    return m_valid;
}

bool ProfileEditor::NameCheck() {
    if (!m_profileValid) {
        m_editWarning = Text(3434);
        m_showEditWarning = true;
        m_showWarning = false;
        m_nameRed = false;
        m_nameOk = false;
        return false;
    }
    m_nameRed = deviceName.empty() || deviceName.size() > kMaxNameChars || !deviceNameLatin1;
    m_nameOk = !m_nameRed && m_nameChanged;
    ShowNameEncodingWarning();
    return !m_nameRed;
}

void ProfileEditor::ShowNameEncodingWarning() {
    if (deviceNameLatin1) return;
    m_editWarning = Text(kNotLatin1TextId);
    m_showEditWarning = true;
}

ControlStates ProfileEditor::States() const {
    ControlStates s;
    const bool wep = fields.encryption == kWEP;
    const bool wpa = fields.encryption == kWPAPSK;
    s.txtZarnWep = s.cbKeyIndex = s.fraWEP = wep;
    s.txtWpaPassphrase = s.cmbCipher = s.fraWPA = wpa;
    s.ebProxyServer = s.ebProxyPort = fields.useProxy;
    s.addressBoxes = !fields.dhcp;
    s.readOnly = m_profileShown == 0;
    s.ckZarnAdHoc = !wpa && !s.readOnly;
    s.cmbEncryption = !s.readOnly;
    s.cbActive = m_profileShown != m_activeProfile && !m_unsaved && m_valid;
    s.cmdApply = m_valid && m_unsaved;
    s.cmdApplyName = m_nameOk;
    s.lbWarning = m_showWarning;
    s.lblEditWarning = m_showEditWarning;
    return s;
}

void ProfileEditor::EditStep() {
    if (!m_ready) return;
    m_unsaved = true;
    ValidateSettings();
    m_showWarning = true;
    Changed();
}

void ProfileEditor::FieldEdited() { EditStep(); }

void ProfileEditor::WepKeyEdited() {
    if (!m_ready) return;
    m_wepChanged = true;
    EditStep();
}

void ProfileEditor::KeyIndexChosen() {
    Log("cbKeyIndex_Click", LEVEL_WATCH);
    if (!m_ready) return;
    m_wepChanged = true;
    EditStep();
}

void ProfileEditor::PassphraseEdited() {
    if (!m_ready) return;
    m_wpaChanged = true;
    EditStep();
}

void ProfileEditor::EncryptionChosen() {
    m_wepChanged = m_wpaChanged = false;
    switch (fields.encryption) {
        case kNoEncryption: break;
        case kWEP: m_wepChanged = true; break;
        case kWPAPSK:
            fields.adhoc = false;
            m_wpaChanged = true;
            break;
        default:
            Log("Program Error: invalid encryption type ID " + std::to_string(fields.encryption), LEVEL_ERROR,
                "cmbEncryption_Click");
    }
    EditStep();
    Changed();
}

void ProfileEditor::DhcpClicked() {
    ShowAddressBoxes();
    EditStep();
    Changed();
}

void ProfileEditor::DeviceNameEdited() {
    m_nameChanged = true;
    NameCheck();
    Changed();
}

void ProfileEditor::TabClicked(int tab) {
    Log("tbsProfiles_Click: tbsProfiles.SelectedItem.caption=Profile " + std::to_string(tab), LEVEL_WATCH);
    if (tab == m_profileShown) return;
    const int previous = m_profileShown;
    const bool previousValid = m_profileValid;
    // A failed read selects the previous tab again without reading it once
    // more: a device that did not answer would only be waited for twice.
    if (!ActivateProfile(tab) && previousValid) m_profileShown = previous;
    Changed();
}

void ProfileEditor::MakeActiveClicked(bool ticked) {
    Log("cbActive_Click", LEVEL_WATCH);
    cbActive = ticked;
    if (!ticked || m_profileShown == m_activeProfile) {
        Changed();
        return;
    }
    if (m_profileShown == 0) {
        CurrentPrompter().Ask(Text(3298), Text(3200), PromptButtons::OK, PromptIcon::Information);
        cbActive = false;
        Changed();
        return;
    }
    const PromptAnswer a = CurrentPrompter().Ask(Text(3299), "WARNING", PromptButtons::YesNo, PromptIcon::Warning);
    const int number = a == PromptAnswer::Yes ? 6 : 7;
    Log("cbActive_Click: " + Text(3299) + ", user response = " + std::to_string(number), LEVEL_WARNING);
    if (a != PromptAnswer::Yes) {
        cbActive = false;
        Changed();
        return;
    }
    SetNewActiveProfile(m_profileShown);
}

void ProfileEditor::Apply() {
    Log("cmdApply_Click", LEVEL_WATCH);
    if (m_unsaved) SaveChanges();
    if (!m_unsaved) m_showWarning = false;
    Changed();
}

void ProfileEditor::ApplyName() {
    Log("cmdApplyName_Click", LEVEL_WATCH);
    if (m_nameChanged) SaveName();
}

void ProfileEditor::Refresh(int selectedTab) {
    Log("cmdRefresh_Click", LEVEL_WATCH);
    ActivateProfile(selectedTab);
}

bool ProfileEditor::CloseRequested() {
    Log("cmdClose_Click", LEVEL_WATCH);
    if (m_unsaved || m_nameChanged)
        return CurrentPrompter().Ask(Text(3314), Text(3315), PromptButtons::OKCancel, PromptIcon::Warning) ==
               PromptAnswer::OK;
    return true;
}

bool ProfileEditor::CancelRequested() {
    if (m_nameChanged)
        return CurrentPrompter().Ask(Text(3221), Text(3200), PromptButtons::YesNo, PromptIcon::Warning) ==
               PromptAnswer::Yes;
    return true;
}

void ProfileEditor::OkPressed() {
    m_zarn.CancelWait = false;
    m_zarn.ScanForZarn(10, nullptr);
}

}  // namespace kvr::profiles
