#pragma once
// Sends one SNAP request to one device and waits for the two answers the
// protocol expects: an ACK carrying the request's label, then the response with
// the same label. Re-sends with the same label when the ACK does not come,
// takes a response that overtakes its ACK as both, honours CancelWait and
// drives an optional progress bar. Waiting is a polling loop on the clock seam
// that lets the window system run (event-pump seam) about once a second.
// Nothing throws to the caller: every failure is a false result and a log line.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clsSnapResponse.h"

namespace kvr {
class ProgressBar;
}
class clsPayload;

class clsSnapCommand {
public:
    // Set by a window to stop the current wait; cleared by each send method.
    bool CancelWait = false;
    // SNAP version (0 or 8) used for sending and expected in the answers.
    std::int16_t ProtocolVersion = 0;

    // Up to 6 attempts with the ACK time-out AckTimeout, then up to 4 s for the
    // response. cResponse receives the object holding the last frame read.
    bool SendEx(std::int32_t hNIC, const std::string& MacZarn, std::uint8_t frameType, std::int16_t payloadSize,
                std::vector<std::uint8_t>& Payload, std::shared_ptr<clsSnapResponse>& cResponse,
                kvr::ProgressBar* pgb1 = nullptr);
    // As SendEx with cmdRetries attempts of cmdAckTimeout seconds each.
    bool SendExCustom(std::int32_t hNIC, const std::string& MacZarn, std::uint8_t frameType,
                      std::int16_t payloadSize, std::vector<std::uint8_t>& Payload,
                      std::shared_ptr<clsSnapResponse>& cResponse, kvr::ProgressBar* pgb1, long cmdRetries,
                      float cmdAckTimeout);
    // Opens the device's adapter by its description (device.NICName), sends
    // the first GetLength() bytes of the payload to device.MAC with SendEx and
    // closes the adapter. Any device type with those two members will do.
    template <class Device>
    bool SendEx2(Device& device, clsPayload& payload, std::uint8_t frameType,
                 std::shared_ptr<clsSnapResponse>& cResponse, kvr::ProgressBar* pgb1 = nullptr) {
        return SendEx2(device.NICName, device.MAC, payload, frameType, cResponse, pgb1);
    }
    // A firmware download frame: up to 6 attempts (ACK time-out AckTimeout,
    // plus 0.2 s for download frames), ACK and response accepted only from
    // MacZarn and, for download frames, only with the download-mode bit set;
    // then up to RespTimeOut seconds for the response.
    bool SendDownloadFrame(std::int32_t hNIC, const std::string& MacZarn, std::uint8_t frameType,
                           std::int16_t payloadSize, std::vector<std::uint8_t>& Payload,
                           std::shared_ptr<clsSnapResponse>& cResponse, kvr::ProgressBar* pgb1,
                           std::int16_t RespTimeOut, bool IsDownloadFrame, bool IsMulticast);

    // SendEx2 by adapter description and device address.
    bool SendEx2(const std::string& NICName, const std::string& MAC, clsPayload& payload, std::uint8_t frameType,
                 std::shared_ptr<clsSnapResponse>& cResponse, kvr::ProgressBar* pgb1 = nullptr);
};
