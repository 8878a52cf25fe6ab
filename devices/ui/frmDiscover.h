#pragma once
// The discovery progress dialog: runs a full discovery while it is shown, with
// a progress bar and a Cancel button, and leaves the devices found in its
// result pool (none when cancelled).
#include <QPointer>
#include <QTimer>
#include <memory>

#include "BusyDialog.h"

class clsDiscover;
class clsZarnPool;

namespace kvr {

class frmDiscover : public BusyDialog {
    Q_OBJECT
public:
    explicit frmDiscover(QWidget* parent = nullptr);
    ~frmDiscover() override;

    // The devices found; null when the discovery was cancelled.
    std::shared_ptr<clsZarnPool> ResultPool() const { return m_result; }
    // In automated mode this timer is started when the discovery has ended.
    void SetAutomationTimer(QTimer* timer) { m_automationTimer = timer; }

    void CancelButton_Click();

protected:
    void showEvent(QShowEvent* event) override;
    void Form_Activate() override;
    void CancelWork() override { CancelButton_Click(); }
    bool ClosesBeforeWork() const override { return false; }

private:
    std::unique_ptr<clsDiscover> m_discover;
    std::shared_ptr<clsZarnPool> m_result;
    QPointer<QTimer> m_automationTimer;
    bool m_cancelRequested = false;
};

}  // namespace kvr
