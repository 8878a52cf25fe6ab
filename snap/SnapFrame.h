#pragma once
// Whole SNAP frames on the wire: taking a received Ethernet frame apart and
// building one to send. Pure functions over byte buffers, shared by the raw
// frame I/O, the device simulator and the fuzz target.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvr {

struct SnapFrame {
    std::string dstMAC;          // 12 upper-case hexadecimal digits
    std::string srcMAC;          // the sender: Ethernet source (version 0) or header field (version 8)
    std::string ethSrcMAC;       // the Ethernet source address
    std::uint16_t lengthField = 0;  // 802.3 length, as received
    std::int16_t version = 0;    // 0 or 8
    std::uint8_t frameType = 0;  // the whole frame-type byte
    std::uint16_t label = 0;
    std::uint8_t status = 0;     // status byte / response code
    std::uint16_t payloadLen = 0;
    std::vector<std::uint8_t> payload;  // payloadLen bytes
};

enum class SnapParse {
    Ok,
    NotSnap,    // too short for the LLC/SNAP headers, or another protocol
    Truncated,  // SNAP headers present but the frame ends inside the header or the payload
    TooLong,    // the payload length claims more than a 1500-byte frame can hold
};

// Takes a received frame apart. A first LLC byte of 0xAB counts as 0xAA. The
// payload length is checked against the maximum frame and against the bytes
// actually received; nothing outside [data, data + size) is read.
SnapParse ParseSnapFrame(const std::uint8_t* data, std::size_t size, SnapFrame& out);

// Builds a frame of the given version (0 or 8; false otherwise). The 802.3
// length is the frame length - 14. False when the frame would exceed 1500 bytes
// or an address is not 12 hexadecimal digits.
bool BuildSnapFrame(const std::string& dstMAC, const std::string& srcMAC, int version, std::uint8_t frameType,
                    std::uint16_t label, std::uint8_t status, const std::uint8_t* payload, std::size_t payloadLen,
                    std::vector<std::uint8_t>& frame);

}  // namespace kvr
