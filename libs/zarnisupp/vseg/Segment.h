#pragma once
// Virtual Ethernet segments: a user-space Ethernet that needs no privileges.
// A segment is a directory under SegmentRoot(); every attached station is one
// AF_UNIX datagram socket in it, named after the station's MAC address. A sent
// frame goes to every other station; each station keeps what a real NIC would:
// frames for its own address, broadcast, and the multicast groups it joined (or
// everything when promiscuous). A sender never receives its own frames. Frames
// arriving while the owner is busy are queued (up to QueueLimit()) and kept in
// order; a station that vanished is skipped and its socket file removed.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HexText.h"

namespace kvr::vseg {

using Mac = std::array<std::uint8_t, 6>;

inline constexpr std::size_t kMaxFrame = 1514;  // a whole Ethernet frame without its checksum
inline constexpr std::size_t kMinFrame = 14;    // destination, source, length or type

// Directory holding the segments: $KVR_SEGMENT_DIR when set and non-empty, else
// $XDG_RUNTIME_DIR/kvr-segments, else /tmp/kvr-segments-<uid>.
std::string SegmentRoot();

// True for names usable as a segment: 1..32 characters of [A-Za-z0-9._-], not
// starting with '.'.
bool IsValidSegmentName(const std::string& name);

// Names of the segments that exist now (sorted). Empty when the root is missing.
std::vector<std::string> ListSegments();

// Number of live stations attached to the segment (stale socket files not counted).
std::size_t CountStations(const std::string& segment);

// A stable locally administered unicast address derived from the segment name:
// the address the adapter library uses on that segment.
Mac SegmentAdapterMac(const std::string& segment);

class Station {
public:
    // Attaches a station with the given address to the segment, creating the root
    // and the segment directory when missing. Returns null with *error set when the
    // name or address is unusable or the system refuses (never throws).
    static std::unique_ptr<Station> Attach(const std::string& segment, const Mac& mac,
                                           std::string* error = nullptr);
    ~Station();  // detaches: removes the socket; removes the segment directory when it is empty
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    const Mac& Address() const;
    const std::string& Segment() const;

    // Multicast group membership (a group address has bit 0 of byte 0 set);
    // false for a non-group address. Broadcast is always received.
    bool JoinMulticast(const Mac& group);
    bool LeaveMulticast(const Mac& group);
    void SetPromiscuous(bool on);

    // Sends one frame (kMinFrame..kMaxFrame bytes, unchanged) to the other stations.
    // False on a bad length; a peer whose queue is full misses the frame, as on a
    // real segment, and that is not a failure.
    bool Send(const std::uint8_t* frame, std::size_t length);

    // Takes the oldest queued frame without blocking: its length (copying at most
    // capacity bytes; a frame is never longer than kMaxFrame), 0 when none is
    // waiting, -1 when out is null.
    long Receive(std::uint8_t* out, std::size_t capacity);

    // Waits up to timeoutMs (negative = without limit) for a queued frame; true
    // when one is waiting.
    bool Wait(int timeoutMs);

    // A descriptor that polls readable (POLLIN) while a frame may be taken; owned
    // by the station.
    int PollFd() const;
    // The same as two descriptors to poll together (one wake-up less per frame
    // than PollFd): readable when the station's queue or its socket holds a frame.
    std::array<int, 2> PollFds() const;

    // True once the station's socket file is gone (the segment was removed):
    // nothing reaches it any more.
    bool Detached() const;

    // Frames dropped because this station's queue was full.
    std::uint64_t Dropped() const;

    static std::size_t QueueLimit();

    struct Impl;

private:
    explicit Station(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace kvr::vseg
