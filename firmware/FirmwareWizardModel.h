#pragma once
// The firmware wizard's page logic, without windows: which page shows, what
// its texts say, which buttons work, and what Next, Previous, Cancel, Finish
// and Help do. The window (frmFirmwareWizard) shows View() after every change
// and hands the clicks over.
//
// Pages: 1 the device, 2 the chosen file against the device with its
// warnings, 3 the upload, 4 the result. Next from page 1 asks for a file and
// checks it; Next from page 2 runs the download at once. Page 4 is reached
// only after a download that went in.
//
// Everything that reaches files, the device or the user goes through the
// injected services and the Prompter seam, so the whole flow runs headless.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "AdapterSession.h"
#include "QfwHeader.h"
#include "Seams.h"

class clsZarn;

namespace kvr {

// What a download reports back to the wizard.
struct FirmwareDownloadResult {
    bool ok = false;                  // the firmware went in
    std::string hardwareWarning;      // put in front of the page-2 warnings when not empty
    std::string versionAfter;         // version the device reported after its restart ("" unknown)
    bool versionMatchesFile = true;   // that version is the file's
    std::string failure;              // the last failure the download logged ("" none)
};

// What a download needs: the device, the file, the two decisions of the
// wizard and the three progress bars of page 3.
struct FirmwareDownloadRequest {
    std::shared_ptr<clsZarn> device;
    // The adapter the wizard opened for the device: the download uses it and
    // leaves it open for the wizard to close (-1: the download opens its own).
    std::int32_t hNIC = -1;
    std::string fileName;
    bool uploadImageOnly = false;
    bool overrideHardwareCheck = false;
    ProgressBar* pgbDownloadMode = nullptr;
    ProgressBar* pgbErase = nullptr;
    ProgressBar* pgbUpload = nullptr;
};

struct FirmwareWizardServices {
    // The file dialog: title, filter ("text (*.qfw)|*.qfw") and the file it
    // starts with. Returns the chosen path, "" when the user cancelled.
    std::function<std::string(const std::string& title, const std::string& filter, const std::string& initialFile)>
        ChooseFile;
    // The integrity check of a chosen file (sizes, sections, checksums).
    std::function<bool(const std::string& fileName)> VerifyIntegrity;
    // Whether the device may take a file with this header.
    std::function<bool(const clsZarn& device, const QfwHeader& header)> IsHardwareCompatible;
    // The whole download (download mode, transfer, restart).
    std::function<FirmwareDownloadResult(const FirmwareDownloadRequest& request)> Download;
    // Opens the help page of `topic`.
    std::function<void(const std::string& topic)> ShowHelp;
};

// The page's contents as the window shows them. Texts are UTF-8, except the
// ones marked as device texts (one character per byte).
struct FirmwareWizardView {
    int page = 1;                        // frame in front, 1..4
    long picture = 601;                  // picture 600 + page

    // Page 1.
    std::string zarnLabel;               // device text: name (MAC)
    std::string hardwareVersion;
    std::string bootloaderVersion;
    std::string firmwareVersion;
    std::string firmwareDate;
    bool overrideVisible = false;
    bool overrideChecked = false;

    // Page 2.
    std::string fileName;
    std::string newFirmwareVersion;
    std::string newFirmwareDate;
    std::string currentFirmwareVersion;
    std::string currentFirmwareDate;
    std::string warnings;
    bool uploadImageOnlyChecked = false;
    bool uploadImageOnlyEnabled = false;
    bool uploadImageOnlyVisible = false;
    std::string selectionWarning;

    // Page 3.
    std::string uploadStatus;            // "" while running; why it failed afterwards
    bool busy = false;                   // hourglass while the download runs

    // Page 4.
    std::string resultText;              // which version the device now runs
    bool versionMismatch = false;        // it came back with another version than the file's
    bool versionUnknown = false;         // it did not come back in time: its version is unknown

    // Buttons.
    bool previousEnabled = false;
    bool nextEnabled = true;
    bool cancelEnabled = true;
    bool helpEnabled = true;
    bool finishEnabled = false;
    bool focusFinish = false;
};

// The device keeps its configuration only when the file continues its own
// firmware line (otherwise the configuration is sent and the old one erased).
bool KeepsConfiguration(const clsZarn& device, const QfwHeader& header);
// The file's firmware is older than the device's.
bool IsDowngrade(const clsZarn& device, const QfwHeader& header);

class FirmwareWizardModel {
public:
    explicit FirmwareWizardModel(FirmwareWizardServices services);
    ~FirmwareWizardModel();
    FirmwareWizardModel(const FirmwareWizardModel&) = delete;
    FirmwareWizardModel& operator=(const FirmwareWizardModel&) = delete;

    // Init: keeps the device and opens its adapter; false (after telling the
    // user) when the adapter cannot be opened. The wizard closes the adapter
    // when it unloads.
    bool Init(std::shared_ptr<clsZarn> device);
    // InitEx's model half: the caller keeps the adapter open and closes it.
    void InitEx(std::shared_ptr<clsZarn> device, std::int32_t hNIC);

    // Window load: page 1, no download result yet.
    void Load();
    // Window unload: closes the adapter when Init opened it. Idempotent.
    void Unload();

    // Shows a page and runs its actions. Page 3 runs the download.
    void GotoStep(int page);
    // What Next does.
    void Advance();

    // Event handlers.
    void cmdNext_Click();
    void cmdPrevious_Click();
    void cmdCancel_Click();
    void cmdFinish_Click();
    void cmdHelp_Click();
    void cbUploadImageOnly_Click(bool checked);
    void chkOverrideHardwareCompatibility_Click(bool checked);
    // Escape and the window's close button: the Cancel question, except that
    // nothing happens while a download runs, and after a finished upgrade
    // closing is Finish.
    void CloseRequested();

    // UploadImageOnly property: setting it also ticks or clears the box.
    bool UploadImageOnly() const { return m_uploadImageOnly; }
    void SetUploadImageOnly(bool value);
    void SetFileName(const std::string& fileName) { m_strFileName = fileName; }
    const std::string& FileName() const { return m_strFileName; }

    int iStep() const { return m_iStep; }
    bool UploadOK() const { return m_boUploadOK; }
    bool Downloading() const { return m_downloading; }
    bool Unloaded() const { return m_unloadRequested; }
    const FirmwareWizardView& View() const { return m_view; }
    const std::shared_ptr<clsZarn>& Device() const { return m_SelectedZarn; }

    // Progress bars of page 3 (the window attaches its own).
    void SetProgressBars(ProgressBar* downloadMode, ProgressBar* erase, ProgressBar* upload);
    // Called after every change of View() (the window refreshes itself).
    void SetChangedHandler(std::function<void()> changed) { m_changed = std::move(changed); }

    // The settings key of the last accepted file.
    static std::string LastQfwDownloaded();
    static void SaveLastQfwDownloaded(const std::string& fileName);

private:
    void ShowPage1();
    bool ShowPage2();
    void RunUpload();
    void ShowPage4();
    void ChooseAndCheckFile();
    void SetButtons(bool previous, bool next, bool cancel, bool help, bool finish);
    void ClearFileName();
    void Changed();
    // Runs a handler; run-time errors are logged and shown as the handlers do.
    void Guarded(const char* handler, const std::function<void()>& body);
    bool ReadHeader(QfwHeader& header, std::string* error = nullptr) const;

    FirmwareWizardServices m_services;
    std::shared_ptr<clsZarn> m_SelectedZarn;
    std::string m_strFileName;
    bool m_boUploadOK = false;
    AdapterSession m_adapter;  // the adapter Init opened
    std::int32_t m_hNIC = -1;  // the adapter in use: m_adapter's, or the one InitEx lent
    int m_iStep = 1;
    bool m_uploadImageOnly = false;
    bool m_downloading = false;
    bool m_unloadRequested = false;
    bool m_unloaded = false;
    FirmwareWizardView m_view;
    std::function<void()> m_changed;
    MemoryProgressBar m_ownDownloadMode, m_ownErase, m_ownUpload;
    ProgressBar* m_pgbDownloadMode = &m_ownDownloadMode;
    ProgressBar* m_pgbErase = &m_ownErase;
    ProgressBar* m_pgbUpload = &m_ownUpload;
};

}  // namespace kvr
