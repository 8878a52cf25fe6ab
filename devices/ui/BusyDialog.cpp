#include "BusyDialog.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace kvr {

BusyDialog::BusyDialog(const Names& names, QWidget* parent) : QDialog(parent) {
    setObjectName(names.dialog);
    setWindowTitle(names.caption);
    setModal(true);

    m_label = new QLabel("Please wait...", this);
    m_label->setObjectName(names.label);
    m_label->setMinimumWidth(names.labelWidth);
    m_bar = new QProgressBar(this);
    m_bar->setObjectName("ProgressBar");
    m_bar->setTextVisible(false);
    m_cancel = new QPushButton("Cancel", this);
    m_cancel->setObjectName(names.cancelButton);
    m_cancel->setAutoDefault(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_bar);
    layout->addWidget(m_cancel, 0, Qt::AlignRight);

    m_progress.Attach(m_bar);
}

void BusyDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The work runs once the dialog is on screen.
    if (!m_activated) QTimer::singleShot(0, this, &BusyDialog::Activate);
}

void BusyDialog::Activate() {
    if (m_activated) return;
    m_activated = true;
    m_running = true;
    Form_Activate();
    m_running = false;
    done(QDialog::Accepted);
}

void BusyDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        CancelWork();
        return;
    }
    QDialog::keyPressEvent(event);
}

void BusyDialog::reject() {
    CancelWork();
    if (!m_running && (m_activated || ClosesBeforeWork())) QDialog::reject();
}

void BusyDialog::closeEvent(QCloseEvent* event) {
    if (m_running) {
        CancelWork();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

}  // namespace kvr
