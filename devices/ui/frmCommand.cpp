#include "frmCommand.h"

#include <QPushButton>

#include "LocalizeForm.h"

namespace kvr {

frmCommand::frmCommand(QWidget* parent)
    : BusyDialog({"frmCommand", "KVR Installer - Command", "Label1", 320, "btCancel"}, parent) {
    connect(CancelButton(), &QPushButton::clicked, this, &frmCommand::btCancel_Click);
    LocalizeForm(this);
}

frmCommand::~frmCommand() = default;

bool frmCommand::InitSend(clsZarn& Zarn, clsPayload& payload, std::uint8_t frameType,
                          std::shared_ptr<clsSnapResponse>& cResponse, bool WaitForReboot) {
    return InitSendCustom(Zarn, payload, frameType, cResponse, 0, WaitForReboot,
                          WaitForReboot ? CommandExchange::kRestartWaitSeconds : 0.0f);
}

bool frmCommand::InitSendCustom(clsZarn& Zarn, clsPayload& payload, std::uint8_t frameType,
                                std::shared_ptr<clsSnapResponse>& cResponse, long RequestedRetries,
                                bool WaitForReboot, float Timeout) {
    ResetActivation();
    if (!m_exchange.Open(Zarn, payload, frameType, cResponse, RequestedRetries, WaitForReboot, Timeout)) return false;
    exec();
    cResponse = m_exchange.Response();
    m_exchange.Close();
    return m_exchange.Result();
}

void frmCommand::Form_Activate() { m_exchange.Run(&Progress()); }

void frmCommand::btCancel_Click() { m_exchange.Cancel(); }

}  // namespace kvr
