#include "AutomationBinding.h"

#include "AutomationRun.h"
#include "CommandLine.h"
#include "ExitStatus.h"
#include "FirmwareWizardBinding.h"
#include "Globals.h"
#include "QfwIntegrity.h"
#include "basAutomation.h"
#include "basDebug.h"
#include "clsZarn.h"
#include "frmFirmwareWizard.h"
#include "frmZarni.h"

namespace kvr {

void BindAutomation(frmZarni& window, basAutomation::AutomationRun& run) {
    basAutomation::AutomationServices& services = run.Services();
    // The wizard window on page 2 with the run's file; the user goes on from there.
    services.ShowWizard = [&window](std::shared_ptr<clsZarn> device, const std::string& fileName) {
        basAutomation::AttendedDownload shown;
        FirmwareWizardServices wizardServices = FirmwareDownloadServices();
        const auto download = wizardServices.Download;
        wizardServices.Download = [&shown, download](const FirmwareDownloadRequest& request) {
            shown.result = download ? download(request) : FirmwareDownloadResult{};
            return shown.result;
        };
        frmFirmwareWizard wizard(std::move(wizardServices), &window);
        if (!wizard.Init(std::move(device))) return shown;
        shown.opened = true;
        wizard.SetFileName(fileName);
        wizard.GotoStep(2);
        wizard.exec();
        shown.ok = wizard.Model().UploadOK();
        return shown;
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

    window.SetAutomationStep([&run] { return run.PerformAutomatedOperations(); });
    window.SetAutomationAbort([&run] { run.AbortAutomation(); });
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
}

}  // namespace kvr
