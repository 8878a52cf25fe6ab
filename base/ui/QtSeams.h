#pragma once
// Qt implementations of the seams: message boxes, DoEvents, progress bars and
// the beep. The program installs them at start-up (InstallQtSeams); tests keep
// the headless defaults or their own fakes.
#include <QPointer>
#include <QProgressBar>

#include "Seams.h"
#include "basDebug.h"

class QWidget;

namespace kvr {

// Message boxes through QMessageBox, parented to the active window.
class QtPrompter : public Prompter {
public:
    PromptAnswer Ask(const std::string& text, const std::string& title, PromptButtons buttons,
                     PromptIcon icon) override;
};

// DoEvents: lets pending window events run (input, repaint, timers).
class QtEventPump : public EventPump {
public:
    void DoEvents() override;
};

// A progress bar seam over a QProgressBar. Keeps its values when the widget
// goes away, so a window closing mid-operation never leaves a dangling bar.
class QtProgressBar : public ProgressBar {
public:
    explicit QtProgressBar(QProgressBar* bar = nullptr);
    void Attach(QProgressBar* bar);
    void SetMin(long v) override;
    void SetMax(long v) override;
    void SetValue(long v) override;
    long Min() const override { return m_min; }
    long Max() const override { return m_max; }
    long Value() const override { return m_value; }

private:
    void Push();
    QPointer<QProgressBar> m_bar;
    long m_min = 0, m_max = 100, m_value = 0;
};

class QtBeeper : public Beeper {
public:
    void Beep() override;
};

// Installs the Qt prompter, event pump and beeper program-wide. When
// `neverBlock` is set (an unattended run), the headless prompter stays, so
// every question is answered negatively at once and logged.
void InstallQtSeams(bool neverBlock);
void RemoveQtSeams();

}  // namespace kvr
