#pragma once
// The SNAP link of the logic tests: simulated devices (the simulator's own
// device model, with its named faults) on one wire, on a fake clock, so every
// exchange runs in microseconds and is repeatable. Frames the host writes go
// to every device; what the devices send back arrives at its due time. Read
// returns the next frame due within 100 ms, moving the clock to it, or moves
// the clock on by 100 ms and returns false, as a read that times out.
//
//   kvr::FakeClock clock;
//   kvr::test::SimLink link(clock);            // the current link and clock
//   auto& dev = link.AddDevice(kvr::test::SimDevice(0x010203, "Kitchen"));
//   dev.SetFaults(faults);                     // e.g. answerOnAttempt = 3
//   ... run the host code ...
//   EXPECT_EQ(link.Requests().size(), 3u);
//
// Hand-made frames no device would send (malformed or unusual answers) are
// queued with Inject.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Seams.h"
#include "SnapCodec.h"
#include "SnapLink.h"
#include "sim/DeviceModel.h"
#include "sim/Simulator.h"

namespace kvr::test {

// A device configuration with the MAC 00:07:F5 followed by the 24 bits of n.
sim::DeviceConfig SimDevice(unsigned n, const std::string& name = "KVR");
sim::Mac SimMac(unsigned n);

// One frame the host wrote (the arguments of the write).
struct SentFrame {
    std::int32_t hNIC = 0;
    std::string dest;
    std::int16_t version = 0;
    std::uint8_t frameType = 0;
    std::int16_t label = 0;
    std::uint8_t status = 0;
    std::int16_t payloadLen = 0;
    std::vector<std::uint8_t> payload;  // the first payloadLen bytes
    std::int64_t atMs = 0;
    bool IsAck() const { return (frameType & 7) == 3; }
};

class SimLink : public SnapLink {
public:
    // The host's address on the wire; devices answer to it.
    static constexpr sim::Mac kHost{0x02, 0x00, 0x00, 0x00, 0x00, 0x10};

    // Installs itself and the clock as the current link and clock.
    explicit SimLink(FakeClock& clock);
    ~SimLink() override;
    SimLink(const SimLink&) = delete;
    SimLink& operator=(const SimLink&) = delete;

    // Puts a device on the wire (configuration checked: an unusable one aborts the test run).
    sim::DeviceModel& AddDevice(const sim::DeviceConfig& config);
    sim::DeviceModel& Device(std::size_t i = 0) { return *m_devices.at(i); }
    // Takes every device off the wire and forgets every frame not yet read.
    void RemoveDevices();
    // Queues a frame for the host, arriving after delayMs.
    void Inject(const SnapFrame& frame, std::int64_t delayMs = 0);
    // A response frame as a device sends it (kind 2, download-mode bit on request).
    static SnapFrame Response(const std::string& mac, std::int16_t label, const std::vector<std::uint8_t>& payload,
                                 bool downloadMode = false, std::int16_t version = 8);

    bool Write(std::int32_t hNIC, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
               std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen, std::uint8_t modifiedSnap,
               std::vector<std::uint8_t>& payload) override;
    bool Read(std::int32_t hNIC, SnapFrame& frame) override;
    bool Open(const std::string& description, std::int32_t& hNIC) override;
    bool Close(std::int32_t hNIC) override;

    // The frames written, requests only / ACKs only.
    std::vector<SentFrame> Requests() const;
    std::vector<SentFrame> Acks() const;

    std::vector<SentFrame> sent;    // every frame written, in order
    int failWrites = 0;             // the next N writes fail
    bool openOk = true;             // adapters can be opened
    std::string adapterName;        // when set, only the adapter of this description opens
    std::int32_t handle = 5;        // what Open hands out
    std::vector<std::string> opened;  // every description asked for
    int opens = 0;                  // adapters opened
    int closes = 0;
    int reads = 0;

private:
    struct Queued {
        std::int64_t at;
        std::uint64_t order;
        SnapFrame frame;
    };
    void Queue(std::int64_t at, SnapFrame frame);

    FakeClock& m_clock;
    std::vector<std::unique_ptr<sim::DeviceModel>> m_devices;
    std::vector<Queued> m_queue;
    std::uint64_t m_order = 0;
};

}  // namespace kvr::test
