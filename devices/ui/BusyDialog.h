#pragma once
// The base of the progress dialogs (frmDiscover, frmCommand): a modal window
// with an activity label, a progress bar and a Cancel button that runs its
// work once it is on screen, once per showing, and closes itself when the
// work has ended. The Cancel button, the Escape key and the close box cancel
// the work; the dialog never closes underneath running work.
#include <QDialog>

#include "QtSeams.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace kvr {

class BusyDialog : public QDialog {
    Q_OBJECT
public:
    // The names the dialog's controls go by (object names, for localisation
    // and tests).
    struct Names {
        const char* dialog;
        const char* caption;
        const char* label;
        int labelWidth;
        const char* cancelButton;
    };
    BusyDialog(const Names& names, QWidget* parent);

    bool Running() const { return m_running; }

protected:
    // The work, run once the dialog is on screen; it lets window events run
    // through the event-pump seam so that Cancel can act.
    virtual void Form_Activate() = 0;
    // Asks the running (or coming) work to stop.
    virtual void CancelWork() = 0;
    // Whether Escape and the close box close the dialog before its work has
    // begun (frmCommand: yes; frmDiscover: no, its work still runs and ends
    // at once).
    virtual bool ClosesBeforeWork() const { return true; }

    // The next showing runs the work again.
    void ResetActivation() { m_activated = false; }
    bool Activated() const { return m_activated; }

    QLabel* ActivityLabel() const { return m_label; }
    QProgressBar* Bar() const { return m_bar; }
    QPushButton* CancelButton() const { return m_cancel; }
    QtProgressBar& Progress() { return m_progress; }

    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Activate();

    QLabel* m_label = nullptr;
    QProgressBar* m_bar = nullptr;
    QPushButton* m_cancel = nullptr;
    QtProgressBar m_progress;
    bool m_activated = false;
    bool m_running = false;
};

}  // namespace kvr
