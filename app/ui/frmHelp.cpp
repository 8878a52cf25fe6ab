#include "frmHelp.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QVBoxLayout>

#include <cctype>
#include <filesystem>

#include "Globals.h"
#include "LibraryLoader.h"
#include "UiResources.h"
#include "basDebug.h"
#include "basUtils.h"

namespace kvr {
namespace {

const ModuleLog Log("frmHelp");

InputBoxFn& TestInputBox() {
    static InputBoxFn box;
    return box;
}

std::optional<std::string> QtInputBox(const std::string& prompt, const std::string& title,
                                      const std::string& defaultText) {
    bool ok = false;
    const QString answer = QInputDialog::getText(QApplication::activeWindow(), UiText(title), UiText(prompt),
                                                 QLineEdit::Normal, UiText(defaultText), &ok);
    if (!ok) return std::nullopt;
    return FromUi(answer);
}

InputBoxFn CurrentInputBox() {
    if (TestInputBox()) return TestInputBox();
    return QtInputBox;
}

// A topic names a page only when it is a plain file name: letters, digits,
// '-' and '_' (no folders, no dots).
bool IsPageName(const std::string& topic) {
    if (topic.empty() || topic.size() > 64) return false;
    for (const unsigned char c : topic) {
        if (!std::isalnum(c) && c != '-' && c != '_') return false;
    }
    return true;
}

bool IsFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

// True when `path` is a file inside the help folder (after resolving links
// and "..").
bool InsideHelpFolder(const QString& path) {
    const QString folder = QFileInfo(QString::fromStdString(frmHelp::HelpFolder())).canonicalFilePath();
    const QString file = QFileInfo(path).canonicalFilePath();
    return !folder.isEmpty() && !file.isEmpty() && file.startsWith(folder + "/");
}

}  // namespace

HelpBrowser::HelpBrowser(QWidget* parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
}

QVariant HelpBrowser::loadResource(int type, const QUrl& name) {
    const QUrl url = name.isRelative() ? source().resolved(name) : name;
    if (!url.isLocalFile() || !InsideHelpFolder(url.toLocalFile())) {
        Log("not loaded: '" + url.toString().toStdString() + "' is not a help page.", LEVEL_WARNING, "loadResource");
        return {};
    }
    return QTextBrowser::loadResource(type, url);
}

frmHelp::frmHelp(QWidget* parent) : QDialog(parent) {
    setObjectName("frmHelp");
    setWindowTitle("KVR Installer - Help");

    mnuBar = new QMenuBar(this);
    mnuBar->setObjectName("mnuBar");
    mnuFile = mnuBar->addMenu("&File");
    mnuFile->setObjectName("mnuFile");
    mnuExit = mnuFile->addAction("E&xit");
    mnuExit->setObjectName("mnuExit");
    mnuAction = mnuBar->addMenu("&Action");
    mnuAction->setObjectName("mnuAction");
    mnuSetSupportEmail = mnuAction->addAction("Set Support &E-mail Address");
    mnuSetSupportEmail->setObjectName("mnuSetSupportEmail");
    mnuSendErrorReport = mnuAction->addAction("&Send Error Report");
    mnuSendErrorReport->setObjectName("mnuSendErrorReport");

    browserHelp = new HelpBrowser(this);
    browserHelp->setObjectName("browserHelp");

    // The browser fills the window's inner area.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setMenuBar(mnuBar);
    layout->addWidget(browserHelp);

    connect(mnuExit, &QAction::triggered, this, &frmHelp::mnuExit_Click);
    connect(mnuSetSupportEmail, &QAction::triggered, this, &frmHelp::mnuSetSupportEmail_Click);
    connect(mnuSendErrorReport, &QAction::triggered, this, &frmHelp::mnuSendErrorReport_Click);
    connect(browserHelp, &QTextBrowser::anchorClicked, this, &frmHelp::browserHelp_AnchorClicked);

    const QPixmap icon = ResPicture(PIC_PROGRAM_ICON);
    if (!icon.isNull()) setWindowIcon(icon);
    resize(680, 560);
}

std::string frmHelp::HelpFolder() {
    const std::string dir = G().AppDirectory.empty() ? ExecutableDirectory() : G().AppDirectory;
    return (std::filesystem::path(dir) / "help").string();
}

std::string frmHelp::HelpPageFor(const std::string& topic) {
    const std::string folder = HelpFolder();
    if (IsPageName(topic)) {
        const std::string page = folder + "/" + topic + ".html";
        if (IsFile(page)) return page;
    }
    return folder + "/1000.html";
}

void frmHelp::Navigate(const std::string& topic) {
    const std::string page = HelpPageFor(topic);
    if (!IsFile(page)) {
        ShowMissingPages(page);
        return;
    }
    browserHelp->setSource(QUrl::fromLocalFile(QString::fromStdString(page)));
}

QString frmHelp::CurrentPage() const {
    const QUrl src = browserHelp->source();
    return src.isLocalFile() ? src.toLocalFile() : QString();
}

void frmHelp::ShowMissingPages(const std::string& page) {
    Log("the help page '" + page + "' is missing.", LEVEL_ERROR, "ShowHelp");
    browserHelp->setSource(QUrl());
    browserHelp->setHtml("<h2>Help is not available</h2><p>The help pages are missing. They belong in the folder <b>" +
                         QString::fromStdString(HelpFolder()).toHtmlEscaped() +
                         "</b> beside the program; reinstall the program to restore them.</p>");
}

void frmHelp::browserHelp_AnchorClicked(const QUrl& url) {
    // A link to a place on the same page.
    if (url.isRelative() && url.path().isEmpty() && url.hasFragment()) {
        browserHelp->scrollToAnchor(url.fragment());
        return;
    }
    const QUrl target = url.isRelative() ? browserHelp->source().resolved(url) : url;
    if (target.isLocalFile() && InsideHelpFolder(target.toLocalFile())) {
        browserHelp->setSource(target);
        return;
    }
    Log("link not followed: '" + url.toString().toStdString() + "' is not a help page.", LEVEL_WARNING,
        "browserHelp_AnchorClicked");
}

void frmHelp::mnuExit_Click() { done(QDialog::Accepted); }

void frmHelp::mnuSetSupportEmail_Click() { SetSupportEmailAddress(CurrentInputBox()); }

void frmHelp::mnuSendErrorReport_Click() {
    // Window events run while the mail client starts: one report at a time.
    mnuSendErrorReport->setEnabled(false);
    const long result = SendErrorReport(CurrentInputBox());
    mnuSendErrorReport->setEnabled(true);
    if (result != 0) {
        Log("Failed to send error report, code 0x" + QString::number(result, 16).toUpper().toStdString(),
            LEVEL_ERROR);
    }
}

void frmHelp::SetInputBox(InputBoxFn inputBox) { TestInputBox() = std::move(inputBox); }

void ShowHelpWindow(const std::string& topic, QWidget* parent) {
    try {
        frmHelp help(parent);
        help.Navigate(topic);
        help.exec();
    } catch (...) {
        LogTrappedError(Log, "ShowHelp");
    }
}

void InstallHelpWindow() { SetHelpOpener(ShowHelpWindow); }

}  // namespace kvr
