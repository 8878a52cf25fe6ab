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
#include "SimSegments.h"
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
        UseShippedAdapterLibrary();
        NicPool().colNIC.clear();
    }
    void TearDown() override {
        kvr::SetClock(nullptr);
        m_segments.StopAll();
        NicPool().colNIC.clear();
        kvr::ResetZarniSuppModule();
    }

    // A segment name of this test ("a", "b" ... made unique per process).
    std::string Segment(const std::string& tag) const { return m_segments.Segment(tag); }
    // The adapter description under which the library lists a segment.
    std::string Nic(const std::string& tag) const { return m_segments.Nic(tag); }

    // Starts a simulator with these devices on segment `tag`.
    kvr::sim::Simulator& Start(const std::string& tag, const std::vector<kvr::sim::DeviceConfig>& devices) {
        std::string err;
        kvr::sim::Simulator* sim = m_segments.Start(tag, devices, &err);
        EXPECT_NE(sim, nullptr) << err;
        return m_segments.Sim(tag);
    }
    kvr::sim::Simulator& Sim(const std::string& tag) { return m_segments.Sim(tag); }

    // Scans the adapters (without the scan pauses) and pools exactly these
    // descriptions, in this order; descriptions need not exist. The clock the
    // test installed before stays installed.
    void PoolAdapters(const std::vector<std::string>& descriptions) {
        ASSERT_GE(kvr::test::SimSegments::ScanAdapters(), 1);
        NicPool().colNIC.clear();
        for (const auto& d : descriptions) {
            auto nic = std::make_shared<clsNIC>();
            nic->Name = d;
            NicPool().colNIC.push_back(nic);
        }
    }

    kvr::test::SimSegments m_segments{"dv"};
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
