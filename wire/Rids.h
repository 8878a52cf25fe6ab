#pragma once
// Record identifiers (RIDs) and SNAP frame constants shared by the host, the
// device simulator and the dissector. RIDs are 16-bit values on the wire, least
// significant byte first; values of 0x8000 and above are ordinary unsigned
// values here (0xFC0E, not -1010).
#include <cstddef>
#include <cstdint>

using Rid = std::uint16_t;

// --- identity, state and discovery ---------------------------------------
inline constexpr Rid RID_DHCP = 0x0000;                 // Boolean
inline constexpr Rid RID_IP_ADDRESS = 0x0001;           // IPv4 long, current address
inline constexpr Rid RID_NETMASK = 0x0002;              // IPv4 long, current netmask
inline constexpr Rid RID_GATEWAY = 0x0003;              // IPv4 long, current gateway
inline constexpr Rid RID_USE_PROXY = 0x0004;            // Boolean
inline constexpr Rid RID_PROXY_SERVER = 0x0005;         // fixed string, field of 34
inline constexpr Rid RID_PROXY_PORT = 0x0006;           // word
inline constexpr Rid RID_DNS1 = 0x0007;                 // IPv4 long, current name server 1
inline constexpr Rid RID_DNS2 = 0x0008;                 // IPv4 long, current name server 2
inline constexpr Rid RID_PROXY_SERVER_LONG = 0x0009;    // length-prefixed string up to 257
inline constexpr Rid RID_AUTOIP_BUSY = 0x000A;          // Boolean
inline constexpr Rid RID_ACTIVE_PROFILE = 0x0010;       // word
inline constexpr Rid RID_NUM_PROFILES = 0x0011;         // word
inline constexpr Rid RID_PROFILE_NAME = 0x0012;         // length-prefixed string, field of 34
inline constexpr Rid RID_OPERATION_MODE = 0x0020;       // Boolean, true in download mode
inline constexpr Rid RID_FIRMWARE_VERSION = 0x0022;     // long
inline constexpr Rid RID_HARDWARE_ID = 0x0023;          // long
inline constexpr Rid RID_FIRMWARE_DATE = 0x0025;        // fixed string
inline constexpr Rid RID_FIRMWARE_TIME = 0x0026;        // fixed string
inline constexpr Rid RID_FIRMWARE_ID = 0x0027;          // long
inline constexpr Rid RID_HARDWARE_VERSION = 0x0028;     // long
inline constexpr Rid RID_STATIC_IP_ADDRESS = 0x0031;    // IPv4 long
inline constexpr Rid RID_STATIC_NETMASK = 0x0032;       // IPv4 long
inline constexpr Rid RID_STATIC_GATEWAY = 0x0033;       // IPv4 long
inline constexpr Rid RID_STATIC_DNS1 = 0x0037;          // IPv4 long
inline constexpr Rid RID_STATIC_DNS2 = 0x0038;          // IPv4 long
inline constexpr Rid RID_BOOTLOADER_VERSION = 0x0042;   // long
inline constexpr Rid RID_BOOTLOADER_ID = 0x0047;        // long
inline constexpr Rid RID_PROFILE_SELECT = 0x05DC;       // word, request only
inline constexpr Rid RID_AUTHORIZATION = 0x05DD;        // list of longs, request only
inline constexpr Rid RID_ERROR_STATUS = 0x0600;         // refused RID (word), error code (word)

// --- device name, security, wireless --------------------------------------
inline constexpr Rid RID_SSID = 0xFC02;                 // fixed string, field of 34
inline constexpr Rid RID_DEVICE_NAME = 0xFC0E;          // fixed string, field of 34
inline constexpr Rid RID_WEP_ENABLED = 0xFC20;          // Boolean
inline constexpr Rid RID_SECURITY = 0xFC21;             // word: 0 none, 1 WEP, 2 WPA-PSK
inline constexpr Rid RID_ADHOC = 0xFC81;                // Boolean
inline constexpr Rid RID_WEP_KEYS = 0xFCB0;             // four 16-byte key slots
inline constexpr Rid RID_WEP_KEY_INDEX = 0xFCB1;        // word 0-3
inline constexpr Rid RID_RSSI = 0xFD43;                 // signed word
inline constexpr Rid RID_WPA_PASSPHRASE = 0xE000;       // length-prefixed string up to 63
inline constexpr Rid RID_WPA_CIPHER = 0xE001;           // word: 0 AES, 1 TKIP
inline constexpr Rid RID_WPA_CIPHER_LIST = 0xE002;      // 2 to 34 bytes

// --- firmware download ------------------------------------------------------
inline constexpr Rid RID_START_IMAGE_DOWNLOAD = 0x0021; // protocol 1: 40-byte image header
inline constexpr Rid RID_DOWNLOAD_MODE = 0x0024;        // word 1: enter download mode
inline constexpr Rid RID_START_CNE_DOWNLOAD = 0x0029;   // protocol 1: 44-byte CNE header
inline constexpr Rid RID_START_IMAGE = 0x0048;          // long 0: restart into the new image
inline constexpr Rid RID_END_DOWNLOAD = 0x0049;         // word: 0 complete, 1 failed
inline constexpr Rid RID_START_QFW_DOWNLOAD = 0x0121;   // protocol 16: total size (long), flags (word)
inline constexpr Rid RID_DOWNLOAD_QFW_CHUNK = 0x0122;   // protocol 16: offset (long), n (word), n bytes

// Error codes in RID_ERROR_STATUS blocks that carry meaning for the host.
inline constexpr std::uint16_t RID_ERROR_EXISTS_UNREADABLE = 1;  // the RID exists but cannot be read
inline constexpr std::uint16_t RID_ERROR_SUPPORTED_UNREADABLE = 5;  // security RIDs: supported, not readable

// --- frame layout -------------------------------------------------------------
// Frame kinds: bits 0-2 of the frame-type byte.
inline constexpr std::uint8_t SNAP_KIND_READ_REQUEST = 0;
inline constexpr std::uint8_t SNAP_KIND_WRITE_REQUEST = 1;
inline constexpr std::uint8_t SNAP_KIND_RESPONSE = 2;
inline constexpr std::uint8_t SNAP_KIND_ACK = 3;
inline constexpr std::uint8_t SNAP_KIND_FW_DATA = 4;    // protocol-1 firmware data: raw bytes, no RIDs
inline constexpr std::uint8_t SNAP_KIND_MASK = 0x07;
inline constexpr std::uint8_t SNAP_FLAG_MODIFIED = 0x40;       // set while "Corvane compatibility" is on
inline constexpr std::uint8_t SNAP_FLAG_DOWNLOAD_MODE = 0x80;  // from a device: it is in download mode

// Response-code bits (the status byte of frames from a device).
inline constexpr std::uint8_t SNAP_RC_UNSPECIFIED = 0x01;
inline constexpr std::uint8_t SNAP_RC_RETRIEVE_FAILED = 0x02;
inline constexpr std::uint8_t SNAP_RC_RETRIEVE_FAILED_NOT_IN_CODE = 0x04;
inline constexpr std::uint8_t SNAP_RC_RID_UNAVAILABLE = 0x08;
inline constexpr std::uint8_t SNAP_RC_TRUNCATED = 0x10;        // read responses only
inline constexpr std::uint8_t SNAP_RC_WRITE_IGNORED = 0x20;    // write frames only: fatal

// Protocol versions.
inline constexpr std::int16_t SNAP_VERSION_0 = 0;
inline constexpr std::int16_t SNAP_VERSION_8 = 8;

// Multicast address of discovery and multicast download frames.
inline constexpr const char* SNAP_MULTICAST_MAC = "0107F5000100";
inline constexpr std::uint8_t SNAP_MULTICAST_ADDR[6] = {0x01, 0x07, 0xF5, 0x00, 0x01, 0x00};

// LLC and SNAP headers at offsets 14 and 17 of every frame.
inline constexpr std::uint8_t SNAP_LLC_HEADER[3] = {0xAA, 0xAA, 0x03};
inline constexpr std::uint8_t SNAP_LLC_DSAP_ALT = 0xAB;       // tolerated in place of 0xAA on receive
inline constexpr std::uint8_t SNAP_SNAP_HEADER[5] = {0x00, 0x07, 0xF5, 0x00, 0x00};

// Offsets and sizes.
inline constexpr std::size_t SNAP_ETH_HEADER_LEN = 14;
inline constexpr std::size_t SNAP_PROTO_HEADER_OFFSET = 22;   // after Ethernet, LLC and SNAP headers
inline constexpr std::size_t SNAP_V0_PAYLOAD_OFFSET = 28;
inline constexpr std::size_t SNAP_V8_PAYLOAD_OFFSET = 36;
inline constexpr std::size_t SNAP_MAX_FRAME = 1500;           // largest frame the host builds
inline constexpr std::size_t SNAP_MAX_PAYLOAD_V0 = 1472;
inline constexpr std::size_t SNAP_MAX_PAYLOAD_V8 = 1464;
inline constexpr std::size_t SNAP_PAYLOAD_BUFFER = 1464;      // clsPayload buffer
inline constexpr std::size_t SNAP_RECEIVE_BUFFER = 1514;
inline constexpr std::size_t SNAP_RESPONSE_BUFFER = 1487;     // clsSnapResponse payload buffer
inline constexpr std::size_t SNAP_MAX_CHUNK_DATA = 1442;      // firmware data per download frame
