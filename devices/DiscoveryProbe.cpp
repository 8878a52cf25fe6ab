#include "DiscoveryProbe.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "Globals.h"
#include "RunTimeError.h"
#include "Rids.h"
#include "HexText.h"
#include "SnapLink.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsPayload.h"
#include "clsSnapResponse.h"
#include "modSNAP.h"

namespace {

// The discovery procedures log under discovery's name, wherever they run.
const kvr::ModuleLog Log("clsDiscover");

// The RIDs every discovery request asks for, in the order they are sent.
constexpr Rid kDiscoveryRids[] = {
    RID_ACTIVE_PROFILE,  RID_IP_ADDRESS,       RID_RSSI,          RID_DEVICE_NAME,      RID_AUTOIP_BUSY,
    RID_OPERATION_MODE,  RID_HARDWARE_ID,      RID_HARDWARE_VERSION, RID_FIRMWARE_ID,   RID_FIRMWARE_VERSION,
    RID_FIRMWARE_DATE,   RID_FIRMWARE_TIME,    RID_BOOTLOADER_ID, RID_BOOTLOADER_VERSION, RID_NUM_PROFILES,
};

// Called inside a catch block: logs the error being handled.
void LogTrapped(const std::exception&, const std::string& procedure) { kvr::LogTrappedError(Log, procedure); }

// A discovery answer carries a block (a value or an error block) for at least
// one of the RIDs asked for.
bool AnswersQueries(const clsSnapResponse& response) {
    std::vector<std::uint8_t> value;
    long length = 0;
    for (Rid rid : kDiscoveryRids) {
        if (response.GetRIDField(rid, value, length)) return true;
        long code = 0;
        if (response.GetRIDerrorCode(rid, code)) return true;
    }
    return false;
}

}  // namespace

DiscoveryProbe::DiscoveryProbe() {
    const long id = G().AuthorizationID;
    m_authorizationIds.assign(1, static_cast<std::int32_t>(id == 0 ? 1 : id));
}

bool DiscoveryProbe::Cancelled() const { return bCancel || (m_alsoCancel && *m_alsoCancel); }

void DiscoveryProbe::SetupProgress(kvr::ProgressBar* pgb, std::int32_t retries) {
    if (!pgb) return;
    pgb->SetMin(0);
    pgb->SetMax(retries - 1);
    pgb->SetValue(0);
}

void DiscoveryProbe::ShowProgress(kvr::ProgressBar* pgb, std::int32_t attempt) {
    if (pgb) pgb->SetValue(std::min<long>(attempt, pgb->Max()));
}

void DiscoveryProbe::BuildDiscoverPayload(std::int16_t ProtocolVersion, clsPayload& payload) const {
    payload.ClearPayload();
    for (Rid rid : kDiscoveryRids) payload.AddRID(rid);
    if (!m_authorizationIds.empty()) {
        const auto n = static_cast<std::int16_t>(m_authorizationIds.size());
        payload.AddLenRIDBlock(static_cast<std::int16_t>(2 * n + 1), RID_AUTHORIZATION);
        for (std::int32_t id : m_authorizationIds) payload.AddLongNoRID(id);
    }
    payload.mProtocolVersion = ProtocolVersion;
}

bool DiscoveryProbe::SendDiscover(std::int32_t hNIC, std::int16_t ProtocolVersion) {
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

bool DiscoveryProbe::ReadDiscoveryAnswer(std::int32_t hNIC, std::int16_t ProtocolVersion, clsSnapResponse& cResponse) {
    const char* proc = "GetDiscoveryResponse";
    try {
        Log(proc, kvr::LEVEL_DETAIL);
        if (!cResponse.ReadResponseFrame(hNIC, ProtocolVersion)) return false;

        std::string name;
        cResponse.GetRIDFieldAsString(RID_DEVICE_NAME, name);
        // The header bit first; the mode query, when answered, decides.
        bool operationMode = cResponse.downloadMode;
        cResponse.GetRIDFieldAsBool(RID_OPERATION_MODE, operationMode);
        if (cResponse.downloadMode != operationMode) {
            Log(std::string("GetDiscoveryResponse: consistency error - a download is ") +
                    (cResponse.downloadMode ? "" : "not ") +
                    "set but the RID_OPERATION_MODE query indicates that the target is " +
                    (operationMode ? "" : "not ") + "in download mode.",
                kvr::LEVEL_WARNING);
            kvr::CurrentPrompter().Ask(LoadResStringWrapper(4400), LoadResStringWrapper(4401),
                                       kvr::PromptButtons::OK, kvr::PromptIcon::None);
        }
        Log("Received discovery response, MAC='" + cResponse.srcMAC + "', name='" + name +
                "', DownloadMode=" + (cResponse.downloadMode ? "True" : "False") + ")",
            kvr::LEVEL_WATCH);
        return true;
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
    }
    return false;
}

void DiscoveryProbe::Collect(std::int32_t hNIC, std::int16_t ProtocolVersion,
                             const std::function<bool(std::shared_ptr<clsSnapResponse>&)>& onAnswer,
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
        if (ReadDiscoveryAnswer(hNIC, ProtocolVersion, *response)) {
            if (onAnswer(response)) return;
        } else if (doEventsThrottled && clock.NowMs() - lastEvents >= 1000) {
            pump.DoEvents();
            lastEvents = clock.NowMs();
        }
        pump.DoEvents();
    }
}

bool DiscoveryProbe::FindZarn(std::int32_t hNIC, std::string& ZarnMac, kvr::ProgressBar* pgb1,
                              std::int32_t RequestedRetries, const std::string& /*NicName*/,
                              std::int16_t ProtocolVersion, std::shared_ptr<clsSnapResponse>& cResponse) {
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
            Collect(hNIC, ProtocolVersion,
                    [&](std::shared_ptr<clsSnapResponse>& response) {
                        if (!kvr::SameMac(response->srcMAC, ZarnMac)) return false;
                        // A frame in the device's name that answers none of the
                        // queries (another station's forgery) is no answer of the
                        // device: the search goes on for the device's own.
                        if (!AnswersQueries(*response)) {
                            Log("FindZarn: a response in the name of '" + response->srcMAC +
                                    "' answers none of the discovery's queries; ignored.",
                                kvr::LEVEL_WARNING);
                            return false;
                        }
                        cResponse = response;
                        found = true;
                        return true;
                    },
                    false);
        }
        return found;
    } catch (const std::exception& e) {
        LogTrapped(e, proc);
    }
    return false;
}
