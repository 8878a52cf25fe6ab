#pragma once
// The main window: lists the devices of the last discovery (sortable, several
// selectable, the selection kept by MAC across rediscoveries) and offers
// rediscovery, the profile editor, the firmware wizard, a guided search for
// a new device, saving the list, help and the "Corvane compatibility"
// switch. In automated mode its timer drives the steps of an attended run.
#include <QMainWindow>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class clsZarn;
class clsZarnPool;

namespace kvr {
class frmDiscover;
}

namespace kvr {

class frmZarni : public QMainWindow {
    Q_OBJECT
public:
    explicit frmZarni(QWidget* parent = nullptr);
    ~frmZarni() override;

    // Form_Load: icon, banner, check box, caption; then discovery.
    void Form_Load();
    // (Re)discovers and fills the list.
    void Discover();
    // What the Discover button does: the adapters are scanned again, then the
    // list is searched again, keeping the selected devices selected. Every
    // change made to a device (wizard, profile editor) ends with it. Nothing
    // happens while a discovery or an automated step runs.
    void Rediscover();

    // The devices of the selected rows, in the list's order.
    std::vector<std::shared_ptr<clsZarn>> SelectedDevices() const;

    // Writes the listed devices to `path`: JSON when it ends in ".json", CSV
    // otherwise, with the fields of `--list --json`. The file is either whole
    // or left as it was; a failure is shown in a message box. True when written.
    bool SaveDeviceList(const std::string& path);
    // The size the window opens with (on a screen large enough): every
    // column shows in full for a 32-character device name.
    QSize DefaultSize() const;
    // How long "Add KVR..." waits for a new device to answer.
    void SetAddZarnTimeoutMs(std::int64_t ms) { m_addZarnTimeoutMs = ms; }

    // Windows of later work hook in here: the profile editor and the firmware
    // wizard for a device, and one step of an automated run (its result
    // decides whether the automation timer keeps running). Until a hook is
    // set, the buttons log what they would open.
    using DeviceWindowOpener = std::function<void(clsZarn& zarn, QWidget* parent)>;
    // The firmware wizard keeps the pool's device for as long as it runs (a
    // discovery meanwhile empties the pool).
    using FirmwareOpener = std::function<void(std::shared_ptr<clsZarn> zarn, QWidget* parent)>;
    using AutomationStep = std::function<long()>;
    void SetProfilesOpener(DeviceWindowOpener opener) { m_openProfiles = std::move(opener); }
    void SetFirmwareOpener(FirmwareOpener opener) { m_openFirmware = std::move(opener); }
    // Firmware with several devices selected: one window upgrades them all;
    // the list is searched again once it closes.
    using SeveralFirmwareOpener = std::function<void(std::vector<std::shared_ptr<clsZarn>> zarns, QWidget* parent)>;
    void SetSeveralFirmwareOpener(SeveralFirmwareOpener opener) { m_openSeveralFirmware = std::move(opener); }
    void SetAutomationStep(AutomationStep step) { m_automationStep = std::move(step); }
    // Runs when the window unloads in automated mode (ends the automation record).
    void SetAutomationAbort(std::function<void()> abort) { m_automationAbort = std::move(abort); }
    // Whether a device takes the firmware file of an automated run; devices it
    // refuses are listed as incompatible (without a test every device fits).
    using FirmwareFit = std::function<bool(const clsZarn& zarn)>;
    void SetAutomationFirmwareFit(FirmwareFit fits) { m_firmwareFits = std::move(fits); }
    // Firmware in an automated run names the selected device (its MAC as 12
    // hex digits) as the run's target before the next step runs.
    void SetAutomationTarget(std::function<void(const std::string& mac)> target) {
        m_automationTarget = std::move(target);
    }
    // A menu for the windows that come later (status window ...); hidden
    // while it is empty.
    void AddToolsAction(QAction* action);

    QTimer* AutomationTimer() const { return tmrAutomationScheduler; }
    // 0 unless an automated run failed (the program's exit status).
    int ExitStatus() const { return m_exitStatus; }

    // Event handlers.
    void cmdDiscover_Click();
    void cmdProfiles_Click();
    void cmdFirmware_Click();
    void cmdHelp_Click();
    void cmdClose_Click();
    void cmdAddZarn_Click();
    void mnuSaveList_Click();
    void lvZarn_ItemClick(QTreeWidgetItem* item);
    void lvZarn_DblClick();
    void cmdModifiedSNAP_Click();
    void tmrAutomationScheduler_Timer();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Unload();
    bool FitsFirmwareFile(const clsZarn& zarn) const;
    QString Caption() const;
    void UpdateButtons();
    void RememberSelection();
    void RestoreSelection();

    QLabel* Picture1 = nullptr;
    QLabel* Label3 = nullptr;
    QTreeWidget* lvZarn = nullptr;
    QLabel* lblStatus = nullptr;
    QFrame* fraButtons = nullptr;
    QPushButton* cmdDiscover = nullptr;
    QPushButton* cmdProfiles = nullptr;
    QPushButton* cmdFirmware = nullptr;
    QPushButton* cmdAddZarn = nullptr;
    QPushButton* cmdHelp = nullptr;
    QPushButton* cmdClose = nullptr;
    QCheckBox* chkModifiedSNAP = nullptr;
    QTimer* tmrAutomationScheduler = nullptr;
    QMenu* mnuFile = nullptr;
    QMenu* mnuTools = nullptr;

    DeviceWindowOpener m_openProfiles;
    FirmwareOpener m_openFirmware;
    SeveralFirmwareOpener m_openSeveralFirmware;
    AutomationStep m_automationStep;
    std::function<void()> m_automationAbort;
    FirmwareFit m_firmwareFits;
    std::function<void(const std::string& mac)> m_automationTarget;
    // The MACs of the selected rows and of the current row, for the next list.
    std::vector<std::string> m_keptSelection;
    std::string m_keptCurrent;
    std::int64_t m_addZarnTimeoutMs = 60000;
    bool m_unloaded = false;
    bool m_discovering = false;
    bool m_inAutomationStep = false;
    bool m_closeRequested = false;
    QString m_profileHeader;
    QPointer<frmDiscover> m_discoverDialog;
    int m_exitStatus = 0;
};

}  // namespace kvr
