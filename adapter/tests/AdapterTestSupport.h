#pragma once
// Test helpers: a log recorder on the status-window slot and a scripted
// stand-in for the adapter library's exports.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "Globals.h"
#include "Seams.h"
#include "ZarniLibs.h"
#include "basDebug.h"
#include "modZarniSupp.h"

namespace kvr::test {

struct LogLine {
    std::string message;
    long level;
    std::string module;
};

class LogRecorder : public StatusWindowSink {
public:
    LogRecorder() { G().StatusWindowSlot0 = this; }
    ~LogRecorder() override { G().StatusWindowSlot0 = nullptr; }
    void PostMessage(const std::string& message, float, long level, const std::string& module) override {
        lines.push_back({message, level, module});
    }
    bool Has(const std::string& message, long level, const std::string& module = {}) const {
        return Count(message, level, module) > 0;
    }
    int Count(const std::string& message, long level, const std::string& module = {}) const {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) {
            return l.message == message && l.level == level && (module.empty() || l.module == module);
        }));
    }
    // Lines whose text starts with prefix.
    int CountPrefix(const std::string& prefix) const {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) {
            return l.message.compare(0, prefix.size(), prefix) == 0;
        }));
    }
    std::string Dump() const {
        std::string s;
        for (const auto& l : lines) s += "[" + std::to_string(l.level) + " " + l.module + "] " + l.message + "\n";
        return s;
    }
    std::vector<LogLine> lines;
};

struct FakeAdapter {
    std::string desc;
    std::string name;
    std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, 1};
    std::int32_t connected = 1;
    std::int32_t hasIp = 1;
    std::int32_t wireless = 0;
    std::string ssid;
    bool descFails = false;
    bool connectFails = false;
    bool macFails = false;
    bool ipFails = false;
    bool openFails = false;
    bool open = false;
};

// What the scripted library does and saw.
struct FakeSupp {
    std::vector<FakeAdapter> adapters;
    std::deque<std::int32_t> scanCounts;  // per scan: count written; empty = adapters.size()
    std::deque<bool> scanResults;         // per scan: export result; empty = success
    std::vector<std::int32_t> scanWaits;  // waitForDriver of each scan
    std::vector<std::vector<std::uint8_t>> sent;
    bool sendFails = false;
    std::deque<std::vector<std::uint8_t>> rx;  // frames to deliver
    bool receiveFails = false;
    int receiveCalls = 0;
    int waitCalls = 0;
};

FakeSupp& Fake();
// Routes every export to the scripted library and resets it and the module.
void UseFakeSupp();
// Back to loading the real libraries.
void UseRealLibraries();

// A SNAP frame as a device sends it (version 0 or 8), built by the frame codec.
std::vector<std::uint8_t> DeviceFrame(int version, const std::uint8_t dst[6], const std::uint8_t src[6],
                                    std::uint8_t frameType, std::uint16_t label, std::uint8_t status,
                                    const std::vector<std::uint8_t>& payload);

}  // namespace kvr::test
