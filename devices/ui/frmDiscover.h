#pragma once
// The discovery progress dialog: runs a full discovery while it is shown, with
// a progress bar and a Cancel button, and leaves the devices found in its
// result pool (none when cancelled).
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <memory>

#include "QtSeams.h"

class QLabel;
class QProgressBar;
class QPushButton;
class clsDiscover;
class clsZarnPool;

namespace kvr {

class frmDiscover : public QDialog {
    Q_OBJECT
public:
    explicit frmDiscover(QWidget* parent = nullptr);
    ~frmDiscover() override;

    // The devices found; null when the discovery was cancelled.
    std::shared_ptr<clsZarnPool> ResultPool() const { return m_result; }
    // In automated mode this timer is started when the discovery has ended.
    void SetAutomationTimer(QTimer* timer) { m_automationTimer = timer; }

    void CancelButton_Click();
    bool Running() const { return m_running; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Activate();

    QProgressBar* ProgressBar = nullptr;
    QLabel* lbActivity = nullptr;
    QPushButton* CancelButton = nullptr;

    QtProgressBar m_progress;
    std::unique_ptr<clsDiscover> m_discover;
    std::shared_ptr<clsZarnPool> m_result;
    QPointer<QTimer> m_automationTimer;
    bool m_activated = false;
    bool m_running = false;
    bool m_cancelRequested = false;
};

}  // namespace kvr
