#pragma once
// The help window: the HTML help pages in the "help" folder of the
// application directory, and the error report to the support address.
//
// Pages are read from that folder only: links between pages work, anything
// else (other folders, the network) is neither loaded nor followed.
#include <QDialog>
#include <QTextBrowser>
#include <string>

#include "ErrorReport.h"

class QAction;
class QMenu;
class QMenuBar;

namespace kvr {

// A text browser that loads nothing from outside the help folder.
class HelpBrowser : public QTextBrowser {
    Q_OBJECT
public:
    explicit HelpBrowser(QWidget* parent = nullptr);
    QVariant loadResource(int type, const QUrl& name) override;
};

class frmHelp : public QDialog {
    Q_OBJECT
public:
    explicit frmHelp(QWidget* parent = nullptr);

    // The folder of the help pages: application directory + "/help".
    static std::string HelpFolder();
    // The page shown for `topic`: help/<topic>.html, or help/1000.html when
    // there is no such page (or the topic is not a plain page name).
    static std::string HelpPageFor(const std::string& topic);
    // Shows the page of `topic` in the browser (without showing the window).
    void Navigate(const std::string& topic);
    // The file now shown ("" when none).
    QString CurrentPage() const;

    // Action menu and File menu.
    void mnuSetSupportEmail_Click();
    void mnuSendErrorReport_Click();
    void mnuExit_Click();

    // The input box of the support address; tests replace it (nullptr
    // restores the real one).
    static void SetInputBox(InputBoxFn inputBox);

private:
    void browserHelp_AnchorClicked(const QUrl& url);
    void ShowMissingPages(const std::string& page);

    QMenuBar* mnuBar = nullptr;
    QMenu* mnuFile = nullptr;
    QMenu* mnuAction = nullptr;
    QAction* mnuExit = nullptr;
    QAction* mnuSetSupportEmail = nullptr;
    QAction* mnuSendErrorReport = nullptr;
    HelpBrowser* browserHelp = nullptr;
};

// ShowHelp: shows the help window at the page of `topic` and returns when it
// is closed.
void ShowHelpWindow(const std::string& topic, QWidget* parent = nullptr);
// Makes every Help button and F1 key of the program open the help window.
void InstallHelpWindow();

}  // namespace kvr
