#pragma once
// kvrsim: simulated Zarn Adapters for tests and demonstrations.
//
// A Simulator holds any number of devices. Started on a virtual segment (or a
// real interface with raw-socket privileges) it runs one thread that answers
// every SNAP request the way a device does: an ACK carrying the request's
// label, then a response with the same label and one RID block per RID it
// knows, RID_ERROR_STATUS blocks for RIDs it refuses. Each device can be given
// faults named after the protocol step they break (no ACK on the first N
// attempts, response before ACK, wrong label ...), can vanish, come back or
// move to another segment while the simulator runs, and keeps counters and a
// log of every frame it saw or sent.
//
// All members are thread-safe: tests configure and inspect devices from their
// own thread while the simulator's thread answers frames.
//
//   kvr::sim::Simulator sim;
//   kvr::sim::DeviceConfig d;
//   d.mac = kvr::sim::ParseMac("00:07:F5:01:02:03").value();
//   d.name = "Kitchen";
//   d.faults.answerOnAttempt = 3;          // ignore the first two sends
//   sim.AddDevice(d);
//   std::string err;
//   if (!sim.StartOnSegment("test-1234", &err)) FAIL() << err;
//   ... run the host code against segment "test-1234" ...
//   EXPECT_EQ(sim.Counters(d.mac).requestsAnswered, 1u);
//   sim.Stop();
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "util/HexText.h"

namespace kvr::sim {

using Mac = std::array<std::uint8_t, 6>;
// An IPv4 address in written order: {192, 168, 1, 20} is 192.168.1.20. On the
// wire the four bytes appear in this order (the first octet is the least
// significant byte of the long).
using Ipv4 = std::array<std::uint8_t, 4>;

// "00:07:F5:01:02:03", "00-07-f5-01-02-03" or "0007F5010203" to an address
// (nullopt when malformed), and back to 12 upper-case hexadecimal digits.
using kvr::MacText;
using kvr::ParseMac;
// Dotted IPv4 text; nullopt when malformed.
std::optional<Ipv4> ParseIpv4(const std::string& text);
std::string Ipv4Text(const Ipv4& ip);

// Error codes the simulated devices put into RID_ERROR_STATUS blocks.
inline constexpr std::uint16_t kRefuseExistsUnreadable = 1;     // the RID exists but cannot be read (write-only)
inline constexpr std::uint16_t kRefuseUnknownRid = 2;           // the device does not know the RID
inline constexpr std::uint16_t kRefuseReadOnly = 3;             // a write to a RID that can only be read
inline constexpr std::uint16_t kRefuseBadValue = 4;             // a written value of the wrong size or range
inline constexpr std::uint16_t kRefuseSupportedUnreadable = 5;  // security RIDs: supported, not readable now
inline constexpr std::uint16_t kRefuseNotNow = 6;               // not possible in the device's present state

// One wireless profile: every field the profile RIDs carry.
struct Profile {
    std::string name;                  // RID_PROFILE_NAME (at most 32 characters)
    std::string ssid;                  // RID_SSID (at most 32 characters)
    bool dhcp = true;                  // RID_DHCP
    Ipv4 staticIp{}, staticNetmask{}, staticGateway{}, staticDns1{}, staticDns2{};  // 0x0031..0x0038
    bool useProxy = false;             // RID_USE_PROXY
    std::string proxyServer;           // RID_PROXY_SERVER (first 32 chars) / RID_PROXY_SERVER_LONG
    std::uint16_t proxyPort = 0;       // RID_PROXY_PORT
    bool adhoc = false;                // RID_ADHOC
    bool wepEnabled = false;           // RID_WEP_ENABLED
    std::uint16_t security = 0;        // RID_SECURITY: 0 none, 1 WEP, 2 WPA-PSK
    std::array<std::array<std::uint8_t, 16>, 4> wepKeys{};  // RID_WEP_KEYS slots (never read back)
    std::uint16_t wepKeyIndex = 0;     // RID_WEP_KEY_INDEX
    std::string wpaPassphrase;         // RID_WPA_PASSPHRASE (at most 63 characters)
    std::uint16_t wpaCipher = 0;       // RID_WPA_CIPHER: 0 AES, 1 TKIP
};

// How a device breaks one record of a firmware download: it refuses it (an
// RID_ERROR_STATUS block with `code` for the record's RID) or ignores it (no
// ACK, no response), the first such record only (its re-sends included) or
// every one.
struct StepFault {
    enum class Action : std::uint8_t { None, Refuse, Ignore };
    Action action = Action::None;
    bool always = false;
    std::uint16_t code = kRefuseBadValue;
    bool Active() const { return action != Action::None; }
};

// Faults, each named after the protocol step it breaks. They combine; the
// defaults give a well-behaved device.
struct Faults {
    // The first N ACKs the device would send are not sent (responses still are).
    unsigned dropFirstAcks = 0;
    // Fraction (0..1) of frames lost on the way in / out, from a seeded generator
    // so a run can be repeated exactly.
    double dropInFraction = 0.0;
    double dropOutFraction = 0.0;
    std::uint32_t seed = 1;
    // Every frame the device sends leaves this much later.
    unsigned delayMs = 0;
    // Extra time between the ACK and the response (a device that is slow to answer).
    unsigned responseDelayMs = 0;
    // The response is sent before the ACK.
    bool responseBeforeAck = false;
    // No ACK is ever sent; responses still are.
    bool noAck = false;
    // The ACK is sent but the response never follows.
    bool noResponse = false;
    // The response's download-mode bit is clear while the ACK's is set (a
    // device in download mode whose response says otherwise).
    bool responseLosesDownloadModeBit = false;
    // Copies of one request (same sender and label) before the device answers:
    // 3 ignores the first two sends and answers the third. 0 or 1 answers at once.
    unsigned answerOnAttempt = 1;
    // ACK and response carry the request's label plus this offset (0 = correct label).
    int labelOffset = 0;
    // Each response is sent 1 + duplicateResponses times.
    unsigned duplicateResponses = 0;
    // Before answering a request, the device sends a stale response carrying the
    // label of the previous transaction it answered.
    bool lateOldResponse = false;
    // The response's status byte is this code instead of the one the device
    // works out (e.g. 0x20 to make the host drop a write).
    std::optional<std::uint8_t> responseCode;
    // RID_OPERATION_MODE reports the opposite of the download-mode bit.
    bool inconsistentDownloadMode = false;
    // The device answers nothing at all (it stays attached and counts frames).
    bool mute = false;
    // The device falls silent (as if unplugged) after this many firmware data
    // records of a download; 0 = never.
    unsigned vanishAfterChunks = 0;
    // Addresses in the device's frames. answersFor: the SNAP header's sender
    // field (version 8) names this address, the Ethernet source stays the
    // device's own (a device answering in another's name). sendsFrom: the
    // reverse, the Ethernet source is this address and the header names the
    // device. In version 0 the Ethernet source is the only sender there is.
    std::optional<Mac> answersFor;
    std::optional<Mac> sendsFrom;
    // A third party on the wire: before answering each request it receives the
    // device sends, from its station, a frame cut short inside its SNAP header
    // and an ACK and a refusing response (status 0x20) carrying the request's
    // label in the name of this address (as Ethernet source and header sender).
    std::optional<Mac> forgesFor;
    // Writes of these RIDs are refused with the given error code.
    struct RefusedWrite {
        std::uint16_t rid = 0;
        std::uint16_t code = 0;
    };
    std::vector<RefusedWrite> refuseWrite;

    // Firmware download steps.
    // RID_DOWNLOAD_MODE 1 is answered, but the device restarts into its application again.
    bool neverEntersDownloadMode = false;
    // The start record (RID_START_QFW_DOWNLOAD, RID_START_IMAGE_DOWNLOAD, RID_START_CNE_DOWNLOAD).
    StepFault startRecord;
    // The chunkAt-th data record (counted from 1) after a start record: a chunk
    // record, or a raw data frame of the section download.
    StepFault chunk;
    unsigned chunkAt = 1;
    // The end record that reports a complete download (RID_END_DOWNLOAD 0).
    StepFault endRecord;
    // RID_START_IMAGE.
    StepFault startImage;
    // The restart that starts a new image comes back in download mode, old image kept.
    bool restartsIntoDownloadMode = false;
    // After the restart that starts a new image the device answers nothing any more.
    bool neverComesBack = false;
    // The restart that starts a new image comes back running the old one.
    bool comesBackWithOldIdentity = false;
    // The new image speaks this SNAP version (0 or 8) after its restart: a
    // request sent to the device's address in another version goes unanswered,
    // a discovery request is still answered in its own. -1: no change.
    int restartsSpeakingVersion = -1;
    // Installing configuration data resets the device's profiles to the factory two.
    bool resetsConfigurationAfterCne = false;
    // RID_START_QFW_DOWNLOAD's flags are checked: bit 0 must be set, no bits but 0
    // and 2, and the end record is refused when bit 2 announced configuration
    // data the file does not hold.
    bool checksDownloadFlags = false;
    // The section start records are checked against the device's hardware (the
    // HardwareID equal, its version not above CompatibleHardwareVersion) and
    // must announce a section of at least one byte.
    bool checksStartIdentity = false;
};

// Everything a simulated device is.
struct DeviceConfig {
    Mac mac{0x00, 0x07, 0xF5, 0x00, 0x00, 0x01};
    std::string name = "KVR";                  // RID_DEVICE_NAME (at most 32 characters)

    // Identity reported by discovery.
    std::uint32_t hardwareId = 0x0001;
    std::uint32_t hardwareVersion = 1;
    std::uint32_t firmwareId = 0x0100;
    std::uint32_t firmwareVersion = 0x0203;
    std::string firmwareDate = "20261207";     // 8 characters, YYYYMMDD
    std::string firmwareTime = "12000000";     // 8 characters, HHMMSS + 2
    bool hasBootloaderId = true;               // answers the two boot-loader RIDs
    std::uint32_t bootloaderId = 0x0010;
    std::uint32_t bootloaderVersion = 0x0101;

    // State reported by discovery and profile reads.
    Ipv4 ip{192, 168, 1, 20};                  // RID_IP_ADDRESS and the other current addresses
    Ipv4 netmask{255, 255, 255, 0};
    Ipv4 gateway{192, 168, 1, 1};
    Ipv4 dns1{192, 168, 1, 1};
    Ipv4 dns2{0, 0, 0, 0};
    bool autoIpBusy = false;
    std::int16_t rssi = 30;
    std::uint16_t activeProfile = 1;
    std::vector<Profile> profiles;             // profile 0 is the factory default; empty = two defaults
    // RID_NUM_PROFILES reports this instead of the number of profiles (e.g. 12 or -1).
    std::optional<std::int16_t> reportedNumProfiles;

    // Capabilities.
    bool hasSecurityWord = false;              // answers RID_SECURITY (0xFC21)
    bool wpaCapable = false;                   // WPA RIDs; implies the security word
    std::vector<std::uint8_t> wpaCipherList{0x00, 0x00, 0x01, 0x00};  // RID_WPA_CIPHER_LIST value
    bool v16Download = true;                   // refuses the download RIDs with code 1 in reads
    std::uint32_t authorizationId = 0;         // 0: answers any discovery; else only one carrying it
    // SNAP version of the device's answers: -1 answers in the request's version, 0 or 8 forces it.
    int replyVersion = -1;
    std::uint16_t unknownRidCode = kRefuseUnknownRid;

    // Download mode: the state at start and how long a restart takes (the
    // device is silent meanwhile).
    bool downloadMode = false;
    unsigned restartMs = 2000;
    // A write that changes the active profile restarts the device for this
    // long (silent meanwhile); 0 = no restart.
    unsigned activeChangeRestartMs = 0;

    // Firmware download: the time the device takes to prepare its memory before
    // it answers a start record, and the largest file it takes.
    unsigned eraseMs = 200;
    std::uint32_t maxImageBytes = 16u << 20;

    Faults faults;
};

// One frame the device saw or sent.
struct FrameLogEntry {
    std::int64_t timeMs = 0;           // simulator clock
    bool outgoing = false;             // false: received by the device
    bool dropped = false;              // lost by a fault (never reached the wire / the device)
    std::uint8_t kind = 0;             // frame-type bits 0-2 (0 read, 1 write, 2 response, 3 ACK)
    std::uint16_t label = 0;
    int version = 0;
    Mac peer{};                        // the other side (destination out, source in)
    std::vector<std::uint8_t> bytes;   // the whole Ethernet frame
};

// One response the device sent and whether the host acknowledged it.
struct ResponseRecord {
    Mac host{};
    std::uint16_t label = 0;
    bool ackedByHost = false;
};

struct DeviceCounters {
    std::uint64_t framesIn = 0;        // SNAP frames that reached the device (after drop faults)
    std::uint64_t framesOut = 0;       // frames the device put on the wire
    std::uint64_t droppedIn = 0;
    std::uint64_t droppedOut = 0;
    std::uint64_t requestsReceived = 0;   // read and write requests, re-sends included
    std::uint64_t requestsAnswered = 0;   // requests that got a response
    std::uint64_t discoveryRequests = 0;  // requests to the SNAP multicast address
    std::uint64_t acksSent = 0;
    std::uint64_t responsesSent = 0;
    std::uint64_t acksReceived = 0;       // ACKs from the host matching a response we sent
    std::uint64_t chunksReceived = 0;     // firmware data records carried out (re-sends not counted)
    std::uint64_t downloadsCompleted = 0; // downloads whose end record found a complete, intact file
    std::uint64_t downloadsFailed = 0;    // end records of incomplete, corrupt or failed downloads
    std::vector<ResponseRecord> responses;
};

// A snapshot of a device's changeable state.
struct DeviceState {
    bool attached = false;             // on a segment and not vanished
    std::string segment;               // where it is (or would be) attached
    bool downloadMode = false;
    bool restarting = false;
    std::string name;
    std::uint16_t activeProfile = 0;
    std::vector<Profile> profiles;
    // The firmware it runs (changes when a downloaded image is started).
    std::uint32_t firmwareId = 0;
    std::uint32_t firmwareVersion = 0;
    std::string firmwareDate, firmwareTime;
    // Bytes of the download in progress that have arrived.
    std::uint64_t downloadBytes = 0;
};

class Engine;

class Simulator {
public:
    Simulator();
    ~Simulator();  // stops
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Adds a device; false (with a reason) when its MAC is already present or a
    // field is out of range. Devices added while running attach at once.
    bool AddDevice(const DeviceConfig& config, std::string* error = nullptr);
    bool RemoveDevice(const Mac& mac);
    std::vector<Mac> Devices() const;

    // Starts the simulator thread with every device on the virtual segment
    // `segment` (under KVR_SEGMENT_DIR when set). False with a reason when a
    // station cannot be attached.
    bool StartOnSegment(const std::string& segment, std::string* error = nullptr);
    // Same on a real Ethernet interface through libpcap (needs CAP_NET_RAW).
    bool StartOnInterface(const std::string& interfaceName, std::string* error = nullptr);
    void Stop();
    bool Running() const;

    // Vanish: the device leaves the wire (frames to it are lost) until Appear.
    bool Vanish(const Mac& mac);
    bool Appear(const Mac& mac);
    // Moves a device to another virtual segment (only when started on segments).
    bool MoveToSegment(const Mac& mac, const std::string& segment, std::string* error = nullptr);

    // Replaces the device's faults (takes effect with the next frame).
    bool SetFaults(const Mac& mac, const Faults& faults);
    // Puts the device into or out of download mode at once (no restart).
    bool SetDownloadMode(const Mac& mac, bool on);

    DeviceCounters Counters(const Mac& mac) const;
    DeviceState State(const Mac& mac) const;
    // Frame log of one device (kept while frame logging is on; on by default).
    std::vector<FrameLogEntry> FrameLog(const Mac& mac) const;
    void ClearLogs();
    void SetFrameLogging(bool on);
    // Every frame in and out, as one text line each, also goes here when set
    // (the program's --log). Called on the simulator thread with the simulator
    // locked: the sink must not call back into the simulator.
    void SetFrameLogSink(std::function<void(const std::string& line)> sink);

private:
    std::unique_ptr<Engine> m_engine;
};

}  // namespace kvr::sim
