#pragma once
// The command progress dialog: shows a command exchange (CommandExchange) to
// one device while it runs: the command, the pause and, when asked, the wait
// for the device to restart and be found again. Hands the answer back to its
// caller.
#include <cstdint>
#include <memory>

#include "BusyDialog.h"
#include "CommandExchange.h"

class clsPayload;
class clsSnapResponse;
class clsZarn;

namespace kvr {

class frmCommand : public BusyDialog {
    Q_OBJECT
public:
    explicit frmCommand(QWidget* parent = nullptr);
    ~frmCommand() override;

    // Sends with the normal retries; with WaitForReboot the device then has
    // 15 s to be found again. True when everything succeeded; cResponse
    // holds the last frame read.
    bool InitSend(clsZarn& Zarn, clsPayload& payload, std::uint8_t frameType,
                  std::shared_ptr<clsSnapResponse>& cResponse, bool WaitForReboot);
    // RequestedRetries 0 sends with the normal retries, more sends that many
    // attempts with an ACK time-out of Timeout seconds; Timeout is also the
    // length of the restart wait. When the device's adapter cannot be opened
    // it returns false without showing the dialog.
    bool InitSendCustom(clsZarn& Zarn, clsPayload& payload, std::uint8_t frameType,
                        std::shared_ptr<clsSnapResponse>& cResponse, long RequestedRetries, bool WaitForReboot,
                        float Timeout);

    void btCancel_Click();
    bool Result() const { return m_exchange.Result(); }

protected:
    void Form_Activate() override;
    void CancelWork() override { btCancel_Click(); }

private:
    CommandExchange m_exchange;
};

}  // namespace kvr
