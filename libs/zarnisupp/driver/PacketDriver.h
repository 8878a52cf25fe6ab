#pragma once
// The packet-driver layer under the adapter library: backends that enumerate
// adapters, open them by name, answer NDIS-style requests and move whole
// Ethernet frames. One backend per file (pcap for the PC's interfaces, vseg for
// virtual segments). Nothing here throws; failures are results.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvr::zs {

using Mac = std::array<std::uint8_t, 6>;

// NDIS statuses the layer reports.
inline constexpr std::uint32_t kStatusSuccess = 0;
inline constexpr std::uint32_t kStatusFailure = 0xC0000001;
inline constexpr std::uint32_t kStatusNotSupported = 0xC00000BB;
inline constexpr std::uint32_t kStatusInvalidLength = 0xC0010014;
inline constexpr std::uint32_t kStatusInvalidData = 0xC0010015;
inline constexpr std::uint32_t kStatusBufferTooShort = 0xC0010016;
inline constexpr std::uint32_t kStatusAdapterRemoved = 0xC0010018;

// Requests (OIDs) the layer serves.
inline constexpr std::uint32_t OID_GEN_MEDIA_SUPPORTED = 0x00010103;
inline constexpr std::uint32_t OID_GEN_MEDIA_IN_USE = 0x00010104;
inline constexpr std::uint32_t OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
inline constexpr std::uint32_t OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
inline constexpr std::uint32_t OID_GEN_MEDIA_CONNECT_STATUS = 0x00010114;
inline constexpr std::uint32_t OID_GEN_PHYSICAL_MEDIUM = 0x00010202;
inline constexpr std::uint32_t OID_802_3_PERMANENT_ADDRESS = 0x01010101;
inline constexpr std::uint32_t OID_802_3_CURRENT_ADDRESS = 0x01010102;
inline constexpr std::uint32_t OID_802_11_SSID = 0x0D010102;
inline constexpr std::uint32_t OID_802_11_INFRASTRUCTURE_MODE = 0x0D010108;
inline constexpr std::uint32_t OID_802_11_ADD_WEP = 0x0D010113;
inline constexpr std::uint32_t OID_802_11_AUTHENTICATION_MODE = 0x0D010118;
inline constexpr std::uint32_t OID_802_11_WEP_STATUS = 0x0D01011B;

// Packet filter bits.
inline constexpr std::uint32_t kFilterDirected = 0x01;
inline constexpr std::uint32_t kFilterMulticast = 0x02;
inline constexpr std::uint32_t kFilterAllMulticast = 0x04;
inline constexpr std::uint32_t kFilterBroadcast = 0x08;
inline constexpr std::uint32_t kFilterPromiscuous = 0x20;
inline constexpr std::uint32_t kFilterSupported =
    kFilterDirected | kFilterMulticast | kFilterAllMulticast | kFilterBroadcast | kFilterPromiscuous;

inline constexpr std::uint32_t kMediumEthernet = 0;        // NdisMedium802_3
inline constexpr std::uint32_t kPhysicalUnspecified = 0;   // NdisPhysicalMediumUnspecified
inline constexpr std::uint32_t kPhysicalWirelessLan = 1;   // NdisPhysicalMediumWirelessLan
inline constexpr std::uint32_t kMediaConnected = 0;
inline constexpr std::uint32_t kMediaDisconnected = 1;

inline constexpr std::size_t kMaxFrame = 1514;
inline constexpr std::size_t kMinFrame = 14;

// True when a NIC with these addresses and packet filter keeps a frame for dst.
bool FilterAccepts(std::uint32_t filter, const Mac& current, const Mac& permanent, const std::uint8_t* dst);

// Refused: a frame sent earlier was refused after Send had returned (the read
// reports that instead of a frame).
enum class ReadResult { Frame, Empty, Gone, Refused };

// One open adapter ("driver handle"). Opening gives requests; receiving starts
// when a nonzero packet filter is set.
class Port {
public:
    virtual ~Port() = default;
    // NDIS-style request on buffer[0..length). Returns the status (0 = success).
    virtual std::uint32_t Request(bool set, std::uint32_t oid, std::uint8_t* buffer, std::uint32_t length) = 0;
    // Sends one whole frame unchanged; false when refused or not receiving. A
    // backend that sends later returns false (sending nothing) while it has a
    // refusal of an earlier frame to report.
    virtual bool Send(const std::uint8_t* frame, std::size_t length) = 0;
    // Takes the oldest received frame without blocking, copying at most capacity
    // bytes (frames never exceed kMaxFrame).
    virtual ReadResult Read(std::uint8_t* out, std::size_t capacity, std::size_t* length) = 0;
    // Descriptors (at most two) that poll readable when a frame may be read;
    // returns how many, 0 when not receiving.
    virtual int PollFds(int fds[2]) const = 0;
};

// A Port that answers requests from the facts its backend gives: the layer
// serves every query the backends have in common and takes the packet filter
// (the only request that may be set); the backend reports its facts and starts
// or stops receiving.
class FactPort : public Port {
public:
    std::uint32_t Request(bool set, std::uint32_t oid, std::uint8_t* buffer, std::uint32_t length) final;

protected:
    // True when the adapter has gone: every request then answers kStatusAdapterRemoved.
    virtual bool Vanished() const { return false; }
    virtual std::uint32_t PhysicalMedium() const = 0;  // kPhysicalWirelessLan or kPhysicalUnspecified
    virtual bool MediaConnected() const = 0;
    virtual Mac PermanentMac() const = 0;
    virtual Mac CurrentMac() const = 0;
    virtual std::uint32_t PacketFilter() const = 0;
    // Receives as filter says (0 stops receiving); returns the status.
    virtual std::uint32_t SetFilter(std::uint32_t filter) = 0;
    // Any other query; kStatusNotSupported unless the backend knows it.
    virtual std::uint32_t QueryOther(std::uint32_t oid, std::uint8_t* buffer, std::uint32_t length);
};

struct AdapterEntry {
    std::string name;         // opens the adapter
    std::string description;  // unique, shown to users
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual const char* Kind() const = 0;
    // Adapters of this backend, in a stable order; false when the system refuses to list them.
    virtual bool Enumerate(std::vector<AdapterEntry>& out) = 0;
    // True when the adapter name belongs to this backend.
    virtual bool Owns(const std::string& name) const = 0;
    // Opens for requests; null when the adapter does not exist (any more).
    virtual std::unique_ptr<Port> Open(const std::string& name) = 0;
    // Addresses of this backend's adapters that carry an IPv4 address.
    virtual std::vector<Mac> AddressesWithIp() = 0;
};

std::unique_ptr<Backend> MakePcapBackend();
// How the PC's interfaces get raw access for receiving and sending: Auto opens
// them directly when this process may (root, or cap_net_raw), else through the
// raw-frame helper; Direct and Helper take that path only. An empty helperPath
// means the helper beside the library.
enum class RawPath { Auto, Direct, Helper };
void SetRawPath(RawPath path, const std::string& helperPath = {});
std::unique_ptr<Backend> MakeVsegBackend();

// The process's backends: pcap then virtual segments, unless a test replaced them.
std::vector<std::unique_ptr<Backend>>& Backends();
void SetBackends(std::vector<std::unique_ptr<Backend>> backends);
Backend* BackendFor(const std::string& name);

// Helpers for Port implementations: answer a query with a value of n bytes.
std::uint32_t AnswerQuery(std::uint8_t* buffer, std::uint32_t length, const void* value, std::size_t n);
std::uint32_t AnswerQueryU32(std::uint8_t* buffer, std::uint32_t length, std::uint32_t value);
// Reads a 4-byte set value; false (status in *status) on a wrong length.
bool SetValueU32(const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& value, std::uint32_t* status);

}  // namespace kvr::zs
