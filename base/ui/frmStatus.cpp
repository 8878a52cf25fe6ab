#include "frmStatus.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <exception>

#include "Globals.h"
#include "ProgramStore.h"
#include "UiResources.h"

namespace kvr {
namespace {

const ModuleLog Log("frmStatus");
QPointer<frmStatus> g_window;

enum Column { COL_TIME = 0, COL_LEVEL = 1, COL_MODULE = 2, COL_MESSAGE = 3 };

// A setting as a whole number; `current` when it is missing or not a number.
int SettingValue(const std::string& text, int current) {
    try {
        std::size_t used = 0;
        const long v = std::stol(text, &used);
        if (used != text.size() || v < -1000000 || v > 1000000) return current;
        return static_cast<int>(v);
    } catch (const std::exception&) {
        return current;
    }
}

}  // namespace

frmStatus::frmStatus(QWidget* parent) : QMainWindow(parent) {
    setObjectName("frmStatus");
    setWindowTitle("Status Window");

    fraApplicationStatus = new QGroupBox(this);
    fraApplicationStatus->setObjectName("fraApplicationStatus");
    mfgStatus = new QTableWidget(0, 4, fraApplicationStatus);
    mfgStatus->setObjectName("mfgStatus");
    mfgStatus->setHorizontalHeaderLabels({"Time", "Level", "Module", "Message"});
    mfgStatus->verticalHeader()->hide();
    mfgStatus->verticalHeader()->setDefaultSectionSize(mfgStatus->fontMetrics().height() + 6);
    mfgStatus->setAlternatingRowColors(true);
    mfgStatus->setEditTriggers(QAbstractItemView::NoEditTriggers);
    mfgStatus->setSelectionBehavior(QAbstractItemView::SelectRows);
    mfgStatus->setWordWrap(false);
    mfgStatus->horizontalHeader()->setStretchLastSection(true);  // Message takes the remaining width
    mfgStatus->setColumnWidth(COL_TIME, 90);
    mfgStatus->setColumnWidth(COL_LEVEL, 90);
    mfgStatus->setColumnWidth(COL_MODULE, 110);
    auto* frameLayout = new QVBoxLayout(fraApplicationStatus);
    frameLayout->setContentsMargins(2, 2, 2, 2);
    frameLayout->addWidget(mfgStatus);
    setCentralWidget(fraApplicationStatus);

    mnuView = menuBar()->addMenu("&View");
    mnuView->setObjectName("mnuView");
    mnuClear = mnuView->addAction("C&lear");
    mnuClear->setObjectName("mnuClear");
    mnuCopyMessages = mnuView->addAction("&Copy Messages to Clipboard");
    mnuCopyMessages->setObjectName("mnuCopyMessages");
    mnuCopyTable = mnuView->addAction("Copy Entire &Table to Clipboard");
    mnuCopyTable->setObjectName("mnuCopyTable");
    mnuView->addSeparator();
    mnuClose = mnuView->addAction("Clos&e");
    mnuClose->setObjectName("mnuClose");

    connect(mnuClear, &QAction::triggered, this, &frmStatus::mnuClear_Click);
    connect(mnuCopyMessages, &QAction::triggered, this, &frmStatus::mnuCopyMessages_Click);
    connect(mnuCopyTable, &QAction::triggered, this, &frmStatus::mnuCopyTable_Click);
    connect(mnuClose, &QAction::triggered, this, &frmStatus::mnuClose_Click);

    const QPixmap icon = ResPicture(PIC_PROGRAM_ICON);
    if (!icon.isNull()) setWindowIcon(icon);
    resize(720, 360);
    m_maxRows = kMaxRows;
    // Closing the main window ends the program even while this window is open.
    setAttribute(Qt::WA_QuitOnClose, false);
}

frmStatus::~frmStatus() {
    if (G().StatusWindowSlot0 == this) SetStatusWindowSink(nullptr);
}

QString frmStatus::TimeText(float elapsedMs) {
    // The time part of the output file's line: "h:mm:ss.mmm".
    const std::string line = FormatOutputLine("", elapsedMs, 0, "");
    const auto bar = line.find(" | ");
    return QString::fromStdString(bar == std::string::npos ? line : line.substr(0, bar));
}

QString frmStatus::LevelText(long level) {
    if (level == 0) return "unspecified";
    return QString::number(level) + "(" + QString::fromStdString(LogLevelName(level)) + ")";
}

void frmStatus::PostMessage(const std::string& message, float elapsedMs, long level, const std::string& module) {
    {
        const std::lock_guard<std::mutex> lock(m_messagesMutex);
        m_messages.push_back({message, elapsedMs, level, module});
        if (QThread::currentThread() != thread()) {
            // Widgets are touched on their own thread only: a line logged by a
            // download on a thread of its own waits there for its turn.
            if (!m_takeQueued) {
                m_takeQueued = true;
                QMetaObject::invokeMethod(this, [this] { TakeMessages(); }, Qt::QueuedConnection);
            }
            return;
        }
    }
    TakeMessages();
}

void frmStatus::TakeMessages() {
    std::vector<Message> messages;
    {
        const std::lock_guard<std::mutex> lock(m_messagesMutex);
        messages.swap(m_messages);
        m_takeQueued = false;
    }
    for (const Message& m : messages) AddRow(m);
}

void frmStatus::AddRow(const Message& m) {
    try {
        const QString levelText = LevelText(m.level);
        const long effective = m.level == 0 ? LEVEL_TRACE : m.level;
        if (effective < DebugMessageLevel) return;
        if (mfgStatus->columnCount() < 3) return;

        const int row = mfgStatus->rowCount();
        mfgStatus->insertRow(row);
        mfgStatus->setItem(row, COL_TIME, new QTableWidgetItem(TimeText(m.elapsedMs)));
        mfgStatus->setItem(row, COL_LEVEL, new QTableWidgetItem(levelText));
        mfgStatus->setItem(row, COL_MODULE, new QTableWidgetItem(UiText(m.module)));
        mfgStatus->setItem(row, COL_MESSAGE, new QTableWidgetItem(UiText(m.text)));

        // The oldest messages go first.
        while (mfgStatus->rowCount() > m_maxRows) mfgStatus->removeRow(0);
        // Newest at the bottom: scroll once the burst of messages is over.
        if (isVisible() && !m_scrollPending) {
            m_scrollPending = true;
            QTimer::singleShot(0, this, [this] {
                m_scrollPending = false;
                mfgStatus->scrollToBottom();
            });
        }
    } catch (...) {
        LogTrappedError(Log, "PostMessage");
    }
}

QString frmStatus::EntireTableText() const {
    QString text;
    QStringList header;
    for (int c = 0; c < mfgStatus->columnCount(); ++c) {
        const QTableWidgetItem* h = mfgStatus->horizontalHeaderItem(c);
        header << (h ? h->text() : QString());
    }
    text += header.join(", ") + "\r\n";
    for (int r = 0; r < mfgStatus->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < mfgStatus->columnCount(); ++c) {
            const QTableWidgetItem* item = mfgStatus->item(r, c);
            cells << (item ? item->text() : QString());
        }
        text += cells.join(", ") + "\r\n";
    }
    return text;
}

QString frmStatus::MessagesText() const {
    const QTableWidgetItem* h = mfgStatus->horizontalHeaderItem(COL_MESSAGE);
    QString text = (h ? h->text() : QString()) + "\r\n";
    for (int r = 0; r < mfgStatus->rowCount(); ++r) {
        const QTableWidgetItem* item = mfgStatus->item(r, COL_MESSAGE);
        text += (item ? item->text() : QString()) + "\r\n";
    }
    return text;
}

void frmStatus::mnuClear_Click() { mfgStatus->setRowCount(0); }

void frmStatus::mnuCopyMessages_Click() {
    QClipboard* clip = QGuiApplication::clipboard();
    clip->clear();
    clip->setText(MessagesText());
}

void frmStatus::mnuCopyTable_Click() {
    QClipboard* clip = QGuiApplication::clipboard();
    clip->clear();
    clip->setText(EntireTableText());
}

void frmStatus::mnuClose_Click() { close(); }

QString frmStatus::LayoutSection() const { return objectName(); }

void frmStatus::SaveLayout() {
    ProgramStore* db = G().DbManager;
    if (!db) return;
    const QRect r = geometry();
    const std::string section = FromUi(LayoutSection());
    db->SaveSetting(kProgramTitle, section, "Top", std::to_string(r.y()));
    db->SaveSetting(kProgramTitle, section, "Left", std::to_string(r.x()));
    db->SaveSetting(kProgramTitle, section, "Bottom", std::to_string(r.y() + r.height()));
    db->SaveSetting(kProgramTitle, section, "Right", std::to_string(r.x() + r.width()));
}

void frmStatus::RestoreLayout() {
    ProgramStore* db = G().DbManager;
    if (!db) return;
    const QRect cur = geometry();
    const std::string section = FromUi(LayoutSection());
    auto read = [&](const char* key, int current) {
        return SettingValue(db->GetSetting(kProgramTitle, section, key, std::to_string(current)), current);
    };
    const int top = read("Top", cur.y());
    const int left = read("Left", cur.x());
    const int bottom = read("Bottom", cur.y() + cur.height());
    const int right = read("Right", cur.x() + cur.width());
    const QRect wanted(left, top, right - left, bottom - top);
    if (wanted.width() < 50 || wanted.height() < 50) {
        Log("stored position is not usable; keeping the current one.", LEVEL_WARNING, "RestoreLayout");
        return;
    }
    // A screen that has gone (another monitor set-up) must not take the window with it.
    bool onScreen = QGuiApplication::screens().isEmpty();
    for (const QScreen* s : QGuiApplication::screens()) {
        if (s->availableGeometry().intersects(wanted)) onScreen = true;
    }
    if (!onScreen) {
        Log("stored position lies on no screen; keeping the current one.", LEVEL_WARNING, "RestoreLayout");
        return;
    }
    setGeometry(wanted);
}

void frmStatus::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    mfgStatus->scrollToBottom();  // it collected messages while hidden
}

void frmStatus::closeEvent(QCloseEvent* event) {
    SaveLayout();
    QMainWindow::closeEvent(event);
}

frmStatus& StatusWindow() {
    if (!g_window) {
        g_window = new frmStatus(nullptr);
        SetStatusWindowSink(g_window.data());
    }
    return *g_window;
}

void ShowStatusWindow() {
    frmStatus& w = StatusWindow();
    if (!w.isVisible()) w.RestoreLayout();
    w.show();
    w.raise();
    w.activateWindow();
}

void DestroyStatusWindow() {
    if (!g_window) return;
    if (G().StatusWindowSlot0 == g_window.data()) SetStatusWindowSink(nullptr);
    // Open when the program ends: it opens at the same place next time.
    if (g_window->isVisible()) g_window->SaveLayout();
    delete g_window.data();
}

}  // namespace kvr
