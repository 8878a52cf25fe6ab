#include "QtSeams.h"

#include <algorithm>

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <QWidget>

#include "UiResources.h"

namespace kvr {

PromptAnswer QtPrompter::Ask(const std::string& text, const std::string& title, PromptButtons buttons,
                             PromptIcon icon) {
    QMessageBox box(QApplication::activeWindow());
    box.setObjectName("MessageBox");
    box.setWindowTitle(UiText(title.empty() ? ResString(1000) : title));
    box.setText(UiText(text));
    switch (icon) {
        case PromptIcon::None: box.setIcon(QMessageBox::NoIcon); break;
        case PromptIcon::Information: box.setIcon(QMessageBox::Information); break;
        case PromptIcon::Warning: box.setIcon(QMessageBox::Warning); break;
        case PromptIcon::Critical: box.setIcon(QMessageBox::Critical); break;
        case PromptIcon::Question: box.setIcon(QMessageBox::Question); break;
    }
    switch (buttons) {
        case PromptButtons::OK: box.setStandardButtons(QMessageBox::Ok); break;
        case PromptButtons::OKCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
        case PromptButtons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
        case PromptButtons::RetryCancel: box.setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel); break;
    }
    const int r = box.exec();
    switch (r) {
        case QMessageBox::Ok: return PromptAnswer::OK;
        case QMessageBox::Yes: return PromptAnswer::Yes;
        case QMessageBox::No: return PromptAnswer::No;
        case QMessageBox::Retry: return PromptAnswer::Retry;
        default: break;
    }
    // Closing the box by its close button or Escape counts as the negative answer.
    switch (buttons) {
        case PromptButtons::OK: return PromptAnswer::OK;
        case PromptButtons::YesNo: return PromptAnswer::No;
        default: return PromptAnswer::Cancel;
    }
}

void QtEventPump::DoEvents() {
    if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

QtProgressBar::QtProgressBar(QProgressBar* bar) { Attach(bar); }

void QtProgressBar::Attach(QProgressBar* bar) {
    m_bar = bar;
    if (m_bar) {
        m_min = m_bar->minimum();
        m_max = m_bar->maximum();
        m_value = m_bar->value();
    }
}

void QtProgressBar::SetMin(long v) { m_min = v; Push(); }
void QtProgressBar::SetMax(long v) { m_max = v; Push(); }
void QtProgressBar::SetValue(long v) { m_value = v; Push(); }

void QtProgressBar::Push() {
    if (!m_bar) return;
    // QProgressBar wants min <= max; the callers may set them in either order.
    const int lo = static_cast<int>(std::min(m_min, m_max));
    const int hi = static_cast<int>(std::max(m_min, m_max));
    m_bar->setRange(lo, hi);
    m_bar->setValue(static_cast<int>(std::clamp(m_value, static_cast<long>(lo), static_cast<long>(hi))));
}

void QtBeeper::Beep() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    // A message logged on another thread beeps on the window system's thread.
    if (QThread::currentThread() == app->thread())
        QApplication::beep();
    else
        QMetaObject::invokeMethod(app, [] { QApplication::beep(); }, Qt::QueuedConnection);
}

namespace {
QtPrompter g_prompter;
QtEventPump g_pump;
QtBeeper g_beeper;
}  // namespace

void InstallQtSeams(bool neverBlock) {
    SetPrompter(neverBlock ? nullptr : &g_prompter);
    SetEventPump(&g_pump);
    SetBeeper(&g_beeper);
}

void RemoveQtSeams() {
    SetPrompter(nullptr);
    SetEventPump(nullptr);
    SetBeeper(nullptr);
}

}  // namespace kvr
