#pragma once
// Several devices upgraded from one click: one row per selected device (name,
// MAC, current and new version, whether the file fits, a progress bar, the
// stage, the result, and Retry on a failed row), Start and Close. All
// decisions are MultiUpgradeModel's; the window shows its snapshot, polled on
// the window's own thread while the devices are worked on. Closing (the
// close button, Escape, Close) is refused while a download runs.
#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "MultiUpgradeModel.h"

class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;
class clsZarn;

namespace kvr {

class frmMultiUpgrade : public QDialog {
    Q_OBJECT
public:
    enum Column { COL_NAME, COL_MAC, COL_CURRENT, COL_NEW, COL_FITS, COL_PROGRESS, COL_STAGE, COL_RESULT,
                  COL_RETRY, COL_COUNT };

    explicit frmMultiUpgrade(std::vector<std::shared_ptr<clsZarn>> devices, QWidget* parent = nullptr,
                             int parallel = kDefaultParallel);
    ~frmMultiUpgrade() override;

    // The chosen file, checked once and judged against every device.
    bool SetFile(const std::string& fileName);
    const MultiUpgradeModel& Model() const { return m_model; }

    // Event handlers.
    void cmdStart_Click();
    void cmdClose_Click();
    void cmdRetry_Click(int row);

public slots:
    void reject() override;  // Escape

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Refresh();
    // True (with a word on the notice line) while closing must wait.
    bool CloseRefused();

    MultiUpgradeModel m_model;
    bool m_closeRefused = false;
    QLabel* lblFile = nullptr;
    QLabel* lblNotice = nullptr;
    QTableWidget* tblDevices = nullptr;
    QPushButton* cmdStart = nullptr;
    QPushButton* cmdClose = nullptr;
    QTimer* tmrProgress = nullptr;
};

// What the main window's Firmware button opens for several devices: the file
// dialog, then this window with the chosen file.
void ShowMultiUpgrade(std::vector<std::shared_ptr<clsZarn>> devices, QWidget* parent);

}  // namespace kvr
