// Help window: topic pages and the fall-back page, links that stay inside the
// help folder, the modal ShowHelp behind every Help button, and the Action
// menu's support address and error report.
#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "Globals.h"
#include "Seams.h"
#include "UiResources.h"
#include "clsDbManager.h"
#include "RecordingPrompter.h"
#include "frmHelp.h"
#include "frmMsg.h"

using namespace kvr;

namespace {

void WriteFile(const QString& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path.toStdString()).parent_path());
    std::ofstream(path.toStdString()) << text;
}

std::string Page(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html><html><head><title>" + title + "</title></head><body><h1>" + title + "</h1>" + body +
           "</body></html>";
}

}  // namespace

class HelpWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QString m_appDir;

    static QTextBrowser* Browser(frmHelp& w) { return w.findChild<QTextBrowser*>("browserHelp"); }
    static QString FileName(const QString& path) { return path.section('/', -1); }

    // Runs fn as soon as the modal help window is up, then closes it with File > Exit.
    static void WhenHelpOpens(std::function<void(frmHelp&)> fn, bool* seen) {
        QTimer::singleShot(0, [fn, seen] {
            auto* help = qobject_cast<frmHelp*>(QApplication::activeModalWidget());
            if (!help) {
                WhenHelpOpens(fn, seen);  // not shown yet
                return;
            }
            *seen = true;
            fn(*help);
            help->findChild<QAction*>("mnuExit")->trigger();
        });
    }

private slots:
    void initTestCase() {
        QVERIFY(m_root.isValid());
        m_appDir = m_root.path() + "/app";
        WriteFile(m_appDir + "/help/1000.html",
                  Page("Start", "<p><a href=\"1017.html\">none found</a> <a href=\"../secret.html\">out</a> "
                                "<a href=\"http://example.com/x.html\">web</a></p>"));
        WriteFile(m_appDir + "/help/1017.html", Page("No devices", "<p><a href=\"1000.html\">back</a></p>"));
        WriteFile(m_appDir + "/secret.html", Page("Secret", "<p>outside the help folder</p>"));
        G().AppDirectory = m_appDir.toStdString();
        G().DbManager = nullptr;
    }
    void cleanup() {
        G().AppDirectory = m_appDir.toStdString();
        SetHelpOpener(nullptr);
        frmHelp::SetInputBox(nullptr);
        SetPrompter(nullptr);
    }
    void cleanupTestCase() { DestroyMessageWindow(); }

    void topicWithoutPageShowsStartPage_data() {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QString>("page");
        QTest::newRow("own page") << "1017" << "1017.html";
        QTest::newRow("no page") << "4711" << "1000.html";
        QTest::newRow("empty topic") << "" << "1000.html";
        QTest::newRow("path outside") << "../secret" << "1000.html";
        QTest::newRow("file name") << "1017.html" << "1000.html";
        QTest::newRow("absolute") << "/etc/passwd" << "1000.html";
    }
    void topicWithoutPageShowsStartPage() {
        QFETCH(QString, topic);
        QFETCH(QString, page);
        frmHelp w;
        w.Navigate(topic.toStdString());
        QCOMPARE(w.CurrentPage(), m_appDir + "/help/" + page);
        QVERIFY(Browser(w)->toPlainText().contains(page == "1000.html" ? "Start" : "No devices"));
    }

    void linksBetweenPagesWorkAndNothingElseIsLoaded() {
        frmHelp w;
        w.Navigate("1000");
        QTextBrowser* b = Browser(w);
        emit b->anchorClicked(QUrl("1017.html"));
        QCOMPARE(FileName(w.CurrentPage()), QString("1017.html"));
        emit b->anchorClicked(QUrl("1000.html"));
        QCOMPARE(FileName(w.CurrentPage()), QString("1000.html"));
        emit b->anchorClicked(QUrl("../secret.html"));
        emit b->anchorClicked(QUrl("http://example.com/x.html"));
        emit b->anchorClicked(QUrl::fromLocalFile(m_appDir + "/secret.html"));
        QCOMPARE(FileName(w.CurrentPage()), QString("1000.html"));
        // Resources (pages, style sheets, pictures) come from the help folder only.
        QVERIFY(b->loadResource(QTextDocument::HtmlResource, QUrl("1017.html")).isValid());
        QVERIFY(!b->loadResource(QTextDocument::HtmlResource, QUrl("../secret.html")).isValid());
        QVERIFY(!b->loadResource(QTextDocument::StyleSheetResource, QUrl("http://example.com/a.css")).isValid());
        QVERIFY(!b->loadResource(QTextDocument::HtmlResource, QUrl::fromLocalFile(m_appDir + "/secret.html")).isValid());
    }

    void missingHelpFolderSaysSo() {
        QTemporaryDir empty;
        G().AppDirectory = empty.path().toStdString();
        frmHelp w;
        w.Navigate("1017");
        QVERIFY(Browser(w)->toPlainText().contains("Help is not available"));
        QVERIFY(Browser(w)->toPlainText().contains(empty.path() + "/help"));
    }

    void helpButtonsOpenTheModalHelpWindowAtTheirTopic() {
        InstallHelpWindow();
        QString page;
        bool seen = false;
        WhenHelpOpens([&](frmHelp& h) { page = h.CurrentPage(); }, &seen);
        kvr::ShowHelp("1017");
        QVERIFY(seen);
        QCOMPARE(FileName(page), QString("1017.html"));

        // The message window's Help button shows the page of its message.
        frmMsg msg;
        msg.ShowMessage(1017, 0);
        seen = false;
        page.clear();
        WhenHelpOpens([&](frmHelp& h) { page = h.CurrentPage(); }, &seen);
        msg.findChild<QPushButton*>("cmdHelp")->click();
        QVERIFY(seen);
        QCOMPARE(FileName(page), QString("1017.html"));

        // F1 anywhere in the message window does the same.
        msg.ShowMessage(1101, 0);
        QApplication::setActiveWindow(&msg);
        QVERIFY(QTest::qWaitForWindowActive(&msg));
        seen = false;
        page.clear();
        WhenHelpOpens([&](frmHelp& h) { page = h.CurrentPage(); }, &seen);
        QTest::keyClick(msg.findChild<QPushButton*>("cmdOK"), Qt::Key_F1);
        QVERIFY(seen);
        QCOMPARE(FileName(page), QString("1000.html"));  // no page for 1101 in this folder
        msg.close();
    }

    void sendErrorReportMenuWithoutMailClientNamesTheDatabase() {
        std::filesystem::copy_file(std::string(KVR_BUNDLE_DIR) + "/db1_clean.mdb",
                                   (m_appDir + "/db1_clean.mdb").toStdString());
        auto db = std::make_unique<clsDbManager>();
        db->SaveSetting(kProgramTitle, "Settings", "SupportEmailAddress", "help@kvr.example");
        test::RecordingPrompter prompter(PromptAnswer::No);
        const QByteArray oldPath = qgetenv("PATH");
        QTemporaryDir emptyBin;
        qputenv("PATH", emptyBin.path().toUtf8());
        frmHelp w;
        w.findChild<QAction*>("mnuSendErrorReport")->trigger();
        qputenv("PATH", oldPath);
        QCOMPARE(prompter.questions.size(), std::size_t{1});
        QCOMPARE(QString::fromStdString(prompter.questions[0].text),
                 "Failed to establish a mail session.  Please send the file '" + m_appDir +
                     "/db1.mdb' to the proper support personnel.");
        QVERIFY(!QFile::exists(m_appDir + "/debug_log.mdb"));
    }
};

QTEST_MAIN(HelpWindowTest)
#include "test_help.moc"
