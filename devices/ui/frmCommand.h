#pragma once
// The command progress dialog: sends one command to one device while it is
// shown, optionally waits for the device to restart and be found again, and
// hands the answer back to its caller.
#include <QDialog>
#include <cstdint>
#include <memory>

#include "QtSeams.h"

class QLabel;
class QProgressBar;
class QPushButton;
class clsPayload;
class clsSnapCommand;
class clsSnapResponse;
class clsZarn;

namespace kvr {

class frmCommand : public QDialog {
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
    // length of the restart wait.
    bool InitSendCustom(clsZarn& Zarn, clsPayload& payload, std::uint8_t frameType,
                        std::shared_ptr<clsSnapResponse>& cResponse, long RequestedRetries, bool WaitForReboot,
                        float Timeout);

    void btCancel_Click();
    bool Result() const { return m_result; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Activate();
    void ReleaseAdapter();

    QProgressBar* ProgressBar = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* btCancel = nullptr;
    QtProgressBar m_progress;

    clsZarn* m_zarn = nullptr;
    clsPayload* m_payload = nullptr;
    std::uint8_t m_frameType = 0;
    std::shared_ptr<clsSnapResponse> m_response;
    std::int32_t m_hNIC = -1;
    bool m_result = false;
    std::unique_ptr<clsSnapCommand> m_command;
    long m_requestedRetries = 0;
    float m_timeout = 0;
    bool m_waitForReboot = false;
    bool m_activated = false;
    bool m_running = false;
};

}  // namespace kvr
