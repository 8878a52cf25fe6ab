#include "frmAddZarn.h"

#include <QLabel>
#include <QPushButton>

#include "UiResources.h"
#include "clsDiscover.h"
#include "clsZarnPool.h"

namespace kvr {

frmAddZarn::frmAddZarn(std::shared_ptr<const clsZarnPool> known, std::int64_t timeoutMs, QWidget* parent)
    : BusyDialog({"frmAddZarn", "KVR Installer - Add KVR", "lbActivity", 360, "CancelButton"}, parent),
      m_known(std::move(known)),
      m_timeoutMs(timeoutMs) {
    connect(CancelButton(), &QPushButton::clicked, this, [this] { m_cancelRequested = true; });
}

frmAddZarn::~frmAddZarn() = default;

void frmAddZarn::Form_Activate() {
    ActivityLabel()->setText("Waiting for a new KVR to answer...");
    clsDiscover discover;
    discover.SetExtraCancelFlag(&m_cancelRequested);
    m_found = discover.WaitForNewZarn(m_known ? *m_known : clsZarnPool(), m_timeoutMs, &Progress());
}

}  // namespace kvr
