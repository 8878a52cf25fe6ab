#pragma once
// Simulated devices on private virtual segments: while one of these lives,
// the segments are made under a directory of its own (KVR_SEGMENT_DIR), the
// adapter enumeration lists only virtual segments (KVR_ADAPTERS=virtual, never
// the machine's real network), and each segment name is unique to this
// process. Its simulators are stopped and the directory removed when it ends.
//   kvr::test::SimSegments segments("ui");
//   segments.Start("a", {device});                  // on segments.Segment("a")
//   kvr::test::SimSegments::ScanAdapters();         // "KVR virtual segment ..." listed
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"
#include "sim/Simulator.h"

namespace kvr::test {

class SimSegments {
public:
    // Segment names start with `prefix` and this process's id.
    explicit SimSegments(std::string prefix);
    ~SimSegments();
    SimSegments(const SimSegments&) = delete;
    SimSegments& operator=(const SimSegments&) = delete;

    std::string Segment(const std::string& tag) const;
    // The directory the segments are made in (KVR_SEGMENT_DIR), for a program
    // started by the test.
    std::string Root() const { return m_root.Root(); }
    // The adapter description under which the adapter library lists a segment.
    std::string Nic(const std::string& tag) const { return "KVR virtual segment " + Segment(tag); }

    // Starts a simulator with these devices (their faults included) on segment
    // `tag`, in place of one already there; null, with the reason in `error`,
    // when a device or the segment is refused.
    kvr::sim::Simulator* Start(const std::string& tag, const std::vector<kvr::sim::DeviceConfig>& devices,
                               std::string* error = nullptr);
    kvr::sim::Simulator& Sim(const std::string& tag) { return *m_sims.at(tag); }
    void StopAll();

    // The adapter library's count of adapters, scanned with its pauses
    // skipped; the clock installed before stays installed.
    static std::int32_t ScanAdapters();

private:
    std::string m_prefix;
    SegmentRootScope m_root;
    std::map<std::string, std::unique_ptr<kvr::sim::Simulator>> m_sims;
};

}  // namespace kvr::test
