#pragma once
// zarnisupp: the adapter support library. Enumerates the PC's Ethernet
// adapters (real interfaces and virtual segments), opens them by index and
// sends and receives whole Ethernet frames.
//
// Every export takes 32-bit values or pointers and returns 1 on success and 0
// on failure, unless said otherwise. "index" is a position in the adapter table
// of the last scan; an index not below the number of adapters (compared
// unsigned, so every negative index too) fails with 0. Buffers belong to the
// caller; the library copies into them and keeps no pointer. A null pointer,
// a short buffer, an oversized frame or a closed adapter fails with 0 and has
// no side effect. The library writes no log and shows no message. All exports
// but ZARNISUPP_GetVersion are serialised by one process-wide lock.
#include <stdint.h>

#if defined(__GNUC__)
#define ZARNISUPP_API __attribute__((visibility("default")))
#else
#define ZARNISUPP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Library version: 0x00010032 (major 1 in the high 16 bits, minor 50 in the low). Never fails.
ZARNISUPP_API int32_t ZARNISUPP_GetVersion(void);

// Rebuilds the adapter table from every backend; writes the number of adapters to
// *count. Fails (count untouched) when count is null or enumeration fails; the
// table then keeps the adapters found before the failure. waitForDriver is accepted
// for compatibility; it adds no wait.
ZARNISUPP_API int32_t ZARNISUPP_ScanForEthernetAdapters(int32_t* count, int32_t waitForDriver);

// Copies the adapter's NUL-terminated description (the text that identifies it to
// users). Fails when buffer is null or bufferSize < 512.
ZARNISUPP_API int32_t ZARNISUPP_GetAdapterDesc(int32_t index, char* buffer, int32_t bufferSize);

// Copies the adapter's NUL-terminated name (the system's interface name). Fails when
// buffer is null or bufferSize < 512.
ZARNISUPP_API int32_t ZARNISUPP_GetAdapterName(int32_t index, char* buffer, int32_t bufferSize);

// Writes 1 when the adapter is a wireless LAN adapter, else 0. Fails when value is null.
ZARNISUPP_API int32_t ZARNISUPP_IsWlanAdapter(int32_t index, int32_t* value);

// Writes 1 when the adapter's medium was connected at the scan, else 0. Fails when value is null.
ZARNISUPP_API int32_t ZARNISUPP_IsAdapterConnected(int32_t index, int32_t* value);

// Writes 1 when the adapter carries an IPv4 address, else 0. Fails when value is null.
ZARNISUPP_API int32_t ZARNISUPP_HasAdapterIP(int32_t index, int32_t* value);

// Copies the 6-byte permanent hardware address (all zero when unknown). Fails when address is null.
ZARNISUPP_API int32_t ZARNISUPP_GetAdapterMacAddress(int32_t index, uint8_t* address);

// Opens the adapter for raw frames (own address and broadcast only). 1 also when already
// open; 0 when the system refuses raw access (e.g. no CAP_NET_RAW) or the adapter is gone.
ZARNISUPP_API int32_t ZARNISUPP_OpenAdapter(int32_t index);

// Closes the adapter, dropping reads in progress. 1 also when already closed.
ZARNISUPP_API int32_t ZARNISUPP_CloseAdapter(int32_t index);

// 1 when the adapter is open; 0 when closed or no such adapter.
ZARNISUPP_API int32_t ZARNISUPP_IsOpen(int32_t index);

// NDIS-style query of oid into buffer[0..length). A closed adapter is opened for the one
// request and closed again. The request's status is written to *status (0 = success);
// fails when buffer or status is null, length is negative or the status is nonzero.
ZARNISUPP_API int32_t ZARNISUPP_GetOid(int32_t index, uint32_t oid, void* buffer, int32_t length,
                                       int32_t* status);

// NDIS-style set of oid from buffer[0..length); otherwise as ZARNISUPP_GetOid.
ZARNISUPP_API int32_t ZARNISUPP_SetOid(int32_t index, uint32_t oid, void* buffer, int32_t length,
                                       int32_t* status);

// 802.11 settings (the adapter must serve the request; wired adapters fail).
// Getters write the 4-byte value to *value (fails when null); setters pass value.
ZARNISUPP_API int32_t ZARNISUPP_GetEncryptionStatus(int32_t index, int32_t* value);
ZARNISUPP_API int32_t ZARNISUPP_SetEncryptionStatus(int32_t index, int32_t value);
ZARNISUPP_API int32_t ZARNISUPP_GetInfrastructureMode(int32_t index, int32_t* value);
ZARNISUPP_API int32_t ZARNISUPP_SetInfrastructureMode(int32_t index, int32_t value);
ZARNISUPP_API int32_t ZARNISUPP_GetAuthenticationMode(int32_t index, int32_t* value);
ZARNISUPP_API int32_t ZARNISUPP_SetAuthenticationMode(int32_t index, int32_t value);

// Sets WEP key keyIndex to key[0..keyLength). Fails when key is null or keyLength is
// outside 0..16.
ZARNISUPP_API int32_t ZARNISUPP_SetWEP(int32_t index, int32_t keyIndex, int32_t keyLength, const uint8_t* key);

// Reads the SSID the adapter is associated with: writes its length (0..32) to *ssidLength
// and that many bytes to ssid (room for 32 bytes), no terminator. Fails when a pointer is
// null or the adapter cannot tell.
ZARNISUPP_API int32_t ZARNISUPP_GetSSID(int32_t index, int32_t* ssidLength, uint8_t* ssid);

// Sets the SSID to ssid[0..ssidLength). Fails when ssid is null or ssidLength is outside 0..32.
ZARNISUPP_API int32_t ZARNISUPP_SetSSID(int32_t index, int32_t ssidLength, const uint8_t* ssid);

// Polls for one received frame without blocking. On 1: *noFrame is 1 when nothing
// arrived (and *frameLength 0), else 0 with the frame (at most 1514 bytes) copied to
// frame, which must hold 1514 bytes. Frames come in arrival order; bursts are held
// in the system's queue between calls. Fails when a pointer is null, the adapter is
// closed or it has vanished, and once (errno ECOMM) for a frame refused after its
// send returned (see ZARNISUPP_SendRawPacket).
ZARNISUPP_API int32_t ZARNISUPP_ReceiveRawPacket(int32_t index, int32_t* noFrame, int32_t* frameLength,
                                                 uint8_t* frame);

// Sends frame[0..frameLength) unchanged and unpadded (destination, source, length or
// type, payload). Fails when frame is null, frameLength is outside 14..1514, the adapter
// is closed or the system refuses the frame. Through the raw-frame helper (a process
// without raw access) a send returns 1 once the helper has the frame; should the
// helper or the system refuse it then, one later call on that adapter fails with
// errno ECOMM: the first send after the refusal came back (it sends nothing) or the
// receive that comes to it among the frames received, whichever is first. A wait in
// progress returns 1 when the refusal comes back.
ZARNISUPP_API int32_t ZARNISUPP_SendRawPacket(int32_t index, int32_t frameLength, const uint8_t* frame);

// Writes 1 when the platform is Windows XP, else 0 (always 0 here); 1 when the
// platform version could be read. Fails when value is null.
ZARNISUPP_API int32_t ZARNISUPP_IsWindowsXP(int32_t* value);

// Waits up to timeoutMs (0 = just look, negative counts as 0) until a frame may be read
// from the open adapter: 1 when one may be ready (or the adapter reports an error that
// the next receive will show), 0 when the time passed or the adapter is not open.
// Blocks in poll() without using the processor and without holding the library's lock.
ZARNISUPP_API int32_t ZARNISUPP_WaitForRawPacket(int32_t index, int32_t timeoutMs);

#ifdef __cplusplus
}
#endif
