// The wizard's services over the firmware module's integrity check, hardware
// test and download.
#include "FirmwareWizardBinding.h"

#include "FirmwareDownload.h"
#include "QfwIntegrity.h"
#include "clsZarn.h"

namespace kvr {

FirmwareWizardServices FirmwareDownloadServices() {
    FirmwareWizardServices services;
    services.VerifyIntegrity = [](const std::string& fileName) { return VerifyQfwIntegrity(fileName); };
    services.IsHardwareCompatible = [](const clsZarn& device, const QfwHeader& header) {
        return IsHardwareCompatible(device, header);
    };
    services.Download = [](const FirmwareDownloadRequest& request) {
        FirmwareDownloadResult result;
        if (!request.device || !request.pgbDownloadMode || !request.pgbErase || !request.pgbUpload) return result;
        FirmwareDownload download(request.device, *request.pgbDownloadMode, *request.pgbErase, *request.pgbUpload);
        if (request.hNIC >= 0) download.SetAdapterHandle(request.hNIC);
        download.SetUploadImageOnly(request.uploadImageOnly);
        download.SetOverrideHardwareCompatibility(request.overrideHardwareCheck);
        result.ok = download.PerformDownload(request.fileName);
        result.hardwareWarning = download.HardwareWarning();
        result.versionAfter = download.VersionAfter();
        result.versionMatchesFile = download.VersionMatchesFile();
        result.failure = download.Failure();
        return result;
    };
    return services;
}

}  // namespace kvr
