#pragma once
// The search of "Add KVR...": while it is shown, every adapter is searched
// until a device that the main window does not list answers, or the time is
// up. Cancel ends it.
#include <cstdint>
#include <memory>

#include "BusyDialog.h"

class clsDiscover;
class clsZarn;
class clsZarnPool;

namespace kvr {

class frmAddZarn : public BusyDialog {
    Q_OBJECT
public:
    frmAddZarn(std::shared_ptr<const clsZarnPool> known, std::int64_t timeoutMs, QWidget* parent = nullptr);
    ~frmAddZarn() override;

    // The device that answered; null after the time-out or a cancel.
    std::shared_ptr<clsZarn> NewZarn() const { return m_found; }
    bool WasCancelled() const { return m_cancelRequested; }

protected:
    void Form_Activate() override;
    void CancelWork() override { m_cancelRequested = true; }

private:
    std::shared_ptr<const clsZarnPool> m_known;
    std::int64_t m_timeoutMs;
    std::shared_ptr<clsZarn> m_found;
    bool m_cancelRequested = false;
};

}  // namespace kvr
