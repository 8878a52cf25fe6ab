#pragma once
// One device's upgrade as the unattended runner and the several-device window
// do it, on whichever thread (lane) the caller runs it: the wizard's model is
// taken to its second page with the file (which refuses a device the file
// does not fit, as the wizard would), then its third page runs the download
// with the caller's progress bars. The caller judges the result with
// JudgeDownload.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "FirmwareWizardModel.h"
#include "Seams.h"

class clsZarn;

namespace kvr {

class DeviceUpgrade {
public:
    enum class Prepared {
        Ready,         // on page 2, the download can start
        AdapterFailed, // the device's adapter could not be opened
        NotAccepted,   // page 2 refused the file for this device
    };
    DeviceUpgrade(std::shared_ptr<clsZarn> device, std::string fileName);
    ~DeviceUpgrade();
    DeviceUpgrade(const DeviceUpgrade&) = delete;
    DeviceUpgrade& operator=(const DeviceUpgrade&) = delete;

    // Opens the device's adapter and takes the wizard to page 2 with the file.
    Prepared Prepare();
    // The wizard's decision (set on page 2): the configuration is kept.
    bool UploadImageOnly() const { return m_wizard.UploadImageOnly(); }
    void SetUploadImageOnly(bool imageOnly) { m_wizard.SetUploadImageOnly(imageOnly); }
    // Runs the download (null bars: the wizard's own); true when the firmware
    // went in. The adapter is closed afterwards.
    bool Download(ProgressBar* downloadMode, ProgressBar* erase, ProgressBar* upload);
    const FirmwareDownloadResult& Result() const { return m_result; }
    // Closes the adapter (also done by the destructor).
    void Finish() { m_wizard.Unload(); }

private:
    std::shared_ptr<clsZarn> m_device;
    std::string m_fileName;
    FirmwareDownloadResult m_result;
    FirmwareWizardModel m_wizard;
};

// What a download's result means for the device.
enum class DownloadVerdict {
    Failed,        // the firmware did not go in
    NotBack,       // it went in, but the device did not come back in time: version unknown
    OtherVersion,  // the device came back running another version than the file's
    Upgraded,      // the device runs the file's version
};
DownloadVerdict JudgeDownload(const FirmwareDownloadResult& result, bool ok);

// Three progress bars (download mode, erase, upload) that report every value
// they are given as a stage (0, 1, 2 in that order) and its percent.
class StageProgress {
public:
    using Report = std::function<void(int stage, long percent)>;
    explicit StageProgress(Report report);
    ~StageProgress();
    ProgressBar& DownloadMode() { return *m_bars[0]; }
    ProgressBar& Erase() { return *m_bars[1]; }
    ProgressBar& Upload() { return *m_bars[2]; }

private:
    Report m_report;
    std::unique_ptr<ProgressBar> m_bars[3];
};

// The time a device that was lost during a download has to answer again
// before the next attempt (it may come back in download mode).
inline constexpr std::int32_t kAnswerAgainMs = 30000;

// Before another attempt on a device while others are being worked on: true
// when it answers again (a short search, then, after `waiting` ran, up to
// kAnswerAgainMs); its adapter is updated when it moved.
bool DeviceAnswersAgain(clsZarn& device, const std::function<void()>& waiting);

}  // namespace kvr
