#pragma once
// The one codec of whole SNAP frames on the wire: an 802.3 length frame, the
// LLC header AA AA 03, the SNAP identifier 00 07 F5 00 00, a version-0 or
// version-8 SNAP header and the payload. The raw frame I/O sends and receives
// through it; so do the tests, the fuzz targets and the dissector's sample
// frames. Plain functions over bytes: every received byte is read through the
// bounds-checked reader, nothing outside the given bytes is touched.
//
// Layout (offsets in bytes):
//   0  destination (6)   6  source (6)   12 802.3 length = frame length - 14 (2, most significant first)
//   14 LLC (3)           17 SNAP identifier (5)
//   22 version 8 only: the word 8 (2, least significant first)
//   then frame type (1), label (2, LSB first), status (1), payload length (2, LSB first),
//   version 8 only: the sender's address (6); then the payload.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "HexText.h"

namespace kvr {


// Largest frame built or accepted (without the Ethernet checksum and the
// bytes a receiver may add after the 802.3 length).
inline constexpr std::size_t kSnapMaxFrame = 1500;
// Largest frame an adapter hands over (a whole Ethernet frame without checksum).
inline constexpr std::size_t kEthernetMaxFrame = 1514;

// Where the payload starts: 28 bytes in version 0, 36 in version 8.
constexpr std::size_t SnapPayloadOffset(std::int16_t version) { return version == 8 ? 36 : 28; }

// One SNAP frame: what the raw frame I/O sends and what it hands over when one
// arrives.
struct SnapFrame {
    // Who sent it: on receipt the Ethernet source of a version-0 frame, the
    // header's sender field of a version-8 frame (the device, whichever
    // station relayed it); on sending, the adapter's own address (both places).
    MacAddress sender{};
    std::int16_t version = 0;     // SNAP header version, 0 or 8
    std::uint8_t frameType = 0;   // the whole frame-type byte: kind in bits 0-2,
                                  // 0x40 modified SNAP, 0x80 download mode
    std::int16_t label = 0;       // transaction label
    std::uint8_t status = 0;      // status byte: the response code in answers
    std::vector<std::uint8_t> payload;  // exactly the header's payload length

    bool operator==(const SnapFrame&) const = default;
};

// The Ethernet header every received frame starts with.
struct EthernetHeader {
    MacAddress destination{};
    MacAddress source{};
    std::uint16_t length = 0;  // the 802.3 length field as received
};

enum class SnapParse {
    Ok,
    NotSnap,      // shorter than the LLC/SNAP headers, or another protocol
    ShortHeader,  // the frame (up to its 802.3 length) ends inside the SNAP header
    Truncated,    // the 802.3 length or the payload length claims bytes that did not arrive
    TooLong,      // the payload length claims more than a 1500-byte frame holds
};

// Why a frame was refused, in the numbers the receive log reports: for
// ShortHeader `claimed` is the frame's length; for Truncated and TooLong it is
// the length that was claimed and `room` the bytes there were for it.
struct SnapParseDetail {
    std::size_t claimed = 0;
    std::size_t room = 0;
};

// The first 14 bytes; false when fewer arrived.
bool ReadEthernetHeader(std::span<const std::uint8_t> bytes, EthernetHeader& out);

// Takes a received frame apart. A first LLC byte of 0xAB counts as 0xAA. Bytes
// after the 802.3 length (padding) are not part of the frame; an 802.3 length
// past the bytes received, a SNAP header cut short and a payload length past
// the frame or past 1500 bytes refuse it. `out` is only written on Ok.
SnapParse ParseSnapFrame(std::span<const std::uint8_t> bytes, SnapFrame& out, SnapParseDetail* detail = nullptr);

// Builds a frame to `destination`, with frame.sender as Ethernet source (and,
// in version 8, as the header's sender field). False, leaving `out` empty, for
// a version other than 0 and 8 or a frame that would exceed 1500 bytes.
bool BuildSnapFrame(const MacAddress& destination, const SnapFrame& frame, std::vector<std::uint8_t>& out);

}  // namespace kvr
