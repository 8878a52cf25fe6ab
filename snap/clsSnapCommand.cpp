#include "clsSnapCommand.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>

#include "AdapterSession.h"
#include "Globals.h"
#include "HexText.h"
#include "Seams.h"
#include "SnapCommon.h"
#include "SnapLink.h"
#include "clsPayload.h"
#include "modSNAP.h"

namespace {
const kvr::ModuleLog Log("clsSnapCommand");
using kvr::HexUpper;

constexpr int kSendExAttempts = 6;
constexpr std::int64_t kResponseWaitMs = 4000;
constexpr std::int64_t kPumpIntervalMs = 1000;
constexpr std::int64_t kDownloadAckExtraMs = 200;
constexpr std::int64_t kProgressStepMs = 200;
// A read that failed at once (adapter gone, library error) instead of
// waiting for a frame: pause briefly so the wait does not spin and flood the log.
constexpr std::int64_t kFastFailMs = 5;
constexpr long kFastFailPauseMs = 10;

void PauseAfterFastFailure(kvr::Clock& clock, const clsSnapResponse& r, std::int64_t pollStart) {
    if (!r.LastReadHadFrame() && clock.NowMs() - pollStart < kFastFailMs) clock.SleepMs(kFastFailPauseMs);
}

std::int64_t SecondsToMs(double s) {
    if (!std::isfinite(s) || s <= 0) return 0;
    return static_cast<std::int64_t>(std::llround(s * 1000.0));
}

// A Single as the log shows it: the shortest text that reads back ("0.2").
std::string SingleText(float v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

long Capped(long v, const kvr::ProgressBar* pgb) { return std::min(v, pgb->Max()); }

// Runs DoEvents when a second has passed since the last run.
class Pump {
public:
    explicit Pump(kvr::Clock& clock) : m_clock(clock), m_last(clock.NowMs()) {}
    void AtMostOncePerSecond() {
        const std::int64_t now = m_clock.NowMs();
        if (now - m_last >= kPumpIntervalMs) {
            m_last = now;
            kvr::CurrentEventPump().DoEvents();
        }
    }
    void Restart() { m_last = m_clock.NowMs(); }

private:
    kvr::Clock& m_clock;
    std::int64_t m_last;
};

// True when the device refused this transaction's write (its answer is final).
bool RefusedBy(const clsSnapResponse& r, const std::string& MacZarn) {
    return r.LastFrameRefused() && kvr::SameMac(r.srcMAC, MacZarn);
}

// One ACK wait: polls until the ACK (or a response of this transaction from
// the device, taken as both) is accepted, the time is up, the wait is
// cancelled or the device refused the write (`refused`). `check` may still
// reject an accepted frame.
template <class Check>
bool WaitForAck(clsSnapResponse& r, std::int32_t hNIC, std::int16_t version, const std::string& MacZarn,
                std::int64_t timeoutMs, const bool& cancel, const char* procedure, bool& isResponse, bool& refused,
                Pump* pump, Check check) {
    kvr::Clock& clock = kvr::CurrentClock();
    const std::int64_t sent = clock.NowMs();
    isResponse = false;
    do {
        bool accepted = false;
        bool response = false;
        const std::int64_t pollStart = clock.NowMs();
        if (r.ReadAcknowledgeFrame(hNIC, version)) {
            accepted = true;
        } else if (r.LastFrameAccepted() && r.IsResponseFrame() && kvr::SameMac(r.srcMAC, MacZarn)) {
            Log(std::string(procedure) +
                    ": received response before ACK - driver buffer issue - performing corrective measures.",
                kvr::LEVEL_WARNING);
            accepted = true;
            response = true;
        }
        if (accepted && check(r)) {
            isResponse = response;
            return true;
        }
        if (RefusedBy(r, MacZarn)) {
            refused = true;
            return false;
        }
        PauseAfterFastFailure(clock, r, pollStart);
        if (pump) pump->AtMostOncePerSecond();
    } while (!cancel && clock.NowMs() - sent < timeoutMs);
    return false;
}

// How one exchange sends, waits and reports. Each send method fills one in
// with its numbers and its own checks and log texts; an empty hook does nothing
// (an empty check accepts).
struct ExchangePlan {
    const char* procedure = "";  // in front of the early-response warning
    std::string destination;
    std::int16_t label = 0;           // allocated before the first attempt
    bool followCurrentLabel = false;  // each attempt sends CurrentLabel() instead
    long attempts = 0;
    std::int64_t ackMs = 0;
    std::int64_t responseMs = 0;
    bool pumpDuringAckWait = false;
    bool pumpAfterMissedAck = false;
    // A response taken in place of the ACK ends the exchange at once; else it
    // goes through the response wait's check first.
    bool earlyResponseIsFinal = true;
    bool freshPumpForResponse = false;
    // The response wait reads the clock before it lets events run, not after.
    bool timeResponseBeforePump = false;
    // Progress: after attempt n (from 0) the value is n + attemptProgressOffset;
    // after the attempts progressAfterAttempts (none when negative). The response
    // wait counts responseStepMs steps, from 0 with Max responseMs / step when
    // responseProgressFromZero, else on top of the attempts made.
    long attemptProgressOffset = 0;
    long progressAfterAttempts = -1;
    std::int64_t responseStepMs = 1000;
    bool responseProgressFromZero = false;

    std::function<bool(const clsSnapResponse&)> acceptAck;
    std::function<bool(const clsSnapResponse&)> acceptResponse;
    std::function<void()> beforeResend;
    std::function<void()> writeFailed;
    std::function<void(bool wrote)> ackMissing;  // not called when refused
    std::function<void()> afterFailedAttempt;
    std::function<void()> readFailed;
    std::function<void()> responseMissing;  // not called when refused
};

void Call(const std::function<void()>& hook) {
    if (hook) hook();
}

// The response wait after an accepted ACK: polls up to plan.responseMs for the
// device's response, moving the progress bar as the plan says. Ends early on
// Cancel or when the device refused the write.
bool WaitForResponse(const ExchangePlan& plan, clsSnapResponse& r, std::int32_t hNIC, std::int16_t version,
                     const std::string& MacZarn, const bool& cancel, Pump& pump, kvr::ProgressBar* pgb1,
                     long attempts, bool carried, bool& refused) {
    kvr::Clock& clock = kvr::CurrentClock();
    long base = attempts;
    if (plan.responseProgressFromZero) {
        base = 0;
        if (pgb1) {
            pgb1->SetValue(0);
            pgb1->SetMax(static_cast<long>(plan.responseMs / plan.responseStepMs));
        }
    }
    const std::int64_t start = clock.NowMs();
    for (;;) {
        bool have = false;
        const std::int64_t pollStart = clock.NowMs();
        if (carried) {
            have = true;
            carried = false;
        } else if (r.ReadResponseFrame(hNIC, version)) {
            have = true;
        } else if (RefusedBy(r, MacZarn)) {
            refused = true;
            return false;
        } else {
            Call(plan.readFailed);
            PauseAfterFastFailure(clock, r, pollStart);
            if (!plan.timeResponseBeforePump) pump.AtMostOncePerSecond();
        }
        if (have && (!plan.acceptResponse || plan.acceptResponse(r))) return true;
        const std::int64_t waited = clock.NowMs() - start;
        if (plan.timeResponseBeforePump) pump.AtMostOncePerSecond();
        if (pgb1) pgb1->SetValue(Capped(base + static_cast<long>(waited / plan.responseStepMs), pgb1));
        if (cancel || waited >= plan.responseMs) return false;
    }
}

// Sends with up to plan.attempts attempts until an ACK is accepted, then waits
// for the response; finally the progress bar is full.
bool Exchange(const ExchangePlan& plan, std::int32_t hNIC, const std::string& MacZarn, std::uint8_t frameType,
              std::int16_t payloadSize, std::vector<std::uint8_t>& Payload, std::shared_ptr<clsSnapResponse>& cResponse,
              kvr::ProgressBar* pgb1, std::int16_t version, const bool& cancel) {
    kvr::Clock& clock = kvr::CurrentClock();
    kvr::SnapLink& link = kvr::CurrentSnapLink();
    // Only the addressed device answers a request to one device: a frame of
    // this label from another (a device answering in another's name, a forged
    // source) is neither its ACK nor its response. Plans with checks of their
    // own check the sender there.
    const auto address = kvr::ParseMac(MacZarn);
    const bool group = !address || ((*address)[0] & 0x01) != 0;
    auto fromDevice = [&](const clsSnapResponse& r, const char* what) {
        if (group || kvr::SameMac(r.srcMAC, MacZarn)) return true;
        Log(std::string(plan.procedure) + ": received " + what + " from device '" + r.srcMAC + "'; expected " + what +
                " from device '" + MacZarn + "'",
            kvr::LEVEL_DETAIL);
        return false;
    };
    auto acceptAck = [&](const clsSnapResponse& r) {
        return plan.acceptAck ? plan.acceptAck(r) : fromDevice(r, "ACK");
    };
    ExchangePlan checked = plan;
    if (!plan.acceptResponse) checked.acceptResponse = [&](const clsSnapResponse& r) { return fromDevice(r, "response"); };

    bool accepted = false;
    bool acceptedIsResponse = false;
    bool refused = false;
    long attempts = 0;
    Pump pump(clock);
    while (!accepted && !refused && attempts < plan.attempts && !cancel) {
        if (attempts > 0) Call(plan.beforeResend);
        const std::int16_t lbl = plan.followCurrentLabel ? CurrentLabel() : plan.label;
        cResponse = std::make_shared<clsSnapResponse>();
        cResponse->RequestFrameType = static_cast<std::int16_t>(frameType & SNAP_KIND_MASK);
        const bool wrote =
            link.Write(hNIC, plan.destination, version, frameType, lbl, 0, payloadSize, G().ModifiedSnap, Payload);
        if (!wrote) {
            Call(plan.writeFailed);
        } else {
            accepted = WaitForAck(*cResponse, hNIC, version, MacZarn, plan.ackMs, cancel, plan.procedure,
                                  acceptedIsResponse, refused, plan.pumpDuringAckWait ? &pump : nullptr, acceptAck);
        }
        if (!accepted && !refused) {
            if (plan.ackMissing) plan.ackMissing(wrote);
            if (plan.pumpAfterMissedAck) pump.AtMostOncePerSecond();
        }
        if (pgb1) pgb1->SetValue(Capped(attempts + plan.attemptProgressOffset, pgb1));
        ++attempts;
        if (!accepted) Call(plan.afterFailedAttempt);
    }
    if (pgb1 && plan.progressAfterAttempts >= 0) pgb1->SetValue(Capped(plan.progressAfterAttempts, pgb1));

    bool result = false;
    if (accepted && acceptedIsResponse && plan.earlyResponseIsFinal) {
        result = true;
    } else if (accepted) {
        if (plan.freshPumpForResponse) pump.Restart();
        result = WaitForResponse(checked, *cResponse, hNIC, version, MacZarn, cancel, pump, pgb1, attempts,
                                 acceptedIsResponse, refused);
        if (!result && !refused) Call(plan.responseMissing);
    }
    if (pgb1) pgb1->SetValue(pgb1->Max());
    return result;
}

void StartProgress(kvr::ProgressBar* pgb1, long max) {
    if (!pgb1) return;
    pgb1->SetMin(0);
    pgb1->SetMax(max);
    pgb1->SetValue(0);
}

}  // namespace

bool clsSnapCommand::SendEx(std::int32_t hNIC, const std::string& MacZarn, std::uint8_t frameType,
                            std::int16_t payloadSize, std::vector<std::uint8_t>& Payload,
                            std::shared_ptr<clsSnapResponse>& cResponse, kvr::ProgressBar* pgb1) {
    try {
        CancelWait = false;
        StartProgress(pgb1, 10);
        ExchangePlan plan;
        plan.procedure = "SendEx";
        plan.destination = MacZarn;
        plan.attempts = kSendExAttempts;
        plan.ackMs = SecondsToMs(G().AckTimeout);
        plan.responseMs = kResponseWaitMs;
        // All attempts of one request carry the same label.
        plan.label = NextLabel();
        plan.followCurrentLabel = true;
        plan.freshPumpForResponse = true;
        plan.timeResponseBeforePump = true;
        plan.progressAfterAttempts = kSendExAttempts;
        plan.writeFailed = [] { Log("SendEx: failed call to WriteNDIS!", kvr::LEVEL_ERROR); };
        plan.ackMissing = [&](bool wrote) {
            if (wrote) Log("SendEx: failed to receive ACK from target '" + MacZarn + "'.", kvr::LEVEL_WARNING);
        };
        plan.afterFailedAttempt = [] { kvr::CurrentEventPump().DoEvents(); };
        plan.responseMissing = [&] {
            Log("SendEx: failed to receive response frame from target '" + MacZarn + "'.", kvr::LEVEL_WARNING);
        };
        return Exchange(plan, hNIC, MacZarn, frameType, payloadSize, Payload, cResponse, pgb1, ProtocolVersion,
                        CancelWait);
    } catch (...) {
        kvr::snapdetail::LogTrapped(Log, "SendEx");
        if (pgb1) pgb1->SetValue(pgb1->Max());
        return false;
    }
}

bool clsSnapCommand::SendExCustom(std::int32_t hNIC, const std::string& MacZarn, std::uint8_t frameType,
                                  std::int16_t payloadSize, std::vector<std::uint8_t>& Payload,
                                  std::shared_ptr<clsSnapResponse>& cResponse, kvr::ProgressBar* pgb1,
                                  long cmdRetries, float cmdAckTimeout) {
    try {
        CancelWait = false;
        StartProgress(pgb1, cmdRetries + 4);
        const std::string target = "(hNIC=0x" + HexUpper(static_cast<std::uint32_t>(hNIC)) + ", MAC='" + MacZarn + "')";
        ExchangePlan plan;
        plan.procedure = "SendExCustom";
        plan.destination = MacZarn;
        plan.attempts = cmdRetries;
        plan.ackMs = SecondsToMs(cmdAckTimeout);
        plan.responseMs = kResponseWaitMs;
        plan.label = NextLabel();
        plan.followCurrentLabel = true;
        plan.pumpDuringAckWait = true;
        plan.timeResponseBeforePump = true;
        plan.progressAfterAttempts = cmdRetries;
        plan.writeFailed = [&] { Log("SendExCustom: WriteNDIS failed " + target, kvr::LEVEL_WARNING); };
        plan.ackMissing = [&](bool wrote) {
            if (wrote && !CancelWait) {
                Log("SendExCustom: failed to receive ACK from target " + target, kvr::LEVEL_WARNING);
            }
        };
        if (!cResponse) cResponse = std::make_shared<clsSnapResponse>();
        return Exchange(plan, hNIC, MacZarn, frameType, payloadSize, Payload, cResponse, pgb1, ProtocolVersion,
                        CancelWait);
    } catch (...) {
        kvr::snapdetail::LogTrapped(Log, "SendExCustom");
        if (pgb1) pgb1->SetValue(pgb1->Max());
        return false;
    }
}

bool clsSnapCommand::SendEx2(const std::string& NICName, const std::string& MAC, clsPayload& payload,
                             std::uint8_t frameType, std::shared_ptr<clsSnapResponse>& cResponse,
                             kvr::ProgressBar* pgb1) {
    try {
        const kvr::AdapterSession adapter(NICName);
        if (!adapter.IsOpen()) {
            Log("SendEx2: OpenNdisDeviceByDesc failed for NIC '" + NICName + "'.", kvr::LEVEL_ERROR);
            return false;
        }
        std::vector<std::uint8_t> data = payload.GetPayload();
        data.resize(static_cast<std::size_t>(std::max<int>(payload.GetLength(), 0)));
        return SendEx(adapter.Handle(), MAC, frameType, payload.GetLength(), data, cResponse, pgb1);
    } catch (...) {
        kvr::snapdetail::LogTrapped(Log, "SendEx2");
        return false;
    }
}

bool clsSnapCommand::SendDownloadFrame(std::int32_t hNIC, const std::string& MacZarn, std::uint8_t frameType,
                                       std::int16_t payloadSize, std::vector<std::uint8_t>& Payload,
                                       std::shared_ptr<clsSnapResponse>& cResponse, kvr::ProgressBar* pgb1,
                                       std::int16_t RespTimeOut, bool IsDownloadFrame, bool IsMulticast) {
    try {
        Log("SendDownloadFrame: about to send another frame to the target.", kvr::LEVEL_DETAIL);
        CancelWait = false;
        StartProgress(pgb1, 6);
        ExchangePlan plan;
        plan.procedure = "SendDownloadFrame";
        plan.label = NextLabel();
        const std::string hexLabel = HexUpper(static_cast<std::uint16_t>(plan.label));
        plan.ackMs = SecondsToMs(G().AckTimeout) + (IsDownloadFrame ? kDownloadAckExtraMs : 0);
        plan.destination = IsMulticast ? std::string(SNAP_MULTICAST_MAC) : MacZarn;
        plan.attempts = kSendExAttempts;
        plan.responseMs = std::max<std::int64_t>(RespTimeOut, 0) * 1000;
        plan.pumpAfterMissedAck = true;
        plan.earlyResponseIsFinal = false;
        plan.attemptProgressOffset = 1;
        plan.responseStepMs = kProgressStepMs;
        plan.responseProgressFromZero = true;

        // An ACK counts only from the target and, for download frames, only
        // when the target says it is in download mode.
        plan.acceptAck = [&](const clsSnapResponse& r) {
            if (!kvr::SameMac(r.srcMAC, MacZarn)) {
                Log("SendDownloadFrame: received ACK from device '" + r.srcMAC + "'; expected ACK from device '" +
                        MacZarn + "'",
                    kvr::LEVEL_DETAIL);
                return false;
            }
            if (IsDownloadFrame && !r.downloadMode) {
                Log("SendDownloadFrame: ACK from target " + MacZarn +
                        " indicates that it is not in download mode when app expects download mode.",
                    kvr::LEVEL_TRACE);
                return false;
            }
            return true;
        };
        plan.acceptResponse = [&](const clsSnapResponse& r) {
            if (!kvr::SameMac(r.srcMAC, MacZarn)) {
                Log("SendDownloadFrame: received response from device '" + r.srcMAC +
                        "'; expected response from device '" + MacZarn + "'",
                    kvr::LEVEL_TRACE);
                return false;
            }
            if (IsDownloadFrame && !r.downloadMode) {
                Log("SendDownloadFrame: response from target " + MacZarn +
                        " indicates that it is not in download mode.",
                    kvr::LEVEL_TRACE);
                return false;
            }
            return true;
        };
        plan.beforeResend = [&] {
            Log("SendDownloadFrame: re-sending download packet and re-using label (label=0x" + hexLabel + ")...",
                kvr::LEVEL_WARNING);
        };
        plan.writeFailed = [&] {
            Log("SendDownloadFrame: WriteNDIS failed (label=0x" + hexLabel + ")!", kvr::LEVEL_WARNING);
        };
        plan.ackMissing = [&](bool) {
            Log("SendDownloadFrame: failed to receive ACK (label=0x" + hexLabel + ")!  AckTimeout=" +
                    SingleText(G().AckTimeout) + ".  Exiting abnormally.",
                kvr::LEVEL_WARNING);
        };
        plan.readFailed = [&] {
            Log("SendDownloadFrame: cResponse.ReadResponseFrame failed (label=0x" + hexLabel + ").",
                kvr::LEVEL_TRACE);
        };
        plan.responseMissing = [&] {
            Log("SendDownloadFrame: cResponse.ReadResponseFrame failed all retries.  Response Timeout=" +
                    std::to_string(RespTimeOut) + ".  Exiting abnormally.",
                kvr::LEVEL_WARNING);
        };

        const bool result = Exchange(plan, hNIC, MacZarn, frameType, payloadSize, Payload, cResponse, pgb1,
                                     ProtocolVersion, CancelWait);
        if (result) {
            Log("SendDownloadFrame: successfully sent download frame to target, label 0x" + hexLabel,
                kvr::LEVEL_DETAIL);
        } else {
            Log("SendDownloadFrame: operation failed.", kvr::LEVEL_WARNING);
        }
        return result;
    } catch (...) {
        kvr::snapdetail::LogTrapped(Log, "SendDownloadFrame");
        if (pgb1) pgb1->SetValue(pgb1->Max());
        return false;
    }
}
