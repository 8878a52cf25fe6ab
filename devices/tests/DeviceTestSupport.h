#pragma once
// Shared helpers of the device and discovery tests: a log recorder, a
// prompter that records its questions, and a scripted SNAP link.
#include <algorithm>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "Globals.h"
#include "Seams.h"
#include "SnapFrame.h"
#include "SnapLink.h"
#include "basDebug.h"

namespace devtest {

struct LogLine {
    std::string message;
    long level = 0;
    std::string module;
};

// Receives every log message while it exists.
class LogRecorder : public kvr::StatusWindowSink {
public:
    LogRecorder() { G().StatusWindowSlot0 = this; }
    ~LogRecorder() override { G().StatusWindowSlot0 = nullptr; }
    void PostMessage(const std::string& message, float, long level, const std::string& module) override {
        lines.push_back({message, level, module});
    }
    // Lines whose message contains `part` (and, when given, has this level).
    std::vector<LogLine> Find(const std::string& part, long level = -1) const {
        std::vector<LogLine> out;
        for (const auto& l : lines)
            if (l.message.find(part) != std::string::npos && (level < 0 || l.level == level)) out.push_back(l);
        return out;
    }
    bool Has(const std::string& exact, long level) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const LogLine& l) { return l.message == exact && l.level == level; });
    }
    std::vector<LogLine> lines;
};

struct Question {
    std::string text, title;
    kvr::PromptButtons buttons;
    kvr::PromptIcon icon;
};

class RecordingPrompter : public kvr::Prompter {
public:
    RecordingPrompter() { kvr::SetPrompter(this); }
    ~RecordingPrompter() override { kvr::SetPrompter(nullptr); }
    kvr::PromptAnswer Ask(const std::string& text, const std::string& title, kvr::PromptButtons buttons,
                          kvr::PromptIcon icon) override {
        questions.push_back({text, title, buttons, icon});
        return kvr::PromptAnswer::OK;
    }
    std::vector<Question> questions;
};

struct SentFrame {
    std::int32_t hNIC;
    std::string dest;
    std::int16_t version;
    std::uint8_t frameType;
    std::int16_t label;
    std::int16_t payloadLen;
    std::vector<std::uint8_t> payload;
};

// A link that records what is sent and hands out queued frames; an empty
// queue costs 100 ms on the fake clock, like a read that times out.
class ScriptedLink : public kvr::SnapLink {
public:
    explicit ScriptedLink(kvr::FakeClock& clock) : m_clock(clock) {
        kvr::SetSnapLink(this);
        kvr::SetClock(&m_clock);
    }
    ~ScriptedLink() override {
        kvr::SetSnapLink(nullptr);
        kvr::SetClock(nullptr);
    }
    bool Write(std::int32_t hNIC, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
               std::int16_t label, std::uint8_t, std::int16_t payloadLen, std::uint8_t,
               std::vector<std::uint8_t>& payload) override {
        sent.push_back({hNIC, destMAC, version, frameType, label, payloadLen, payload});
        return writeOk;
    }
    bool Read(std::int32_t, kvr::SnapFrame& frame) override {
        if (queue.empty()) {
            m_clock.Advance(100);
            return false;
        }
        frame = queue.front();
        queue.pop_front();
        return true;
    }
    bool Open(const std::string& description, std::int32_t& hNIC) override {
        opened.push_back(description);
        hNIC = openOk ? 5 : -1;
        return openOk;
    }
    bool Close(std::int32_t) override {
        ++closes;
        return true;
    }
    std::vector<SentFrame> sent;
    std::deque<kvr::SnapFrame> queue;
    bool writeOk = true;
    bool openOk = true;
    std::vector<std::string> opened;
    int closes = 0;

private:
    kvr::FakeClock& m_clock;
};

// Builds RID blocks of a device's answer.
class Blocks {
public:
    Blocks& Word(std::uint16_t rid, std::uint16_t v) { return Block(rid, {Lo(v), Hi(v)}); }
    Blocks& Long(std::uint16_t rid, std::uint32_t v) {
        return Block(rid, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                           static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
    }
    // Length-prefixed string in a field of `field` bytes (0 = sized to the text).
    Blocks& Str(std::uint16_t rid, const std::string& s, std::size_t field = 0) {
        std::vector<std::uint8_t> v{Lo(static_cast<std::uint16_t>(s.size())), Hi(static_cast<std::uint16_t>(s.size()))};
        v.insert(v.end(), s.begin(), s.end());
        if (field && v.size() < field) v.resize(field, 0);
        if (v.size() % 2) v.push_back(0);
        return Block(rid, v);
    }
    Blocks& Fixed(std::uint16_t rid, const std::string& s) { return Block(rid, {s.begin(), s.end()}); }
    Blocks& Error(std::uint16_t rid, std::uint16_t code) { return Block(0x0600, {Lo(rid), Hi(rid), Lo(code), Hi(code)}); }
    Blocks& Block(std::uint16_t rid, std::vector<std::uint8_t> value) {
        const auto count = static_cast<std::uint16_t>(1 + value.size() / 2);
        bytes.insert(bytes.end(), {Lo(count), Hi(count), Lo(rid), Hi(rid)});
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    std::vector<std::uint8_t> bytes;

private:
    static std::uint8_t Lo(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
    static std::uint8_t Hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
};

inline kvr::SnapFrame Response(const std::string& mac, std::int16_t label, const std::vector<std::uint8_t>& payload,
                                  bool downloadMode = false, std::int16_t version = 8) {
    kvr::SnapFrame r;
    kvr::MacFromHex(mac, r.sender.data());
    r.version = version;
    r.frameType = static_cast<std::uint8_t>(2 | (downloadMode ? 0x80 : 0));
    r.label = label;
    r.status = 0;
    r.payload = payload;
    return r;
}

}  // namespace devtest
