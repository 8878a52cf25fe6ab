#pragma once
// Moving a checked .qfw file into one device: download mode, protocol 16 (the
// whole file in numbered chunks) or protocol 1 (the CNE section and Image1 in
// raw data frames), the end records, and the wait for the restart.
//
// The firmware wizard owns one object per download. The user is reached only
// through the seams: the current Prompter for the Retry/Cancel questions, the
// three progress bars given here, the current Clock for the pauses and the
// current EventPump between chunks. Log lines go to module "frmFirmwareWizard"
// under each procedure's name. Nothing throws to the caller.
//
// The file is read once by PerformDownload, checked again in memory, and those
// bytes are the ones sent: a file changed after the check cannot slip through.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QfwHeader.h"
#include "Seams.h"

class clsZarn;
class clsPayload;

namespace kvr {

// Chunk sizes: a chunk is full while more than the body size remains.
inline constexpr std::int32_t kFrameBodySizeV16 = 1441;  // lngFrameBodySize
inline constexpr std::int32_t kFrameBodySizeV1 = 1449;   // FRAMEBODYSIZE

// Progress steps for `size` bytes: size / 1449 + 0.5 rounded to the nearest
// integer, halves to even.
long UploadProgressSteps(std::int64_t size);

// Time limits of the download; the defaults are the protocol's.
struct FirmwareWaits {
    long pauseBeforeDownloadModeMs = 3000;       // blocking pause after RID_DOWNLOAD_MODE
    std::int32_t downloadModeTimeoutMs = 40000;  // WaitForDownloadMode
    std::int32_t startupTimeoutMs = 15000;       // WaitForStartup
};

class FirmwareDownload {
public:
    FirmwareDownload(std::shared_ptr<clsZarn> device, ProgressBar& pgbDownloadMode, ProgressBar& pgbErase,
                     ProgressBar& pgbUpload);
    ~FirmwareDownload();
    FirmwareDownload(const FirmwareDownload&) = delete;
    FirmwareDownload& operator=(const FirmwareDownload&) = delete;

    // "Upload image only (no CnE data)".
    void SetUploadImageOnly(bool imageOnly) { m_uploadImageOnly = imageOnly; }
    // chkOverrideHardwareCompatibility: an incompatible device is warned about
    // and downloaded to anyway.
    void SetOverrideHardwareCompatibility(bool overrideCheck) { m_overrideHardware = overrideCheck; }
    void SetWaits(const FirmwareWaits& waits) { m_waits = waits; }

    // The whole download; true when the firmware went in (a device that does
    // not come back in time still counts). Opens the device's adapter for the
    // time of the call.
    bool PerformDownload(const std::string& fileName);
    // The text for the front of the wizard's warning label when the hardware
    // check of the last PerformDownload failed; empty otherwise.
    std::string HardwareWarning() const { return m_hardwareWarning; }
    // The firmware version ("SWID.SWVersion") the device reported in the
    // discovery answer that ended the restart wait; empty when it did not come
    // back in time (its version is unknown).
    std::string VersionAfter() const { return m_versionAfter; }
    // True when VersionAfter is the file's version.
    bool VersionMatchesFile() const { return m_versionMatches; }
    // The last failure the last PerformDownload logged ("" none): the step
    // that failed, or a problem it got over when it still went in.
    const std::string& Failure() const { return m_failure; }

    // Reads and checks the file once; the steps below send these bytes.
    bool LoadFile(const std::string& fileName) { return HaveImage(fileName, "PerformDownload"); }

    // The steps, public for the wizard and for tests. Each needs the adapter
    // open: PerformDownload opens it for the call in an adapter session unless
    // SetAdapterHandle lent it one that its owner keeps open and closes.
    void SetAdapterHandle(std::int32_t hNIC) { m_hNIC = hNIC; }
    bool SetZarnInDownloadMode();
    bool PerformDownload_V16(const std::string& fileName);
    bool SendStartDownload_V16(std::int32_t size, std::int16_t flags);
    bool SendImage_V16(const std::string& fileName);
    // True when the device answered and did not refuse the record.
    bool SendEndDownload(std::int16_t status);
    bool SendStartImage();
    bool PerformDownload_V1(const std::string& fileName);
    bool SendStartDownloadCNE(const QfwHeader& header);
    bool SendStartDownload(const QfwHeader& header);
    // Sends one section of the file read by PerformDownload, then its end record.
    bool SendImage(const QfwSection& section);

private:
    // Reads the whole file once (size checks under `procedure`) and checks
    // those bytes; false with the reason logged.
    bool LoadImage(const std::string& fileName, const char* procedure);
    bool HaveImage(const std::string& fileName, const char* procedure);
    // One record through the transport. refusalRid: the RID whose error block
    // counts as the device refusing the record (0: a raw data frame, refused
    // by any error block or a non-zero response code).
    enum class Via { SendEx, DownloadFrame };
    bool Send(clsPayload& payload, std::uint8_t frameType, Via via, ProgressBar* pgb, std::int16_t respTimeOutS,
              std::uint16_t refusalRid, bool copyDownloadMode, const char* procedure);
    bool SendStartRecord(clsPayload& payload, std::uint16_t rid, const char* procedure);
    // The chunk loop shared by both protocols.
    bool SendChunks(std::int64_t offset, std::int64_t length, bool v16, const char* procedure);
    // Logs a run-time error trapped in the chunk loop; true when the loop
    // resumes with its next statement (errors 380 and 9).
    bool ResumeAfterChunkError(long number, const char* procedure, std::int64_t remaining, bool done, bool eof,
                               bool v16);
    void TakeVersionAfterRestart(const QfwHeader& header);
    bool AskRetry(long textId, PromptIcon icon, const std::string& title);

    std::shared_ptr<clsZarn> m_device;
    ProgressBar& m_pgbDownloadMode;
    ProgressBar& m_pgbErase;
    ProgressBar& m_pgbUpload;
    FirmwareWaits m_waits;
    bool m_uploadImageOnly = false;
    bool m_overrideHardware = false;
    std::int32_t m_hNIC = -1;

    std::string m_imageName;           // the file m_image was read from
    std::vector<std::uint8_t> m_image;  // its bytes, checked
    bool m_imageLoaded = false;
    bool m_lastRefused = false;        // the last Send was answered with a refusal

    std::string m_hardwareWarning;
    std::string m_versionAfter;
    bool m_versionMatches = false;
    std::string m_failure;
};

}  // namespace kvr
