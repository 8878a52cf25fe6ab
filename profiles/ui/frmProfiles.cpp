#include "frmProfiles.h"

#include <algorithm>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTabBar>
#include <QVBoxLayout>

#include "LocalizeForm.h"
#include "ProfileEditor.h"
#include "Seams.h"
#include "UiResources.h"
#include "basDebug.h"
#include "clsPayload.h"
#include "clsSnapResponse.h"
#include "clsZarn.h"
#include "frmCommand.h"

namespace kvr {
namespace {

using profiles::Control;
using profiles::ProfileEditor;

const ModuleLog Log("frmProfiles");

// Requests go through the command progress dialog.
class CommandDialogExchange : public profiles::ProfileExchange {
public:
    explicit CommandDialogExchange(QWidget* parent) : m_parent(parent) {}
    bool Send(clsZarn& zarn, clsPayload& payload, std::uint8_t frameType, const std::string& title, long attempts,
              float retryIntervalS, std::shared_ptr<clsSnapResponse>& response) override {
        frmCommand dialog(m_parent);
        dialog.setWindowTitle(UiText(title));
        if (attempts > 0)
            return dialog.InitSendCustom(zarn, payload, frameType, response, attempts, false, retryIntervalS);
        return dialog.InitSend(zarn, payload, frameType, response, false);
    }

private:
    QWidget* m_parent;
};

// The text as the device stores it. A character outside Latin-1 becomes '?'
// and clears `latin1`.
std::string Latin1(const QString& text, bool& latin1) {
    latin1 = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xFF; });
    return text.toLatin1().toStdString();
}

std::string Latin1(const QString& text) {
    bool latin1 = true;
    return Latin1(text, latin1);
}

template <class W>
W* Named(W* widget, const char* name, long textId = 0, long toolTipId = 0) {
    widget->setObjectName(name);
    if (textId) widget->setProperty("textId", static_cast<int>(textId));
    if (toolTipId) widget->setProperty("toolTipId", static_cast<int>(toolTipId));
    return widget;
}

QLabel* Caption(QWidget* parent, long textId) {
    auto* label = new QLabel(parent);
    label->setProperty("textId", static_cast<int>(textId));
    return label;
}

// Background of a box: red in error, button face when locked, else the window background.
void Paint(QWidget* box, bool error, bool locked) {
    QPalette p = box->palette();
    const QPalette standard = QApplication::palette(box);
    p.setColor(QPalette::Base, error ? QColor(255, 0, 0) : locked ? standard.color(QPalette::Button)
                                                                  : standard.color(QPalette::Base));
    box->setPalette(p);
}

}  // namespace

frmProfiles::frmProfiles(QWidget* parent) : QDialog(parent) {
    setObjectName("frmProfiles");
    setProperty("textId", 3200);
    setModal(true);
    m_exchange = std::make_unique<CommandDialogExchange>(this);

    auto* top = new QHBoxLayout;
    top->addWidget(Named(new QLabel(this), "Label1", 3201));
    ebZarnName = Named(new QLineEdit(this), "ebZarnName", 0, 3279);
    ebZarnName->setMaxLength(32);
    top->addWidget(ebZarnName, 1);
    cmdApplyName = Named(new QPushButton(this), "cmdApplyName", 3248, 3295);
    top->addWidget(cmdApplyName);

    tbsProfiles = Named(new QTabBar(this), "tbsProfiles");
    tbsProfiles->setExpanding(false);

    Frame2 = Named(new QGroupBox(this), "Frame2", 3263);
    auto* frameLayout = new QVBoxLayout(Frame2);
    auto* nameRow = new QFormLayout;
    ebName = Named(new QLineEdit(Frame2), "ebName", 0, 3281);
    ebName->setMaxLength(32);
    nameRow->addRow(Caption(Frame2, 3203), ebName);
    frameLayout->addLayout(nameRow);

    fraSettings = Named(new QGroupBox(Frame2), "fraSettings", 3207);
    auto* settings = new QFormLayout(fraSettings);
    ebZarnSsid = Named(new QLineEdit(fraSettings), "ebZarnSsid", 0, 3282);
    ebZarnSsid->setMaxLength(32);
    settings->addRow(Caption(fraSettings, 3208), ebZarnSsid);
    ckZarnAdHoc = Named(new QCheckBox(fraSettings), "ckZarnAdHoc", 3209, 3283);
    settings->addRow(ckZarnAdHoc);
    cmbEncryption = Named(new QComboBox(fraSettings), "cmbEncryption");
    settings->addRow(Caption(fraSettings, 3235), cmbEncryption);
    fraWEP = Named(new QGroupBox(fraSettings), "fraWEP");
    auto* wep = new QFormLayout(fraWEP);
    txtZarnWep = Named(new QLineEdit(fraWEP), "txtZarnWep", 0, 3285);
    txtZarnWep->setMaxLength(26);
    wep->addRow(Caption(fraWEP, 3211), txtZarnWep);
    cbKeyIndex = Named(new QComboBox(fraWEP), "cbKeyIndex", 0, 3297);
    for (long id = 3240; id <= 3243; ++id) cbKeyIndex->addItem(ResText(id));
    wep->addRow(Caption(fraWEP, 3228), cbKeyIndex);
    settings->addRow(fraWEP);
    fraWPA = Named(new QGroupBox(fraSettings), "fraWPA");
    auto* wpa = new QFormLayout(fraWPA);
    txtWpaPassphrase = Named(new QLineEdit(fraWPA), "txtWpaPassphrase");
    txtWpaPassphrase->setMaxLength(63);
    wpa->addRow(Caption(fraWPA, 3236), txtWpaPassphrase);
    cmbCipher = Named(new QComboBox(fraWPA), "cmbCipher");
    cmbCipher->addItems({"unknown", "AES", "TKIP"});
    wpa->addRow(Caption(fraWPA, 3239), cmbCipher);
    settings->addRow(fraWPA);
    frameLayout->addWidget(fraSettings);

    auto* network = new QWidget(Frame2);
    auto* networkLayout = new QHBoxLayout(network);
    networkLayout->setContentsMargins(0, 0, 0, 0);
    fraProxy = Named(new QGroupBox(network), "fraProxy");
    auto* proxy = new QFormLayout(fraProxy);
    cbUseProxy = Named(new QCheckBox(fraProxy), "cbUseProxy", 3212, 3286);
    proxy->addRow(cbUseProxy);
    ebProxyServer = Named(new QLineEdit(fraProxy), "ebProxyServer", 0, 3287);
    ebProxyServer->setMaxLength(255);
    proxy->addRow(Caption(fraProxy, 3213), ebProxyServer);
    ebProxyPort = Named(new QLineEdit(fraProxy), "ebProxyPort", 0, 3288);
    ebProxyPort->setMaxLength(5);
    proxy->addRow(Caption(fraProxy, 3214), ebProxyPort);
    networkLayout->addWidget(fraProxy);
    fraDHCP = Named(new QGroupBox(network), "fraDHCP");
    auto* dhcp = new QFormLayout(fraDHCP);
    cbDHCP = Named(new QCheckBox(fraDHCP), "cbDHCP", 3215, 3289);
    dhcp->addRow(cbDHCP);
    const char* boxNames[5] = {"ebIPAddress", "ebNetmask", "ebGateway", "ebDNS1", "ebDNS2"};
    for (int i = 0; i < 5; ++i) {
        m_addressBoxes[static_cast<std::size_t>(i)] = Named(new QLineEdit(fraDHCP), boxNames[i], 0, 3290 + i);
        m_addressBoxes[static_cast<std::size_t>(i)]->setMaxLength(15);
        dhcp->addRow(Caption(fraDHCP, 3216 + i), m_addressBoxes[static_cast<std::size_t>(i)]);
    }
    networkLayout->addWidget(fraDHCP);
    fraInfo = Named(new QGroupBox(Frame2), "fraInfo", 3230);
    auto* info = new QVBoxLayout(fraInfo);
    for (long id : {3231L, 3232L, 3233L}) {
        QLabel* l = Caption(fraInfo, id);
        l->setWordWrap(true);
        info->addWidget(l);
    }
    info->addStretch();
    m_networkStack = new QStackedWidget(Frame2);
    m_networkStack->addWidget(network);
    m_networkStack->addWidget(fraInfo);
    frameLayout->addWidget(m_networkStack);

    auto* activeRow = new QHBoxLayout;
    cbActive = Named(new QCheckBox(Frame2), "cbActive", 3202, 3280);
    activeRow->addWidget(cbActive);
    activeRow->addStretch();
    Image1 = Named(new QLabel(Frame2), "Image1");
    Image1->setPixmap(style()->standardIcon(QStyle::SP_DialogApplyButton).pixmap(16, 16));
    activeRow->addWidget(Image1);
    activeRow->addWidget(Named(new QLabel(Frame2), "lblActivePicture", 3229));
    frameLayout->addLayout(activeRow);

    lblEditWarning = Named(new QLabel(this), "lblEditWarning", 3250);
    QFont bold = lblEditWarning->font();
    bold.setBold(true);
    bold.setPointSize(14);
    lblEditWarning->setFont(bold);
    lblEditWarning->setStyleSheet("color: red");
    lbWarning = Named(new QLabel(this), "lbWarning", 3204);
    lbWarning->setWordWrap(true);

    auto* buttons = new QHBoxLayout;
    cmdApply = Named(new QPushButton(this), "cmdApply", 3246, 3295);
    cmdRefresh = Named(new QPushButton(this), "cmdRefresh", 3249, 3313);
    cmdOK = Named(new QPushButton(this), "cmdOK", 1501);
    cmdCancel = Named(new QPushButton(this), "cmdCancel", 1500);
    cmdClose = Named(new QPushButton(this), "cmdClose", 3251);
    cmdHelp = Named(new QPushButton(this), "cmdHelp", 1502);
    for (QPushButton* b : {cmdApply, cmdRefresh, cmdOK, cmdCancel, cmdClose, cmdHelp}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(tbsProfiles);
    layout->addWidget(Frame2);
    layout->addWidget(lblEditWarning);
    layout->addWidget(lbWarning);
    layout->addLayout(buttons);
    LocalizeForm(this);

    // Edits: the window's values go into the model, then its handler runs.
    for (QLineEdit* e : {ebName, ebZarnSsid, ebProxyServer, ebProxyPort})
        connect(e, &QLineEdit::textEdited, this, [this, e] { Edited(&ProfileEditor::FieldEdited, e); });
    for (QLineEdit* e : m_addressBoxes)
        connect(e, &QLineEdit::textEdited, this, [this, e] { Edited(&ProfileEditor::FieldEdited, e); });
    for (QCheckBox* c : {ckZarnAdHoc, cbUseProxy})
        connect(c, &QCheckBox::clicked, this, [this] { Edited(&ProfileEditor::FieldEdited); });
    connect(txtZarnWep, &QLineEdit::textEdited, this, [this] { Edited(&ProfileEditor::WepKeyEdited, txtZarnWep); });
    connect(cbKeyIndex, &QComboBox::activated, this, [this] { Edited(&ProfileEditor::KeyIndexChosen); });
    connect(txtWpaPassphrase, &QLineEdit::textEdited, this,
            [this] { Edited(&ProfileEditor::PassphraseEdited, txtWpaPassphrase); });
    connect(cmbCipher, &QComboBox::activated, this, [this] { Edited(&ProfileEditor::PassphraseEdited); });
    connect(cmbEncryption, &QComboBox::activated, this, [this] { Edited(&ProfileEditor::EncryptionChosen); });
    connect(cbDHCP, &QCheckBox::clicked, this, [this] { Edited(&ProfileEditor::DhcpClicked); });
    connect(ebZarnName, &QLineEdit::textEdited, this, [this] {
        if (!m_model) return;
        m_model->deviceName = Latin1(ebZarnName->text(), m_model->deviceNameLatin1);
        m_editing = ebZarnName;
        m_model->DeviceNameEdited();
        m_editing = nullptr;
    });
    connect(cbActive, &QCheckBox::clicked, this, [this](bool ticked) {
        if (m_model) m_model->MakeActiveClicked(ticked);
    });
    connect(tbsProfiles, &QTabBar::currentChanged, this, [this](int index) {
        if (!m_updating) tbsProfiles_Click(index);
    });
    connect(cmdApply, &QPushButton::clicked, this, &frmProfiles::cmdApply_Click);
    connect(cmdApplyName, &QPushButton::clicked, this, &frmProfiles::cmdApplyName_Click);
    connect(cmdRefresh, &QPushButton::clicked, this, &frmProfiles::cmdRefresh_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmProfiles::cmdClose_Click);
    connect(cmdOK, &QPushButton::clicked, this, &frmProfiles::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmProfiles::reject);
    connect(cmdHelp, &QPushButton::clicked, this, &frmProfiles::cmdHelp_Click);
}

frmProfiles::~frmProfiles() = default;

void frmProfiles::SetExchange(std::unique_ptr<profiles::ProfileExchange> exchange) {
    m_exchange = std::move(exchange);
}

void frmProfiles::Init(clsZarn& device) {
    Load(device);
    if (!m_model || !m_model->Ready()) return;  // the first read failed: the window closes at once
    exec();
}

void frmProfiles::Load(clsZarn& device) {
    try {
        ZarnToEdit = &device;
        m_model = std::make_unique<ProfileEditor>(device, *m_exchange);
        m_model->onChanged = [this] { Redraw(); };
        m_model->onEnable = [this](bool on) { setEnabled(on); };
        const int first = m_model->Load();
        m_updating = true;
        while (tbsProfiles->count() > 0) tbsProfiles->removeTab(0);
        for (int i = 0; i < m_model->TabCount(); ++i) tbsProfiles->addTab("Profile " + QString::number(i));
        m_updating = false;
        cbKeyIndex->setCurrentIndex(0);
        Redraw();
        m_model->ActivateProfile(first);
    } catch (const std::exception&) {
        LogTrappedError(Log, "Form_Load");
        CurrentPrompter().Ask(ResString(3260), ResString(3200), PromptButtons::OK, PromptIcon::Critical);
    }
}

bool frmProfiles::SetNewActiveProfile() { return m_model && m_model->SetNewActiveProfile(NewActiveProfile); }

void frmProfiles::Edited(void (ProfileEditor::*handler)(), QLineEdit* source) {
    if (!m_model || m_updating) return;
    ReadControls();
    m_editing = source;
    (m_model.get()->*handler)();
    m_editing = nullptr;
}

void frmProfiles::ReadControls() {
    profiles::ProfileFields& f = m_model->fields;
    f.notLatin1.clear();
    // The texts the device stores, noting each box it could not store as typed.
    auto text = [&f](const QLineEdit* box, Control control) {
        bool latin1 = true;
        std::string value = Latin1(box->text(), latin1);
        if (!latin1) f.notLatin1.push_back(control);
        return value;
    };
    f.profileName = text(ebName, Control::ebName);
    f.ssid = text(ebZarnSsid, Control::ebZarnSsid);
    f.adhoc = ckZarnAdHoc->isChecked();
    f.encryption = cmbEncryption->currentIndex();
    f.wepKey = text(txtZarnWep, Control::txtZarnWep);
    f.keyIndex = cbKeyIndex->currentIndex();
    f.passphrase = text(txtWpaPassphrase, Control::txtWpaPassphrase);
    f.cipher = cmbCipher->currentIndex();
    f.useProxy = cbUseProxy->isChecked();
    f.proxyServer = text(ebProxyServer, Control::ebProxyServer);
    f.proxyPort = Latin1(ebProxyPort->text());
    f.dhcp = cbDHCP->isChecked();
    for (std::size_t i = 0; i < 5; ++i) f.addresses[i] = Latin1(m_addressBoxes[i]->text());
}

// setText moves the cursor to the end and drops the selection, the undo
// history and an input-method composition: a box is only written when the
// model holds something else than it shows, and never while it is edited.
void frmProfiles::Show(QLineEdit* box, const std::string& text) {
    if (box == m_editing || Latin1(box->text()) == text) return;
    box->setText(WireText(text));
}

void frmProfiles::Redraw() {
    if (!m_model) return;
    m_updating = true;
    const profiles::ProfileFields& f = m_model->fields;
    const profiles::ControlStates s = m_model->States();

    Show(ebZarnName, m_model->deviceName);
    Paint(ebZarnName, m_model->DeviceNameInError(), false);
    const QIcon marker = style()->standardIcon(QStyle::SP_DialogApplyButton);
    for (int i = 0; i < tbsProfiles->count(); ++i) tbsProfiles->setTabIcon(i, i == m_model->MarkedTab() ? marker : QIcon());
    if (m_model->ProfileShown() >= 0 && m_model->ProfileShown() < tbsProfiles->count())
        tbsProfiles->setCurrentIndex(m_model->ProfileShown());

    Show(ebName, f.profileName);
    Show(ebZarnSsid, f.ssid);
    ckZarnAdHoc->setChecked(f.adhoc);
    QStringList entries;
    for (const std::string& e : m_model->EncryptionEntries()) entries << QString::fromStdString(e);
    QStringList shown;
    for (int i = 0; i < cmbEncryption->count(); ++i) shown << cmbEncryption->itemText(i);
    if (shown != entries) {
        cmbEncryption->clear();
        cmbEncryption->addItems(entries);
    }
    cmbEncryption->setCurrentIndex(f.encryption);
    Show(txtZarnWep, f.wepKey);
    cbKeyIndex->setCurrentIndex(f.keyIndex);
    Show(txtWpaPassphrase, f.passphrase);
    cmbCipher->setCurrentIndex(f.cipher);
    cbUseProxy->setChecked(f.useProxy);
    Show(ebProxyServer, f.proxyServer);
    Show(ebProxyPort, f.proxyPort);
    cbDHCP->setChecked(f.dhcp);
    for (std::size_t i = 0; i < 5; ++i) {
        Show(m_addressBoxes[i], f.addresses[i]);
        m_addressBoxes[i]->setEnabled(s.addressBoxes);
    }
    cbActive->setChecked(m_model->cbActive);

    txtZarnWep->setEnabled(s.txtZarnWep);
    cbKeyIndex->setEnabled(s.cbKeyIndex && !s.readOnly);
    txtWpaPassphrase->setEnabled(s.txtWpaPassphrase);
    cmbCipher->setEnabled(s.cmbCipher);
    fraWEP->setVisible(s.fraWEP);
    fraWPA->setVisible(s.fraWPA);
    ebProxyServer->setEnabled(s.ebProxyServer);
    ebProxyPort->setEnabled(s.ebProxyPort);
    ckZarnAdHoc->setEnabled(s.ckZarnAdHoc);
    cmbEncryption->setEnabled(s.cmbEncryption);
    cbActive->setEnabled(s.cbActive);
    cmdApply->setEnabled(s.cmdApply);
    cmdApplyName->setEnabled(s.cmdApplyName);
    lbWarning->setVisible(s.lbWarning);
    lblEditWarning->setVisible(s.lblEditWarning);
    lblEditWarning->setText(UiText(m_model->EditWarningText()));
    m_networkStack->setCurrentWidget(s.readOnly ? static_cast<QWidget*>(fraInfo) : m_networkStack->widget(0));

    // Profile 0 is locked; boxes that failed the validation are red.
    for (QLineEdit* e : {ebName, ebZarnSsid, txtZarnWep}) e->setReadOnly(s.readOnly);
    auto failed = [this](const QWidget* w) {
        for (const auto& failure : m_model->Failures())
            if (w->objectName() == profiles::ControlName(failure.control)) return true;
        return false;
    };
    for (QWidget* w : std::initializer_list<QWidget*>{ebName, ebZarnSsid, txtZarnWep, cbKeyIndex, txtWpaPassphrase,
                                                      cmbCipher, ebProxyServer, ebProxyPort, m_addressBoxes[0],
                                                      m_addressBoxes[1], m_addressBoxes[2], m_addressBoxes[3],
                                                      m_addressBoxes[4]}) {
        const bool lockable = w == ebName || w == ebZarnSsid || w == txtZarnWep;
        Paint(w, failed(w), lockable && s.readOnly);
    }
    m_updating = false;
}

void frmProfiles::tbsProfiles_Click(int index) {
    if (!m_model) return;
    m_model->TabClicked(index);
    Redraw();
}

void frmProfiles::cmdApply_Click() {
    if (!m_model) return;
    ReadControls();
    m_model->Apply();
    cmdClose->setEnabled(true);
}

void frmProfiles::cmdApplyName_Click() {
    if (m_model) m_model->ApplyName();
}

void frmProfiles::cmdRefresh_Click() {
    if (m_model) m_model->Refresh(tbsProfiles->currentIndex());
}

void frmProfiles::cmdClose_Click() {
    if (!m_model || m_model->CloseRequested()) done(QDialog::Accepted);
}

void frmProfiles::cmdOK_Click() {
    Log("cmdOK_Click", LEVEL_WATCH);
    if (m_model) m_model->OkPressed();
    done(QDialog::Accepted);
}

void frmProfiles::cmdHelp_Click() {
    Log("cmdHelp_Click", LEVEL_WATCH);
    ShowHelp("profiles", this);
}

void frmProfiles::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        cmdHelp_Click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmProfiles::reject() {
    if (m_model && !m_model->CancelRequested()) return;
    QDialog::reject();
}

}  // namespace kvr
