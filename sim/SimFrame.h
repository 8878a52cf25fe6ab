#pragma once
// The simulator's own SNAP frame codec (deliberately separate from the host's,
// so a mistake on one side shows up against the other).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace kvr::sim {

inline constexpr Mac kSnapMulticast{0x01, 0x07, 0xF5, 0x00, 0x01, 0x00};
inline constexpr Mac kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

struct SnapFrame {
    Mac dst{};
    Mac src{};              // Ethernet source address
    int version = 8;        // 0 or 8
    std::uint8_t typeByte = 0;
    std::uint16_t label = 0;
    std::uint8_t status = 0;
    Mac headerSrc{};        // version 8: the sender field of the SNAP header
    std::vector<std::uint8_t> payload;

    std::uint8_t Kind() const { return typeByte & 0x07; }
    // The sender as the protocol names it: the header's field in version 8.
    const Mac& Sender() const { return version == 8 ? headerSrc : src; }
};

// Takes a received Ethernet frame apart. nullopt when it is not a SNAP frame
// of ours (LLC AA AA 03, or AB AA 03, SNAP 00 07 F5 00 00) or when its payload
// length claims more bytes than the frame holds. Trailing padding is ignored.
std::optional<SnapFrame> ParseSnapFrame(std::span<const std::uint8_t> bytes);

// Builds the Ethernet frame (no padding, no frame check sequence). For version 8
// the header's sender field is `headerSrc`.
std::vector<std::uint8_t> BuildSnapFrame(const SnapFrame& frame);

// One RID block of a payload: count word, RID, value.
struct RidBlock {
    std::uint16_t rid = 0;
    std::uint16_t count = 0;              // as written: words that follow, RID included
    std::vector<std::uint8_t> value;      // 2 * (count - 1) bytes
};

// Splits a payload into RID blocks. False when a count word is 0 or claims
// more bytes than the payload holds (the blocks before it are returned).
bool SplitRidBlocks(std::span<const std::uint8_t> payload, std::vector<RidBlock>& blocks);

// Appends encoded RID blocks to a payload.
void PutWordBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, std::uint16_t value);
void PutLongBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, std::uint32_t value);
void PutIpBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, const Ipv4& ip);
// Fixed 34-byte string field: character count word, then 32 character positions.
void PutFixedStringBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, const std::string& text,
                         std::size_t fieldBytes = 34);
// Variable string field: character count word, the characters padded to even.
void PutVarStringBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, const std::string& text);
// Raw bytes as the value (padded to even).
void PutRawBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, std::span<const std::uint8_t> value);
void PutErrorBlock(std::vector<std::uint8_t>& out, std::uint16_t refusedRid, std::uint16_t code);

// One line describing a frame, for logs: "v8 RESP label=0x12 00:07:F5:.. -> .. len=40".
std::string DescribeFrame(const SnapFrame& frame);

}  // namespace kvr::sim
