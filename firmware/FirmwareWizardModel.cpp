#include "FirmwareWizardModel.h"

#include "AdapterSession.h"
#include "Globals.h"
#include "HexText.h"
#include "ProgramStore.h"
#include "RunTimeError.h"
#include "Text.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsZarn.h"

namespace kvr {
namespace {

const ModuleLog Log("frmFirmwareWizard");

constexpr const char* kBlankLine = "\r\n\r\n";
constexpr const char* kSettingsSection = "Settings";
constexpr const char* kLastQfwKey = "LastQfwDownloaded";
constexpr std::int32_t kNoSwId = -1;  // SWID 0xFFFFFFFF: always a new identifier

std::string Text(long id) { return LoadResStringWrapper(id); }

std::string Title() { return Text(4000); }

PromptAnswer Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) {
    return CurrentPrompter().Ask(text, Title(), buttons, icon);
}

std::string FileHardwareText(const QfwHeader& h) {
    return std::to_string(h.HardwareID) + "." + std::to_string(h.CompatibleHardwareVersion);
}

}  // namespace

bool KeepsConfiguration(const clsZarn& z, const QfwHeader& h) {
    return z.FirmwareID == h.SwId() && h.SwId() != kNoSwId;
}

bool IsDowngrade(const clsZarn& z, const QfwHeader& h) {
    return z.FirmwareID > h.SwId() || (z.FirmwareID == h.SwId() && z.FirmwareVersion > h.SwVersionNumber());
}

FirmwareWizardModel::FirmwareWizardModel(FirmwareWizardServices services) : m_services(std::move(services)) {}

FirmwareWizardModel::~FirmwareWizardModel() { Unload(); }

bool FirmwareWizardModel::Init(std::shared_ptr<clsZarn> device) {
    m_SelectedZarn = std::move(device);
    if (!m_SelectedZarn) return false;
    AdapterSession adapter(m_SelectedZarn->NICName);
    if (!adapter.IsOpen()) {
        Log("OpenNdisDeviceByDesc failed to open NIC '" + m_SelectedZarn->NICName + "'", LEVEL_ERROR, "Init");
        Ask(Text(4019) + m_SelectedZarn->NICName, PromptButtons::OK, PromptIcon::Critical);
        return false;
    }
    m_adapter = std::move(adapter);
    m_hNIC = m_adapter.Handle();
    return true;
}

void FirmwareWizardModel::InitEx(std::shared_ptr<clsZarn> device, std::int32_t hNIC) {
    m_SelectedZarn = std::move(device);
    m_adapter.Close();
    m_hNIC = hNIC;
}

void FirmwareWizardModel::SetProgressBars(ProgressBar* downloadMode, ProgressBar* erase, ProgressBar* upload) {
    m_pgbDownloadMode = downloadMode ? downloadMode : &m_ownDownloadMode;
    m_pgbErase = erase ? erase : &m_ownErase;
    m_pgbUpload = upload ? upload : &m_ownUpload;
}

void FirmwareWizardModel::Load() {
    m_iStep = 1;
    m_boUploadOK = false;
    GotoStep(1);
}

void FirmwareWizardModel::Unload() {
    if (m_unloaded) return;
    m_unloaded = true;
    m_adapter.Close();
    m_hNIC = -1;
}

std::string FirmwareWizardModel::LastQfwDownloaded() {
    if (!G().DbManager) return {};
    return G().DbManager->GetSetting(kProgramTitle, kSettingsSection, kLastQfwKey, std::string());
}

void FirmwareWizardModel::SaveLastQfwDownloaded(const std::string& fileName) {
    if (G().DbManager) G().DbManager->SaveSetting(kProgramTitle, kSettingsSection, kLastQfwKey, fileName);
}

void FirmwareWizardModel::Changed() {
    m_view.picture = 600 + m_view.page;
    if (m_changed) m_changed();
}

void FirmwareWizardModel::SetButtons(bool previous, bool next, bool cancel, bool help, bool finish) {
    m_view.previousEnabled = previous;
    m_view.nextEnabled = next;
    m_view.cancelEnabled = cancel;
    m_view.helpEnabled = help;
    m_view.finishEnabled = finish;
}

void FirmwareWizardModel::ClearFileName() {
    m_strFileName.clear();
    m_view.fileName.clear();
}

bool FirmwareWizardModel::ReadHeader(QfwHeader& header, std::string* error) const {
    const QfwReadStatus st = ReadQfwHeaderFile(m_strFileName, header, error);
    return st == QfwReadStatus::Ok || st == QfwReadStatus::Short;
}

void FirmwareWizardModel::Guarded(const char* handler, const std::function<void()>& body) {
    try {
        body();
    } catch (...) {
        const TrappedError error = CurrentTrappedError();
        Log(FormatTrappedError(error, handler), LEVEL_ERROR);
        Ask(error.description, PromptButtons::OK, PromptIcon::Critical);
        m_downloading = false;
        m_view.busy = false;
        Changed();
    }
}

void FirmwareWizardModel::GotoStep(int page) {
    if (!m_SelectedZarn) return;
    if (page < 1) page = 1;  // there is no page before the first
    switch (page) {
        case 1: ShowPage1(); break;
        case 2: ShowPage2(); break;
        case 3: RunUpload(); break;
        case 4:
            // Only a download that went in leads to the result page.
            if (m_boUploadOK) ShowPage4();
            break;
        default: break;
    }
}

void FirmwareWizardModel::ShowPage1() {
    const clsZarn& z = *m_SelectedZarn;
    m_view.page = 1;
    SetButtons(false, true, true, true, false);
    m_view.focusFinish = false;
    m_view.overrideVisible = G().EngineeringFeatures;

    m_view.zarnLabel = z.Name + " (" + z.MAC + ")";
    Log("Download Target: KVR \"" + z.Name + "\", MAC ID=" + z.MAC, LEVEL_USER);

    m_view.hardwareVersion = std::to_string(z.HardwareID) + "." + std::to_string(z.HardwareVersion);
    Log("  Hardware Version = " + m_view.hardwareVersion, LEVEL_USER);

    if (z.IsBootloaderIdValid) {
        m_view.bootloaderVersion = std::to_string(z.BootloaderID) + "." + std::to_string(z.BootloaderVersion);
        Log("  Bootloader Version = " + m_view.bootloaderVersion, LEVEL_USER);
    } else {
        m_view.bootloaderVersion = "<" + Text(4040) + ">";
    }

    if (z.IsFirmwareIdValid) {
        m_view.firmwareVersion = std::to_string(z.FirmwareID) + "." + std::to_string(z.FirmwareVersion);
        m_view.firmwareDate = FormatFirmwareDate(z.FirmwareDate);
        if (G().EngineeringFeatures) m_view.firmwareDate += " " + FormatFirmwareTime(z.FirmwareTime);
        Log("  Firmware Version = " + m_view.firmwareVersion, LEVEL_USER);
        Log("  Firmware Date = " + m_view.firmwareDate, LEVEL_USER);
    } else {
        m_view.firmwareVersion = "Failed to read ID";
        m_view.firmwareDate = "Invalid";
    }
    m_iStep = 1;
    Changed();
}

bool FirmwareWizardModel::ShowPage2() {
    const clsZarn& z = *m_SelectedZarn;
    if (m_strFileName.empty()) {
        // Nothing to compare: back to the choice of a file.
        Ask(Text(4020), PromptButtons::OK, PromptIcon::Warning);
        ShowPage1();
        return false;
    }
    m_view.fileName = m_strFileName;
    m_view.warnings = Text(4008);
    Log("File to be uploaded: '" + m_strFileName + "'", LEVEL_USER);
    QfwHeader header;
    std::string error;
    if (!ReadHeader(header, &error)) {
        // The file went away or became unreadable since it was checked.
        const std::string text = "'" + m_strFileName + "': " + Text(4027);
        Log(text + " (" + error + ")", LEVEL_ERROR, "GotoStep");
        Ask(text, PromptButtons::OK, PromptIcon::Critical);
        ClearFileName();
        ShowPage1();
        return false;
    }

    if (!KeepsConfiguration(z, header)) m_view.warnings = Text(4033) + kBlankLine + m_view.warnings;
    if (IsDowngrade(z, header)) m_view.warnings = Text(4034) + kBlankLine + m_view.warnings;

    m_view.newFirmwareVersion = header.VersionText();
    m_view.newFirmwareDate = FormatFirmwareDate(header.DateText());
    if (G().EngineeringFeatures) m_view.newFirmwareDate += " " + FormatFirmwareTime(header.TimeText());
    m_view.currentFirmwareVersion = m_view.firmwareVersion;
    m_view.currentFirmwareDate = m_view.firmwareDate;
    Log("  Firmware Version (currently installed) = " + m_view.currentFirmwareVersion, LEVEL_USER);
    Log("  Firmware Date    (currently installed) = " + m_view.currentFirmwareDate, LEVEL_USER);

    const bool compatible = m_services.IsHardwareCompatible && m_services.IsHardwareCompatible(z, header);
    if (!compatible && !m_view.overrideChecked) {
        m_view.warnings = Text(4032) + kBlankLine + m_view.warnings;
        Log("Incompatible Hardware IDs (QFW=" + FileHardwareText(header) + ", Zarn=" + std::to_string(z.HardwareID) +
                "." + std::to_string(z.HardwareVersion) + ")",
            LEVEL_ERROR, "GotoStep");
        Ask(Text(4032), PromptButtons::OK, PromptIcon::Warning);
        m_iStep = 1;
        Changed();
        return false;
    }

    m_view.page = 2;
    SetButtons(true, true, true, true, false);
    m_view.focusFinish = false;

    if (KeepsConfiguration(z, header)) {
        Log("Zarn Firmware ID=(0x" + HexUpper(static_cast<std::uint32_t>(z.FirmwareID)) + "), QFW Firmware ID=(0x" + HexUpper(static_cast<std::uint32_t>(header.SwId())) +
                ") config will not be updated.",
            LEVEL_USER);
        m_uploadImageOnly = true;
    } else {
        Log("m_SelectedZarn.FirmwareID = 0x" + HexUpper(static_cast<std::uint32_t>(z.FirmwareID)) + ",  Header.SWID = 0x" + HexUpper(static_cast<std::uint32_t>(header.SwId())) +
                ".  Uploading new config...",
            LEVEL_USER);
        m_uploadImageOnly = false;
    }
    // Setting the box runs its click handler (the selection warning).
    cbUploadImageOnly_Click(m_uploadImageOnly);
    m_view.uploadImageOnlyEnabled = G().EngineeringFeatures;
    m_view.uploadImageOnlyVisible = G().EngineeringFeatures;

    m_iStep = 2;
    m_view.finishEnabled = false;
    Changed();
    return true;
}

void FirmwareWizardModel::RunUpload() {
    m_view.page = 3;
    SetButtons(false, false, false, false, false);
    m_view.uploadStatus.clear();
    m_view.busy = true;
    m_downloading = true;
    MarkDownloadInProgress(true);
    Changed();

    FirmwareDownloadResult result;
    if (m_services.Download) {
        FirmwareDownloadRequest request;
        request.device = m_SelectedZarn;
        request.hNIC = m_hNIC;
        request.fileName = m_strFileName;
        request.uploadImageOnly = m_uploadImageOnly;
        request.overrideHardwareCheck = m_view.overrideChecked;
        request.pgbDownloadMode = m_pgbDownloadMode;
        request.pgbErase = m_pgbErase;
        request.pgbUpload = m_pgbUpload;
        try {
            result = m_services.Download(request);
        } catch (...) {
            LogTrappedError(Log, "PerformDownload");
            result = FirmwareDownloadResult{};
        }
    } else {
        Log("no download is available in this build.", LEVEL_ERROR, "GotoStep");
    }
    m_downloading = false;
    MarkDownloadInProgress(false);
    // The download ends with Next, Cancel and Help usable again.
    m_view.nextEnabled = true;
    m_view.cancelEnabled = true;
    m_view.helpEnabled = true;
    m_boUploadOK = result.ok;
    // The notice goes in front of the page-2 warnings once, however often the download is retried.
    const std::string notice = result.hardwareWarning.empty() ? std::string() : result.hardwareWarning + kBlankLine;
    if (!notice.empty() && !m_view.warnings.starts_with(notice)) m_view.warnings = notice + m_view.warnings;
    m_view.busy = false;
    m_iStep = 3;
    if (result.ok) {
        m_view.versionMismatch = false;
        m_view.versionUnknown = result.versionAfter.empty();
        if (m_view.versionUnknown) {
            // Not back within the restart wait: nothing is known about what it runs.
            m_view.resultText = Text(4062);
            Log("the KVR did not come back in time after the download; the firmware version it runs is unknown.",
                LEVEL_WARNING, "GotoStep");
        } else {
            m_view.resultText = ReplaceAll(Text(4060), "%Version%", result.versionAfter);
            if (!result.versionMatchesFile) {
                QfwHeader header;
                const std::string fileVersion = ReadHeader(header) ? header.VersionText() : std::string("?");
                m_view.versionMismatch = true;
                m_view.resultText += " " + ReplaceAll(Text(4061), "%FileVersion%", fileVersion);
                Log("the KVR reports firmware version '" + result.versionAfter +
                        "' after the restart, not the file's " + fileVersion + ".",
                    LEVEL_ERROR, "GotoStep");
            }
        }
        Changed();
        Advance();
        return;
    }
    Log("PerformDownload failed.", LEVEL_ERROR, "GotoStep");
    m_view.uploadStatus = Text(4063);
    Changed();
}

void FirmwareWizardModel::ShowPage4() {
    m_view.page = 4;
    SetButtons(false, false, false, true, true);
    m_view.focusFinish = true;
    m_iStep = 4;
    Changed();
}

void FirmwareWizardModel::ChooseAndCheckFile() {
    std::string title = Text(4046);
    if (title.empty()) title = "KVR - Select Firmware File";
    std::string filter = Text(4047);
    if (filter.empty()) filter = "KVR Firmware File";
    filter += " (*.qfw)|*.qfw";

    const clsZarn& z = *m_SelectedZarn;
    for (;;) {
        m_view.fileName.clear();
        Changed();
        const std::string chosen =
            m_services.ChooseFile ? m_services.ChooseFile(title, filter, LastQfwDownloaded()) : std::string();
        if (chosen.empty()) return;  // cancelled: page 1 stays
        m_strFileName = chosen;
        m_view.fileName = chosen;

        QfwHeader header;
        std::string error;
        if (!ReadHeader(header, &error)) {
            const std::string text = "'" + chosen + "': " + Text(4027);
            Log(text + " (" + error + ")", LEVEL_ERROR, "cmdNext_Click");
            Ask(text, PromptButtons::OK, PromptIcon::Critical);
            ClearFileName();
            continue;
        }

        const bool compatible = m_services.IsHardwareCompatible && m_services.IsHardwareCompatible(z, header);
        if (!compatible) {
            const std::string text =
                Text(4030) + " (Compatible Hardware Version=" + FileHardwareText(header) + ").";
            if (m_view.overrideChecked) {
                Ask(text + "  " + kBlankLine + Text(4044), PromptButtons::OK, PromptIcon::Warning);
            } else {
                Ask(text, PromptButtons::OK, PromptIcon::Warning);
                ClearFileName();
                continue;
            }
        }

        if (!header.HasMagic()) {
            Ask(Text(4027), PromptButtons::OK, PromptIcon::Critical);
            Log(Text(4027), LEVEL_ERROR, "cmdNext_Click");
            ClearFileName();
            continue;
        }
        break;
    }

    const bool intact = m_services.VerifyIntegrity && m_services.VerifyIntegrity(m_strFileName);
    if (!intact) {
        const std::string text = "'" + m_strFileName + "': " + Text(4042);
        Ask(text, PromptButtons::OK, PromptIcon::Critical);
        Log(text, LEVEL_ERROR, "cmdNext_Click");
        ClearFileName();
        Changed();
    }
    if (!m_strFileName.empty()) SaveLastQfwDownloaded(m_strFileName);
}

void FirmwareWizardModel::Advance() {
    if (m_downloading || !m_SelectedZarn) return;
    switch (m_iStep) {
        case 1:
            ChooseAndCheckFile();
            if (!m_strFileName.empty()) GotoStep(2);
            return;
        case 2:
            if (m_strFileName.empty()) {
                GotoStep(2);  // says so and goes back to page 1
                return;
            }
            GotoStep(3);
            return;
        case 3:
            // After a failed download Next tries again; page 4 follows only
            // a download that went in.
            GotoStep(m_boUploadOK ? 4 : 3);
            return;
        default:
            return;
    }
}

void FirmwareWizardModel::cmdNext_Click() {
    Log("cmdNext_Click", LEVEL_WATCH);
    if (!m_view.nextEnabled) return;
    Guarded("cmdNext_Click", [this] { Advance(); });
}

void FirmwareWizardModel::cmdPrevious_Click() {
    Log("cmdPrevious_Click", LEVEL_WATCH);
    if (!m_view.previousEnabled || m_downloading) return;
    Guarded("cmdPrevious_Click", [this] { GotoStep(m_iStep - 1); });
}

void FirmwareWizardModel::cmdCancel_Click() {
    Log("cmdCancel_Click", LEVEL_WATCH);
    if (m_downloading || !m_view.cancelEnabled) return;
    Guarded("cmdCancel_Click", [this] {
        PromptAnswer answer = PromptAnswer::No;
        if (m_iStep <= 1)
            answer = Ask(Text(3140), PromptButtons::YesNo, PromptIcon::None);
        else if (m_iStep == 2 || m_iStep == 3)
            answer = Ask(Text(4018), PromptButtons::YesNo, PromptIcon::Warning);
        if (answer == PromptAnswer::Yes) m_unloadRequested = true;
    });
}

void FirmwareWizardModel::cmdFinish_Click() {
    Log("cmdFinish_Click", LEVEL_WATCH);
    if (!m_view.finishEnabled) return;
    m_unloadRequested = true;
}

void FirmwareWizardModel::cmdHelp_Click() {
    Log("cmdHelp_Click", LEVEL_WATCH);
    if (!m_view.helpEnabled || m_downloading) return;
    Guarded("cmdHelp_Click", [this] {
        if (m_services.ShowHelp) m_services.ShowHelp("firmware");
    });
}

void FirmwareWizardModel::CloseRequested() {
    if (m_downloading) return;
    if (m_iStep == 4) {
        cmdFinish_Click();
        return;
    }
    cmdCancel_Click();
}

void FirmwareWizardModel::cbUploadImageOnly_Click(bool checked) {
    m_uploadImageOnly = checked;
    m_view.uploadImageOnlyChecked = checked;
    m_view.selectionWarning = checked ? Text(4004) : Text(4004) + "  " + Text(4031);
    Changed();
}

void FirmwareWizardModel::SetUploadImageOnly(bool value) { cbUploadImageOnly_Click(value); }

void FirmwareWizardModel::chkOverrideHardwareCompatibility_Click(bool checked) {
    m_view.overrideChecked = checked;
    Log(std::string("chkOverrideHardwareCompatibility_Click: chkOverrideHardwareCompatibility.value=") +
            (checked ? "1" : "0"),
        LEVEL_WATCH);
}

}  // namespace kvr
