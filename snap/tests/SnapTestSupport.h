#pragma once
// Test helpers: a log capture and a scripted device peer that plays one or
// more devices behind the SnapLink seam on a fake clock, so transport tests
// run in microseconds and are fully deterministic.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <unordered_map>
#include <string>
#include <vector>

#include "Globals.h"
#include "Rids.h"
#include "Seams.h"
#include "SnapFrame.h"
#include "SnapLink.h"
#include "basDebug.h"

namespace snaptest {

struct LogLine {
    std::string message;
    long level;
    std::string module;
};

// Collects every DebugLog line while it lives.
class LogCapture : public kvr::StatusWindowSink {
public:
    LogCapture() : m_previous(G().StatusWindowSlot0) { G().StatusWindowSlot0 = this; }
    ~LogCapture() override { G().StatusWindowSlot0 = m_previous; }
    void PostMessage(const std::string& message, float, long level, const std::string& module) override {
        lines.push_back({message, level, module});
    }
    // Lines that contain `text` (at `level` when given).
    std::size_t Count(const std::string& text, std::optional<long> level = std::nullopt) const {
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) {
            return l.message.find(text) != std::string::npos && (!level || l.level == *level);
        }));
    }
    bool HasExact(const std::string& message, long level, const std::string& module) const {
        return std::any_of(lines.begin(), lines.end(), [&](const LogLine& l) {
            return l.message == message && l.level == level && l.module == module;
        });
    }
    std::string Dump() const {
        std::string s;
        for (const auto& l : lines) s += "[" + l.module + " " + std::to_string(l.level) + "] " + l.message + "\n";
        return s;
    }
    std::vector<LogLine> lines;

private:
    kvr::StatusWindowSink* m_previous;
};

// One frame the host wrote.
struct Sent {
    std::string dest;
    std::int16_t version;
    std::uint8_t frameType;
    std::int16_t label;
    std::uint8_t status;
    std::int16_t payloadLen;
    std::vector<std::uint8_t> payload;
    std::int64_t atMs;
};

// How a scripted device behaves towards one request.
struct Behaviour {
    std::string mac = "0007F5010203";
    bool mute = false;                 // answers nothing
    unsigned answerOnAttempt = 1;      // copies of a request before it answers
    bool noAck = false;
    bool responseBeforeAck = false;
    int labelOffset = 0;               // added to the label of ACK and response
    int version = -1;                  // -1: the request's version
    std::uint8_t typeFlags = 0;        // ORed into the frame-type byte (0x80: download mode)
    std::uint8_t ackTypeFlags = 0xFF;  // for the ACK only; 0xFF: same as typeFlags
    std::uint8_t responseCode = 0;
    std::uint8_t responseTypeByte = 0xFF;  // whole frame-type byte of the response; 0xFF: kind 2 | flags
    std::int64_t ackDelayMs = 20;
    std::int64_t responseDelayMs = 40;  // after the request
    bool noResponse = false;
    unsigned duplicateResponses = 0;
    std::vector<std::uint8_t> responsePayload;
};

// A scripted peer: every request the host writes is answered by each
// behaviour in turn; frames are queued with their arrival time on the fake
// clock. Read returns the next frame due within 100 ms, advancing the clock,
// or advances the clock by 100 ms and returns false.
class ScriptedLink : public kvr::SnapLink {
public:
    explicit ScriptedLink(kvr::FakeClock& clock) : m_clock(clock) {
        kvr::SetClock(&clock);
        kvr::SetSnapLink(this);
    }
    ~ScriptedLink() override {
        kvr::SetSnapLink(nullptr);
        kvr::SetClock(nullptr);
    }

    bool Write(std::int32_t, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
               std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen, std::uint8_t,
               std::vector<std::uint8_t>& payload) override {
        if (failWrites > 0) {
            --failWrites;
            return false;
        }
        Sent s{destMAC, version, frameType, label, downloadMode, payloadLen,
               std::vector<std::uint8_t>(payload.begin(),
                                         payload.begin() + std::min<std::size_t>(payload.size(),
                                                                                 static_cast<std::size_t>(std::max<int>(payloadLen, 0)))),
               m_clock.NowMs()};
        sent.push_back(s);
        if ((frameType & SNAP_KIND_MASK) == SNAP_KIND_ACK) {
            acks.push_back(s);
            return true;
        }
        for (std::size_t i = 0; i < devices.size(); ++i) Answer(i, s);
        return true;
    }

    bool Read(std::int32_t, kvr::SnapFrame& frame) override {
        ++reads;
        const std::int64_t now = m_clock.NowMs();
        auto next = std::min_element(m_queue.begin(), m_queue.end(),
                                     [](const Queued& a, const Queued& b) { return a.at < b.at; });
        if (next != m_queue.end() && next->at <= now + 100) {
            if (next->at > now) m_clock.Advance(next->at - now);
            frame = next->frame;
            m_queue.erase(next);
            return true;
        }
        m_clock.Advance(100);
        return false;
    }
    bool Open(const std::string& description, std::int32_t& hNIC) override {
        hNIC = description == adapterName ? 7 : -1;
        if (hNIC != -1) ++opens;
        return hNIC != -1;
    }
    bool Close(std::int32_t) override {
        ++closes;
        return true;
    }

    // Queues an unsolicited frame arriving after `delayMs`.
    void Inject(const kvr::SnapFrame& f, std::int64_t delayMs) { m_queue.push_back({m_clock.NowMs() + delayMs, f}); }

    std::vector<Behaviour> devices;
    std::vector<Sent> sent;
    std::vector<Sent> acks;
    int failWrites = 0;
    int reads = 0;
    int opens = 0, closes = 0;
    std::string adapterName = "KVR virtual segment test";

private:
    struct Queued {
        std::int64_t at;
        kvr::SnapFrame frame;
    };

    void Answer(std::size_t i, const Sent& req) {
        Behaviour& b = devices[i];
        if (b.mute) return;
        if (b.answerOnAttempt > 1) {
            unsigned& seen = m_attempts[i];
            if (m_attemptLabel[i] != req.label) {
                m_attemptLabel[i] = req.label;
                seen = 0;
            }
            if (++seen < b.answerOnAttempt) return;
        }
        const std::int16_t lbl = static_cast<std::int16_t>(req.label + b.labelOffset);
        const std::int16_t ver = static_cast<std::int16_t>(b.version < 0 ? req.version : b.version);
        kvr::SnapFrame ack;
        kvr::MacFromHex(b.mac, ack.sender.data());
        ack.version = ver;
        ack.frameType = static_cast<std::uint8_t>(SNAP_KIND_ACK | (b.ackTypeFlags == 0xFF ? b.typeFlags : b.ackTypeFlags));
        ack.label = lbl;
        kvr::SnapFrame resp;
        resp.sender = ack.sender;
        resp.version = ver;
        resp.frameType = b.responseTypeByte != 0xFF ? b.responseTypeByte
                                                    : static_cast<std::uint8_t>(SNAP_KIND_RESPONSE | b.typeFlags);
        resp.label = lbl;
        resp.status = b.responseCode;
        resp.payload = b.responsePayload;
        const std::int64_t now = m_clock.NowMs();
        if (!b.noAck) m_queue.push_back({now + (b.responseBeforeAck ? b.responseDelayMs + 5 : b.ackDelayMs), ack});
        if (!b.noResponse) {
            for (unsigned d = 0; d <= b.duplicateResponses; ++d) {
                m_queue.push_back({now + (b.responseBeforeAck ? b.ackDelayMs : b.responseDelayMs) + d, resp});
            }
        }
    }

    kvr::FakeClock& m_clock;
    std::vector<Queued> m_queue;
    std::unordered_map<std::size_t, unsigned> m_attempts;
    std::unordered_map<std::size_t, std::int16_t> m_attemptLabel;
};

// Response payload helpers.
inline void PutU16(std::vector<std::uint8_t>& p, std::uint16_t v) {
    p.push_back(static_cast<std::uint8_t>(v & 0xFF));
    p.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void PutBlock(std::vector<std::uint8_t>& p, std::uint16_t rid, const std::vector<std::uint8_t>& value) {
    PutU16(p, static_cast<std::uint16_t>(1 + (value.size() + 1) / 2));
    PutU16(p, rid);
    p.insert(p.end(), value.begin(), value.end());
    if (value.size() % 2) p.push_back(0);
}

}  // namespace snaptest
