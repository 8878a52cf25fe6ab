#include "clsZarn.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "AdapterSession.h"
#include "DiscoveryProbe.h"
#include "HexText.h"
#include "RunTimeError.h"
#include "Rids.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsNICpool.h"
#include "clsPayload.h"
#include "clsSnapCommand.h"
#include "clsSnapResponse.h"
#include "modSNAP.h"

namespace {

const kvr::ModuleLog Log("clsZarn");

// Every search for a device after a restart speaks protocol version 8.
constexpr std::int16_t kSearchVersion = SNAP_VERSION_8;
constexpr long kPollMs = 500;
constexpr long kScanPauseMs = 200;

// Called inside a catch block: logs the error being handled.
void LogTrapped(const std::exception&, const std::string& procedure) { kvr::LogTrappedError(Log, procedure); }

// Progress in whole seconds of the time-out, at most 32767 steps.
void SetupSecondsProgress(kvr::ProgressBar* pgb, std::int32_t timeoutMs) {
    if (!pgb) return;
    pgb->SetMin(0);
    const long seconds = timeoutMs / 1000;
    pgb->SetMax(seconds >= 32767 ? 32767 : seconds);
    pgb->SetValue(0);
}

void ShowElapsedSeconds(kvr::ProgressBar* pgb, std::int64_t elapsedMs) {
    if (pgb) pgb->SetValue(static_cast<long>(std::min<std::int64_t>(elapsedMs / 1000, pgb->Max())));
}

}  // namespace

std::string clsZarn::GetIPStatus() const {
    if (IsInDownloadMode) return LoadResStringWrapper(9003);
    if (AutoIPBusy) return LoadResStringWrapper(9001);
    if (IpAddr != "0.0.0.0") return IpAddr;
    return LoadResStringWrapper(9000);
}

std::string clsZarn::GetDownloadMode() const {
    return LoadResStringWrapper(IsInDownloadMode ? 9003 : 9002);
}

std::string clsZarn::GetRSSI() const {
    if (Rssi >= 26) return LoadResStringWrapper(9004);
    if (Rssi >= 16) return LoadResStringWrapper(9005);
    if (Rssi >= 3) return LoadResStringWrapper(9006);
    if (Rssi >= 0) return LoadResStringWrapper(9007);
    return LoadResStringWrapper(9008);
}

kvr::AdapterSession clsZarn::GetNicHandle() const {
    kvr::AdapterSession adapter(NICName);
    if (!adapter.IsOpen()) {
        Log("GetNicHandle: OpenNdisDeviceByDesc failed to open NIC '" + NICName + "'.  Aborting operation.",
            kvr::LEVEL_WARNING);
    }
    return adapter;
}

bool clsZarn::OpenAdapterIfNone(std::int32_t& hNIC, const char* proc, kvr::AdapterSession& adapter) const {
    if (hNIC != -1) return true;
    adapter = GetNicHandle();
    if (!adapter.IsOpen()) {
        Log(std::string(proc) + ": failed to get NIC handle!", kvr::LEVEL_ERROR);
        return false;
    }
    hNIC = adapter.Handle();
    return true;
}

bool clsZarn::WaitForBoot(std::int32_t hNIC, std::int32_t lngTimeoutMs, bool waitDownload, bool waitApplication,
                          kvr::ProgressBar* pgb1) {
    const char* proc = "WaitForBoot";
    kvr::AdapterSession adapter;  // the device's adapter when the caller gave none
    bool result = false;
    m_bootAnswer.reset();
    try {
        if (!OpenAdapterIfNone(hNIC, proc, adapter)) return false;
        SetupSecondsProgress(pgb1, lngTimeoutMs);

        kvr::Clock& clock = kvr::CurrentClock();
        kvr::EventPump& pump = kvr::CurrentEventPump();
        const std::int64_t start = clock.NowMs();
        DiscoveryProbe discover;
        discover.SetExtraCancelFlag(&CancelWait);
        bool warnedNoVersion = false;
        for (;;) {
            pump.DoEvents();
            NextLabel();
            std::string mac = MAC;
            std::shared_ptr<clsSnapResponse> response;
            if (discover.FindZarn(hNIC, mac, nullptr, 4, NICName, kSearchVersion, response) && response) {
                // The mode the device last reported is its mode, also when it is not the one waited for.
                IsInDownloadMode = response->downloadMode;
                // Back in its application, the device names the firmware it
                // restarted with; an answer without it does not end the wait.
                std::int32_t id = 0, version = 0;
                const bool namesFirmware = response->GetRIDFieldAsLong(RID_FIRMWARE_ID, id) &&
                                           response->GetRIDFieldAsLong(RID_FIRMWARE_VERSION, version);
                if (waitApplication && !response->downloadMode && !namesFirmware && !warnedNoVersion) {
                    warnedNoVersion = true;
                    Log(std::string(proc) + ": '" + MAC +
                            "' answers in its application without naming its firmware; still waiting.",
                        kvr::LEVEL_WARNING);
                }
                if ((!waitDownload && !waitApplication) || (waitDownload && response->downloadMode) ||
                    (waitApplication && !response->downloadMode && namesFirmware)) {
                    m_bootAnswer = response;
                    result = true;
                    break;
                }
            }
            if (CancelWait || clock.NowMs() - start >= lngTimeoutMs) break;
            pump.DoEvents();
            clock.SleepMs(kPollMs);
            ShowElapsedSeconds(pgb1, clock.NowMs() - start);
            if (CancelWait || clock.NowMs() - start >= lngTimeoutMs) break;
        }
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
        result = false;
    }
    adapter.Close();
    if (pgb1) pgb1->SetValue(pgb1->Max());
    return result;
}

bool clsZarn::WaitForDownloadMode(std::int32_t hNIC, std::int32_t lngTimeoutMs, kvr::ProgressBar* pgb1) {
    return WaitForBoot(hNIC, lngTimeoutMs, true, false, pgb1);
}

bool clsZarn::WaitForStartup(std::int32_t hNIC, std::int32_t lngTimeoutMs, kvr::ProgressBar* pgb1) {
    return WaitForBoot(hNIC, lngTimeoutMs, false, true, pgb1);
}

bool clsZarn::ScanForZarn(std::int32_t lngTimeoutMs, kvr::ProgressBar* pgb1) {
    const char* proc = "ScanForZarn";
    bool found = false;
    try {
        Log(proc, kvr::LEVEL_WATCH);
        kvr::Clock& clock = kvr::CurrentClock();
        kvr::EventPump& pump = kvr::CurrentEventPump();
        const std::int64_t start = clock.NowMs();
        SetupSecondsProgress(pgb1, lngTimeoutMs);
        NextLabel();
        DiscoveryProbe discover;
        discover.SetExtraCancelFlag(&CancelWait);

        for (;;) {
            // An answer in application mode ends the search; one in download mode
            // is remembered and the other adapters are still searched.
            std::string appModeNic, downloadModeNic;
            bool inAppMode = false, inDownloadMode = false;
            const std::vector<std::shared_ptr<clsNIC>> nics = NicPool().colNIC;
            for (const auto& nic : nics) {
                if (!nic || CancelWait) continue;
                kvr::AdapterSession adapter(nic->Name);
                if (adapter.IsOpen()) {
                    std::string mac = MAC;
                    std::shared_ptr<clsSnapResponse> response;
                    const bool here =
                        discover.FindZarn(adapter.Handle(), mac, nullptr, 2, nic->Name, kSearchVersion, response);
                    if (here && response && !response->downloadMode) {
                        inAppMode = true;
                        appModeNic = nic->Name;
                    } else if (here) {
                        Log(std::string(proc) + ": selected KVR '" + MAC + "' has been found to be in Download mode",
                            kvr::LEVEL_WARNING);
                        if (!inDownloadMode) downloadModeNic = nic->Name;
                        inDownloadMode = true;
                    } else {
                        Log(std::string(proc) + ": cDiscover.FindZarn (" + MAC + ") failed.  KVR not found using NIC '" +
                                nic->Name + "'.",
                            kvr::LEVEL_ERROR);
                    }
                    adapter.Close();
                } else {
                    Log(std::string(proc) + ": failed to open NIC '" + nic->Name + "' " + "(handle/index " +
                            std::to_string(adapter.Handle()) + "); " +
                            "modZarniSupp.OpenNdisDeviceByDesc returned fail code.",
                        kvr::LEVEL_WARNING);
                }
                if (inAppMode) break;
            }

            found = inAppMode || inDownloadMode;
            if (found) {
                const std::string& newNic = inAppMode ? appModeNic : downloadModeNic;
                if (newNic != NICName) {
                    const std::string oldNic = NICName;
                    NICName = newNic;
                    Log(std::string(proc) + ": selected KVR '" + MAC + "' has been found on a different NIC: old NIC='" +
                            oldNic + ", new NIC='" + newNic + "'",
                        kvr::LEVEL_WATCH);
                } else {
                    Log(std::string(proc) + ": selected KVR '" + MAC + "' has been found", kvr::LEVEL_TRACE);
                }
            }
            ShowElapsedSeconds(pgb1, clock.NowMs() - start);
            if (found || CancelWait || clock.NowMs() - start >= lngTimeoutMs) break;
            clock.SleepMs(kScanPauseMs);
            pump.DoEvents();
        }
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
    }
    return found;
}

bool clsZarn::IsTargetV16DownloadCompatible(std::int32_t hNIC) {
    const char* proc = "IsTargetV16DownloadCompatible";
    kvr::AdapterSession adapter;  // the device's adapter when the caller gave none
    bool result = false;
    try {
        if (!OpenAdapterIfNone(hNIC, proc, adapter)) return false;
        struct Probe {
            Rid rid;
            const char* text;
        };
        static constexpr Probe kProbes[] = {
            {RID_START_QFW_DOWNLOAD, ": target indicates no support for RID_START_QFW_DOWNLOAD, error code=0x"},
            {RID_DOWNLOAD_QFW_CHUNK, ": target indicates no support for RID_DOWNLOAD_QFW_CHUNK, error code=0x"},
            {RID_END_DOWNLOAD, ": target indicates no support for RID_END_DOWNLOAD, error code=0x"},
            {RID_START_IMAGE, ": target indicates no support for RID_START_IMAGE, error code=0x"},
        };
        clsPayload payload;
        payload.mProtocolVersion = ProtocolVersion;
        for (const Probe& p : kProbes) payload.AddRID(p.rid);
        std::vector<std::uint8_t> bytes = payload.GetPayload();
        bytes.resize(static_cast<std::size_t>(payload.GetLength()));

        clsSnapCommand command;
        command.ProtocolVersion = ProtocolVersion;
        std::shared_ptr<clsSnapResponse> response;
        if (command.SendEx(hNIC, MAC, SNAP_KIND_READ_REQUEST, payload.GetLength(), bytes, response, nullptr) &&
            response) {
            result = true;
            for (const Probe& p : kProbes) {
                long code = 0;
                const bool refused = response->GetRIDerrorCode(p.rid, code);
                if (!(refused && code == RID_ERROR_EXISTS_UNREADABLE)) {
                    Log(std::string(proc) + p.text + kvr::HexUpper(static_cast<std::uint32_t>(code)) + ".", kvr::LEVEL_WARNING);
                    result = false;
                }
            }
        } else {
            Log(std::string(proc) + ": SendEx command failed.", kvr::LEVEL_WARNING);
        }
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
        result = false;
    }
    adapter.Close();
    return result;
}

bool clsZarn::CheckForV16encryption(clsSnapResponse& cResponse) {
    const char* proc = "CheckForV16encryption";
    bool result = true;
    try {
        auto warn = [&](const std::string& text, long fieldLen, long code) {
            Log(std::string(proc) + text + "(fieldlen=" + std::to_string(fieldLen) + ", err/stat code=" +
                    std::to_string(code) + ")",
                kvr::LEVEL_WARNING);
        };
        std::vector<std::uint8_t> value;
        long len = 0;
        long code = 0;

        // A 2-byte word, or a refusal; code 5 means supported but not readable now.
        auto checkWord = [&](Rid rid, const char* unreadable, const char* unsupported) {
            const bool have = cResponse.GetRIDField(rid, value, len) && len == 2;
            if (have) return;
            code = 0;
            cResponse.GetRIDerrorCode(rid, code);
            if (code == RID_ERROR_SUPPORTED_UNREADABLE) {
                warn(unreadable, len, code);
            } else {
                warn(unsupported, len, code);
                result = false;
            }
        };

        checkWord(RID_SECURITY, ": failed to read Security value from target, but support is indicated.  ",
                  ": new Security interface is not supported by target.  WPA-PSK cannot be used.  ");

        len = 0;
        code = 0;
        cResponse.GetRIDField(RID_WPA_PASSPHRASE, value, len);
        if (!(cResponse.GetRIDerrorCode(RID_WPA_PASSPHRASE, code) && code == RID_ERROR_EXISTS_UNREADABLE)) {
            warn(": WPA passphrase is not supported by target.  WPA-PSK cannot be used.  ", len, code);
            result = false;
        }

        checkWord(RID_WPA_CIPHER, ": failed to read Cipher value from target, but support is indicated.  ",
                  ": WPA cipher is not supported by target.  WPA-PSK cannot be used.  ");

        const bool haveList = cResponse.GetRIDField(RID_WPA_CIPHER_LIST, value, len) && len >= 2 && len <= 34;
        if (!haveList)
            Log(std::string(proc) +
                    ": wep authentication (shared or open) is not supported by target.  (note: not required "
                    "functionality)",
                kvr::LEVEL_WARNING);
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
        result = false;
    }
    return result;
}
