#include "frmMsg.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include "LocalizeForm.h"
#include "UiResources.h"
#include "basDebug.h"

namespace kvr {
namespace {
const ModuleLog Log("frmMsg");
bool g_neverBlock = false;
QPointer<frmMsg> g_window;

// Seconds as the count-down shows them: 3000 -> "3", 2500 -> "2.5".
QString Seconds(long ms) { return QString::number(static_cast<double>(ms) / 1000.0, 'g', 10); }
}  // namespace

void frmMsg::SetNeverBlock(bool neverBlock) { g_neverBlock = neverBlock; }

frmMsg::frmMsg(QWidget* parent) : QDialog(parent) {
    setObjectName("frmMsg");
    setWindowTitle("KVR Installer - Message");

    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    lblMessage = new QLabel("An unknown error occured.", this);
    lblMessage->setObjectName("lblMessage");
    lblMessage->setWordWrap(true);
    lblMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblMessage->setMinimumWidth(320);

    lblTimeoutMsg = new QLabel(this);
    lblTimeoutMsg->setObjectName("lblTimeoutMsg");
    lblTimeoutMsg->setProperty("countDownTextId", 1606);
    lblTimeoutMsg->hide();

    lblButtontext = new QLabel("Press Help to show more info about this message.", this);
    lblButtontext->setObjectName("lblButtontext");

    cmdOK = new QPushButton("OK", this);
    cmdOK->setObjectName("cmdOK");
    cmdOK->setDefault(true);
    cmdHelp = new QPushButton("Help", this);
    cmdHelp->setObjectName("cmdHelp");

    tmrExitTimer = new QTimer(this);
    tmrExitTimer->setObjectName("tmrExitTimer");

    auto* top = new QHBoxLayout;
    top->addWidget(Image1);
    top->addWidget(lblMessage, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(lblButtontext, 1);
    buttons->addWidget(cmdHelp);
    buttons->addWidget(cmdOK);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(lblTimeoutMsg);
    layout->addLayout(buttons);

    connect(cmdOK, &QPushButton::clicked, this, &frmMsg::cmdOK_Click);
    connect(cmdHelp, &QPushButton::clicked, this, &frmMsg::cmdHelp_Click);
    connect(tmrExitTimer, &QTimer::timeout, this, &frmMsg::tmrExitTimer_Timer);
    // F1 anywhere in the window acts as the Help button.
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, &frmMsg::cmdHelp_Click);
    // Closing the window by any means stops the count-down.
    connect(this, &QDialog::finished, this, [this] {
        tmrExitTimer->stop();
        m_timeoutRunning = false;
    });

    // Load: the icon takes the program's picture.
    const QPixmap icon = ResPicture(PIC_PROGRAM_ICON);
    if (!icon.isNull()) {
        Image1->setPixmap(icon);
        setWindowIcon(icon);
    }
    LocalizeForm(this);
}

void frmMsg::ShowMessage(int id, int modal, long timeoutMs) {
    tmrExitTimer->stop();
    m_timeoutRunning = false;
    m_remainingMs = 0;
    lblTimeoutMsg->hide();

    if (timeoutMs > 0) {
        m_remainingMs = timeoutMs;
        m_countDownText = ResText(1606);
        if (m_countDownText.isEmpty()) m_countDownText = "Dialog closing in: ";
        m_timeoutRunning = true;
        ShowCountDown();
        lblTimeoutMsg->show();
    }

    m_messageId = id == 0 ? 1900 : id;
    const std::string text = ResString(m_messageId);
    lblMessage->setText(UiText(text));
    Log(text, LEVEL_USER);

    if (m_timeoutRunning) {
        tmrExitTimer->setInterval(static_cast<int>(std::min(m_remainingMs, 1000L)));
        tmrExitTimer->start();
    }
    adjustSize();

    if (modal != 0 && !g_neverBlock) {
        exec();
    } else {
        show();
        raise();
    }
}

void frmMsg::ShowCountDown() { lblTimeoutMsg->setText(m_countDownText + Seconds(m_remainingMs)); }

// Each tick takes one interval off the remaining time and shows what is left;
// the window closes when nothing is left, so a 3000 ms time-out counts 3, 2, 1
// and closes after three seconds, and a 500 ms one closes at its first tick.
void frmMsg::tmrExitTimer_Timer() {
    const long interval = tmrExitTimer->interval();
    if (interval < m_remainingMs) {
        m_remainingMs -= interval;
        ShowCountDown();
        repaint();
        // The last stretch may be shorter than a second (1500 ms: 1 s, then 0.5 s).
        if (m_remainingMs < interval) tmrExitTimer->setInterval(static_cast<int>(m_remainingMs));
        return;
    }
    m_remainingMs = 0;
    ShowCountDown();
    tmrExitTimer->stop();
    done(QDialog::Accepted);
}

void frmMsg::cmdOK_Click() { done(QDialog::Accepted); }

void frmMsg::cmdHelp_Click() { kvr::ShowHelp(std::to_string(m_messageId), this); }

frmMsg& MessageWindow() {
    if (!g_window) g_window = new frmMsg(nullptr);
    return *g_window;
}

void DestroyMessageWindow() { delete g_window.data(); }

void ShowMessage(int id, int modal, long timeoutMs) { MessageWindow().ShowMessage(id, modal, timeoutMs); }

}  // namespace kvr
