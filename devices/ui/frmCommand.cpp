#include "frmCommand.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "LocalizeForm.h"
#include "Seams.h"
#include "basDebug.h"
#include "clsPayload.h"
#include "clsSnapCommand.h"
#include "clsSnapResponse.h"
#include "clsZarn.h"
#include "modZarniSupp.h"

namespace kvr {
namespace {
const ModuleLog Log("frmCommand");

std::string SecondsText(float s) {
    std::string t = std::to_string(s);
    // "15.000000" -> "15", "2.500000" -> "2.5"
    if (t.find('.') != std::string::npos) {
        t.erase(t.find_last_not_of('0') + 1);
        if (!t.empty() && t.back() == '.') t.pop_back();
    }
    return t;
}
}  // namespace

frmCommand::frmCommand(QWidget* parent) : QDialog(parent) {
    setObjectName("frmCommand");
    setWindowTitle("KVR Installer - Command");
    setModal(true);

    Label1 = new QLabel("Please wait...", this);
    Label1->setObjectName("Label1");
    Label1->setMinimumWidth(320);
    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setTextVisible(false);
    btCancel = new QPushButton("Cancel", this);
    btCancel->setObjectName("btCancel");
    btCancel->setAutoDefault(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(ProgressBar);
    layout->addWidget(btCancel, 0, Qt::AlignRight);

    m_progress.Attach(ProgressBar);
    m_command = std::make_unique<clsSnapCommand>();
    connect(btCancel, &QPushButton::clicked, this, &frmCommand::btCancel_Click);
    LocalizeForm(this);
}

frmCommand::~frmCommand() { ReleaseAdapter(); }

bool frmCommand::InitSend(clsZarn& Zarn, clsPayload& payload, std::uint8_t frameType,
                          std::shared_ptr<clsSnapResponse>& cResponse, bool WaitForReboot) {
    m_command->ProtocolVersion = Zarn.ProtocolVersion;
    return InitSendCustom(Zarn, payload, frameType, cResponse, 0, WaitForReboot, WaitForReboot ? 15.0f : 0.0f);
}

bool frmCommand::InitSendCustom(clsZarn& Zarn, clsPayload& payload, std::uint8_t frameType,
                                std::shared_ptr<clsSnapResponse>& cResponse, long RequestedRetries,
                                bool WaitForReboot, float Timeout) {
    m_zarn = &Zarn;
    m_payload = &payload;
    m_frameType = frameType;
    m_response = cResponse;
    m_requestedRetries = RequestedRetries;
    m_waitForReboot = WaitForReboot;
    m_timeout = Timeout;
    m_result = false;
    m_activated = false;
    Zarn.CancelWait = false;

    m_hNIC = OpenNdisRaw();
    if (m_hNIC == -1 || !OpenNdisDeviceByDesc(m_hNIC, Zarn.NICName)) {
        Log("InitSendCustom: OpenNdisDeviceByDesc failed for NIC '" + Zarn.NICName + "'.", LEVEL_ERROR);
        m_hNIC = -1;
        return false;
    }
    exec();
    ReleaseAdapter();
    cResponse = m_response;
    m_zarn = nullptr;
    m_payload = nullptr;
    return m_result;
}

void frmCommand::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_activated) QTimer::singleShot(0, this, &frmCommand::Form_Activate);
}

void frmCommand::Form_Activate() {
    if (m_activated || !m_zarn || !m_payload) return;
    m_activated = true;
    m_running = true;
    m_command->ProtocolVersion = m_zarn->ProtocolVersion;

    std::vector<std::uint8_t> bytes = m_payload->GetPayload();
    const auto length = m_payload->GetLength();
    if (m_requestedRetries != 0) {
        m_result = m_command->SendExCustom(m_hNIC, m_zarn->MAC, m_frameType, length, bytes, m_response, &m_progress,
                                           m_requestedRetries, m_timeout);
    } else {
        m_result = m_command->SendEx(m_hNIC, m_zarn->MAC, m_frameType, length, bytes, m_response, &m_progress);
    }

    // Give the device a moment before looking for it again; Cancel still works.
    const std::int64_t pauseEnd = CurrentClock().NowMs() + 1000;
    while (CurrentClock().NowMs() < pauseEnd && !m_command->CancelWait) {
        CurrentEventPump().DoEvents();
        CurrentClock().SleepMs(50);
    }

    if (m_waitForReboot) {
        if (m_command->CancelWait || !m_zarn->ScanForZarn(static_cast<std::int32_t>(m_timeout * 1000), &m_progress)) {
            Log("Form_Activate: Zarn.ScanForZarn returned failure with " + SecondsText(m_timeout) + " second wait.",
                LEVEL_WARNING);
            m_result = false;
        }
    }
    ReleaseAdapter();
    m_running = false;
    done(QDialog::Accepted);
}

void frmCommand::btCancel_Click() {
    m_command->CancelWait = true;
    if (m_zarn) m_zarn->CancelWait = true;
}

void frmCommand::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        btCancel_Click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmCommand::reject() {
    btCancel_Click();
    if (!m_running) QDialog::reject();
}

void frmCommand::closeEvent(QCloseEvent* event) {
    if (m_running) {
        btCancel_Click();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void frmCommand::ReleaseAdapter() {
    if (m_hNIC != -1) {
        CloseNdisRaw(m_hNIC);
        m_hNIC = -1;
    }
}

}  // namespace kvr
