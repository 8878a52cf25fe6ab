#include "FleetUpgrade.h"

#include <algorithm>

#include "FirmwareWizardBinding.h"
#include "clsZarn.h"

namespace kvr {
namespace {

class StageBar : public MemoryProgressBar {
public:
    StageBar(const StageProgress::Report& report, int stage) : m_report(report), m_stage(stage) {}
    void SetValue(long v) override {
        MemoryProgressBar::SetValue(v);
        const long span = Max() - Min();
        const long pct = span > 0 ? std::clamp((v - Min()) * 100 / span, 0L, 100L) : 0L;
        if (m_report) m_report(m_stage, pct);
    }

private:
    const StageProgress::Report& m_report;
    int m_stage;
};

FirmwareWizardServices UpgradeServices(FirmwareDownloadResult& result) {
    FirmwareWizardServices services = FirmwareDownloadServices();
    // Nobody answers a file dialog here: the file was chosen before.
    services.ChooseFile = [](const std::string&, const std::string&, const std::string&) { return std::string(); };
    const auto download = services.Download;
    services.Download = [&result, download](const FirmwareDownloadRequest& request) {
        result = download(request);
        return result;
    };
    return services;
}

}  // namespace

DeviceUpgrade::DeviceUpgrade(std::shared_ptr<clsZarn> device, std::string fileName)
    : m_device(std::move(device)), m_fileName(std::move(fileName)), m_wizard(UpgradeServices(m_result)) {}

DeviceUpgrade::~DeviceUpgrade() = default;

DeviceUpgrade::Prepared DeviceUpgrade::Prepare() {
    if (!m_wizard.Init(m_device)) return Prepared::AdapterFailed;
    m_wizard.Load();
    m_wizard.SetFileName(m_fileName);
    m_wizard.GotoStep(2);
    // Page 2 refuses a device the file does not fit (the wizard stays on
    // page 1); Next there would open the file dialog, which nobody answers.
    return m_wizard.iStep() == 2 ? Prepared::Ready : Prepared::NotAccepted;
}

bool DeviceUpgrade::Download(ProgressBar* downloadMode, ProgressBar* erase, ProgressBar* upload) {
    m_wizard.SetProgressBars(downloadMode, erase, upload);
    m_wizard.Advance();
    CurrentClock().SleepMs(300);
    CurrentEventPump().DoEvents();
    const bool ok = m_wizard.UploadOK();
    m_wizard.Unload();
    return ok;
}

DownloadVerdict JudgeDownload(const FirmwareDownloadResult& result, bool ok) {
    if (!ok) return DownloadVerdict::Failed;
    if (result.versionAfter.empty()) return DownloadVerdict::NotBack;
    if (!result.versionMatchesFile) return DownloadVerdict::OtherVersion;
    return DownloadVerdict::Upgraded;
}


StageProgress::~StageProgress() = default;

StageProgress::StageProgress(Report report) : m_report(std::move(report)) {
    for (int i = 0; i < 3; ++i) m_bars[i] = std::make_unique<StageBar>(m_report, i);
}

bool DeviceAnswersAgain(clsZarn& device, const std::function<void()>& waiting) {
    if (device.ScanForZarn(1000, nullptr)) return true;
    if (waiting) waiting();
    return device.ScanForZarn(kAnswerAgainMs, nullptr);
}

}  // namespace kvr
