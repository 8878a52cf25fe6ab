// Draws the pictures that ship with the program into data/pic/builtin/<id>.png
// and, when a second folder is given, the desktop icon (picture 100) at the
// hicolor theme's sizes into <folder>/<n>x<n>/kvr-installer.png.
// Run once when a picture changes; the PNGs are committed, this program is not
// part of the build:
//   g++ -std=c++20 -fPIC drawpics.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/drawpics
//   QT_QPA_PLATFORM=offscreen /tmp/drawpics ../builtin ../../../packaging/icons
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <cmath>

namespace {

const QColor kDeep(0x12, 0x3a, 0x5c);
const QColor kTeal(0x1f, 0x8a, 0x9e);
const QColor kLight(0xe8, 0xf4, 0xf7);
const QColor kAmber(0xe8, 0x8a, 0x1a);
const QColor kGreen(0x2e, 0x9e, 0x4f);

QImage Canvas(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

// Three sound arcs to the right of (x, y).
void Waves(QPainter& p, qreal x, qreal y, qreal r, qreal width, const QColor& c) {
    p.setBrush(Qt::NoBrush);
    for (int i = 1; i <= 3; ++i) {
        QPen pen(c, width);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        const qreal rr = r * i;
        p.drawArc(QRectF(x - rr, y - rr, 2 * rr, 2 * rr), -45 * 16, 90 * 16);
    }
}

// A small loudspeaker whose cone points right.
void Speaker(QPainter& p, qreal x, qreal y, qreal s, const QColor& c) {
    QPainterPath path;
    path.moveTo(x, y - s * 0.3);
    path.lineTo(x + s * 0.35, y - s * 0.3);
    path.lineTo(x + s * 0.8, y - s * 0.7);
    path.lineTo(x + s * 0.8, y + s * 0.7);
    path.lineTo(x + s * 0.35, y + s * 0.3);
    path.lineTo(x, y + s * 0.3);
    path.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPath(path);
}

QImage ProgramIcon(int size) {
    QImage img = Canvas(size, size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, size);
    g.setColorAt(0, kTeal);
    g.setColorAt(1, kDeep);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(1, 1, size - 2, size - 2), size * 0.2, size * 0.2);
    Speaker(p, size * 0.14, size * 0.5, size * 0.34, Qt::white);
    Waves(p, size * 0.42, size * 0.5, size * 0.14, size * 0.06, Qt::white);
    return img;
}

QImage ModeIcon(bool download) {
    const int s = 16;
    QImage img = Canvas(s, s);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(download ? kAmber.darker(130) : kGreen.darker(130), 1));
    p.setBrush(download ? kAmber : kGreen);
    p.drawEllipse(QRectF(0.5, 0.5, s - 1, s - 1));
    if (download) {
        // a downward arrow: the device waits for firmware
        QPainterPath arrow;
        arrow.moveTo(6.5, 3);
        arrow.lineTo(9.5, 3);
        arrow.lineTo(9.5, 8);
        arrow.lineTo(12, 8);
        arrow.lineTo(8, 13);
        arrow.lineTo(4, 8);
        arrow.lineTo(6.5, 8);
        arrow.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPath(arrow);
    } else {
        Speaker(p, 3, 8, 5.5, Qt::white);
        Waves(p, 8.5, 8, 2.2, 1.2, Qt::white);
    }
    return img;
}

void Backdrop(QPainter& p, int w, int h) {
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, kDeep);
    g.setColorAt(1, kTeal);
    p.fillRect(0, 0, w, h, g);
    // faint concentric arcs as a texture
    for (int i = 1; i < 14; ++i) {
        QPen pen(QColor(255, 255, 255, 18), 2);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        const qreal r = i * 34.0;
        p.drawEllipse(QPointF(w * 0.85, h * 0.9), r, r);
    }
}

QImage Splash() {
    const int w = 480, h = 300;
    QImage img = Canvas(w, h);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    Backdrop(p, w, h);
    Speaker(p, 44, 120, 56, Qt::white);
    Waves(p, 96, 120, 22, 6, Qt::white);
    p.setPen(Qt::white);
    QFont f("DejaVu Sans", 25, QFont::Bold);
    p.setFont(f);
    p.drawText(QRect(184, 70, 290, 50), Qt::AlignLeft | Qt::AlignVCenter, "KVR Installer");
    QFont s("DejaVu Sans", 13);
    p.setFont(s);
    p.setPen(kLight);
    p.drawText(QRect(186, 120, 290, 30), Qt::AlignLeft | Qt::AlignVCenter, "Kavori network audio adapters");
    QFont small("DejaVu Sans", 10);
    p.setFont(small);
    p.drawText(QRect(24, h - 48, w - 48, 24), Qt::AlignLeft | Qt::AlignVCenter,
               "Looking for network adapters...");
    return img;
}

QImage Banner() {
    const int w = 1280, h = 56;
    QImage img = Canvas(w, h);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    Backdrop(p, w, h);
    Speaker(p, 14, 28, 20, Qt::white);
    Waves(p, 33, 28, 8, 2.5, Qt::white);
    p.setPen(Qt::white);
    p.setFont(QFont("DejaVu Sans", 16, QFont::Bold));
    p.drawText(QRect(74, 0, w - 80, h), Qt::AlignLeft | Qt::AlignVCenter, "KVR Installer");
    return img;
}

// Side pictures of the four firmware wizard pages.
QImage WizardPage(int page) {
    const int w = 164, h = 314;
    QImage img = Canvas(w, h);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    Backdrop(p, w, h);
    const QPointF c(w / 2.0, h * 0.4);
    p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    switch (page) {
        case 1: {  // a device
            p.drawRoundedRect(QRectF(c.x() - 40, c.y() - 30, 80, 60), 10, 10);
            p.setBrush(Qt::white);
            p.drawEllipse(QPointF(c.x() + 22, c.y() + 12), 5, 5);
            p.setBrush(Qt::NoBrush);
            Waves(p, c.x() + 44, c.y() - 38, 10, 4, Qt::white);
            break;
        }
        case 2: {  // a firmware file
            QPainterPath doc;
            doc.moveTo(c.x() - 32, c.y() - 44);
            doc.lineTo(c.x() + 14, c.y() - 44);
            doc.lineTo(c.x() + 32, c.y() - 26);
            doc.lineTo(c.x() + 32, c.y() + 44);
            doc.lineTo(c.x() - 32, c.y() + 44);
            doc.closeSubpath();
            p.drawPath(doc);
            for (int i = 0; i < 4; ++i)
                p.drawLine(QPointF(c.x() - 18, c.y() - 14 + i * 14), QPointF(c.x() + 18, c.y() - 14 + i * 14));
            break;
        }
        case 3: {  // transfer
            p.drawLine(QPointF(c.x(), c.y() - 46), QPointF(c.x(), c.y() + 30));
            QPainterPath head;
            head.moveTo(c.x() - 26, c.y() + 8);
            head.lineTo(c.x(), c.y() + 40);
            head.lineTo(c.x() + 26, c.y() + 8);
            p.drawPath(head);
            p.drawLine(QPointF(c.x() - 40, c.y() + 56), QPointF(c.x() + 40, c.y() + 56));
            break;
        }
        default: {  // done
            p.drawEllipse(c, 46, 46);
            QPainterPath tick;
            tick.moveTo(c.x() - 22, c.y() + 2);
            tick.lineTo(c.x() - 6, c.y() + 20);
            tick.lineTo(c.x() + 24, c.y() - 18);
            p.drawPath(tick);
            break;
        }
    }
    return img;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    bool ok = true;
    auto save = [&](const QImage& img, int id) { ok = img.save(dir + "/" + QString::number(id) + ".png") && ok; };
    save(ProgramIcon(64), 100);
    save(Banner(), 101);
    save(Splash(), 102);
    save(ModeIcon(false), 110);
    save(ModeIcon(true), 111);
    for (int page = 1; page <= 4; ++page) save(WizardPage(page), 600 + page);
    if (argc > 2) {
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            const QString folder = QString::fromLocal8Bit(argv[2]) + QString("/%1x%1").arg(size);
            ok = QDir().mkpath(folder) && ProgramIcon(size).save(folder + "/kvr-installer.png") && ok;
        }
    }
    return ok ? 0 : 1;
}
