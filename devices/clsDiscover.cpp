#include "clsDiscover.h"

#include <algorithm>
#include <exception>

#include "AdapterSession.h"
#include "Globals.h"
#include "RunTimeError.h"
#include "Rids.h"
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

constexpr std::int16_t kMaxProfiles = kMaxProfileNumber;

// Called inside a catch block: logs the error being handled.
void LogTrapped(const std::exception&, const std::string& procedure) { kvr::LogTrappedError(Log, procedure); }

}  // namespace

std::string kvr::IpLongToText(std::int32_t addr) {
    const auto v = static_cast<std::uint32_t>(addr);
    return std::to_string(v & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) + "." +
           std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 24) & 0xFF);
}

std::shared_ptr<clsZarn> clsDiscover::DeviceFromAnswer(const clsSnapResponse& cResponse, const std::string& NicName,
                                                       std::int16_t ProtocolVersion) {
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
    if (!cResponse.GetRIDFieldAsLong(RID_BOOTLOADER_VERSION, z->BootloaderVersion)) z->IsBootloaderIdValid = false;
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
    return z;
}

bool clsDiscover::GetDiscoveryResponse(std::int32_t hNIC, std::shared_ptr<clsZarn>& newZarn,
                                       const std::string& NicName, std::int16_t ProtocolVersion,
                                       clsSnapResponse& cResponse) {
    newZarn.reset();
    if (!ReadDiscoveryAnswer(hNIC, ProtocolVersion, cResponse)) return false;
    try {
        newZarn = DeviceFromAnswer(cResponse, NicName, ProtocolVersion);
        return true;
    } catch (const std::exception& e) {
        LogTrapped(e, "GetDiscoveryResponse");
    }
    newZarn.reset();
    return false;
}

std::shared_ptr<clsZarnPool> clsDiscover::DiscoverDevices(kvr::ProgressBar* pgb1, const StatusLabelFn& StatusLabel) {
    // Its lines read as they always have in the status log and history.log.
    static const kvr::ModuleLog Log("frmDiscover");
    std::shared_ptr<clsZarnPool> found;
    for (int pass = 0; pass < 2; ++pass) {
        found = std::make_shared<clsZarnPool>();
        const bool ok = DiscoverAllZarns(8, found, pgb1, StatusLabel, 2);
        if (!ok && !Cancelled()) Log("Form_Activate Error: cDiscover.DiscoverAllZarns indicates an error!", kvr::LEVEL_ERROR);
        if (found) {
            Log("frmDiscover_Activate: " + std::to_string(found->Count()) + " KVRs found.", kvr::LEVEL_USER);
            return found;
        }
        if (Cancelled()) {
            Log("frmDiscover_Activate: Discovery process cancelled.", kvr::LEVEL_USER);
            return nullptr;
        }
        Log("frmDiscover_Activate: no KVRs found.", kvr::LEVEL_USER);
    }
    return nullptr;
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
            const kvr::AdapterSession adapter(nic->Name);
            if (adapter.IsOpen()) {
                const std::int32_t hNIC = adapter.Handle();
                NextLabel();  // one label per adapter, re-used by its retries
                const std::size_t firstNew = ZarnsFound->colZarn.size();
                for (std::int32_t attempt = 0; attempt < RequestedRetries; ++attempt) {
                    ShowProgress(pgb1, attempt);
                    if (!SendDiscover(hNIC, ProtocolVersion)) break;
                    sent = true;
                    Collect(hNIC, ProtocolVersion,
                            [&](std::shared_ptr<clsSnapResponse>& response) {
                                // A device answering again is ignored.
                                ZarnsFound->AddUniqueZarn(DeviceFromAnswer(*response, nic->Name, ProtocolVersion));
                                return false;
                            },
                            true);
                    if (Cancelled()) break;
                }
                // The profile names of the devices found here are read while the
                // adapter is open; a device whose names cannot be read is dropped.
                ReadProfilesOfNewDevices(hNIC, *ZarnsFound, firstNew);
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

std::shared_ptr<clsZarn> clsDiscover::WaitForNewZarn(const clsZarnPool& ZarnsKnown, std::int64_t timeoutMs,
                                                     kvr::ProgressBar* pgb1) {
    const char* proc = "WaitForNewZarn";
    try {
        Log(proc, kvr::LEVEL_TRACE);
        OpenNdisRaw();
        kvr::Clock& clock = kvr::CurrentClock();
        const std::int64_t start = clock.NowMs();
        if (pgb1) {
            pgb1->SetMin(0);
            pgb1->SetMax(static_cast<long>(std::max<std::int64_t>(1, timeoutMs / 1000)));
        }
        bool cancelled = false;
        while (!cancelled && clock.NowMs() - start < timeoutMs) {
            bool searched = false;
            const std::vector<std::shared_ptr<clsNIC>> nics = NicPool().colNIC;
            for (const auto& nic : nics) {
                if (!nic) continue;
                const kvr::AdapterSession adapter(nic->Name);
                if (!adapter.IsOpen()) continue;
                searched = true;
                NextLabel();
                std::shared_ptr<clsZarn> found;
                // FindNewZarn starts by clearing bCancel: a cancel it saw must stay seen.
                const bool got = FindNewZarn(adapter.Handle(), ZarnsKnown, found, nullptr, 1, nic->Name, 8);
                cancelled = Cancelled();
                if (got && found) {
                    Log(std::string(proc) + ": a new KVR answered: " + found->MAC, kvr::LEVEL_USER);
                    return found;
                }
                if (cancelled) break;
            }
            if (!searched) clock.SleepMs(1000);  // no adapter to search on: no busy loop
            if (pgb1)
                pgb1->SetValue(static_cast<long>(std::min<std::int64_t>((clock.NowMs() - start) / 1000, pgb1->Max())));
        }
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
    }
    return nullptr;
}

bool clsDiscover::GetProfileData(clsZarn& zarn) { return GetProfileData(zarn, -1); }

bool clsDiscover::GetProfileData(clsZarn& zarn, std::int32_t hNIC) {
    const char* proc = "GetProfileData";
    try {
        Log("Getting profile data for device '" + zarn.MAC + "'...", kvr::LEVEL_WATCH);
        // NumProfiles is the highest profile number: profiles 0 to NumProfiles.
        const std::int16_t count = static_cast<std::int16_t>(std::clamp<std::int16_t>(zarn.NumProfiles, 0, kMaxProfiles) + 1);
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
            Collect(hNIC, ProtocolVersion,
                    [&](std::shared_ptr<clsSnapResponse>& response) {
                        auto zarn = DeviceFromAnswer(*response, NicName, ProtocolVersion);
                        if (ZarnsKnown.ContainsZarn(*zarn)) return false;
                        newZarn = std::move(zarn);
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
