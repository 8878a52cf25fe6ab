#pragma once
// The status window: a live view of the debug log. One grid row per message,
// newest at the bottom, at most 500 rows; it can be cleared and copied to the
// clipboard, and its position is kept in the settings.
//
// DebugLog hands every message to the window registered in slot 0 of
// StatusWindowSlot; the window applies its own level filter.
#include <QMainWindow>
#include <mutex>
#include <string>
#include <vector>

#include "basDebug.h"

class QAction;
class QGroupBox;
class QMenu;
class QTableWidget;

namespace kvr {

class frmStatus : public QMainWindow, public StatusWindowSink {
    Q_OBJECT
public:
    explicit frmStatus(QWidget* parent = nullptr);
    ~frmStatus() override;

    // Messages below this level are not shown (0: every message is).
    long DebugMessageLevel = 0;
    long WindowIndex = 0;

    // Stores the window's screen rectangle ("Top", "Left", "Bottom", "Right"
    // in the section LayoutSection()).
    void SaveLayout();
    // Moves the window to the stored rectangle; missing values keep the
    // current edges. A rectangle that lies on no screen is not applied.
    void RestoreLayout();
    // Adds one row (elapsed time in milliseconds, level, module, message).
    // Any thread may call it: rows are added on the window's own thread, in
    // the order the messages came.
    void PostMessage(const std::string& message, float elapsedMs, long level, const std::string& module) override;

    // The settings section of the saved position: the window's object name.
    QString LayoutSection() const;
    // The maximum number of message rows.
    static constexpr int kMaxRows = 500;

    // The texts the View menu puts on the clipboard.
    QString EntireTableText() const;
    QString MessagesText() const;

    // View menu.
    void mnuClear_Click();
    void mnuCopyMessages_Click();
    void mnuCopyTable_Click();
    void mnuClose_Click();

    // Texts of one row, for tests and tools.
    static QString TimeText(float elapsedMs);
    static QString LevelText(long level);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Message {
        std::string text;
        float elapsedMs;
        long level;
        std::string module;
    };
    void AddRow(const Message& message);
    // On the window's thread: adds the rows of the messages handed over so far.
    void TakeMessages();

    std::mutex m_messagesMutex;  // m_messages, m_takeQueued
    std::vector<Message> m_messages;
    bool m_takeQueued = false;
    QGroupBox* fraApplicationStatus = nullptr;
    QTableWidget* mfgStatus = nullptr;
    QMenu* mnuView = nullptr;
    QAction* mnuClear = nullptr;
    QAction* mnuCopyMessages = nullptr;
    QAction* mnuCopyTable = nullptr;
    QAction* mnuClose = nullptr;
    int m_maxRows = kMaxRows;
    bool m_scrollPending = false;
};

// The program's status window: created (hidden) on first use and registered in
// slot 0, so it collects messages from then on.
frmStatus& StatusWindow();
// Shows the status window at its saved position and brings it to the front.
void ShowStatusWindow();
// Removes it from slot 0, saves its position when it is open, and destroys it
// (before the database manager and the application object go).
void DestroyStatusWindow();

}  // namespace kvr
