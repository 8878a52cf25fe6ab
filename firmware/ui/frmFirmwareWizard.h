#pragma once
// The firmware wizard window: four pages in a stack beside the page's
// picture, with Previous, Next, Cancel, Help and (on the last page) Finish.
// All decisions are FirmwareWizardModel's; the window shows its View() and
// hands the clicks over. Next on page 2 runs the download; while it runs
// every button is disabled and Escape or the close button do nothing.
#include <QDialog>
#include <cstdint>
#include <memory>

#include "FirmwareWizardModel.h"
#include "QtSeams.h"

class QCheckBox;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class clsZarn;

namespace kvr {

class frmFirmwareWizard : public QDialog {
    Q_OBJECT
public:
    // Services left empty get the window's own: the file dialog for
    // ChooseFile and the help window for ShowHelp.
    explicit frmFirmwareWizard(FirmwareWizardServices services, QWidget* parent = nullptr);
    ~frmFirmwareWizard() override;

    // Opens the device's adapter and keeps the device, then loads page 1;
    // false when the adapter cannot be opened (the window must not be shown).
    bool Init(std::shared_ptr<clsZarn> device);
    // Uses the caller's open adapter, shows the wizard modally and returns
    // whether a download went in.
    bool InitEx(std::shared_ptr<clsZarn> device, std::int32_t hNIC);

    bool UploadImageOnly() const { return m_model.UploadImageOnly(); }
    void SetUploadImageOnly(bool value) { m_model.SetUploadImageOnly(value); }
    void SetFileName(const std::string& fileName) { m_model.SetFileName(fileName); }
    void GotoStep(int page) { m_model.GotoStep(page); }
    void Advance();

    FirmwareWizardModel& Model() { return m_model; }

    // Event handlers.
    void cmdNext_Click();
    void cmdPrevious_Click();
    void cmdCancel_Click();
    void cmdFinish_Click();
    void cmdHelp_Click();
    void cbUploadImageOnly_Click(bool checked);
    void chkOverrideHardwareCompatibility_Click(bool checked);

public slots:
    void reject() override;  // Escape

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void Form_Load();
    void Form_Unload();
    void Refresh();
    void CloseWhenUnloaded();
    std::string ChooseFile(const std::string& title, const std::string& filter, const std::string& initialFile);

    FirmwareWizardModel m_model;
    QtProgressBar m_barDownloadMode, m_barErase, m_barUpload;
    bool m_closing = false;
    bool m_busyCursor = false;

    QLabel* picStep = nullptr;
    QStackedWidget* stkPages = nullptr;
    QFrame* fraStep1 = nullptr;
    QFrame* fraStep2 = nullptr;
    QFrame* fraUpload = nullptr;
    QFrame* fraStep3 = nullptr;
    QLabel* ZarnLabel = nullptr;
    QLabel* lbHardwareVersion = nullptr;
    QLabel* lblBootloaderVersion = nullptr;
    QLabel* lbFirmwareVersion = nullptr;
    QLabel* lbFirmwareDate = nullptr;
    QCheckBox* chkOverrideHardwareCompatibility = nullptr;
    QLabel* lbFileName = nullptr;
    QLabel* lblNewFirmwareVersion = nullptr;
    QLabel* lblNewFirmwareDate = nullptr;
    QLabel* lblCurrentFirmwareVersion = nullptr;
    QLabel* lblCurrentFirmwareDate = nullptr;
    QLabel* lblWarnings = nullptr;
    QCheckBox* cbUploadImageOnly = nullptr;
    QLabel* lblFirmwareSelectionWarning = nullptr;
    QProgressBar* pgbDownloadMode = nullptr;
    QProgressBar* pgbErase = nullptr;
    QProgressBar* pgbUpload = nullptr;
    QLabel* lblUploadStatus = nullptr;
    QLabel* lblSuccess = nullptr;
    QLabel* lblResult = nullptr;
    QPushButton* cmdPrevious = nullptr;
    QPushButton* cmdNext = nullptr;
    QPushButton* cmdCancel = nullptr;
    QPushButton* cmdHelp = nullptr;
    QPushButton* cmdFinish = nullptr;
};

// What the main window's Firmware button opens: the wizard for the device,
// bound to the real check and download.
void ShowFirmwareWizard(std::shared_ptr<clsZarn> device, QWidget* parent);

}  // namespace kvr
