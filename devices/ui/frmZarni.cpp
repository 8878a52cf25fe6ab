#include "frmZarni.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QScreen>
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

#include <algorithm>

#include "Globals.h"
#include "HexText.h"
#include "LocalizeForm.h"
#include "UiResources.h"
#include "basDebug.h"
#include "DeviceRecord.h"
#include "basUtils.h"
#include "clsNICpool.h"
#include "clsZarnPool.h"
#include "frmAddZarn.h"
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

enum Column { COL_MAC = 0, COL_NAME, COL_IP, COL_RSSI, COL_PROFILE, COL_FIRMWARE, COL_HARDWARE, COL_COUNT };
// Each row keeps its device's key (the MAC text as discovery read it, without
// colons), so the row finds its device without reading back what it displays.
constexpr int kDeviceKeyRole = Qt::UserRole;
// The list icon's key, kept on each item for whoever inspects the list.
constexpr int kIconKeyRole = Qt::UserRole + 1;
// What a column sorts by where its text would sort wrongly ("256.9" after
// "256.10", "Poor" after "Excellent").
constexpr int kSortKeyRole = Qt::UserRole + 2;

class DeviceItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        const QVariant mine = data(column, kSortKeyRole);
        const QVariant theirs = other.data(column, kSortKeyRole);
        if (mine.isValid() && theirs.isValid()) return mine.toLongLong() < theirs.toLongLong();
        return QTreeWidgetItem::operator<(other);
    }
};

// A version "ID.version" as one number that sorts like it (unknown first).
qlonglong VersionKey(bool valid, std::int32_t id, std::int32_t version) {
    if (!valid) return -1;
    return (static_cast<qlonglong>(static_cast<std::uint32_t>(id)) << 32) | static_cast<std::uint32_t>(version);
}

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
    lvZarn->setHeaderLabels(
        {"MAC address", "Name", "IP address", "RSSI", "Active profile", "Firmware version", "Hardware version"});
    lvZarn->setRootIsDecorated(false);
    lvZarn->setUniformRowHeights(true);
    // Ctrl and Shift select several devices (one upgrade for all of them).
    lvZarn->setSelectionMode(QAbstractItemView::ExtendedSelection);
    // A click on a header sorts by that column; until then the list keeps
    // the order in which the devices answered.
    lvZarn->header()->setSortIndicator(-1, Qt::AscendingOrder);
    lvZarn->setSortingEnabled(true);
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
    cmdAddZarn->setToolTip("Guides you through connecting a new KVR, then searches until it answers");
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

    mnuFile = menuBar()->addMenu("Fi&le");
    mnuFile->setObjectName("mnuFile");
    auto* mnuSaveList = new QAction("&Save device list...", this);
    mnuSaveList->setObjectName("mnuSaveList");
    mnuSaveList->setShortcut(QKeySequence::Save);
    connect(mnuSaveList, &QAction::triggered, this, &frmZarni::mnuSaveList_Click);
    mnuFile->addAction(mnuSaveList);
    // A place for the windows that come later (status window and the like).
    mnuTools = menuBar()->addMenu("&Tools");
    mnuTools->setObjectName("mnuTools");
    mnuTools->menuAction()->setVisible(false);
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
    connect(cmdAddZarn, &QPushButton::clicked, this, &frmZarni::cmdAddZarn_Click);
    connect(lvZarn, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item, int) { lvZarn_ItemClick(item); });
    connect(lvZarn, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (!m_discovering) UpdateButtons();
    });
    connect(lvZarn, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem*, int) { lvZarn_DblClick(); });
    connect(chkModifiedSNAP, &QCheckBox::clicked, this, &frmZarni::cmdModifiedSNAP_Click);
    connect(tmrAutomationScheduler, &QTimer::timeout, this, &frmZarni::tmrAutomationScheduler_Timer);

    m_profileHeader = lvZarn->headerItem()->text(COL_PROFILE);
    QSize size = DefaultSize();
    if (const QScreen* screen = this->screen()) size = size.boundedTo(screen->availableGeometry().size());
    resize(size);
}

QSize frmZarni::DefaultSize() const {
    // Every column fits without scrolling for the longest name a device can
    // have (32 characters) and a long active-profile text.
    const QFontMetrics fm(lvZarn->font());
    const auto widthOf = [&fm](const QString& sample) { return fm.horizontalAdvance(sample) + 24; };
    int columns = widthOf("00:07:F5:00:00:00  ") + widthOf(QString(32, 'N')) + widthOf("Assignment in Progress") +
                  widthOf("Not applicable") + widthOf("Profile 0: " + QString(16, 'N')) +
                  widthOf("Firmware version") + widthOf("Hardware version");
    const int buttons = fraButtons->sizeHint().width();
    return {columns + buttons + 60, 420};
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
    RememberSelection();
    lvZarn->clear();
    // An automated run upgrades the one device the user picks.
    lvZarn->setSelectionMode(G().AutomationMode ? QAbstractItemView::SingleSelection
                                                : QAbstractItemView::ExtendedSelection);
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
    // Rows are added in the order the devices answered and sorted once at the end.
    lvZarn->setSortingEnabled(false);
    if (found) {
        for (const std::shared_ptr<clsZarn>& z : found->colZarn) {
            if (!z) continue;
            auto* item = new DeviceItem(lvZarn);
            item->setText(COL_MAC, UiText(FormatMacAddress(z->MAC)));
            item->setData(COL_MAC, kDeviceKeyRole, UiText(RemoveColons(z->MAC)));
            item->setText(COL_NAME, WireText(z->Name));
            item->setText(COL_IP, UiText(z->GetIPStatus()));
            item->setText(COL_RSSI, UiText(z->GetRSSI()));
            item->setText(COL_PROFILE, ActiveProfileText(*z));
            // The versions as the firmware wizard shows them.
            item->setText(COL_FIRMWARE, z->IsFirmwareIdValid ? UiText(FirmwareVersionOf(*z)) : "Failed to read ID");
            item->setData(COL_FIRMWARE, kSortKeyRole, VersionKey(z->IsFirmwareIdValid, z->FirmwareID, z->FirmwareVersion));
            item->setText(COL_HARDWARE, UiText(ListedDeviceOf(*z).hardware));
            item->setData(COL_HARDWARE, kSortKeyRole, VersionKey(true, z->HardwareID, z->HardwareVersion));
            item->setData(COL_RSSI, kSortKeyRole, static_cast<qlonglong>(z->Rssi));
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

    lvZarn->setSortingEnabled(true);
    // Long device names (up to 32 characters) show in full.
    for (int c = COL_MAC; c < COL_COUNT - 1; ++c) {
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
            RestoreSelection();
        }
    }
    m_discovering = false;
    UpdateButtons();
    if (m_closeRequested) close();
}

void frmZarni::lvZarn_ItemClick(QTreeWidgetItem* item) {
    if (!item) return;
    Log("lvZarn_ItemClick: Item=" + FromUi(item->text(COL_MAC)) + ", " + FromUi(item->text(COL_NAME)), LEVEL_WATCH);
    UpdateButtons();
}

void frmZarni::UpdateButtons() {
    // The profile editor works on one device in application mode; the
    // firmware upgrade on every selected device.
    const auto devices = SelectedDevices();
    bool usable = !devices.empty();
    for (const auto& z : devices) usable = usable && (!G().AutomationMode || FitsFirmwareFile(*z));
    cmdProfiles->setEnabled(usable && devices.size() == 1 && !devices.front()->IsInDownloadMode);
    cmdFirmware->setEnabled(usable);
}

std::vector<std::shared_ptr<clsZarn>> frmZarni::SelectedDevices() const {
    std::vector<std::shared_ptr<clsZarn>> out;
    for (int i = 0; i < lvZarn->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lvZarn->topLevelItem(i);
        if (!item->isSelected()) continue;
        std::string mac = DeviceKey(*item);
        if (auto z = ZarnPool().FindZarn(mac)) out.push_back(std::move(z));
    }
    return out;
}

void frmZarni::RememberSelection() {
    // An empty list (a search that found nothing, or one under way) has
    // nothing to remember: the last selection waits for its devices.
    if (lvZarn->topLevelItemCount() == 0) return;
    m_keptSelection.clear();
    for (QTreeWidgetItem* item : lvZarn->selectedItems()) m_keptSelection.push_back(DeviceKey(*item));
    m_keptCurrent = lvZarn->currentItem() ? DeviceKey(*lvZarn->currentItem()) : std::string();
}

void frmZarni::RestoreSelection() {
    QTreeWidgetItem* current = nullptr;
    QTreeWidgetItem* firstKept = nullptr;
    std::vector<QTreeWidgetItem*> kept;
    for (int i = 0; i < lvZarn->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lvZarn->topLevelItem(i);
        const std::string key = DeviceKey(*item);
        if (std::find(m_keptSelection.begin(), m_keptSelection.end(), key) == m_keptSelection.end()) continue;
        kept.push_back(item);
        if (!firstKept) firstKept = item;
        if (key == m_keptCurrent) current = item;
    }
    // None of the selected devices answered (or nothing was selected yet):
    // the first row, as on the first search.
    if (kept.empty()) kept.push_back(lvZarn->topLevelItem(0));
    if (!current) current = firstKept ? firstKept : kept.front();
    lvZarn->setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    for (QTreeWidgetItem* item : kept) item->setSelected(true);
    lvZarn->scrollToItem(current);
    lvZarn_ItemClick(current);
}

void frmZarni::lvZarn_DblClick() {
    Log("lvZarn_DblClick", LEVEL_WATCH);
    if (cmdProfiles->isEnabled()) cmdProfiles_Click();
}

void frmZarni::cmdDiscover_Click() {
    Log("cmdDiscover_Click", LEVEL_WATCH);
    Rediscover();
}

void frmZarni::Rediscover() {
    if (m_discovering || m_inAutomationStep || m_unloaded) return;
    RememberSelection();
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
    const auto devices = SelectedDevices();
    if (devices.size() != 1 || !cmdProfiles->isEnabled()) return;
    const std::shared_ptr<clsZarn> z = devices.front();
    G().RediscoveryNeeded = false;
    if (!m_openProfiles) {
        Log("cmdProfiles_Click: the profile editor for '" + z->MAC + "' is not available in this build.", LEVEL_WATCH);
        return;
    }
    m_openProfiles(*z, this);
    // The editor wrote to the device: the list shows it as it is now.
    if (G().RediscoveryNeeded) Rediscover();
}

void frmZarni::cmdFirmware_Click() {
    Log("cmdFirmware_Click", LEVEL_WATCH);
    if (m_inAutomationStep) return;
    const auto devices = SelectedDevices();
    if (devices.empty() || !cmdFirmware->isEnabled()) return;
    const std::shared_ptr<clsZarn> z = devices.front();
    if (G().AutomationMode) {
        if (m_automationTarget) m_automationTarget(RemoveColons(z->MAC));
        tmrAutomationScheduler->start();
        tmrAutomationScheduler_Timer();
        return;
    }
    if (devices.size() > 1) {
        if (!m_openSeveralFirmware) {
            Log("cmdFirmware_Click: upgrading " + std::to_string(devices.size()) +
                    " devices at once is not available in this build; select one.",
                LEVEL_WARNING);
            return;
        }
        m_openSeveralFirmware(devices, this);
        Rediscover();  // the list shows the devices as they are now
        return;
    }
    if (!m_openFirmware) {
        Log("cmdFirmware_Click: the firmware wizard for '" + z->MAC + "' is not available in this build.", LEVEL_WATCH);
        return;
    }
    m_openFirmware(z, this);
    // Whatever the wizard did (upgraded, failed, left the device in download
    // mode), the list shows the device as it is now.
    Rediscover();
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

void frmZarni::cmdAddZarn_Click() {
    Log("cmdAddZarn_Click", LEVEL_WATCH);
    if (m_discovering || m_inAutomationStep || m_unloaded) return;
    // A new device needs no request of its own: it answers discovery like
    // every other once it is on the segment and has started.
    const std::string guide =
        "To add a KVR:\n\n"
        "1. Connect it to the same network segment as this PC (the same switch, or the same wireless network "
        "that this PC uses).\n"
        "2. Power it on and wait until it has started (about half a minute).\n\n"
        "Press OK to search until it answers (at most " +
        std::to_string(m_addZarnTimeoutMs / 1000) + " seconds), or Cancel.";
    if (CurrentPrompter().Ask(guide, ResString(1000) + " - Add KVR", PromptButtons::OKCancel,
                              PromptIcon::Information) != PromptAnswer::OK)
        return;
    if (RefreshNicPool() < 1) {
        Log("cmdAddZarn_Click: we have no valid NICs to search through.", LEVEL_ERROR);
        CurrentPrompter().Ask("No network adapter of this PC can be used to search for KVRs.",
                              ResString(1000), PromptButtons::OK, PromptIcon::Warning);
        return;
    }
    auto known = std::make_shared<clsZarnPool>();
    for (const auto& z : ZarnPool().colZarn)
        if (z) known->AddZarn(z);
    std::shared_ptr<clsZarn> found;
    bool cancelled = false;
    {
        frmAddZarn dialog(known, m_addZarnTimeoutMs, this);
        dialog.exec();
        found = dialog.NewZarn();
        cancelled = dialog.WasCancelled();
    }
    if (!found) {
        if (cancelled) return;
        const std::string text = "No new KVR answered within " + std::to_string(m_addZarnTimeoutMs / 1000) +
                                 " seconds. Check that it is powered on, that it has finished starting and that it "
                                 "is connected to the same network segment as this PC, then try again.";
        Log("cmdAddZarn_Click: " + text, LEVEL_WARNING);
        CurrentPrompter().Ask(text, ResString(1000), PromptButtons::OK, PromptIcon::Warning);
        return;
    }
    // The full search lists the new device with its profile names; it is the
    // one selected then.
    lvZarn->clearSelection();
    m_keptSelection = {RemoveColons(found->MAC)};
    m_keptCurrent = m_keptSelection.front();
    lvZarn->clear();
    Rediscover();
}

void frmZarni::mnuSaveList_Click() {
    Log("mnuSaveList_Click", LEVEL_WATCH);
    QString filter;
    QString path = QFileDialog::getSaveFileName(this, "Save device list", "kvr-devices.csv",
                                                "CSV files (*.csv);;JSON files (*.json)", &filter);
    if (path.isEmpty()) return;
    // A name without a type gets the one of the chosen filter.
    if (!path.endsWith(".csv", Qt::CaseInsensitive) && !path.endsWith(".json", Qt::CaseInsensitive))
        path += filter.contains("json") ? ".json" : ".csv";
    SaveDeviceList(FromUi(path));
}

bool frmZarni::SaveDeviceList(const std::string& path) {
    Log("SaveDeviceList: '" + path + "'", LEVEL_WATCH);
    std::vector<ListedDevice> devices;
    for (int i = 0; i < lvZarn->topLevelItemCount(); ++i) {
        std::string mac = DeviceKey(*lvZarn->topLevelItem(i));
        if (const auto z = ZarnPool().FindZarn(mac)) devices.push_back(ListedDeviceOf(*z));
    }
    const bool json = QString::fromStdString(path).endsWith(".json", Qt::CaseInsensitive);
    std::string error;
    if (!WriteFileWhole(path, json ? DeviceListJson(devices) : DeviceListCsv(devices), error)) {
        const std::string text = "The device list could not be saved to '" + path + "': " + error + ".";
        Log("SaveDeviceList: " + text, LEVEL_ERROR);
        CurrentPrompter().Ask(text, ResString(1000), PromptButtons::OK, PromptIcon::Critical);
        return false;
    }
    Log("SaveDeviceList: " + std::to_string(devices.size()) + " devices saved to '" + path + "'.", LEVEL_USER);
    return true;
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
    if (m_closeRequested) close();  // the window was closed during the step
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
