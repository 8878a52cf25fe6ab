#pragma once
// The start-up picture, shown while the start-up checks run.
#include <QWidget>

class QLabel;

namespace kvr {

class frmSplash : public QWidget {
    Q_OBJECT
public:
    explicit frmSplash(QWidget* parent = nullptr);
    // Shows the window and paints it at once (the checks that follow block).
    void ShowNow();

private:
    QLabel* pic = nullptr;
};

// The one splash window of a start-up: shown by the start-up code, closed by
// it or by the adapter check. Closing when none is open does nothing.
frmSplash* ShowSplash();
void CloseSplash();
bool SplashVisible();

}  // namespace kvr
