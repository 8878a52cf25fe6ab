#pragma once
// The profile editor window: one tab per profile of a device, the device's
// name, and the selected profile's network, security, address and proxy
// settings. Everything it decides comes from kvr::profiles::ProfileEditor; the
// window copies its controls into the model, calls the model's handler and
// redraws. Requests go through the command progress dialog.
#include <QDialog>
#include <array>
#include <memory>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTabBar;
class clsZarn;

namespace kvr::profiles {
class ProfileEditor;
class ProfileExchange;
}  // namespace kvr::profiles

namespace kvr {

class frmProfiles : public QDialog {
    Q_OBJECT
public:
    explicit frmProfiles(QWidget* parent = nullptr);
    ~frmProfiles() override;

    // Shows the editor for the device modally; returns when it closes. A first
    // read that fails closes it at once.
    void Init(clsZarn& device);
    // Form_Load for the device: the tabs, the name, and the first read.
    void Load(clsZarn& device);
    // Makes profile NewActiveProfile the device's active profile.
    bool SetNewActiveProfile();

    clsZarn* ZarnToEdit = nullptr;
    int NewActiveProfile = 0;
    profiles::ProfileEditor* Model() { return m_model.get(); }
    // Replaces the command dialog as the way to the device (before Load).
    void SetExchange(std::unique_ptr<profiles::ProfileExchange> exchange);

    // Event handlers.
    void tbsProfiles_Click(int index);
    void cmdApply_Click();
    void cmdApplyName_Click();
    void cmdRefresh_Click();
    void cmdClose_Click();
    void cmdOK_Click();
    void cmdHelp_Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    void ReadControls();
    void Redraw();
    void Show(QLineEdit* box, const std::string& text);
    // Copies the controls into the model and runs its handler; `source` is the
    // text box being typed in, which the redraw leaves alone.
    void Edited(void (profiles::ProfileEditor::*handler)(), QLineEdit* source = nullptr);

    QLineEdit* ebZarnName = nullptr;
    QPushButton* cmdApplyName = nullptr;
    QTabBar* tbsProfiles = nullptr;
    QGroupBox* Frame2 = nullptr;
    QLineEdit* ebName = nullptr;
    QGroupBox* fraSettings = nullptr;
    QLineEdit* ebZarnSsid = nullptr;
    QCheckBox* ckZarnAdHoc = nullptr;
    QComboBox* cmbEncryption = nullptr;
    QGroupBox* fraWEP = nullptr;
    QLineEdit* txtZarnWep = nullptr;
    QComboBox* cbKeyIndex = nullptr;
    QGroupBox* fraWPA = nullptr;
    QLineEdit* txtWpaPassphrase = nullptr;
    QComboBox* cmbCipher = nullptr;
    QStackedWidget* m_networkStack = nullptr;   // proxy and DHCP frames, or the info frame in front
    QGroupBox* fraProxy = nullptr;
    QCheckBox* cbUseProxy = nullptr;
    QLineEdit* ebProxyServer = nullptr;
    QLineEdit* ebProxyPort = nullptr;
    QGroupBox* fraDHCP = nullptr;
    QCheckBox* cbDHCP = nullptr;
    std::array<QLineEdit*, 5> m_addressBoxes{};  // ebIPAddress, ebNetmask, ebGateway, ebDNS1, ebDNS2
    QGroupBox* fraInfo = nullptr;
    QCheckBox* cbActive = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* lblEditWarning = nullptr;
    QLabel* lbWarning = nullptr;
    QPushButton* cmdApply = nullptr;
    QPushButton* cmdRefresh = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;
    QPushButton* cmdClose = nullptr;
    QPushButton* cmdHelp = nullptr;

    std::unique_ptr<profiles::ProfileExchange> m_exchange;
    std::unique_ptr<profiles::ProfileEditor> m_model;
    bool m_updating = false;
    QLineEdit* m_editing = nullptr;
};

}  // namespace kvr
