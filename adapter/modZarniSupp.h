#pragma once
// The main program's raw frame I/O over the adapter support library: counting
// the PC's Ethernet adapters, opening one by its description (remembered in a
// small local cache), closing it, wrapping a SNAP payload into a whole 802.3
// LLC/SNAP frame and sending it, and waiting briefly for the next SNAP frame.
//
// Usual order: OpenNdisRaw(); OpenNdisDeviceByDesc(h, name); any number of
// WriteNDIS / ReadNDIS; CloseNdisRaw(h). A NIC handle is the library's adapter
// index, valid until the next GetNumAdapters; -1 means "no adapter".
// Nothing here throws: every failure is the procedure's result plus a log line
// under the module name "modZarniSupp".
#include <cstdint>
#include <string>
#include <vector>

#include "SnapCodec.h"

// Always 1 (callers treat -1 as "cannot open"). The first call initialises the
// module and logs the library version.
std::int32_t OpenNdisRaw();

// Number of Ethernet adapters, 0 when none was found. Three attempts, each
// followed by a 2-second pause (also after a successful attempt).
std::int32_t GetNumAdapters();

// Finds the adapter whose description equals `description` exactly (case
// matters) and opens it. True with hNIC = its handle; False with hNIC = -1.
bool OpenNdisDeviceByDesc(std::int32_t& hNIC, const std::string& description);

// True when the handle was in the local cache and the library closed it.
bool CloseNdisRaw(std::int32_t hNIC);

// Builds one frame through the frame codec and sends it. destMAC: 12 hexadecimal digits (colons allowed).
// ProtocolVersion 0 or 8 (anything else sends nothing and returns False).
// downloadMode is the SNAP header's status byte (0 in every frame we send).
// A nonzero modifiedSnap ORs 0x40 into frameType. The frame carries
// payloadLen payload bytes; callers pass payload.size(). A payload array
// longer than the frame has room for is cut (logged) - hence by reference.
bool WriteNDIS(std::int32_t hNIC, const std::string& destMAC, std::int16_t ProtocolVersion,
               std::uint8_t frameType, std::int16_t label, std::uint8_t downloadMode,
               std::int16_t payloadLen, std::uint8_t modifiedSnap,
               std::vector<std::uint8_t>& payload);

// Waits up to about 100 ms for the next SNAP frame on the adapter. True when
// one came; `frame` then holds it (sender, version, frame type, label, status
// byte and exactly the payload its header announces). Frames of other
// protocols are skipped; malformed SNAP frames are discarded (logged) and give
// False. `frame` is only written when the result is True.
bool ReadNDIS(std::int32_t hNIC, kvr::SnapFrame& frame);

// Wireless wrappers of the library's 802.11 calls. They do nothing and always
// return False; the local wireless settings rely on that.
bool GetInfrastructureMode(std::int32_t hNIC, std::int32_t& value);
bool SetInfrastructureMode(std::int32_t hNIC, std::int32_t value);
bool GetEncryptionStatus(std::int32_t hNIC, std::int32_t& value);
bool SetEncryptionStatus(std::int32_t hNIC, std::int32_t value);
bool SetWEP(std::int32_t hNIC, std::int32_t keyIndex, std::int32_t keyLength,
            const std::vector<std::uint8_t>& keyBytes);
bool SetSSID(std::int32_t hNIC, std::int32_t length, const std::vector<std::uint8_t>& ssid);
bool GetSSID(std::int32_t hNIC, std::int32_t& length, std::vector<std::uint8_t>& ssid);

namespace kvr {
// Forgets the module state (cache, adapter count, initialised flag) so the next
// call starts afresh. For tests and for reloading the library.
void ResetZarniSuppModule();
// The module's adapter count: -1 until GetNumAdapters found an adapter.
std::int32_t ZarniSuppAdapterCount();
}  // namespace kvr
