#include "frmDiscover.h"

#include <QGuiApplication>
#include <QScreen>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "Globals.h"
#include "LocalizeForm.h"
#include "UiResources.h"
#include "basDebug.h"
#include "clsDiscover.h"
#include "clsZarnPool.h"

namespace kvr {
namespace {
const ModuleLog Log("frmDiscover");
}

frmDiscover::frmDiscover(QWidget* parent)
    : BusyDialog({"frmDiscover", "KVR Installer - Discover", "lbActivity", 360, "CancelButton"}, parent) {
    connect(CancelButton(), &QPushButton::clicked, this, &frmDiscover::CancelButton_Click);
    LocalizeForm(this);
}

frmDiscover::~frmDiscover() = default;

void frmDiscover::showEvent(QShowEvent* event) {
    // Centred on the main window, or on the screen while that is not shown yet
    // (the first discovery runs before it opens).
    QWidget* owner = parentWidget();
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (owner && owner->isVisible()) {
        move(owner->frameGeometry().center() - rect().center());
    } else if (screen) {
        move(screen->availableGeometry().center() - rect().center());
    }
    BusyDialog::showEvent(event);
}

void frmDiscover::Form_Activate() {
    G().RediscoveryNeeded = false;
    m_discover = std::make_unique<clsDiscover>();
    // The discovery clears bCancel when it starts; a cancel that came before
    // (Escape at once, the main window closing) is kept in a flag it only reads.
    m_discover->SetExtraCancelFlag(&m_cancelRequested);

    auto status = [this](const std::string& text) {
        ActivityLabel()->setText(UiText(text));
        ActivityLabel()->repaint();
    };
    m_result = m_discover->DiscoverDevices(&Progress(), status);
    if (G().AutomationMode && m_automationTimer) m_automationTimer->start();
}

void frmDiscover::CancelButton_Click() {
    m_cancelRequested = true;
    if (m_discover) m_discover->bCancel = true;
}

}  // namespace kvr
