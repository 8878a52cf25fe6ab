#include "frmMultiUpgrade.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "FirmwareWizardModel.h"
#include "UiResources.h"
#include "basDebug.h"

namespace kvr {
namespace {

const ModuleLog Log("frmMultiUpgrade");

// The progress is polled this often while devices are worked on.
constexpr int kRefreshMs = 100;

QTableWidgetItem* Cell(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

}  // namespace

frmMultiUpgrade::frmMultiUpgrade(std::vector<std::shared_ptr<clsZarn>> devices, QWidget* parent, int parallel)
    : QDialog(parent), m_model(std::move(devices), parallel) {
    setObjectName("frmMultiUpgrade");
    setWindowTitle("KVR Installer - Firmware Upload (several KVRs)");
    setModal(true);

    lblFile = new QLabel(this);
    lblFile->setObjectName("lblFile");
    lblFile->setWordWrap(true);
    lblNotice = new QLabel(this);
    lblNotice->setObjectName("lblNotice");
    lblNotice->setWordWrap(true);

    const MultiUpgradeView view = m_model.Snapshot();
    tblDevices = new QTableWidget(static_cast<int>(view.rows.size()), COL_COUNT, this);
    tblDevices->setObjectName("tblDevices");
    tblDevices->setHorizontalHeaderLabels({"Name", "MAC", "Current version", "New version", "Fits the file",
                                           "Progress", "Stage", "Result", ""});
    tblDevices->verticalHeader()->setVisible(false);
    tblDevices->setSelectionMode(QAbstractItemView::NoSelection);
    tblDevices->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblDevices->horizontalHeader()->setSectionResizeMode(COL_RESULT, QHeaderView::Stretch);
    for (int r = 0; r < tblDevices->rowCount(); ++r) {
        for (int c = 0; c < COL_COUNT; ++c)
            if (c != COL_PROGRESS && c != COL_RETRY) tblDevices->setItem(r, c, Cell({}));
        auto* bar = new QProgressBar(tblDevices);
        bar->setObjectName("pgbDevice" + QString::number(r));
        bar->setRange(0, 100);
        bar->setValue(0);
        tblDevices->setCellWidget(r, COL_PROGRESS, bar);
        auto* retry = new QPushButton("&Retry", tblDevices);
        retry->setObjectName("cmdRetry" + QString::number(r));
        retry->setVisible(false);
        connect(retry, &QPushButton::clicked, this, [this, r] { cmdRetry_Click(r); });
        tblDevices->setCellWidget(r, COL_RETRY, retry);
    }

    cmdStart = new QPushButton("&Start", this);
    cmdStart->setObjectName("cmdStart");
    cmdClose = new QPushButton("&Close", this);
    cmdClose->setObjectName("cmdClose");
    cmdClose->setAutoDefault(false);
    connect(cmdStart, &QPushButton::clicked, this, &frmMultiUpgrade::cmdStart_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmMultiUpgrade::cmdClose_Click);

    tmrProgress = new QTimer(this);
    tmrProgress->setObjectName("tmrProgress");
    tmrProgress->setInterval(kRefreshMs);
    connect(tmrProgress, &QTimer::timeout, this, &frmMultiUpgrade::Refresh);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdStart);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblFile);
    layout->addWidget(tblDevices, 1);
    layout->addWidget(lblNotice);
    layout->addLayout(buttons);
    resize(980, 150 + 34 * std::max(3, tblDevices->rowCount()));
    Refresh();
}

frmMultiUpgrade::~frmMultiUpgrade() = default;

bool frmMultiUpgrade::SetFile(const std::string& fileName) {
    const bool usable = m_model.SetFile(fileName);
    Refresh();
    return usable;
}

void frmMultiUpgrade::cmdStart_Click() {
    Log("cmdStart_Click", LEVEL_WATCH);
    m_closeRefused = false;
    if (m_model.Start()) tmrProgress->start();
    Refresh();
}

void frmMultiUpgrade::cmdRetry_Click(int row) {
    Log("cmdRetry_Click", LEVEL_WATCH);
    m_closeRefused = false;
    if (row >= 0 && m_model.Retry(static_cast<std::size_t>(row))) tmrProgress->start();
    Refresh();
}

void frmMultiUpgrade::cmdClose_Click() {
    Log("cmdClose_Click", LEVEL_WATCH);
    if (!CloseRefused()) done(QDialog::Accepted);
}

void frmMultiUpgrade::reject() {
    if (!CloseRefused()) QDialog::reject();
}

void frmMultiUpgrade::closeEvent(QCloseEvent* event) {
    if (CloseRefused())
        event->ignore();
    else
        QDialog::closeEvent(event);
}

bool frmMultiUpgrade::CloseRefused() {
    if (!m_model.Downloading()) return false;
    // Nothing may interrupt a download: the device would be left in download mode.
    m_closeRefused = true;
    Refresh();
    return true;
}

void frmMultiUpgrade::Refresh() {
    const MultiUpgradeView v = m_model.Snapshot();
    lblFile->setText(v.fileName.empty() ? QString("No firmware file chosen.")
                                        : "Firmware file: " + QString::fromStdString(v.fileName) +
                                              (v.fileVersion.empty() ? QString()
                                                                     : ", version " + UiText(v.fileVersion)));
    QString notice = UiText(v.notice);
    if (m_closeRefused && v.downloading) notice += " The window closes once every download has ended.";
    lblNotice->setText(notice);
    for (int r = 0; r < tblDevices->rowCount() && r < static_cast<int>(v.rows.size()); ++r) {
        const MultiUpgradeRow& row = v.rows[static_cast<std::size_t>(r)];
        tblDevices->item(r, COL_NAME)->setText(WireText(row.name));
        tblDevices->item(r, COL_MAC)->setText(UiText(row.mac));
        tblDevices->item(r, COL_CURRENT)->setText(row.currentVersion.empty() ? "unknown" : UiText(row.currentVersion));
        tblDevices->item(r, COL_NEW)->setText(UiText(row.newVersion));
        tblDevices->item(r, COL_FITS)->setText(UiText(row.fitText));
        tblDevices->item(r, COL_STAGE)->setText(UiText(row.stage));
        QTableWidgetItem* result = tblDevices->item(r, COL_RESULT);
        result->setText(UiText(row.result));
        result->setForeground(row.state == MultiUpgradeRow::State::Failed     ? QBrush(QColor(0xb0, 0, 0))
                              : row.state == MultiUpgradeRow::State::Upgraded ? QBrush(QColor(0, 0x80, 0))
                                                                               : QBrush(palette().text()));
        static_cast<QProgressBar*>(tblDevices->cellWidget(r, COL_PROGRESS))->setValue(row.percent);
        auto* retry = static_cast<QPushButton*>(tblDevices->cellWidget(r, COL_RETRY));
        retry->setVisible(row.canRetry);
        retry->setEnabled(row.canRetry && !v.downloading);
    }
    cmdStart->setEnabled(v.canStart && !v.downloading);
    cmdClose->setEnabled(!v.downloading);
    if (!v.downloading) tmrProgress->stop();
}

void ShowMultiUpgrade(std::vector<std::shared_ptr<clsZarn>> devices, QWidget* parent) {
    if (devices.empty()) return;
    std::string title = ResString(4046);
    if (title.empty()) title = "KVR - Select Firmware File";
    std::string filter = ResString(4047);
    if (filter.empty()) filter = "KVR Firmware File";
    const QString path =
        QFileDialog::getOpenFileName(parent, UiText(title), QString::fromStdString(FirmwareWizardModel::LastQfwDownloaded()),
                                     UiText(filter + " (*.qfw)"), nullptr, QFileDialog::ReadOnly);
    if (path.isEmpty()) return;
    frmMultiUpgrade dialog(std::move(devices), parent);
    if (dialog.SetFile(path.toStdString())) FirmwareWizardModel::SaveLastQfwDownloaded(path.toStdString());
    dialog.exec();
}

}  // namespace kvr
