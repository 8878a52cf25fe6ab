#pragma once
// The message window: one text of the string table by its identifier, an
// optional count-down after which it closes itself, and a Help button that
// opens the help page of the same identifier.
#include <QDialog>

class QLabel;
class QPushButton;
class QTimer;

namespace kvr {

class frmMsg : public QDialog {
    Q_OBJECT
public:
    explicit frmMsg(QWidget* parent = nullptr);

    // Shows text `id` (1900 when 0). `modal` 1 waits until the window closes;
    // a `timeoutMs` above 0 closes it after that time, counting down.
    void ShowMessage(int id, int modal = 1, long timeoutMs = 0);

    int MessageId() const { return m_messageId; }
    long RemainingMs() const { return m_remainingMs; }
    bool TimeoutRunning() const { return m_timeoutRunning; }

    // An unattended run must never wait for a click: modal requests are then
    // shown without waiting (the text is logged as always).
    static void SetNeverBlock(bool neverBlock);

private:
    void tmrExitTimer_Timer();
    void cmdOK_Click();
    void cmdHelp_Click();
    void ShowCountDown();

    QLabel* lblMessage = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* lblTimeoutMsg = nullptr;
    QLabel* lblButtontext = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdHelp = nullptr;
    QTimer* tmrExitTimer = nullptr;

    int m_messageId = 1900;
    long m_remainingMs = 0;
    bool m_timeoutRunning = false;
    QString m_countDownText;
};

// The program-wide message window, created on first use; destroyed before the
// application object goes away.
frmMsg& MessageWindow();
void DestroyMessageWindow();
void ShowMessage(int id, int modal = 1, long timeoutMs = 0);

}  // namespace kvr
