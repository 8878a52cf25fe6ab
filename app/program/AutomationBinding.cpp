#include "AutomationBinding.h"

#include "AutomatedOperations.h"
#include "FirmwareWizardBinding.h"
#include "QfwIntegrity.h"
#include "clsZarn.h"
#include "frmFirmwareWizard.h"
#include "CommandLine.h"
#include "ExitStatus.h"
#include "Globals.h"
#include "basAutomation.h"
#include "basDebug.h"
#include "frmZarni.h"

namespace kvr {
namespace {

// Passes a progress bar's values on to two bars: the run's own (its
// progress line) and the wizard window's.
class TwoBars : public ProgressBar {
public:
    void Attach(ProgressBar* first, ProgressBar* second) {
        m_bars[0] = first;
        m_bars[1] = second;
    }
    void SetMin(long v) override { Each([v](ProgressBar& b) { b.SetMin(v); }); }
    void SetMax(long v) override { Each([v](ProgressBar& b) { b.SetMax(v); }); }
    void SetValue(long v) override { Each([v](ProgressBar& b) { b.SetValue(v); }); }
    long Min() const override { return First().Min(); }
    long Max() const override { return First().Max(); }
    long Value() const override { return First().Value(); }

private:
    template <typename F>
    void Each(F f) {
        for (ProgressBar* b : m_bars)
            if (b) f(*b);
    }
    const ProgressBar& First() const {
        if (m_bars[1]) return *m_bars[1];
        if (m_bars[0]) return *m_bars[0];
        return m_spare;
    }
    ProgressBar* m_bars[2] = {nullptr, nullptr};
    MemoryProgressBar m_spare;
};

// The firmware wizard window as the automated run drives it. The run sees
// what the download reported (the version after the restart) and its progress.
class WizardWindow : public basAutomation::AutomatedWizard {
public:
    explicit WizardWindow(QWidget* parent) {
        FirmwareWizardServices services = FirmwareDownloadServices();
        const auto download = services.Download;
        services.Download = [this, download](const FirmwareDownloadRequest& request) {
            FirmwareDownloadRequest r = request;
            m_forward[0].Attach(m_bars[0], request.pgbDownloadMode);
            m_forward[1].Attach(m_bars[1], request.pgbErase);
            m_forward[2].Attach(m_bars[2], request.pgbUpload);
            r.pgbDownloadMode = &m_forward[0];
            r.pgbErase = &m_forward[1];
            r.pgbUpload = &m_forward[2];
            m_result = download ? download(r) : FirmwareDownloadResult{};
            return m_result;
        };
        // Nobody answers a file dialog in an unattended run.
        if (basAutomation::State().UnattendedMode)
            services.ChooseFile = [](const std::string&, const std::string&, const std::string&) {
                return std::string();
            };
        m_window = std::make_unique<frmFirmwareWizard>(std::move(services), parent);
    }
    bool Init(std::shared_ptr<clsZarn> device) override { return m_window->Init(std::move(device)); }
    void SetFileName(const std::string& fileName) override { m_window->SetFileName(fileName); }
    void GotoStep(int page) override { m_window->GotoStep(page); }
    int iStep() const override { return m_window->Model().iStep(); }
    bool UploadImageOnly() const override { return m_window->UploadImageOnly(); }
    void SetUploadImageOnly(bool value) override { m_window->SetUploadImageOnly(value); }
    void SetProgressBars(ProgressBar* downloadMode, ProgressBar* erase, ProgressBar* upload) override {
        m_bars[0] = downloadMode;
        m_bars[1] = erase;
        m_bars[2] = upload;
    }
    void Show(bool modal) override {
        if (modal)
            m_window->exec();
        else
            m_window->show();
    }
    void Advance() override { m_window->Advance(); }
    bool UploadOK() const override { return m_window->Model().UploadOK(); }
    std::string VersionAfter() const override { return m_result.versionAfter; }
    bool VersionMatchesFile() const override { return m_result.ok && m_result.versionMatchesFile; }
    // Unloads the wizard, which closes the adapter it opened.
    void Close() override { m_window.reset(); }

private:
    FirmwareDownloadResult m_result;
    ProgressBar* m_bars[3] = {nullptr, nullptr, nullptr};
    TwoBars m_forward[3];
    // Last: goes first, while the bars its download hook uses still exist.
    std::unique_ptr<frmFirmwareWizard> m_window;
};

}  // namespace

void BindAutomation(frmZarni& window) {
    basAutomation::AutomationServices services;
    services.MakeWizard = [&window]() -> std::unique_ptr<basAutomation::AutomatedWizard> {
        return std::make_unique<WizardWindow>(&window);
    };
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
    // The run's firmware file decides which devices are offered (nothing is
    // known without a header read from it), and the device the user picks is
    // the run's target.
    window.SetAutomationFirmwareFit([](const clsZarn& z) {
        const auto& st = basAutomation::State();
        if (!st.FileHeaderRead) return true;  // /I, /B, /C runs, or a /D file without a header
        return IsHardwareCompatible(z.HardwareID, z.HardwareVersion, static_cast<std::int32_t>(st.FileHardwareID),
                                    static_cast<std::int32_t>(st.FileCompatibleHardwareVersion));
    });
    window.SetAutomationTarget([](const std::string& mac) { basAutomation::State().MatchMac = mac; });
    window.SetAutomationUnattended(basAutomation::State().UnattendedMode);
}

}  // namespace kvr
