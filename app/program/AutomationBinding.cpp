#include "AutomationBinding.h"

#include "AutomatedOperations.h"
#include "FirmwareDownload.h"
#include "QfwIntegrity.h"
#include "clsZarn.h"
#include "CommandLine.h"
#include "ExitStatus.h"
#include "Globals.h"
#include "basAutomation.h"
#include "basDebug.h"
#include "frmZarni.h"

namespace kvr {
namespace {

// Page 2's decisions and page 3's download without a window, for a build
// whose firmware wizard is not there yet.
class DirectDownload : public basAutomation::AutomatedWizard {
public:
    bool Init(std::shared_ptr<clsZarn> device) override {
        m_device = std::move(device);
        return m_device != nullptr;
    }
    void SetFileName(const std::string& fileName) override { m_file = fileName; }
    void GotoStep(int page) override {
        if (page == 2) {
            QfwHeader header;
            if (ReadQfwHeaderFile(m_file, header) != QfwReadStatus::Ok) return;
            if (!IsHardwareCompatible(*m_device, header)) {
                DebugLog("GotoStep: Incompatible Hardware IDs (QFW=" + std::to_string(header.HardwareID) + "." +
                             std::to_string(header.CompatibleHardwareVersion) + ", Zarn=" +
                             std::to_string(m_device->HardwareID) + "." + std::to_string(m_device->HardwareVersion) +
                             ")",
                         LEVEL_ERROR, "frmFirmwareWizard");
                m_step = 1;
                return;
            }
            m_imageOnly = m_device->FirmwareID == header.SwId() && header.SwId() != -1;
        }
        m_step = page;
    }
    int iStep() const override { return m_step; }
    bool UploadImageOnly() const override { return m_imageOnly; }
    void SetUploadImageOnly(bool value) override { m_imageOnly = value; }
    void SetProgressBars(ProgressBar* downloadMode, ProgressBar* erase, ProgressBar* upload) override {
        ProgressBar* given[3] = {downloadMode, erase, upload};
        for (int i = 0; i < 3; ++i) m_bars[i] = given[i] ? given[i] : &m_spare[i];
    }
    void Show(bool) override {}
    void Advance() override {
        if (m_step != 2) return;
        FirmwareDownload download(m_device, *m_bars[0], *m_bars[1], *m_bars[2]);
        download.SetUploadImageOnly(m_imageOnly);
        m_ok = download.PerformDownload(m_file);
        m_versionAfter = download.VersionAfter();
        m_matches = download.VersionMatchesFile();
        m_step = m_ok ? 4 : 3;
        if (!m_ok) DebugLog("GotoStep: PerformDownload failed.", LEVEL_ERROR, "frmFirmwareWizard");
    }
    bool UploadOK() const override { return m_ok; }
    std::string VersionAfter() const override { return m_versionAfter; }
    bool VersionMatchesFile() const override { return m_matches; }
    void Close() override {}

private:
    std::shared_ptr<clsZarn> m_device;
    std::string m_file, m_versionAfter;
    int m_step = 1;
    bool m_imageOnly = false, m_ok = false, m_matches = false;
    MemoryProgressBar m_spare[3];
    ProgressBar* m_bars[3] = {&m_spare[0], &m_spare[1], &m_spare[2]};
};

}  // namespace

void BindAutomation(frmZarni& window) {
    basAutomation::AutomationServices services;
    services.MakeWizard = [] { return std::make_unique<DirectDownload>(); };
    services.VerifyFile = [](const std::string& file) { return VerifyQfwIntegrity(file); };
    services.Rediscover = [&window] { window.Discover(); };
    // Called inside the timer's step: the window closes as soon as the step
    // has returned, and the program ends with it.
    services.EndProgram = [&window] { window.close(); };
    services.ShowFile = [](const std::string& file) {
        std::string error;
        if (!SpawnProgram({"/usr/bin/xdg-open", file}, false, nullptr, &error))
            DebugLog("CloseLogFile: cannot show '" + file + "': " + error, LEVEL_WARNING, "basAutomation");
    };
    basAutomation::SetServices(std::move(services));

    window.SetAutomationStep([] {
        const long r = basAutomation::PerformAutomatedOperations();
        if (r == 3 && basAutomation::State().UnattendedMode)
            basAutomation::SetRunStatus(ExitStatus::SeveralDevices,
                                        "several devices fit and nobody can pick one in an unattended run; "
                                        "name them with --match-mac");
        return r;
    });
    window.SetAutomationAbort([] { basAutomation::AbortAutomation(); });
}

}  // namespace kvr
