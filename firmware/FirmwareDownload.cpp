#include "FirmwareDownload.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>

#include "AdapterSession.h"
#include "Globals.h"
#include "HexText.h"
#include "QfwIntegrity.h"
#include "Rids.h"
#include "RunTimeError.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsPayload.h"
#include "clsSnapCommand.h"
#include "clsSnapResponse.h"
#include "clsZarn.h"
#include "modSNAP.h"

namespace kvr {

namespace {

const ModuleLog WizardLog("frmFirmwareWizard");

// The failure text of the download under way on this thread (each download
// keeps its own, also when several run at once).
thread_local std::string* t_failure = nullptr;

// The module's log; a failure it logs becomes the download's failure reason.
void Log(const std::string& message, const LogLevelArg& level = {}) {
    WizardLog(message, level);
    const long n = ParseLogLevel(level);
    if (t_failure && ((n >= LEVEL_ERROR && n < LEVEL_USER) || n >= LEVEL_FATAL)) *t_failure = message;
}

// Collects the failures logged on this thread for the life of the object.
class FailureScope {
public:
    explicit FailureScope(std::string& failure) : m_saved(t_failure) {
        failure.clear();
        t_failure = &failure;
    }
    ~FailureScope() { t_failure = m_saved; }
    FailureScope(const FailureScope&) = delete;
    FailureScope& operator=(const FailureScope&) = delete;

private:
    std::string* m_saved;
};

// A message whose text begins with ": " or " " goes right after the procedure name.
void Say(const char* procedure, const std::string& message, long level) {
    Log(std::string(procedure) + message, level);
}

std::string T(long id) { return LoadResStringWrapper(id); }
std::string YesNo(bool b) { return b ? "True" : "False"; }

// A Single as the runtime prints it: the shortest text that reads back.
std::string SingleText(float v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

void Tell(const std::string& text, const std::string& title, PromptButtons buttons, PromptIcon icon) {
    CurrentPrompter().Ask(text, title, buttons, icon);
}

// Inside a catch block: logs the error being handled as every procedure of the
// download does and shows its description. Error 52 (a bad file name) also
// names the file.
void TrapError(const char* procedure, const std::string& fileName = {}) {
    const TrappedError error = CurrentTrappedError();
    std::string line = FormatTrappedError(error, procedure);
    if (error.number == 52 && !fileName.empty()) line += ".  Filename = " + fileName;
    Log(line, LEVEL_ERROR);
    Tell(error.description, kProgramTitle, PromptButtons::OKCancel, PromptIcon::Critical);
}

QfwHeader HeaderOf(const std::vector<std::uint8_t>& file) {
    std::uint8_t raw[kQfwHeaderSize] = {};  // bytes past a short file's end read as zeros
    std::copy_n(file.begin(), std::min(file.size(), kQfwHeaderSize), raw);
    QfwHeader h;
    ParseQfwHeader(raw, h);
    return h;
}

// Adds 1 to a bar that has room for it.
void Step(ProgressBar& pgb) {
    if (pgb.Max() > pgb.Value()) pgb.SetValue(pgb.Value() + 1);
}

}  // namespace

long UploadProgressSteps(std::int64_t size) {
    // The current rounding mode is to nearest, halves to even.
    return static_cast<long>(std::nearbyint(static_cast<double>(size) / 1449.0 + 0.5));
}

FirmwareDownload::FirmwareDownload(std::shared_ptr<clsZarn> device, ProgressBar& pgbDownloadMode,
                                   ProgressBar& pgbErase, ProgressBar& pgbUpload)
    : m_device(std::move(device)), m_pgbDownloadMode(pgbDownloadMode), m_pgbErase(pgbErase),
      m_pgbUpload(pgbUpload) {}

FirmwareDownload::~FirmwareDownload() = default;

bool FirmwareDownload::LoadImage(const std::string& fileName, const char* procedure) {
    m_imageLoaded = false;
    m_image.clear();
    m_imageName = fileName;
    std::uint64_t fileSize = 0;
    if (!CheckQfwFileIsRegular(fileName, procedure, fileSize)) return false;
    if (!CheckQfwFileSize(fileSize, fileName, procedure)) return false;
    std::ifstream in(fileName, std::ios::binary);
    if (!in) throw RunTimeError(52, "Bad file name or number");
    // Never more than the file's real size: a size claim in a header is not trusted.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(fileSize));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.gcount() != static_cast<std::streamsize>(bytes.size())) {
        Say(procedure, ": '" + fileName + "' changed while it was read.", LEVEL_ERROR);
        return false;
    }
    if (!VerifyQfwImage(bytes, fileName)) return false;
    m_image = std::move(bytes);
    m_imageLoaded = true;
    return true;
}

bool FirmwareDownload::HaveImage(const std::string& fileName, const char* procedure) {
    if (m_imageLoaded && m_imageName == fileName) return true;
    return LoadImage(fileName, procedure);
}

bool FirmwareDownload::AskRetry(long textId, PromptIcon icon, const std::string& title) {
    return CurrentPrompter().Ask(T(textId), title, PromptButtons::RetryCancel, icon) == PromptAnswer::Retry;
}

bool FirmwareDownload::Send(clsPayload& payload, std::uint8_t frameType, Via via, ProgressBar* pgb,
                            std::int16_t respTimeOutS, std::uint16_t refusalRid, bool copyDownloadMode,
                            const char* procedure) {
    m_lastRefused = false;
    clsZarn& dev = *m_device;
    payload.mProtocolVersion = dev.ProtocolVersion;
    clsSnapCommand command;
    command.ProtocolVersion = dev.ProtocolVersion;
    std::vector<std::uint8_t> bytes = payload.GetPayload();
    bytes.resize(static_cast<std::size_t>(payload.GetLength()));
    std::shared_ptr<clsSnapResponse> response;
    bool ok = via == Via::SendEx
                  ? command.SendEx(m_hNIC, dev.MAC, frameType, payload.GetLength(), bytes, response, pgb)
                  : command.SendDownloadFrame(m_hNIC, dev.MAC, frameType, payload.GetLength(), bytes, response, pgb,
                                              respTimeOutS, true, false);
    if (!ok || !response) return false;

    // The device answered; an error block for the record (or, for a raw data
    // frame, any error block or error code) means it refused it.
    long code = 0;
    bool refused = false;
    std::uint16_t refusedRid = refusalRid;
    if (refusalRid != 0) {
        refused = response->GetRIDerrorCode(refusalRid, code);
    } else {
        std::vector<std::uint8_t> value;
        long len = 0;
        Rid rid = 0;
        for (long i = 1; !refused && i <= 64 && response->GetField(i, rid, value, len); ++i) {
            if (rid == RID_ERROR_STATUS && len >= 4) {
                refused = true;
                refusedRid = static_cast<std::uint16_t>(value[0] | (value[1] << 8));
                code = value[2] | (value[3] << 8);
            }
        }
        if (!refused && response->ResponseCode != 0) {
            refused = true;
            code = response->ResponseCode;
        }
    }
    if (refused) {
        m_lastRefused = true;
        Say(procedure,
            ": the target refused the record (RID=0x" + HexUpper(refusedRid) + ", error code=0x" + HexUpper(code) + ")!",
            LEVEL_ERROR);
        return false;
    }
    if (copyDownloadMode) dev.IsInDownloadMode = response->downloadMode;
    return true;
}

bool FirmwareDownload::PerformDownload(const std::string& fileName) {
    const char* proc = "PerformDownload";
    bool ok = true;
    AdapterSession adapter;  // the device's adapter when none was given
    FailureScope failures(m_failure);
    m_hardwareWarning.clear();
    m_versionAfter.clear();
    m_versionMatches = false;
    m_imageLoaded = false;
    try {
        if (!m_device) throw RunTimeError(91, "Object variable or With block variable not set");
        clsZarn& dev = *m_device;

        auto refuseFile = [&] {
            Say(proc, ": user msg=" + T(4021), LEVEL_WATCH);
            Tell(T(4021), T(4000), PromptButtons::OK, PromptIcon::Warning);
            ok = false;
        };
        // The one read of the file: everything below works on these checked bytes.
        if (!LoadImage(fileName, proc)) refuseFile();
        QfwHeader h;
        if (ok) {
            h = HeaderOf(m_image);
            if (!h.HasMagic()) {
                // Checked when the file was chosen; the bytes read now must still carry it.
                Say(proc, ": the file has no QFW signature!", LEVEL_ERROR);
                refuseFile();
            } else if (h.Image1.Offset == 0 && h.CNE.Offset == 0) {
                Say(proc, ": No data found in QFW!", LEVEL_ERROR);
                refuseFile();
            } else if (h.Image1.Offset == 0 && m_uploadImageOnly) {
                // Only configuration data, and that is not to be sent: nothing to install.
                Say(proc, ": no image to upload: the file holds configuration data only and 'upload image only' is set.",
                    LEVEL_ERROR);
                refuseFile();
            }
        }
        if (ok && !IsHardwareCompatible(dev, h)) {
            Say(proc,
                ": Incompatible Hardware IDs (QFW=" + std::to_string(h.HardwareID) +
                    ", KVR=" + std::to_string(dev.HardwareID) + ")",
                LEVEL_ERROR);
            Say(proc, ": user msg=" + T(4032), LEVEL_WATCH);
            m_hardwareWarning = T(4032);
            if (m_overrideHardware) {
                Say(proc, ": " + T(4044), LEVEL_USER);
                Tell(T(4032) + "\n\n" + T(4044), T(4000), PromptButtons::OK, PromptIcon::Warning);
            } else {
                Tell(T(4032), T(4000), PromptButtons::OK, PromptIcon::Warning);
                ok = false;
            }
        }
        if (ok && m_hNIC == -1) {
            adapter = AdapterSession(dev.NICName);
            if (adapter.IsOpen()) {
                m_hNIC = adapter.Handle();
            } else {
                Say(proc, ": cannot open the adapter '" + dev.NICName + "'.", LEVEL_ERROR);
                Tell(T(4019) + dev.NICName, T(4000), PromptButtons::OK, PromptIcon::Critical);
                ok = false;
            }
        }
        if (ok) {
            G().DownloadInProgress = true;
            Clock& clock = CurrentClock();
            for (;;) {
                if (!SetZarnInDownloadMode()) Say(proc, ": " + T(4041), LEVEL_ERROR);
                clock.SleepMs(m_waits.pauseBeforeDownloadModeMs);
                const std::int64_t start = clock.NowMs();
                ok = dev.WaitForDownloadMode(m_hNIC, m_waits.downloadModeTimeoutMs, &m_pgbDownloadMode);
                if (ok) break;
                Say(proc,
                    " Error: m_SelectedZarn.WaitForDownloadMode returned False after " +
                        SingleText(static_cast<float>(clock.NowMs() - start)) + " ms .",
                    LEVEL_ERROR);
                if (!AskRetry(4023, PromptIcon::Critical, T(4000))) break;
            }
            if (!ok) {
                Say(proc, ": " + T(4041) + "  Aborting operation!", LEVEL_ERROR);
                Tell(T(4041), "Download Error", PromptButtons::OK, PromptIcon::None);
            }
        }
        if (ok) {
            ok = dev.IsTargetV16DownloadCompatible(m_hNIC) ? PerformDownload_V16(fileName)
                                                            : PerformDownload_V1(fileName);
        }
        if (ok) {
            m_pgbUpload.SetValue(m_pgbUpload.Max());
            if (dev.WaitForStartup(m_hNIC, m_waits.startupTimeoutMs, nullptr)) {
                TakeVersionAfterRestart(h);
            } else {
                Say(proc, " Error: failed to find Zarn in SelectedZarn.WaitForStartup", LEVEL_ERROR);
                Say(proc,
                    ": the device did not come back within " + std::to_string(m_waits.startupTimeoutMs / 1000) +
                        " s of the download; the firmware version it runs is unknown.",
                    LEVEL_WARNING);
            }
        }
    } catch (...) {
        TrapError(proc, fileName);
        ok = false;
    }
    if (adapter.IsOpen()) {
        adapter.Close();
        m_hNIC = -1;
    }
    G().DownloadInProgress = false;
    return ok;
}

void FirmwareDownload::TakeVersionAfterRestart(const QfwHeader& header) {
    const char* proc = "PerformDownload";
    clsZarn& dev = *m_device;
    // The discovery answer that ended the restart wait names the firmware the
    // device restarted with; nothing more is asked of it.
    const std::shared_ptr<clsSnapResponse>& answer = dev.BootAnswer();
    std::int32_t id = 0, version = 0;
    if (!answer || !answer->GetRIDFieldAsLong(RID_FIRMWARE_ID, id) ||
        !answer->GetRIDFieldAsLong(RID_FIRMWARE_VERSION, version)) {
        Say(proc, ": the device is back but did not report its firmware version; the version it runs is unknown.",
            LEVEL_ERROR);
        return;
    }
    dev.IsFirmwareIdValid = true;
    dev.FirmwareID = id;
    dev.FirmwareVersion = version;
    m_versionAfter = std::to_string(id) + "." + std::to_string(version);
    m_versionMatches = id == header.SwId() && version == header.SwVersionNumber();
    if (m_versionMatches) {
        Say(proc, ": the device now runs firmware " + m_versionAfter + ".", LEVEL_WATCH);
    } else {
        Say(proc,
            ": the device runs firmware " + m_versionAfter + " after the restart, not the file's " +
                header.VersionText() + "!",
            LEVEL_ERROR);
    }
}

bool FirmwareDownload::SetZarnInDownloadMode() {
    const char* proc = "SetZarnInDownloadMode";
    try {
        if (m_device->IsInDownloadMode) return true;
        clsPayload payload;
        payload.AddWord(RID_DOWNLOAD_MODE, 1);
        Say(proc, ": sending command.  expected label=0x" + HexUpper(static_cast<std::uint16_t>(CurrentLabel() + 1)),
            LEVEL_WATCH);
        if (!Send(payload, SNAP_KIND_WRITE_REQUEST, Via::SendEx, nullptr, 0, RID_DOWNLOAD_MODE, true, proc)) {
            Say(proc, ": " + T(4023), LEVEL_ERROR);
            return false;
        }
        Say(proc, " succeeded.", LEVEL_WATCH);
        return true;
    } catch (...) {
        TrapError(proc);
        return false;
    }
}

bool FirmwareDownload::PerformDownload_V16(const std::string& fileName) {
    const char* proc = "PerformDownload_V16";
    bool ok = false;
    try {
        if (!HaveImage(fileName, proc)) return false;
        const std::uint64_t size = m_image.size();
        if (!CheckQfwFileSize(size, fileName, proc)) return false;
        std::int16_t flags = 1;
        const QfwHeader h = HeaderOf(m_image);
        m_pgbUpload.SetMin(0);
        const long steps = UploadProgressSteps(static_cast<std::int64_t>(size));
        if (steps > 0) {
            m_pgbUpload.SetMax(steps);
            m_pgbUpload.SetValue(0);
        }
        if (h.CNE.Offset != 0 && !m_uploadImageOnly) flags += 4;
        const long remembered = m_pgbUpload.Value();
        for (;;) {
            m_pgbUpload.SetValue(remembered);
            ok = SendStartDownload_V16(static_cast<std::int32_t>(size), flags);
            if (ok) ok = SendImage_V16(fileName);
            if (ok) {
                // A device that refuses the end record kept its old firmware.
                if (!SendEndDownload(0) && m_lastRefused) ok = false;
            } else {
                SendEndDownload(1);
            }
            if (ok) SendStartImage();
            if (ok || !AskRetry(4025, PromptIcon::Critical, T(4000))) break;
            Log("SendImage: user initiated a retry of firmware image download.", LEVEL_USER);
        }
        return ok;
    } catch (...) {
        TrapError(proc, fileName);
        return false;
    }
}

bool FirmwareDownload::SendStartRecord(clsPayload& payload, std::uint16_t rid, const char* procedure) {
    const bool v16 = rid == RID_START_QFW_DOWNLOAD;
    for (;;) {
        if (Send(payload, SNAP_KIND_WRITE_REQUEST, Via::DownloadFrame, &m_pgbErase, 60, rid, v16, procedure))
            return true;
        if (!AskRetry(4024, PromptIcon::Critical, T(4000))) return false;
    }
}

bool FirmwareDownload::SendStartDownload_V16(std::int32_t size, std::int16_t flags) {
    const char* proc = "SendStartDownload_V16";
    try {
        clsPayload payload;
        payload.AddLenRIDBlock(4, RID_START_QFW_DOWNLOAD);
        payload.AddLongNoRID(size);
        payload.AddIntNoRID(flags);
        return SendStartRecord(payload, RID_START_QFW_DOWNLOAD, proc);
    } catch (...) {
        TrapError(proc);
        return false;
    }
}

bool FirmwareDownload::ResumeAfterChunkError(long number, const char* procedure, std::int64_t remaining, bool done,
                                             bool eof, bool v16) {
    const std::string body = v16 ? ", lngFrameBodySize=" + std::to_string(kFrameBodySizeV16)
                                 : ", FRAMEBODYSIZE=" + std::to_string(kFrameBodySizeV1);
    if (number == 380) {
        Say(procedure, ": ...perhaps this is an error in the progress bar settings.", LEVEL_ERROR);
        Say(procedure,
            ":  pgbupload.min=" + std::to_string(m_pgbUpload.Min()) + ", pgbupload.value=" +
                std::to_string(m_pgbUpload.Value()) + ", pgbupload.max=" + std::to_string(m_pgbUpload.Max()) +
                ", length=" + std::to_string(remaining) + body + ".",
            LEVEL_ERROR);
    } else if (number == 9) {
        Say(procedure, ": ...perhaps this is an error with file sizes.", LEVEL_ERROR);
        Say(procedure,
            ":  length=" + std::to_string(remaining) + ", bDone=" + YesNo(done) + ", EOF=" + YesNo(eof) + body + ".",
            LEVEL_ERROR);
    } else {
        return false;
    }
    Say(procedure, ":  corrective action: resuming next...", LEVEL_ERROR);
    return true;
}

bool FirmwareDownload::SendChunks(std::int64_t offset, std::int64_t length, bool v16, const char* procedure) {
    const std::int64_t bodySize = v16 ? kFrameBodySizeV16 : kFrameBodySizeV1;
    std::int64_t remaining = length;
    std::int64_t pos = offset;  // read position in the file
    bool done = false;
    bool ok = true;
    do {
        std::int64_t n = 0;
        if (remaining > bodySize) {
            n = bodySize + 1;
            remaining -= n;
        } else {
            done = true;
            if (remaining > 0) {
                n = remaining;
            } else {
                Say(procedure,
                    ": remaining_data bug encountered.  Fixed now.  remaining image download length=" +
                        std::to_string(remaining),
                    LEVEL_WARNING);
                break;
            }
        }
        clsPayload payload;
        try {
            // The chunk from the checked bytes; bytes past the end read as zeros.
            std::vector<std::uint8_t> chunk(static_cast<std::size_t>(n), 0);
            const auto size = static_cast<std::int64_t>(m_image.size());
            if (pos < size) {
                const std::int64_t have = std::min(n, size - pos);
                std::copy_n(m_image.begin() + pos, have, chunk.begin());
            }
            if (v16) {
                payload.AddLenRIDBlock(static_cast<std::int16_t>((n + 8) / 2), RID_DOWNLOAD_QFW_CHUNK);
                payload.AddLongNoRID(static_cast<std::int32_t>(pos));
                payload.AddIntNoRID(static_cast<std::int16_t>(n));
            }
            payload.AddBin(chunk);
        } catch (const RunTimeError& e) {
            if (!ResumeAfterChunkError(e.Number(), procedure, remaining, done,
                                       pos >= static_cast<std::int64_t>(m_image.size()), v16))
                throw;
        }
        ok = Send(payload, v16 ? SNAP_KIND_WRITE_REQUEST : SNAP_KIND_FW_DATA, Via::DownloadFrame, nullptr,
                  v16 ? 30 : 5, v16 ? RID_DOWNLOAD_QFW_CHUNK : 0, false, procedure);
        if (ok) {
            pos += n;
            CurrentEventPump().DoEvents();
            try {
                Step(m_pgbUpload);
            } catch (const RunTimeError& e) {
                if (!ResumeAfterChunkError(e.Number(), procedure, remaining, done,
                                           pos >= static_cast<std::int64_t>(m_image.size()), v16))
                    throw;
            }
        }
    } while (!done && ok);
    return ok;
}

bool FirmwareDownload::SendImage_V16(const std::string& fileName) {
    const char* proc = "SendImage_V16";
    try {
        Log("SendImage_V16: about to send firmware image to target...", LEVEL_TRACE);
        if (!HaveImage(fileName, proc)) return false;
        const bool ok = SendChunks(0, static_cast<std::int64_t>(m_image.size()), true, proc);
        if (ok) {
            Say(proc, ": the firmware image download operation has succeeded!", LEVEL_USER);
        } else {
            Say(proc, ": command.SendDownloadFrame failed!", LEVEL_ERROR);
        }
        return ok;
    } catch (...) {
        TrapError(proc, fileName);
        return false;
    }
}

bool FirmwareDownload::SendEndDownload(std::int16_t status) {
    const char* proc = "SendEndDownload";
    try {
        clsPayload payload;
        payload.AddWord(RID_END_DOWNLOAD, static_cast<std::uint16_t>(status));
        if (Send(payload, SNAP_KIND_WRITE_REQUEST, Via::SendEx, nullptr, 0, RID_END_DOWNLOAD, true, proc)) {
            Say(proc, ": response from EndDownload received.", LEVEL_WATCH);
            return true;
        }
        Say(proc, ": send download end command failed.", LEVEL_WARNING);
        return false;
    } catch (...) {
        TrapError(proc);
        return false;
    }
}

bool FirmwareDownload::SendStartImage() {
    const char* proc = "SendStartImage";
    try {
        Log("SendStartImage called.", LEVEL_WATCH);
        if (!m_device->IsInDownloadMode) {
            Say(proc, ": the image is already started!", LEVEL_WARNING);
            return false;
        }
        clsPayload payload;
        payload.AddLong(RID_START_IMAGE, 0);
        Say(proc, ": sending command.  expected label=0x" + HexUpper(static_cast<std::uint16_t>(CurrentLabel() + 1)),
            LEVEL_TRACE);
        for (;;) {
            if (Send(payload, SNAP_KIND_WRITE_REQUEST, Via::SendEx, nullptr, 0, RID_START_IMAGE, true, proc))
                return true;
            Say(proc, ": failed to send Start Image command to target!", LEVEL_WARNING);
            if (CurrentPrompter().Ask(T(4043), kProgramTitle, PromptButtons::RetryCancel, PromptIcon::None) !=
                PromptAnswer::Retry)
                return false;
        }
    } catch (...) {
        TrapError(proc);
        return false;
    }
}

bool FirmwareDownload::PerformDownload_V1(const std::string& fileName) {
    const char* proc = "PerformDownload_V1";
    bool ok = true;
    try {
        if (!HaveImage(fileName, proc)) return false;
        const QfwHeader h = HeaderOf(m_image);
        const bool sendCne = h.CNE.Offset != 0 && !m_uploadImageOnly;
        m_pgbUpload.SetMin(0);
        m_pgbUpload.SetMax(2);
        m_pgbUpload.SetValue(0);
        if (sendCne) m_pgbUpload.SetMax(m_pgbUpload.Max() + UploadProgressSteps(h.CNE.Length));
        if (h.Image1.Offset != 0) m_pgbUpload.SetMax(m_pgbUpload.Max() + UploadProgressSteps(h.Image1.Length));

        if (ok && sendCne) {
            const long remembered = m_pgbUpload.Value();
            for (;;) {
                m_pgbUpload.SetValue(remembered);
                ok = SendStartDownloadCNE(h);
                if (ok) ok = SendImage(h.CNE);
                if (ok || !AskRetry(4025, PromptIcon::Critical, T(4000))) break;
                Log("SendImage: user had initiated a retry of the CNE download.", LEVEL_USER);
            }
        }
        if (ok && h.Image1.Offset != 0) {
            const long remembered = m_pgbUpload.Value();
            for (;;) {
                m_pgbUpload.SetValue(remembered);
                ok = SendStartDownload(h);
                if (ok) ok = SendImage(h.Image1);
                if (ok || !AskRetry(4025, PromptIcon::Critical, T(4000))) break;
                Log("SendImage: user initiated a retry of firmware image download.", LEVEL_USER);
            }
        }
        return ok;
    } catch (...) {
        TrapError(proc, fileName);
        return false;
    }
}

namespace {
// Fields 1 to 6 of both protocol-1 start records, then the section's three.
void AddIdentity(clsPayload& p, const QfwHeader& h, const QfwSection& s) {
    p.AddBin({h.Date.begin(), h.Date.end()});
    p.AddBin({h.Time.begin(), h.Time.end()});
    p.AddBin({h.SWID.begin(), h.SWID.end()});
    p.AddBin({h.SWVersion.begin(), h.SWVersion.end()});
    p.AddIntNoRID(h.HardwareID);
    p.AddIntNoRID(h.CompatibleHardwareVersion);
    p.AddBin({s.TargetInfo.begin(), s.TargetInfo.end()});
    p.AddLongNoRID(s.Length);
    p.AddLongNoRID(static_cast<std::int32_t>(s.Crc));
}
}  // namespace

bool FirmwareDownload::SendStartDownloadCNE(const QfwHeader& header) {
    const char* proc = "SendStartDownloadCNE";
    try {
        clsPayload payload;
        payload.AddLenRIDBlock(23, RID_START_CNE_DOWNLOAD);
        payload.AddBin({header.CneTag.begin(), header.CneTag.end()});
        AddIdentity(payload, header, header.CNE);
        if (!SendStartRecord(payload, RID_START_CNE_DOWNLOAD, proc)) return false;
        Step(m_pgbUpload);
        return true;
    } catch (...) {
        TrapError(proc);
        return false;
    }
}

bool FirmwareDownload::SendStartDownload(const QfwHeader& header) {
    const char* proc = "SendStartDownload";
    try {
        clsPayload payload;
        payload.AddLenRIDBlock(21, RID_START_IMAGE_DOWNLOAD);
        AddIdentity(payload, header, header.Image1);
        return SendStartRecord(payload, RID_START_IMAGE_DOWNLOAD, proc);
    } catch (...) {
        TrapError(proc);
        return false;
    }
}

bool FirmwareDownload::SendImage(const QfwSection& section) {
    const char* proc = "SendImage";
    try {
        Log("SendImage: about to send firmware image to target...", LEVEL_TRACE);
        if (!m_imageLoaded || section.Offset < 0 || section.Length < 0) {
            Say(proc, ": no checked section to send.", LEVEL_ERROR);
            return false;
        }
        bool ok = SendChunks(section.Offset, section.Length, false, proc);
        if (ok) {
            if (!SendEndDownload(0)) {
                if (m_lastRefused) {
                    ok = false;  // the device found the section bad and kept what it had
                } else {
                    Say(proc,
                        ": the target failed to respond to the EndDownload request!  Possibly not implemented, "
                        "continuing normally.",
                        LEVEL_WARNING);
                }
            }
        } else {
            SendEndDownload(1);
        }
        if (ok) {
            Say(proc, ": the firmware image download operation has succeeded!", LEVEL_USER);
        } else {
            Say(proc, ": command.SendDownloadFrame failed!", LEVEL_ERROR);
        }
        return ok;
    } catch (...) {
        TrapError(proc);
        return false;
    }
}

}  // namespace kvr
