#pragma once
// Test helpers: a scripted stand-in for the adapter library's exports.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "Globals.h"
#include "Seams.h"
#include "ZarniLibs.h"
#include "LogRecorder.h"
#include "basDebug.h"
#include "modZarniSupp.h"

namespace kvr::test {

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
