#include "frmDiscover.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

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

frmDiscover::frmDiscover(QWidget* parent) : QDialog(parent) {
    setObjectName("frmDiscover");
    setWindowTitle("KVR Installer - Discover");
    setModal(true);

    lbActivity = new QLabel("Please wait...", this);
    lbActivity->setObjectName("lbActivity");
    lbActivity->setMinimumWidth(360);
    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setTextVisible(false);
    CancelButton = new QPushButton("Cancel", this);
    CancelButton->setObjectName("CancelButton");
    CancelButton->setAutoDefault(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lbActivity);
    layout->addWidget(ProgressBar);
    layout->addWidget(CancelButton, 0, Qt::AlignRight);

    m_progress.Attach(ProgressBar);
    connect(CancelButton, &QPushButton::clicked, this, &frmDiscover::CancelButton_Click);
    LocalizeForm(this);
}

frmDiscover::~frmDiscover() = default;

void frmDiscover::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Centred on the main window, or on the screen while that is not shown yet
    // (the first discovery runs before it opens).
    QWidget* owner = parentWidget();
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (owner && owner->isVisible()) {
        move(owner->frameGeometry().center() - rect().center());
    } else if (screen) {
        move(screen->availableGeometry().center() - rect().center());
    }
    // The work runs once the dialog is on screen.
    if (!m_activated) QTimer::singleShot(0, this, &frmDiscover::Form_Activate);
}

void frmDiscover::Form_Activate() {
    if (m_activated) return;
    m_activated = true;
    m_running = true;
    G().RediscoveryNeeded = false;
    m_result = std::make_shared<clsZarnPool>();
    m_discover = std::make_unique<clsDiscover>();
    // The discovery clears bCancel when it starts; a cancel that came before
    // (Escape at once, the main window closing) is kept in a flag it only reads.
    m_discover->SetExtraCancelFlag(&m_cancelRequested);

    auto status = [this](const std::string& text) {
        lbActivity->setText(UiText(text));
        lbActivity->repaint();
    };
    int passes = 0;
    while (passes < 2) {
        if (!m_result) m_result = std::make_shared<clsZarnPool>();
        const bool ok = m_discover->DiscoverAllZarns(8, m_result, &m_progress, status, 2);
        if (!ok && !m_discover->Cancelled())
            Log("Form_Activate Error: cDiscover.DiscoverAllZarns indicates an error!", LEVEL_ERROR);
        if (!m_result) {
            if (m_discover->Cancelled()) {
                Log("frmDiscover_Activate: Discovery process cancelled.", LEVEL_USER);
                break;
            }
            Log("frmDiscover_Activate: no KVRs found.", LEVEL_USER);
            ++passes;
            continue;
        }
        Log("frmDiscover_Activate: " + std::to_string(m_result->Count()) + " KVRs found.", LEVEL_USER);
        break;
    }
    if (G().AutomationMode && m_automationTimer) m_automationTimer->start();
    m_running = false;
    done(QDialog::Accepted);
}

void frmDiscover::CancelButton_Click() {
    m_cancelRequested = true;
    if (m_discover) m_discover->bCancel = true;
}

void frmDiscover::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        CancelButton_Click();
        return;
    }
    QDialog::keyPressEvent(event);
}

// Escape and the close box cancel the discovery; the dialog closes when the
// work has ended, never underneath it.
void frmDiscover::reject() {
    CancelButton_Click();
    if (!m_running && m_activated) QDialog::reject();
}

void frmDiscover::closeEvent(QCloseEvent* event) {
    if (m_running) {
        CancelButton_Click();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

}  // namespace kvr
