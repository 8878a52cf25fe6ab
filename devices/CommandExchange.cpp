#include "CommandExchange.h"

#include <string>

#include "Seams.h"
#include "basDebug.h"
#include "clsPayload.h"
#include "clsSnapResponse.h"
#include "clsZarn.h"

namespace {

const kvr::ModuleLog Log("frmCommand");

constexpr long kPausePollMs = 50;

std::string SecondsText(float s) {
    std::string t = std::to_string(s);
    // "15.000000" -> "15", "2.500000" -> "2.5"
    if (t.find('.') != std::string::npos) {
        t.erase(t.find_last_not_of('0') + 1);
        if (!t.empty() && t.back() == '.') t.pop_back();
    }
    return t;
}

}  // namespace

bool CommandExchange::Open(clsZarn& device, const clsPayload& payload, std::uint8_t frameType,
                           std::shared_ptr<clsSnapResponse> response, long RequestedRetries, bool WaitForReboot,
                           float Timeout) {
    Close();
    m_payload = payload.GetPayload();
    m_payloadLength = payload.GetLength();
    m_frameType = frameType;
    m_response = std::move(response);
    m_requestedRetries = RequestedRetries;
    m_waitForReboot = WaitForReboot;
    m_timeout = Timeout;
    m_result = false;
    m_command.ProtocolVersion = device.ProtocolVersion;
    device.CancelWait = false;

    m_adapter = kvr::AdapterSession(device.NICName);
    if (!m_adapter.IsOpen()) {
        Log("InitSendCustom: OpenNdisDeviceByDesc failed for NIC '" + device.NICName + "'.", kvr::LEVEL_ERROR);
        return false;
    }
    m_device = &device;
    return true;
}

bool CommandExchange::Run(kvr::ProgressBar* progress) {
    if (!Ready()) return false;
    clsZarn& device = *m_device;
    m_command.ProtocolVersion = device.ProtocolVersion;
    const std::int32_t hNIC = m_adapter.Handle();
    std::vector<std::uint8_t> bytes = m_payload;
    if (m_requestedRetries != 0) {
        m_result = m_command.SendExCustom(hNIC, device.MAC, m_frameType, m_payloadLength, bytes, m_response, progress,
                                          m_requestedRetries, m_timeout);
    } else {
        m_result = m_command.SendEx(hNIC, device.MAC, m_frameType, m_payloadLength, bytes, m_response, progress);
    }

    // Give the device a moment before looking for it again; Cancel still works.
    kvr::Clock& clock = kvr::CurrentClock();
    const std::int64_t pauseEnd = clock.NowMs() + kPauseMs;
    while (clock.NowMs() < pauseEnd && !m_command.CancelWait) {
        kvr::CurrentEventPump().DoEvents();
        clock.SleepMs(kPausePollMs);
    }

    if (m_waitForReboot) {
        if (m_command.CancelWait || !device.ScanForZarn(static_cast<std::int32_t>(m_timeout * 1000), progress)) {
            Log("Form_Activate: Zarn.ScanForZarn returned failure with " + SecondsText(m_timeout) + " second wait.",
                kvr::LEVEL_WARNING);
            m_result = false;
        }
    }
    m_adapter.Close();
    return m_result;
}

void CommandExchange::Cancel() {
    m_command.CancelWait = true;
    if (m_device) m_device->CancelWait = true;
}

void CommandExchange::Close() {
    m_adapter.Close();
    m_device = nullptr;
}
