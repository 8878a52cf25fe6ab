#include "AutomationBinding.h"

#include "AutomatedOperations.h"
#include "CommandLine.h"
#include "ExitStatus.h"
#include "Globals.h"
#include "basAutomation.h"
#include "basDebug.h"
#include "frmZarni.h"

namespace kvr {

void BindAutomation(frmZarni& window) {
    basAutomation::AutomationServices services;
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
