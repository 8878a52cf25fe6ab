#include "frmFirmwareWizard.h"

#include <QApplication>
#include <algorithm>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "FirmwareWizardBinding.h"
#include "LocalizeForm.h"
#include "UiResources.h"
#include "basDebug.h"
#include "clsZarn.h"

namespace kvr {
namespace {

const ModuleLog Log("frmFirmwareWizard");

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text = {}) {
    auto* l = new QLabel(text, parent);
    if (name) l->setObjectName(name);
    l->setWordWrap(true);
    return l;
}

// The name in front of a value: one line.
QLabel* KeyLabel(QWidget* parent, const QString& text) { return new QLabel(text, parent); }

QFrame* MakePage(QStackedWidget* stack, const char* name) {
    auto* f = new QFrame(stack);
    f->setObjectName(name);
    stack->addWidget(f);
    return f;
}

QProgressBar* MakeBar(QWidget* parent, const char* name) {
    auto* b = new QProgressBar(parent);
    b->setObjectName(name);
    b->setRange(0, 100);
    b->setValue(0);
    b->setTextVisible(false);
    return b;
}

}  // namespace

frmFirmwareWizard::frmFirmwareWizard(FirmwareWizardServices services, QWidget* parent)
    : QDialog(parent), m_model([this, &services] {
          if (!services.ChooseFile)
              services.ChooseFile = [this](const std::string& t, const std::string& f, const std::string& i) {
                  return ChooseFile(t, f, i);
              };
          if (!services.ShowHelp) services.ShowHelp = [this](const std::string& topic) { ShowHelp(topic, this); };
          return std::move(services);
      }()) {
    setObjectName("frmFirmwareWizard");
    setWindowTitle("KVR Installer - Firmware Upload");
    setModal(true);

    picStep = new QLabel(this);
    picStep->setObjectName("picStep");
    picStep->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    picStep->setMinimumWidth(160);

    stkPages = new QStackedWidget(this);
    stkPages->setObjectName("stkPages");

    // Page 1: the device.
    fraStep1 = MakePage(stkPages, "fraStep1");
    {
        auto* v = new QVBoxLayout(fraStep1);
        auto* g = new QGridLayout;
        v->addLayout(g);
        auto* title = MakeLabel(fraStep1, "lblSelectedKvr", "Selected KVR");
        QFont bold = title->font();
        bold.setBold(true);
        title->setFont(bold);
        ZarnLabel = MakeLabel(fraStep1, "ZarnLabel");
        lbHardwareVersion = MakeLabel(fraStep1, "lbHardwareVersion");
        lblBootloaderVersion = MakeLabel(fraStep1, "lblBootloaderVersion");
        lbFirmwareVersion = MakeLabel(fraStep1, "lbFirmwareVersion");
        lbFirmwareDate = MakeLabel(fraStep1, "lbFirmwareDate");
        chkOverrideHardwareCompatibility = new QCheckBox("Override hardware compatibility check", fraStep1);
        chkOverrideHardwareCompatibility->setObjectName("chkOverrideHardwareCompatibility");
        int r = 0;
        g->addWidget(title, r++, 0, 1, 2);
        g->addWidget(ZarnLabel, r++, 0, 1, 2);
        g->addWidget(KeyLabel(fraStep1, "Hardware version:"), r, 0);
        g->addWidget(lbHardwareVersion, r++, 1);
        g->addWidget(KeyLabel(fraStep1, "Bootloader version:"), r, 0);
        g->addWidget(lblBootloaderVersion, r++, 1);
        g->addWidget(KeyLabel(fraStep1, "Firmware version:"), r, 0);
        g->addWidget(lbFirmwareVersion, r++, 1);
        g->addWidget(KeyLabel(fraStep1, "Firmware date:"), r, 0);
        g->addWidget(lbFirmwareDate, r++, 1);
        g->setColumnStretch(1, 1);
        v->addSpacing(12);
        v->addWidget(MakeLabel(fraStep1, "lblClickNext", "Click next to select a firmware file (*.qfw)."));
        v->addWidget(MakeLabel(fraStep1, "lblStep1Warning", ResText(4004)));
        v->addWidget(chkOverrideHardwareCompatibility);
        v->addStretch(1);
    }

    // Page 2: the file against the device.
    fraStep2 = MakePage(stkPages, "fraStep2");
    {
        auto* v = new QVBoxLayout(fraStep2);
        auto* g = new QGridLayout;
        v->addLayout(g);
        lbFileName = MakeLabel(fraStep2, "lbFileName");
        lbFileName->setTextInteractionFlags(Qt::TextSelectableByMouse);
        lblNewFirmwareVersion = MakeLabel(fraStep2, "lblNewFirmwareVersion");
        lblNewFirmwareDate = MakeLabel(fraStep2, "lblNewFirmwareDate");
        lblCurrentFirmwareVersion = MakeLabel(fraStep2, "lblCurrentFirmwareVersion");
        lblCurrentFirmwareDate = MakeLabel(fraStep2, "lblCurrentFirmwareDate");
        lblWarnings = MakeLabel(fraStep2, "lblWarnings");
        cbUploadImageOnly = new QCheckBox("Upload image only (no CnE data)", fraStep2);
        cbUploadImageOnly->setObjectName("cbUploadImageOnly");
        lblFirmwareSelectionWarning = MakeLabel(fraStep2, "lblFirmwareSelectionWarning");
        int r = 0;
        g->addWidget(KeyLabel(fraStep2, "Firmware file:"), r, 0);
        g->addWidget(lbFileName, r++, 1);
        g->addWidget(KeyLabel(fraStep2, "New firmware version:"), r, 0);
        g->addWidget(lblNewFirmwareVersion, r++, 1);
        g->addWidget(KeyLabel(fraStep2, "New firmware date:"), r, 0);
        g->addWidget(lblNewFirmwareDate, r++, 1);
        g->addWidget(KeyLabel(fraStep2, "Current firmware version:"), r, 0);
        g->addWidget(lblCurrentFirmwareVersion, r++, 1);
        g->addWidget(KeyLabel(fraStep2, "Current firmware date:"), r, 0);
        g->addWidget(lblCurrentFirmwareDate, r++, 1);
        g->setColumnStretch(1, 1);
        v->addSpacing(8);
        v->addWidget(lblWarnings);
        v->addWidget(cbUploadImageOnly);
        v->addWidget(lblFirmwareSelectionWarning);
        v->addWidget(MakeLabel(fraStep2, "lblProceed", "Are you sure you want to proceed?"));
        v->addStretch(1);
    }

    // Page 3: the upload.
    fraUpload = MakePage(stkPages, "fraUpload");
    {
        auto* v = new QVBoxLayout(fraUpload);
        pgbDownloadMode = MakeBar(fraUpload, "pgbDownloadMode");
        pgbErase = MakeBar(fraUpload, "pgbErase");
        pgbUpload = MakeBar(fraUpload, "pgbUpload");
        v->addWidget(MakeLabel(fraUpload, nullptr, "enabling download mode"));
        v->addWidget(pgbDownloadMode);
        v->addWidget(MakeLabel(fraUpload, nullptr, "Erasing current version"));
        v->addWidget(pgbErase);
        v->addWidget(MakeLabel(fraUpload, nullptr, "Uploading new version"));
        v->addWidget(pgbUpload);
        v->addSpacing(12);
        v->addWidget(MakeLabel(fraUpload, "lblDoNotInterrupt", "Warning: uploading new firmware. Do not interrupt!"));
        lblUploadStatus = MakeLabel(fraUpload, "lblUploadStatus");
        v->addWidget(lblUploadStatus);
        v->addStretch(1);
    }

    // Page 4: the result.
    fraStep3 = MakePage(stkPages, "fraStep3");
    {
        auto* v = new QVBoxLayout(fraStep3);
        auto* finished = MakeLabel(fraStep3, "lblFinished", "Finished!");
        QFont bold = finished->font();
        bold.setBold(true);
        finished->setFont(bold);
        v->addWidget(finished);
        lblSuccess =
            MakeLabel(fraStep3, "lblSuccess", "You have succesfully upgraded the firmware to the Audio Adapter.");
        v->addWidget(lblSuccess);
        lblResult = MakeLabel(fraStep3, "lblResult");
        v->addWidget(lblResult);
        v->addStretch(1);
    }

    cmdPrevious = new QPushButton("< &Previous", this);
    cmdPrevious->setObjectName("cmdPrevious");
    cmdNext = new QPushButton("&Next >", this);
    cmdNext->setObjectName("cmdNext");
    cmdCancel = new QPushButton("&Cancel", this);
    cmdCancel->setObjectName("cmdCancel");
    cmdHelp = new QPushButton("Help", this);
    cmdHelp->setObjectName("cmdHelp");
    cmdFinish = new QPushButton("&Finish!", this);
    cmdFinish->setObjectName("cmdFinish");
    for (QPushButton* b : {cmdPrevious, cmdNext, cmdCancel, cmdHelp, cmdFinish}) b->setAutoDefault(false);

    auto* body = new QHBoxLayout;
    body->addWidget(picStep);
    body->addWidget(stkPages, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdHelp);
    buttons->addStretch(1);
    buttons->addWidget(cmdPrevious);
    buttons->addWidget(cmdNext);
    buttons->addWidget(cmdFinish);
    buttons->addWidget(cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body, 1);
    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    layout->addWidget(rule);
    layout->addLayout(buttons);

    m_barDownloadMode.Attach(pgbDownloadMode);
    m_barErase.Attach(pgbErase);
    m_barUpload.Attach(pgbUpload);
    m_model.SetProgressBars(&m_barDownloadMode, &m_barErase, &m_barUpload);
    m_model.SetChangedHandler([this] { Refresh(); });

    connect(cmdNext, &QPushButton::clicked, this, &frmFirmwareWizard::cmdNext_Click);
    connect(cmdPrevious, &QPushButton::clicked, this, &frmFirmwareWizard::cmdPrevious_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmFirmwareWizard::cmdCancel_Click);
    connect(cmdFinish, &QPushButton::clicked, this, &frmFirmwareWizard::cmdFinish_Click);
    connect(cmdHelp, &QPushButton::clicked, this, &frmFirmwareWizard::cmdHelp_Click);
    connect(cbUploadImageOnly, &QCheckBox::clicked, this, &frmFirmwareWizard::cbUploadImageOnly_Click);
    connect(chkOverrideHardwareCompatibility, &QCheckBox::clicked, this,
            &frmFirmwareWizard::chkOverrideHardwareCompatibility_Click);

    resize(700, 420);
    Refresh();
}

frmFirmwareWizard::~frmFirmwareWizard() {
    m_model.SetChangedHandler(nullptr);
    if (m_busyCursor) QApplication::restoreOverrideCursor();
    Form_Unload();
}

bool frmFirmwareWizard::Init(std::shared_ptr<clsZarn> device) {
    if (!m_model.Init(std::move(device))) return false;
    Form_Load();
    return true;
}

bool frmFirmwareWizard::InitEx(std::shared_ptr<clsZarn> device, std::int32_t hNIC) {
    m_model.InitEx(std::move(device), hNIC);
    Form_Load();
    exec();
    return m_model.UploadOK();
}

void frmFirmwareWizard::Form_Load() {
    LocalizeForm(this);
    m_model.Load();
}

void frmFirmwareWizard::Form_Unload() { m_model.Unload(); }

void frmFirmwareWizard::Advance() {
    m_model.Advance();
    CloseWhenUnloaded();
}

void frmFirmwareWizard::cmdNext_Click() { m_model.cmdNext_Click(); }
void frmFirmwareWizard::cmdPrevious_Click() { m_model.cmdPrevious_Click(); }

void frmFirmwareWizard::cmdCancel_Click() {
    m_model.cmdCancel_Click();
    CloseWhenUnloaded();
}

void frmFirmwareWizard::cmdFinish_Click() {
    m_model.cmdFinish_Click();
    CloseWhenUnloaded();
}

void frmFirmwareWizard::cmdHelp_Click() { m_model.cmdHelp_Click(); }
void frmFirmwareWizard::cbUploadImageOnly_Click(bool checked) { m_model.cbUploadImageOnly_Click(checked); }
void frmFirmwareWizard::chkOverrideHardwareCompatibility_Click(bool checked) {
    m_model.chkOverrideHardwareCompatibility_Click(checked);
}

void frmFirmwareWizard::reject() {
    m_model.CloseRequested();
    CloseWhenUnloaded();
}

void frmFirmwareWizard::closeEvent(QCloseEvent* event) {
    if (m_closing) {
        event->accept();
        return;
    }
    event->ignore();
    m_model.CloseRequested();
    CloseWhenUnloaded();
}

void frmFirmwareWizard::CloseWhenUnloaded() {
    if (!m_model.Unloaded() || m_closing) return;
    m_closing = true;
    Form_Unload();
    done(m_model.UploadOK() ? QDialog::Accepted : QDialog::Rejected);
}

void frmFirmwareWizard::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        cmdHelp_Click();
        return;
    }
    QDialog::keyPressEvent(event);  // Escape ends in reject()
}

void frmFirmwareWizard::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_model.View().focusFinish)
        cmdFinish->setFocus();
    else
        cmdNext->setFocus();
}

std::string frmFirmwareWizard::ChooseFile(const std::string& title, const std::string& filter,
                                          const std::string& initialFile) {
    // "text (*.qfw)|*.qfw": the part before the bar is the dialog's filter.
    const std::string shown = filter.substr(0, filter.find('|'));
    const QString path = QFileDialog::getOpenFileName(this, UiText(title), QString::fromStdString(initialFile),
                                                      UiText(shown), nullptr, QFileDialog::ReadOnly);
    return path.toStdString();
}

void frmFirmwareWizard::Refresh() {
    const FirmwareWizardView& v = m_model.View();
    stkPages->setCurrentIndex(std::clamp(v.page, 1, 4) - 1);
    picStep->setPixmap(ResPicture(v.picture));

    ZarnLabel->setText(WireText(v.zarnLabel));
    lbHardwareVersion->setText(UiText(v.hardwareVersion));
    lblBootloaderVersion->setText(UiText(v.bootloaderVersion));
    lbFirmwareVersion->setText(WireText(v.firmwareVersion));
    lbFirmwareDate->setText(WireText(v.firmwareDate));
    chkOverrideHardwareCompatibility->setVisible(v.overrideVisible);
    chkOverrideHardwareCompatibility->setChecked(v.overrideChecked);

    lbFileName->setText(QString::fromStdString(v.fileName));
    lblNewFirmwareVersion->setText(WireText(v.newFirmwareVersion));
    lblNewFirmwareDate->setText(WireText(v.newFirmwareDate));
    lblCurrentFirmwareVersion->setText(WireText(v.currentFirmwareVersion));
    lblCurrentFirmwareDate->setText(WireText(v.currentFirmwareDate));
    lblWarnings->setText(UiText(v.warnings).replace("\r\n", "\n"));
    cbUploadImageOnly->setChecked(v.uploadImageOnlyChecked);
    cbUploadImageOnly->setEnabled(v.uploadImageOnlyEnabled);
    cbUploadImageOnly->setVisible(v.uploadImageOnlyVisible);
    lblFirmwareSelectionWarning->setText(UiText(v.selectionWarning));

    lblUploadStatus->setText(UiText(v.uploadStatus));
    lblResult->setText(UiText(v.resultText));
    // A device that did not take the file's version, or whose version is unknown, is not called
    // upgraded, whatever the download said.
    lblSuccess->setVisible(!v.versionMismatch && !v.versionUnknown);
    lblResult->setStyleSheet(v.versionMismatch ? "color: #b00000; font-weight: bold;" : "");

    cmdPrevious->setEnabled(v.previousEnabled);
    cmdNext->setEnabled(v.nextEnabled);
    cmdCancel->setEnabled(v.cancelEnabled);
    cmdHelp->setEnabled(v.helpEnabled);
    cmdFinish->setEnabled(v.finishEnabled);
    // Finish exists only on the last page; Next and Previous have no use there.
    cmdFinish->setVisible(v.page == 4);
    cmdNext->setVisible(v.page != 4);
    cmdPrevious->setVisible(v.page != 4);
    if (v.page == 4 && isVisible()) cmdFinish->setFocus();

    if (v.busy != m_busyCursor) {
        m_busyCursor = v.busy;
        if (v.busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    }
    // The page's texts changed: lay it out now, the download page is shown
    // before the event loop runs again.
    if (QLayout* page = stkPages->currentWidget()->layout()) page->activate();
    if (layout()) layout()->activate();
    if (isVisible()) repaint();
}

void ShowFirmwareWizard(std::shared_ptr<clsZarn> device, QWidget* parent) {
    if (!device) return;
    frmFirmwareWizard wizard(FirmwareDownloadServices(), parent);
    if (!wizard.Init(std::move(device))) return;
    wizard.exec();
}

}  // namespace kvr
