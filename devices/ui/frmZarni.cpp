#include "frmZarni.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "Globals.h"
#include "HexText.h"
#include "LocalizeForm.h"
#include "UiResources.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsNICpool.h"
#include "clsZarnPool.h"
#include "frmDiscover.h"
#include "frmMsg.h"
#include "frmStatus.h"
#include "RefreshNicPool.h"

#ifndef KVR_VERSION_MAJOR
#define KVR_VERSION_MAJOR 0
#define KVR_VERSION_MINOR 0
#define KVR_VERSION_PATCH 0
#endif

namespace kvr {
namespace {

const ModuleLog Log("frmZarni");

enum Column { COL_MAC = 0, COL_NAME, COL_IP, COL_RSSI, COL_PROFILE, COL_COUNT };
// Each row keeps its device's key (the MAC text as discovery read it, without
// colons), so the row finds its device without reading back what it displays.
constexpr int kDeviceKeyRole = Qt::UserRole;
// The list icon's key, kept on each item for whoever inspects the list.
constexpr int kIconKeyRole = Qt::UserRole + 1;

std::string DeviceKey(const QTreeWidgetItem& item) { return FromUi(item.data(COL_MAC, kDeviceKeyRole).toString()); }

QString ActiveProfileText(const clsZarn& z) {
    if (z.ActiveProfile < 0) return {};
    QString compact = WireText(z.ActiveProfileName);
    compact.remove(' ');
    const QString numbered = "Profile" + QString::number(z.ActiveProfile);
    if (compact.compare(numbered, Qt::CaseInsensitive) == 0) return WireText(z.ActiveProfileName);
    return "Profile " + QString::number(z.ActiveProfile) + ": " + WireText(z.ActiveProfileName);
}

}  // namespace

frmZarni::frmZarni(QWidget* parent) : QMainWindow(parent) {
    setObjectName("frmZarni");
    setProperty("textId", 1000);

    auto* central = new QWidget(this);
    setCentralWidget(central);

    Picture1 = new QLabel(central);
    Picture1->setObjectName("Picture1");
    // The banner is wider than any window: it is cut at the right edge.
    Picture1->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    Picture1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    Label3 = new QLabel("Available Zarn Adapters", central);
    Label3->setObjectName("Label3");
    Label3->setProperty("textId", 1008);

    lvZarn = new QTreeWidget(central);
    lvZarn->setObjectName("lvZarn");
    lvZarn->setColumnCount(COL_COUNT);
    lvZarn->setHeaderLabels({"MAC address", "Name", "IP address", "RSSI", "Active profile"});
    lvZarn->setRootIsDecorated(false);
    lvZarn->setUniformRowHeights(true);
    lvZarn->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvZarn->setAllColumnsShowFocus(true);
    lvZarn->setIconSize(QSize(16, 16));
    lvZarn->header()->setStretchLastSection(true);
    lvZarn->header()->resizeSection(COL_MAC, 150);
    lvZarn->header()->resizeSection(COL_NAME, 190);
    lvZarn->header()->resizeSection(COL_IP, 130);
    lvZarn->header()->resizeSection(COL_RSSI, 90);

    lblStatus = new QLabel(central);
    lblStatus->setObjectName("lblStatus");

    chkModifiedSNAP = new QCheckBox("Corvane compatibility", central);
    chkModifiedSNAP->setObjectName("chkModifiedSNAP");

    fraButtons = new QFrame(central);
    fraButtons->setObjectName("fraButtons");
    auto makeButton = [this](const char* name, const char* text, int tipId) {
        auto* b = new QPushButton(text, fraButtons);
        b->setObjectName(name);
        b->setProperty("toolTipId", tipId);
        return b;
    };
    cmdDiscover = makeButton("cmdDiscover", "&Discover...", 1058);
    cmdProfiles = makeButton("cmdProfiles", "&Profiles...", 1056);
    cmdFirmware = makeButton("cmdFirmware", "&Firmware...", 1057);
    cmdAddZarn = makeButton("cmdAddZarn", "&Add KVR...", 1055);
    cmdHelp = makeButton("cmdHelp", "Help", 1050);
    cmdClose = makeButton("cmdClose", "Close", 1059);
    auto* buttons = new QVBoxLayout(fraButtons);
    buttons->setContentsMargins(0, 0, 0, 0);
    for (QPushButton* b : {cmdDiscover, cmdProfiles, cmdFirmware, cmdAddZarn}) buttons->addWidget(b);
    buttons->addStretch(1);
    buttons->addWidget(cmdHelp);
    buttons->addWidget(cmdClose);

    auto* listColumn = new QVBoxLayout;
    listColumn->addWidget(Label3);
    listColumn->addWidget(lvZarn, 1);
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(lblStatus, 1);
    statusRow->addWidget(chkModifiedSNAP);
    listColumn->addLayout(statusRow);
    auto* body = new QHBoxLayout;
    body->addLayout(listColumn, 1);
    body->addWidget(fraButtons);
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(Picture1);
    layout->addLayout(body, 1);

    tmrAutomationScheduler = new QTimer(this);
    tmrAutomationScheduler->setObjectName("tmrAutomationScheduler");
    tmrAutomationScheduler->setInterval(1000);

    // A place for the windows that come later (status window and the like).
    mnuTools = menuBar()->addMenu("&Tools");
    mnuTools->setObjectName("mnuTools");
    mnuTools->menuAction()->setVisible(false);
    menuBar()->setVisible(false);
    // The status window: Tools > Status Window, or Ctrl+L.
    auto* mnuStatusWindow = new QAction("&Status Window", this);
    mnuStatusWindow->setObjectName("mnuStatusWindow");
    mnuStatusWindow->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    connect(mnuStatusWindow, &QAction::triggered, this, [] { ShowStatusWindow(); });
    AddToolsAction(mnuStatusWindow);

    connect(cmdDiscover, &QPushButton::clicked, this, &frmZarni::cmdDiscover_Click);
    connect(cmdProfiles, &QPushButton::clicked, this, &frmZarni::cmdProfiles_Click);
    connect(cmdFirmware, &QPushButton::clicked, this, &frmZarni::cmdFirmware_Click);
    connect(cmdHelp, &QPushButton::clicked, this, &frmZarni::cmdHelp_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmZarni::cmdClose_Click);
    // cmdAddZarn has no action attached.
    connect(lvZarn, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item, int) { lvZarn_ItemClick(item); });
    connect(lvZarn, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item, QTreeWidgetItem*) {
        if (item && !m_discovering) lvZarn_ItemClick(item);
    });
    connect(lvZarn, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem*, int) { lvZarn_DblClick(); });
    connect(chkModifiedSNAP, &QCheckBox::clicked, this, &frmZarni::cmdModifiedSNAP_Click);
    connect(tmrAutomationScheduler, &QTimer::timeout, this, &frmZarni::tmrAutomationScheduler_Timer);

    m_profileHeader = lvZarn->headerItem()->text(COL_PROFILE);
    resize(800, 420);
}

frmZarni::~frmZarni() = default;

void frmZarni::AddToolsAction(QAction* action) {
    mnuTools->addAction(action);
    mnuTools->menuAction()->setVisible(true);
    menuBar()->setVisible(true);
}

QString frmZarni::Caption() const {
    QString caption = ResText(1000) + " v" + QString::number(KVR_VERSION_MAJOR) + "." +
                      QString::number(KVR_VERSION_MINOR) + "." + QString::number(KVR_VERSION_PATCH);
    if (G().AutomationMode) caption += " (Automated Mode)";
    if (G().EngineeringFeatures) caption += " (Engineering Version)";
    return caption;
}

void frmZarni::Form_Load() {
    Log("Form_Load", LEVEL_WATCH);
    try {
        LocalizeForm(this);
        m_profileHeader = lvZarn->headerItem()->text(COL_PROFILE);
        const QPixmap icon = ResPicture(PIC_PROGRAM_ICON);
        if (!icon.isNull()) setWindowIcon(icon);
        const QPixmap banner = ResPicture(PIC_BANNER);
        if (!banner.isNull()) {
            Picture1->setPixmap(banner);
            Picture1->setFixedHeight(banner.height());
        }
        chkModifiedSNAP->setChecked(G().ModifiedSnap != 0);
        setWindowTitle(Caption());
        // The automation timer runs from the start; its handler waits while a
        // discovery is under way.
        tmrAutomationScheduler->start();
        Discover();
    } catch (...) {
        LogTrappedError(Log, "Form_Load");
    }
}

bool frmZarni::FitsFirmwareFile(const clsZarn& z) const {
    return !m_firmwareFits || m_firmwareFits(z);
}

void frmZarni::Discover() {
    Log("Discover", LEVEL_WATCH);
    if (m_discovering) return;  // one discovery at a time
    m_discovering = true;
    lvZarn->clear();
    lvZarn->headerItem()->setText(COL_PROFILE, m_profileHeader);  // until a device is found incompatible
    lblStatus->setText(ResText(1007));
    cmdFirmware->setEnabled(false);
    cmdProfiles->setEnabled(false);

    if (NicPool().GetNicCount() == 0) {
        Log("Discover: we have no valid NICs to perform our discovery through.", LEVEL_ERROR);
        m_discovering = false;
        return;
    }

    std::shared_ptr<clsZarnPool> found;
    {
        frmDiscover dialog(this);
        m_discoverDialog = &dialog;
        dialog.SetAutomationTimer(tmrAutomationScheduler);
        dialog.exec();
        found = dialog.ResultPool();
        m_discoverDialog = nullptr;
    }
    if (!found || found->Count() == 0) Log("Discover: no KVRs found!", LEVEL_WARNING);

    const bool automated = G().AutomationMode;
    const QIcon downloadIcon(ResPicture(PIC_DOWNLOAD_MODE));
    const QIcon applicationIcon(ResPicture(PIC_APPLICATION_MODE));
    QTreeWidgetItem* selected = nullptr;
    ZarnPool().Clear();
    if (found) {
        for (const std::shared_ptr<clsZarn>& z : found->colZarn) {
            if (!z) continue;
            auto* item = new QTreeWidgetItem(lvZarn);
            item->setText(COL_MAC, UiText(FormatMacAddress(z->MAC)));
            item->setData(COL_MAC, kDeviceKeyRole, UiText(RemoveColons(z->MAC)));
            item->setText(COL_NAME, WireText(z->Name));
            item->setText(COL_IP, UiText(z->GetIPStatus()));
            item->setText(COL_RSSI, UiText(z->GetRSSI()));
            item->setText(COL_PROFILE, ActiveProfileText(*z));
            if (automated) {
                if (!FitsFirmwareFile(*z)) {
                    lvZarn->headerItem()->setText(COL_PROFILE, "Compatiblity Status");
                    item->setText(COL_PROFILE, "incompatible with firmware");
                    item->setFlags(item->flags() & ~(Qt::ItemIsSelectable | Qt::ItemIsEnabled));
                    for (int c = 0; c < COL_COUNT; ++c) item->setForeground(c, QBrush(Qt::gray));
                } else {
                    selected = item;
                }
            }
            const bool download = z->IsInDownloadMode;
            item->setIcon(COL_MAC, download ? downloadIcon : applicationIcon);
            item->setData(COL_MAC, kIconKeyRole, download ? "DownloadModeIcon" : "ApplicationModeIcon");
            ZarnPool().AddZarn(z);
        }
    }

    // Long device names (up to 32 characters) show in full.
    for (int c = COL_MAC; c < COL_PROFILE; ++c) {
        lvZarn->resizeColumnToContents(c);
        lvZarn->header()->resizeSection(c, lvZarn->header()->sectionSize(c) + 16);
    }

    cmdFirmware->setEnabled(false);
    cmdProfiles->setEnabled(false);
    if (!automated) lvZarn->clearSelection();

    const int count = lvZarn->topLevelItemCount();
    if (count == 0) ShowMessage(1017);

    QString status = QString::number(count) + " " + ResText(1018);
    if (count == 1) status.replace(ResText(1020), ResText(1019));
    lblStatus->setText(status);

    if (count > 0) {
        if (automated) {
            if (selected) {
                lvZarn->setCurrentItem(selected);
                lvZarn_ItemClick(selected);
            }
        } else {
            QTreeWidgetItem* first = lvZarn->topLevelItem(0);
            lvZarn->setCurrentItem(first);
            lvZarn_ItemClick(first);
        }
    }
    m_discovering = false;
    if (m_closeRequested) close();
}

void frmZarni::lvZarn_ItemClick(QTreeWidgetItem* item) {
    if (!item) return;
    Log("lvZarn_ItemClick: Item=" + FromUi(item->text(COL_MAC)) + ", " + FromUi(item->text(COL_NAME)), LEVEL_WATCH);
    std::string mac = DeviceKey(*item);
    const std::shared_ptr<clsZarn> z = ZarnPool().FindZarn(mac);
    const bool usable = z && (!G().AutomationMode || FitsFirmwareFile(*z));
    cmdProfiles->setEnabled(usable && !z->IsInDownloadMode);
    cmdFirmware->setEnabled(usable);
}

void frmZarni::lvZarn_DblClick() {
    Log("lvZarn_DblClick", LEVEL_WATCH);
    if (cmdProfiles->isEnabled()) cmdProfiles_Click();
}

void frmZarni::cmdDiscover_Click() {
    Log("cmdDiscover_Click", LEVEL_WATCH);
    if (m_discovering || m_inAutomationStep) return;
    // The old list goes at once; so does its status line, which would
    // otherwise still count devices that are no longer listed.
    lvZarn->clear();
    ZarnPool().Clear();
    lblStatus->setText(ResText(1007));
    cmdFirmware->setEnabled(false);
    cmdProfiles->setEnabled(false);
    if (RefreshNicPool() >= 1) Discover();
}

void frmZarni::cmdProfiles_Click() {
    Log("cmdProfiles_Click", LEVEL_WATCH);
    if (m_inAutomationStep) return;
    QTreeWidgetItem* item = lvZarn->currentItem();
    if (!item || !cmdProfiles->isEnabled()) return;
    std::string mac = DeviceKey(*item);
    const std::shared_ptr<clsZarn> z = ZarnPool().FindZarn(mac);
    if (!z) return;
    G().RediscoveryNeeded = false;
    if (!m_openProfiles) {
        Log("cmdProfiles_Click: the profile editor for '" + z->MAC + "' is not available in this build.", LEVEL_WATCH);
        return;
    }
    m_openProfiles(*z, this);
    if (G().RediscoveryNeeded) Discover();
}

void frmZarni::cmdFirmware_Click() {
    Log("cmdFirmware_Click", LEVEL_WATCH);
    if (m_inAutomationStep) return;
    QTreeWidgetItem* item = lvZarn->currentItem();
    if (!item || !cmdFirmware->isEnabled()) return;
    std::string mac = DeviceKey(*item);
    if (G().AutomationMode) {
        if (m_automationTarget) m_automationTarget(mac);
        tmrAutomationScheduler->start();
        tmrAutomationScheduler_Timer();
        return;
    }
    const QList<QTreeWidgetItem*> selected = lvZarn->selectedItems();
    if (selected.size() > 1 && m_openSeveralFirmware) {
        std::vector<std::shared_ptr<clsZarn>> zarns;
        for (const QTreeWidgetItem* row : selected) {
            std::string key = DeviceKey(*row);
            if (std::shared_ptr<clsZarn> found = ZarnPool().FindZarn(key)) zarns.push_back(std::move(found));
        }
        m_openSeveralFirmware(std::move(zarns), this);
        Discover();  // the list shows the devices as they are now
        return;
    }
    const std::shared_ptr<clsZarn> z = ZarnPool().FindZarn(mac);
    if (!z) return;
    if (!m_openFirmware) {
        Log("cmdFirmware_Click: the firmware wizard for '" + z->MAC + "' is not available in this build.", LEVEL_WATCH);
        return;
    }
    m_openFirmware(z, this);
}

void frmZarni::cmdHelp_Click() {
    Log("cmdHelp_Click", LEVEL_WATCH);
    // The main window's page is the one of its caption's text (1000), which is
    // also the help's start page.
    kvr::ShowHelp("1000", this);
}

void frmZarni::cmdClose_Click() {
    Log("cmdClose_Click", LEVEL_WATCH);
    close();
}

void frmZarni::cmdModifiedSNAP_Click() {
    const int value = chkModifiedSNAP->isChecked() ? 1 : 0;
    Log("cmdModifiedSNAP_Click: chkModifiedSNAP.Value=" + std::to_string(value), LEVEL_WATCH);
    G().ModifiedSnap = static_cast<std::uint8_t>(value);
}

void frmZarni::tmrAutomationScheduler_Timer() {
    if (!G().AutomationMode) return;
    // The run starts on the devices of a finished discovery, and one step at a
    // time: a step that lets window events run must not start a second one.
    if (m_discovering || m_inAutomationStep) return;
    Log("tmrAutomationScheduler_Timer", LEVEL_WATCH);
    if (!m_automationStep) {
        Log("tmrAutomationScheduler_Timer: automated operations are not available in this build.", LEVEL_ERROR);
        tmrAutomationScheduler->stop();
        // An unattended run must end rather than wait for somebody to close the window.
        if (m_unattended) {
            m_exitStatus = 1;
            close();
        }
        return;
    }
    // Nothing else may start while an automated download runs.
    m_inAutomationStep = true;
    fraButtons->setEnabled(false);
    chkModifiedSNAP->setEnabled(false);
    const long r = m_automationStep();
    fraButtons->setEnabled(true);
    chkModifiedSNAP->setEnabled(true);
    m_inAutomationStep = false;
    if (r == -1) m_exitStatus = 1;
    if (r == 0 || r == -1 || r == 3) tmrAutomationScheduler->stop();
    if (m_closeRequested) {  // the window was closed during the step
        close();
        return;
    }
    // 3 waits for the user to pick the device in the list and press Firmware;
    // an unattended run has nobody to do that and must end instead.
    if (r == 3 && m_unattended) {
        Log("tmrAutomationScheduler_Timer: the run waits for a device to be picked, which nobody can do in an "
            "unattended run.",
            LEVEL_ERROR);
        m_exitStatus = 1;
        close();
    }
}

void frmZarni::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        cmdHelp_Click();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void frmZarni::closeEvent(QCloseEvent* event) {
    if (m_discovering) {  // the discovery ends first (cancelled), then the window closes
        m_closeRequested = true;
        if (m_discoverDialog) m_discoverDialog->CancelButton_Click();
        event->ignore();
        return;
    }
    if (m_inAutomationStep) {  // a step of the run (a download) ends first, then the window closes
        Log("closeEvent: the window closes when the running automated operation has ended.", LEVEL_USER);
        m_closeRequested = true;
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();
}

void frmZarni::Form_Unload() {
    if (m_unloaded) return;
    m_unloaded = true;
    Log("Form_Unload", LEVEL_WATCH);
    tmrAutomationScheduler->stop();
    // Every other window of the program goes with the main window.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != this && w->isVisible()) w->close();
    NicPool().colNIC.clear();
    Log("Form_Unload: the raw packet layer needs no driver service to be stopped on this system.", LEVEL_TRACE);
    if (G().AutomationMode && m_automationAbort) m_automationAbort();
}

}  // namespace kvr
