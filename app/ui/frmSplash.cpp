#include "frmSplash.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

#include "LocalizeForm.h"
#include "UiResources.h"

namespace kvr {
namespace {
QPointer<frmSplash> g_splash;
}

frmSplash::frmSplash(QWidget* parent) : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setObjectName("frmSplash");
    setAttribute(Qt::WA_DeleteOnClose);
    LocalizeForm(this);
    pic = new QLabel(this);
    pic->setObjectName("pic");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(pic);
    const QPixmap pm = ResPicture(PIC_SPLASH);
    if (!pm.isNull()) {
        pic->setPixmap(pm);
        setFixedSize(pm.size());  // the window takes the picture's size
    } else {
        pic->setText(ResText(1000));
        pic->setAlignment(Qt::AlignCenter);
        setFixedSize(360, 200);
    }
}

void frmSplash::ShowNow() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect r = screen->availableGeometry();
        move(r.center() - rect().center());
    }
    show();
    raise();
    repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

frmSplash* ShowSplash() {
    if (!g_splash) g_splash = new frmSplash;
    g_splash->ShowNow();
    return g_splash;
}

void CloseSplash() {
    if (g_splash) g_splash->close();  // deletes itself
}

bool SplashVisible() { return g_splash && g_splash->isVisible(); }

}  // namespace kvr
