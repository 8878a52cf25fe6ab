#pragma once
// One command to one device as the command dialog runs it, without any
// window: the device's adapter is opened for the exchange, the request goes
// out with the normal retries (SendEx) or with a given number of attempts and
// ACK time-out (SendExCustom), the device gets a one-second pause, and the
// exchange can then wait for the device to restart and be found again
// (clsZarn::ScanForZarn). Cancel stops the send, the pause or the wait at its
// next poll. It logs under the name of the dialog that drives it, "frmCommand".
//
// Usage: Open(...) (false: nothing to run, logged), Run(progress) once while
// the dialog is on screen, then Result() and Response(). The adapter closes
// when Run ends, at Close() or when the object goes.
#include <cstdint>
#include <memory>
#include <vector>

#include "AdapterSession.h"
#include "clsSnapCommand.h"

namespace kvr {
class ProgressBar;
}
class clsPayload;
class clsSnapResponse;
class clsZarn;

class CommandExchange {
public:
    // Length of the restart wait when InitSend asks for one.
    static constexpr float kRestartWaitSeconds = 15.0f;
    // The pause after the command, before the device is looked for again.
    static constexpr long kPauseMs = 1000;

    // Prepares an exchange with `device` (kept by reference until the next
    // Open) and opens its adapter (device.NICName). RequestedRetries 0 sends
    // with the normal retries; more sends that many attempts with an ACK
    // time-out of Timeout seconds. With WaitForReboot the device then has
    // Timeout seconds to be found again. `response` is what Response() gives
    // until the exchange reads a frame. Clears the device's CancelWait. False,
    // logged, when the adapter cannot be opened.
    bool Open(clsZarn& device, const clsPayload& payload, std::uint8_t frameType,
              std::shared_ptr<clsSnapResponse> response, long RequestedRetries, bool WaitForReboot, float Timeout);

    // Runs the prepared exchange once: send, pause, optional restart wait;
    // closes the adapter. The progress bar (may be null) shows the send, then
    // the wait. Returns Result(). False when nothing was prepared.
    bool Run(kvr::ProgressBar* progress);

    // Stops a running send, pause or restart wait at its next poll (the
    // command's and the device's CancelWait).
    void Cancel();

    bool Result() const { return m_result; }
    // The last frame the send read (or the response given to Open).
    std::shared_ptr<clsSnapResponse> Response() const { return m_response; }
    // An exchange was prepared by Open and has not run yet.
    bool Ready() const { return m_device != nullptr && m_adapter.IsOpen(); }
    // Releases the adapter and forgets the device (nothing happens when closed).
    void Close();

private:
    clsSnapCommand m_command;
    kvr::AdapterSession m_adapter;
    clsZarn* m_device = nullptr;
    std::vector<std::uint8_t> m_payload;
    std::int16_t m_payloadLength = 0;
    std::uint8_t m_frameType = 0;
    std::shared_ptr<clsSnapResponse> m_response;
    long m_requestedRetries = 0;
    bool m_waitForReboot = false;
    float m_timeout = 0;
    bool m_result = false;
};
