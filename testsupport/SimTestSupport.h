#pragma once
// Simulated devices on private virtual segments, reached through the shipped
// adapter library: each test gets its own segment directory, its own segment
// names and a NIC pool holding exactly its segments.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Globals.h"
#include "Seams.h"
#include "LogRecorder.h"
#include "RecordingPrompter.h"
#include "SimLink.h"
#include "SnapLink.h"
#include "ZarniLibs.h"
#include "clsNICpool.h"
#include "modZarniSupp.h"
#include "sim/Simulator.h"

namespace devtest {

using kvr::test::SimDevice;
using kvr::test::SimMac;

// The program's adapter layer over the shipped adapter library, with no
// link, export resolver, module state or device flags left from before.
inline void UseShippedAdapterLibrary() {
    kvr::SetSnapLink(nullptr);
    kvr::SetExportResolver(nullptr);
    kvr::SetLibraryDirectory(KVR_BUNDLE_DIR);
    kvr::ResetZarniSuppModule();
    G().AuthorizationID = 0;
    G().ModifiedSnap = 0;
}

class SimulatedSegments : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(std::string(KVR_BUNDLE_DIR) + "/libzarnisupp.so"))
            GTEST_SKIP() << "libzarnisupp.so not built";
        char tmpl[] = "/tmp/kvr-devices-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        ::setenv("KVR_SEGMENT_DIR", m_root.c_str(), 1);
        ::setenv("KVR_ADAPTERS", "virtual", 1);  // never the machine's real network
        UseShippedAdapterLibrary();
        NicPool().colNIC.clear();
    }
    void TearDown() override {
        kvr::SetClock(nullptr);
        for (auto& s : m_sims) s.second->Stop();
        m_sims.clear();
        NicPool().colNIC.clear();
        kvr::ResetZarniSuppModule();
        std::error_code ec;
        if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
    }

    // A segment name of this test ("a", "b" ... made unique per process).
    std::string Segment(const std::string& tag) const { return "dv" + std::to_string(::getpid()) + tag; }
    // The adapter description under which the library lists a segment.
    std::string Nic(const std::string& tag) const { return "KVR virtual segment " + Segment(tag); }

    // Starts a simulator with these devices on segment `tag`.
    kvr::sim::Simulator& Start(const std::string& tag, const std::vector<kvr::sim::DeviceConfig>& devices) {
        auto sim = std::make_unique<kvr::sim::Simulator>();
        for (const auto& d : devices) {
            std::string err;
            EXPECT_TRUE(sim->AddDevice(d, &err)) << err;
        }
        std::string err;
        EXPECT_TRUE(sim->StartOnSegment(Segment(tag), &err)) << err;
        auto& ref = *sim;
        m_sims[tag] = std::move(sim);
        return ref;
    }
    kvr::sim::Simulator& Sim(const std::string& tag) { return *m_sims.at(tag); }

    // Scans the adapters (without the scan pauses) and pools exactly these
    // descriptions, in this order; descriptions need not exist. The clock the
    // test installed before stays installed.
    void PoolAdapters(const std::vector<std::string>& descriptions) {
        kvr::Clock& before = kvr::CurrentClock();
        kvr::FakeClock fast;
        kvr::SetClock(&fast);
        const std::int32_t n = GetNumAdapters();
        kvr::SetClock(&before);
        ASSERT_GE(n, 1);
        NicPool().colNIC.clear();
        for (const auto& d : descriptions) {
            auto nic = std::make_shared<clsNIC>();
            nic->Name = d;
            NicPool().colNIC.push_back(nic);
        }
    }

    std::string m_root;
    std::map<std::string, std::unique_ptr<kvr::sim::Simulator>> m_sims;
};

// Read requests the device received after discovery (profile reads and the like),
// each as its payload bytes.
inline std::vector<std::vector<std::uint8_t>> UnicastReadRequests(kvr::sim::Simulator& sim, const kvr::sim::Mac& mac) {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& f : sim.FrameLog(mac)) {
        kvr::EthernetHeader eth;
        kvr::SnapFrame frame;
        if (f.outgoing || f.dropped || f.kind != 0 || !kvr::ReadEthernetHeader(f.bytes, eth)) continue;
        const bool multicast = eth.destination[0] & 0x01;
        if (multicast || kvr::ParseSnapFrame(f.bytes, frame) != kvr::SnapParse::Ok) continue;
        out.push_back(std::move(frame.payload));
    }
    return out;
}

}  // namespace devtest
