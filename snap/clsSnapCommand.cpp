#include "clsSnapCommand.h"

#include <algorithm>
#include <charconv>
#include <cmath>

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

// The response wait after an accepted ACK: polls up to kResponseWaitMs for the
// device's response, moving the progress bar a step per second after the
// attempts. Ends early on Cancel or when the device refused the write.
bool WaitForResponse(clsSnapResponse& r, std::int32_t hNIC, std::int16_t version, const std::string& MacZarn,
                     const bool& cancel, Pump& pump, kvr::ProgressBar* pgb1, long attempts, bool& refused) {
    kvr::Clock& clock = kvr::CurrentClock();
    const std::int64_t start = clock.NowMs();
    for (;;) {
        const std::int64_t pollStart = clock.NowMs();
        if (r.ReadResponseFrame(hNIC, version)) return true;
        if (RefusedBy(r, MacZarn)) {
            refused = true;
            return false;
        }
        PauseAfterFastFailure(clock, r, pollStart);
        const std::int64_t waited = clock.NowMs() - start;
        pump.AtMostOncePerSecond();
        if (pgb1) pgb1->SetValue(Capped(attempts + static_cast<long>(waited / 1000), pgb1));
        if (cancel || waited >= kResponseWaitMs) return false;
    }
}

}  // namespace

bool clsSnapCommand::SendEx(std::int32_t hNIC, const std::string& MacZarn, std::uint8_t frameType,
                            std::int16_t payloadSize, std::vector<std::uint8_t>& Payload,
                            std::shared_ptr<clsSnapResponse>& cResponse, kvr::ProgressBar* pgb1) {
    try {
        CancelWait = false;
        if (pgb1) {
            pgb1->SetMin(0);
            pgb1->SetMax(10);
            pgb1->SetValue(0);
        }
        kvr::Clock& clock = kvr::CurrentClock();
        kvr::SnapLink& link = kvr::CurrentSnapLink();
        const std::int64_t ackMs = SecondsToMs(G().AckTimeout);

        bool accepted = false;
        bool acceptedIsResponse = false;
        bool refused = false;
        int attempts = 0;
        do {
            // All attempts of one request carry the same label.
            const std::int16_t lbl = attempts == 0 ? NextLabel() : CurrentLabel();
            cResponse = std::make_shared<clsSnapResponse>();
            cResponse->RequestFrameType = static_cast<std::int16_t>(frameType & SNAP_KIND_MASK);
            if (!link.Write(hNIC, MacZarn, ProtocolVersion, frameType, lbl, 0, payloadSize, G().ModifiedSnap,
                            Payload)) {
                Log("SendEx: failed call to WriteNDIS!", kvr::LEVEL_ERROR);
            } else {
                accepted = WaitForAck(*cResponse, hNIC, ProtocolVersion, MacZarn, ackMs, CancelWait, "SendEx",
                                      acceptedIsResponse, refused, nullptr,
                                      [](const clsSnapResponse&) { return true; });
                if (!accepted && !refused) {
                    Log("SendEx: failed to receive ACK from target '" + MacZarn + "'.", kvr::LEVEL_WARNING);
                }
            }
            if (pgb1) pgb1->SetValue(Capped(attempts, pgb1));
            ++attempts;
            if (!accepted) kvr::CurrentEventPump().DoEvents();
        } while (!accepted && !refused && attempts < kSendExAttempts && !CancelWait);
        if (pgb1) pgb1->SetValue(Capped(6, pgb1));

        bool result = false;
        if (accepted && acceptedIsResponse) {
            result = true;
        } else if (accepted) {
            Pump pump(clock);
            result = WaitForResponse(*cResponse, hNIC, ProtocolVersion, MacZarn, CancelWait, pump, pgb1, attempts,
                                     refused);
            if (!result && !refused) {
                Log("SendEx: failed to receive response frame from target '" + MacZarn + "'.", kvr::LEVEL_WARNING);
            }
        }
        if (pgb1) pgb1->SetValue(pgb1->Max());
        return result;
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
        if (pgb1) {
            pgb1->SetMin(0);
            pgb1->SetMax(cmdRetries + 4);
            pgb1->SetValue(0);
        }
        kvr::Clock& clock = kvr::CurrentClock();
        kvr::SnapLink& link = kvr::CurrentSnapLink();
        const std::int64_t ackMs = SecondsToMs(cmdAckTimeout);
        const std::string target = "(hNIC=0x" + HexUpper(static_cast<std::uint32_t>(hNIC)) + ", MAC='" + MacZarn + "')";

        NextLabel();
        if (!cResponse) cResponse = std::make_shared<clsSnapResponse>();
        bool accepted = false;
        bool acceptedIsResponse = false;
        bool refused = false;
        long attempts = 0;
        Pump pump(clock);
        while (!accepted && !refused && attempts < cmdRetries && !CancelWait) {
            cResponse = std::make_shared<clsSnapResponse>();
            cResponse->RequestFrameType = static_cast<std::int16_t>(frameType & SNAP_KIND_MASK);
            if (!link.Write(hNIC, MacZarn, ProtocolVersion, frameType, CurrentLabel(), 0, payloadSize,
                            G().ModifiedSnap, Payload)) {
                Log("SendExCustom: WriteNDIS failed " + target, kvr::LEVEL_WARNING);
            } else {
                accepted = WaitForAck(*cResponse, hNIC, ProtocolVersion, MacZarn, ackMs, CancelWait,
                                      "SendExCustom", acceptedIsResponse, refused, &pump,
                                      [](const clsSnapResponse&) { return true; });
                if (!accepted && !CancelWait && !refused) {
                    Log("SendExCustom: failed to receive ACK from target " + target, kvr::LEVEL_WARNING);
                }
            }
            if (pgb1) pgb1->SetValue(Capped(attempts, pgb1));
            ++attempts;
        }
        if (pgb1) pgb1->SetValue(Capped(cmdRetries, pgb1));

        bool result = false;
        if (accepted && acceptedIsResponse) {
            result = true;
        } else if (accepted) {
            result = WaitForResponse(*cResponse, hNIC, ProtocolVersion, MacZarn, CancelWait, pump, pgb1, attempts,
                                     refused);
        }
        if (pgb1) pgb1->SetValue(pgb1->Max());
        return result;
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
        if (pgb1) {
            pgb1->SetMin(0);
            pgb1->SetMax(6);
            pgb1->SetValue(0);
        }
        kvr::Clock& clock = kvr::CurrentClock();
        kvr::SnapLink& link = kvr::CurrentSnapLink();
        const std::int16_t lbl = NextLabel();
        const std::string hexLabel = HexUpper(static_cast<std::uint16_t>(lbl));
        const std::int64_t ackMs = SecondsToMs(G().AckTimeout) + (IsDownloadFrame ? kDownloadAckExtraMs : 0);
        const std::string destination = IsMulticast ? std::string(SNAP_MULTICAST_MAC) : MacZarn;

        // An ACK counts only from the target and, for download frames, only
        // when the target says it is in download mode.
        auto fromTarget = [&](const clsSnapResponse& r) {
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

        bool accepted = false;
        bool acceptedIsResponse = false;
        bool refused = false;
        Pump pump(clock);
        for (int attempt = 0; attempt < kSendExAttempts && !accepted && !refused && !CancelWait; ++attempt) {
            if (attempt > 0) {
                Log("SendDownloadFrame: re-sending download packet and re-using label (label=0x" + hexLabel + ")...",
                    kvr::LEVEL_WARNING);
            }
            cResponse = std::make_shared<clsSnapResponse>();
            cResponse->bAckSent = false;
            cResponse->RequestFrameType = static_cast<std::int16_t>(frameType & SNAP_KIND_MASK);
            if (!link.Write(hNIC, destination, ProtocolVersion, frameType, lbl, 0, payloadSize, G().ModifiedSnap,
                            Payload)) {
                Log("SendDownloadFrame: WriteNDIS failed (label=0x" + hexLabel + ")!", kvr::LEVEL_WARNING);
            } else {
                accepted = WaitForAck(*cResponse, hNIC, ProtocolVersion, MacZarn, ackMs, CancelWait,
                                      "SendDownloadFrame", acceptedIsResponse, refused, nullptr, fromTarget);
            }
            if (!accepted && !refused) {
                Log("SendDownloadFrame: failed to receive ACK (label=0x" + hexLabel + ")!  AckTimeout=" +
                        SingleText(G().AckTimeout) + ".  Exiting abnormally.",
                    kvr::LEVEL_WARNING);
                pump.AtMostOncePerSecond();
            }
            if (pgb1) pgb1->SetValue(Capped(attempt + 1, pgb1));
        }

        bool result = false;
        if (accepted) {
            const std::int64_t waitMs = std::max<std::int64_t>(RespTimeOut, 0) * 1000;
            if (pgb1) {
                pgb1->SetValue(0);
                pgb1->SetMax(static_cast<long>(waitMs / kProgressStepMs));
            }
            const std::int64_t start = clock.NowMs();
            // A response taken in place of the ACK is checked once; every
            // further poll reads a new frame.
            bool carried = acceptedIsResponse;
            for (;;) {
                bool have = false;
                const std::int64_t pollStart = clock.NowMs();
                if (carried) {
                    have = true;
                    carried = false;
                } else if (cResponse->ReadResponseFrame(hNIC, ProtocolVersion)) {
                    have = true;
                } else if (RefusedBy(*cResponse, MacZarn)) {
                    refused = true;
                    break;
                } else {
                    Log("SendDownloadFrame: cResponse.ReadResponseFrame failed (label=0x" + hexLabel + ").",
                        kvr::LEVEL_TRACE);
                    PauseAfterFastFailure(clock, *cResponse, pollStart);
                    pump.AtMostOncePerSecond();
                }
                if (have) {
                    if (!kvr::SameMac(cResponse->srcMAC, MacZarn)) {
                        Log("SendDownloadFrame: received response from device '" + cResponse->srcMAC +
                                "'; expected response from device '" + MacZarn + "'",
                            kvr::LEVEL_TRACE);
                    } else if (IsDownloadFrame && !cResponse->downloadMode) {
                        Log("SendDownloadFrame: response from target " + MacZarn +
                                " indicates that it is not in download mode.",
                            kvr::LEVEL_TRACE);
                    } else {
                        result = true;
                        break;
                    }
                }
                const std::int64_t waited = clock.NowMs() - start;
                if (pgb1) pgb1->SetValue(Capped(static_cast<long>(waited / kProgressStepMs), pgb1));
                if (CancelWait || waited >= waitMs) break;
            }
            if (!result && !refused) {
                Log("SendDownloadFrame: cResponse.ReadResponseFrame failed all retries.  Response Timeout=" +
                        std::to_string(RespTimeOut) + ".  Exiting abnormally.",
                    kvr::LEVEL_WARNING);
            }
        }
        if (pgb1) pgb1->SetValue(pgb1->Max());
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
