#include "clsDiscover.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "Globals.h"
#include "HexText.h"
#include "RunTimeError.h"
#include "Rids.h"
#include "SnapFrame.h"
#include "SnapLink.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsNICpool.h"
#include "clsPayload.h"
#include "clsSnapCommand.h"
#include "clsSnapResponse.h"
#include "modSNAP.h"
#include "modZarniSupp.h"

namespace {

const kvr::ModuleLog Log("clsDiscover");

// The RIDs every discovery request asks for, in the order they are sent.
constexpr Rid kDiscoveryRids[] = {
    RID_ACTIVE_PROFILE,  RID_IP_ADDRESS,       RID_RSSI,          RID_DEVICE_NAME,      RID_AUTOIP_BUSY,
    RID_OPERATION_MODE,  RID_HARDWARE_ID,      RID_HARDWARE_VERSION, RID_FIRMWARE_ID,   RID_FIRMWARE_VERSION,
    RID_FIRMWARE_DATE,   RID_FIRMWARE_TIME,    RID_BOOTLOADER_ID, RID_BOOTLOADER_VERSION, RID_NUM_PROFILES,
};

constexpr std::int16_t kMaxProfiles = 8;

// Called inside a catch block: logs the error being handled.
void LogTrapped(const std::exception&, const std::string& procedure) { kvr::LogTrappedError(Log, procedure); }

void SetupProgress(kvr::ProgressBar* pgb, std::int32_t retries) {
    if (!pgb) return;
    pgb->SetMin(0);
    pgb->SetMax(retries - 1);
    pgb->SetValue(0);
}

void ShowProgress(kvr::ProgressBar* pgb, std::int32_t attempt) {
    if (pgb) pgb->SetValue(std::min<long>(attempt, pgb->Max()));
}

}  // namespace

std::string kvr::IpLongToText(std::int32_t addr) {
    const auto v = static_cast<std::uint32_t>(addr);
    return std::to_string(v & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) + "." +
           std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 24) & 0xFF);
}

clsDiscover::clsDiscover() {
    const long id = G().AuthorizationID;
    m_authorizationIds.assign(1, static_cast<std::int32_t>(id == 0 ? 1 : id));
}

bool clsDiscover::Cancelled() const { return bCancel || (m_alsoCancel && *m_alsoCancel); }

void clsDiscover::BuildDiscoverPayload(std::int16_t ProtocolVersion, clsPayload& payload) const {
    payload.ClearPayload();
    for (Rid rid : kDiscoveryRids) payload.AddRID(rid);
    if (!m_authorizationIds.empty()) {
        const auto n = static_cast<std::int16_t>(m_authorizationIds.size());
        payload.AddLenRIDBlock(static_cast<std::int16_t>(2 * n + 1), RID_AUTHORIZATION);
        for (std::int32_t id : m_authorizationIds) payload.AddLongNoRID(id);
    }
    payload.mProtocolVersion = ProtocolVersion;
}

bool clsDiscover::SendDiscover(std::int32_t hNIC, std::int16_t ProtocolVersion) {
    try {
        Log("Sending Discovery Request to Nic handle " + std::to_string(hNIC) + "...", kvr::LEVEL_TRACE);
        clsPayload payload;
        BuildDiscoverPayload(ProtocolVersion, payload);
        std::vector<std::uint8_t> bytes = payload.GetPayload();
        bytes.resize(static_cast<std::size_t>(payload.GetLength()));
        const bool ok = kvr::CurrentSnapLink().Write(hNIC, SNAP_MULTICAST_MAC, ProtocolVersion, SNAP_KIND_READ_REQUEST,
                                                     CurrentLabel(), 0, payload.GetLength(), G().ModifiedSnap, bytes);
        if (ok) {
            Log("Discovery request sent (label=0x" + kvr::HexUpper(static_cast<std::uint32_t>(CurrentLabel())) + ").", kvr::LEVEL_TRACE);
            return true;
        }
        Log("SendDiscover Error: WriteNDIS returned failure code!", kvr::LEVEL_ERROR);
    } catch (const std::exception& e) {
        LogTrapped(e, "SendDiscover");
    }
    return false;
}

bool clsDiscover::GetDiscoveryResponse(std::int32_t hNIC, std::shared_ptr<clsZarn>& newZarn,
                                       const std::string& NicName, std::int16_t ProtocolVersion,
                                       clsSnapResponse& cResponse) {
    const char* proc = "GetDiscoveryResponse";
    try {
        Log(proc, kvr::LEVEL_DETAIL);
        newZarn.reset();
        if (!cResponse.ReadResponseFrame(hNIC, ProtocolVersion)) return false;

        auto z = std::make_shared<clsZarn>();
        z->IsFirmwareIdValid = false;
        z->ProtocolVersion = ProtocolVersion;
        z->MAC = cResponse.srcMAC;

        cResponse.GetRIDFieldAsString(RID_DEVICE_NAME, z->Name);
        cResponse.GetRIDFieldAsWord(RID_ACTIVE_PROFILE, z->ActiveProfile);
        cResponse.GetRIDFieldAsWord(RID_RSSI, z->Rssi);
        cResponse.GetRIDFieldAsBool(RID_AUTOIP_BUSY, z->AutoIPBusy);
        std::int32_t ip = -1;
        cResponse.GetRIDFieldAsLong(RID_IP_ADDRESS, ip);
        z->IpAddr = kvr::IpLongToText(ip);
        cResponse.GetRIDFieldAsLong(RID_HARDWARE_ID, z->HardwareID);
        cResponse.GetRIDFieldAsLong(RID_HARDWARE_VERSION, z->HardwareVersion);
        if (cResponse.GetRIDFieldAsLong(RID_BOOTLOADER_ID, z->BootloaderID)) z->IsBootloaderIdValid = true;
        if (!cResponse.GetRIDFieldAsLong(RID_BOOTLOADER_VERSION, z->BootloaderVersion))
            z->IsBootloaderIdValid = false;
        if (cResponse.GetRIDFieldAsLong(RID_FIRMWARE_ID, z->FirmwareID)) z->IsFirmwareIdValid = true;
        cResponse.GetRIDFieldAsLong(RID_FIRMWARE_VERSION, z->FirmwareVersion);
        cResponse.GetRIDFieldAsStringFixed(RID_FIRMWARE_DATE, z->FirmwareDate);
        cResponse.GetRIDFieldAsStringFixed(RID_FIRMWARE_TIME, z->FirmwareTime);

        // The header bit first; the mode query, when answered, decides.
        z->IsInDownloadMode = cResponse.downloadMode;
        bool operationMode = cResponse.downloadMode;
        if (cResponse.GetRIDFieldAsBool(RID_OPERATION_MODE, operationMode)) z->IsInDownloadMode = operationMode;
        z->NICName = NicName;

        cResponse.GetRIDFieldAsWord(RID_NUM_PROFILES, z->NumProfiles);
        z->NumProfiles = std::clamp<std::int16_t>(z->NumProfiles, 0, kMaxProfiles);

        if (cResponse.downloadMode != operationMode) {
            Log(std::string("GetDiscoveryResponse: consistency error - a download is ") +
                    (cResponse.downloadMode ? "" : "not ") +
                    "set but the RID_OPERATION_MODE query indicates that the target is " +
                    (operationMode ? "" : "not ") + "in download mode.",
                kvr::LEVEL_WARNING);
            kvr::CurrentPrompter().Ask(LoadResStringWrapper(4400), LoadResStringWrapper(4401),
                                       kvr::PromptButtons::OK, kvr::PromptIcon::None);
        }

        Log("Received discovery response, MAC='" + cResponse.srcMAC + "', name='" + z->Name +
                "', DownloadMode=" + (cResponse.downloadMode ? "True" : "False") + ")",
            kvr::LEVEL_WATCH);
        newZarn = std::move(z);
        return true;
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
    }
    newZarn.reset();
    return false;
}

void clsDiscover::Collect(std::int32_t hNIC, const std::string& NicName, std::int16_t ProtocolVersion,
                          const std::function<bool(std::shared_ptr<clsZarn>&, std::shared_ptr<clsSnapResponse>&)>& onDevice,
                          bool doEventsThrottled) {
    kvr::Clock& clock = kvr::CurrentClock();
    kvr::EventPump& pump = kvr::CurrentEventPump();
    const std::int64_t deadline = clock.NowMs() + kCollectWindowMs;
    std::int64_t lastEvents = clock.NowMs();
    // A read waits up to 100 ms for a frame, so a window would overrun its end
    // by half a read on average; it ends instead when less than half a read
    // remains, which keeps its mean length at one second.
    constexpr std::int64_t kHalfReadMs = 50;
    while (deadline - clock.NowMs() > kHalfReadMs && !Cancelled()) {
        auto response = std::make_shared<clsSnapResponse>();
        std::shared_ptr<clsZarn> zarn;
        if (GetDiscoveryResponse(hNIC, zarn, NicName, ProtocolVersion, *response)) {
            if (onDevice(zarn, response)) return;
        } else if (doEventsThrottled && clock.NowMs() - lastEvents >= 1000) {
            pump.DoEvents();
            lastEvents = clock.NowMs();
        }
        pump.DoEvents();
    }
}

bool clsDiscover::DiscoverAllZarns(std::int16_t ProtocolVersion, std::shared_ptr<clsZarnPool>& ZarnsFound,
                                   kvr::ProgressBar* pgb1, const StatusLabelFn& StatusLabel,
                                   std::int32_t RequestedRetries) {
    const char* proc = "DiscoverAllZarns";
    bool sent = false;
    try {
        bCancel = false;
        SetupProgress(pgb1, RequestedRetries);
        OpenNdisRaw();
        if (!ZarnsFound) ZarnsFound = std::make_shared<clsZarnPool>();

        // A copy of the pool's list: a window may rebuild the pool while events run.
        const std::vector<std::shared_ptr<clsNIC>> nics = NicPool().colNIC;
        for (const auto& nic : nics) {
            if (!nic) continue;
            if (StatusLabel) StatusLabel(LoadResStringWrapper(2002) + nic->Name);
            std::int32_t hNIC = -1;
            if (OpenNdisDeviceByDesc(hNIC, nic->Name)) {
                NextLabel();  // one label per adapter, re-used by its retries
                const std::size_t firstNew = ZarnsFound->colZarn.size();
                for (std::int32_t attempt = 0; attempt < RequestedRetries; ++attempt) {
                    ShowProgress(pgb1, attempt);
                    if (!SendDiscover(hNIC, ProtocolVersion)) break;
                    sent = true;
                    Collect(hNIC, nic->Name, ProtocolVersion,
                            [&](std::shared_ptr<clsZarn>& zarn, std::shared_ptr<clsSnapResponse>&) {
                                ZarnsFound->AddUniqueZarn(zarn);  // a device answering again is ignored
                                return false;
                            },
                            true);
                    if (Cancelled()) break;
                }
                // The profile names of the devices found here are read while the
                // adapter is open; a device whose names cannot be read is dropped.
                ReadProfilesOfNewDevices(hNIC, *ZarnsFound, firstNew);
                CloseNdisRaw(hNIC);
            } else {
                const std::string text = LoadResStringWrapper(1506) + nic->Name;
                Log(text, kvr::LEVEL_ERROR, proc);
                kvr::CurrentPrompter().Ask(text, LoadResStringWrapper(1000), kvr::PromptButtons::OK,
                                           kvr::PromptIcon::Warning);
            }
            if (Cancelled()) break;
        }

        if (Cancelled()) ZarnsFound.reset();
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
    }
    return sent;
}

void clsDiscover::ReadProfilesOfNewDevices(std::int32_t hNIC, clsZarnPool& pool, std::size_t firstNew) {
    // A copy: every device gets its names read, also the one after a device
    // that had to be removed.
    if (firstNew >= pool.colZarn.size()) return;
    const std::vector<std::shared_ptr<clsZarn>> fresh(pool.colZarn.begin() + static_cast<long>(firstNew),
                                                      pool.colZarn.end());
    for (const auto& zarn : fresh) {
        if (Cancelled()) return;
        if (GetProfileData(*zarn, hNIC)) continue;
        Log("DiscoverAllZarns: Failed to retrieve profile data for " + zarn->MAC + ".  Removing from the list!",
            kvr::LEVEL_ERROR);
        auto& col = pool.colZarn;
        auto it = std::find_if(col.begin(), col.end(),
                               [&](const std::shared_ptr<clsZarn>& z) { return z->MAC == zarn->MAC; });
        if (it != col.end()) col.erase(it);
    }
}

bool clsDiscover::GetProfileData(clsZarn& zarn) { return GetProfileData(zarn, -1); }

bool clsDiscover::GetProfileData(clsZarn& zarn, std::int32_t hNIC) {
    const char* proc = "GetProfileData";
    try {
        Log("Getting profile data for device '" + zarn.MAC + "'...", kvr::LEVEL_WATCH);
        const std::int16_t count = std::clamp<std::int16_t>(zarn.NumProfiles, 0, kMaxProfiles);
        clsPayload payload;
        payload.mProtocolVersion = zarn.ProtocolVersion;
        for (std::int16_t p = 0; p < count; ++p) {
            payload.AddWord(RID_PROFILE_SELECT, static_cast<std::uint16_t>(p));
            payload.AddRID(RID_PROFILE_NAME);
        }
        clsSnapCommand command;
        command.ProtocolVersion = zarn.ProtocolVersion;
        std::shared_ptr<clsSnapResponse> response;
        bool sentOk = false;
        if (hNIC == -1) {
            sentOk = command.SendEx2(zarn, payload, SNAP_KIND_READ_REQUEST, response, nullptr);
        } else {
            std::vector<std::uint8_t> bytes = payload.GetPayload();
            bytes.resize(static_cast<std::size_t>(payload.GetLength()));
            sentOk = command.SendEx(hNIC, zarn.MAC, SNAP_KIND_READ_REQUEST, payload.GetLength(), bytes, response,
                                    nullptr);
        }
        if (!sentOk || !response) {
            Log("GetProfileData Error: cCommand.SendEx returned failure code!", kvr::LEVEL_ERROR);
            return false;
        }
        zarn.ProfileName.clear();
        for (std::int16_t p = 0; p < count; ++p) {
            std::string name;
            response->GetRIDFieldAsStringEx(RID_PROFILE_NAME, name, p + 1);
            zarn.ProfileName.push_back(name);
        }
        zarn.ActiveProfileName.clear();
        if (zarn.ActiveProfile >= 0)
            response->GetRIDFieldAsStringEx(RID_PROFILE_NAME, zarn.ActiveProfileName, zarn.ActiveProfile + 1);
        Log("Received profile data for device '" + zarn.MAC + "'...", kvr::LEVEL_WATCH);
        return true;
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
    }
    return false;
}

bool clsDiscover::FindZarn(std::int32_t hNIC, std::string& ZarnMac, kvr::ProgressBar* pgb1,
                           std::int32_t RequestedRetries, const std::string& NicName, std::int16_t ProtocolVersion,
                           std::shared_ptr<clsSnapResponse>& cResponse) {
    const char* proc = "FindZarn";
    try {
        Log(proc, kvr::LEVEL_TRACE);
        bCancel = false;
        SetupProgress(pgb1, RequestedRetries);
        ZarnMac = kvr::RemoveColons(ZarnMac);
        bool found = false;
        for (std::int32_t attempt = 0; attempt < RequestedRetries && !Cancelled() && !found; ++attempt) {
            ShowProgress(pgb1, attempt);
            if (!SendDiscover(hNIC, ProtocolVersion)) break;
            Collect(hNIC, NicName, ProtocolVersion,
                    [&](std::shared_ptr<clsZarn>& zarn, std::shared_ptr<clsSnapResponse>& response) {
                        cResponse = response;
                        found = kvr::SameMac(zarn->MAC, ZarnMac);
                        return found;
                    },
                    false);
        }
        return found;
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
    }
    return false;
}

bool clsDiscover::FindNewZarn(std::int32_t hNIC, const clsZarnPool& ZarnsKnown, std::shared_ptr<clsZarn>& newZarn,
                              kvr::ProgressBar* pgb1, std::int32_t RequestedRetries, const std::string& NicName,
                              std::int16_t ProtocolVersion) {
    const char* proc = "FindNewZarn";
    try {
        Log(proc, kvr::LEVEL_TRACE);
        bCancel = false;
        newZarn.reset();
        SetupProgress(pgb1, RequestedRetries);
        bool found = false;
        for (std::int32_t attempt = 0; attempt < RequestedRetries && !Cancelled() && !found; ++attempt) {
            ShowProgress(pgb1, attempt);
            if (!SendDiscover(hNIC, ProtocolVersion)) break;
            Collect(hNIC, NicName, ProtocolVersion,
                    [&](std::shared_ptr<clsZarn>& zarn, std::shared_ptr<clsSnapResponse>&) {
                        if (ZarnsKnown.ContainsZarn(*zarn)) return false;
                        newZarn = zarn;
                        found = true;
                        return true;
                    },
                    false);
        }
        return found;
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
    }
    newZarn.reset();
    return false;
}
