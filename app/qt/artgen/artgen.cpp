// Draws every picture the Quillmere window loads by name into one folder:
//   bkg.bmp           tileable window background
//   bar.png           640x220 bar along the bottom (its upper 150 px show)
//   button_red.png    119x53 face of the START button
//   TP1_2.png         idle picture (640x480 view)
//   0.png .. 19.png   progress pictures: the ring lit and the figure written as far as
//                     progressPercent (front_state.h) says, the figure screen readers are given
//   complete.png, failed.png
//   icon.png          the application icon at 256x256, for the window's own icon
// and, with --icons DIR, the application icon for the desktop, square, in the usual sizes:
//   DIR/hicolor/NxN/apps/quillmere.png   (N = 16, 22, 24, 32, 48, 64, 128, 256)
// Everything is computed from fixed numbers, so two runs give the same pixels.
#include <QtCore/QDir>
#include <QtGui/QFont>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtGui/QRadialGradient>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "quill/front_state.h"

namespace {

// Theme colours; the window's label colours belong to the same palette.
const QColor kAccent(75, 170, 243);
const QColor kAccentLight(180, 220, 255);
const QColor kCyan(120, 225, 255);
const QColor kGreen(70, 205, 130);
const QColor kRed(230, 72, 64);

// Status pictures are shown 1:1 in a 640x480 view whose top lies 10 px above the window's
// top; the heading sits at the left and the bar covers the window from y = 330 down, so
// the drawing stays in the upper right and everything else is transparent.
constexpr int kPicW = 640;
constexpr int kPicH = 480;
const QPointF kRingCentre(440.0, 180.0);
constexpr double kRingOuter = 124.0;
constexpr double kRingInner = 100.0;
constexpr int kSteps = 20;

bool save(const QImage& image, const QString& dir, const char* name, const char* format) {
    const QString path = dir + '/' + QString::fromLatin1(name);
    if (!image.save(path, format)) {
        std::fprintf(stderr, "artgen: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

QImage transparentCanvas(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// 64x64 navy tile with soft diagonal lines whose period divides the tile, so it wraps.
QImage drawBackground() {
    constexpr int kTile = 64;
    QImage image(kTile, kTile, QImage::Format_RGB32);
    for (int y = 0; y < kTile; ++y) {
        for (int x = 0; x < kTile; ++x) {
            const int phase = (x + y) % 16;
            const int lift = phase == 0 ? 9 : (phase == 1 || phase == 15) ? 4 : 0;
            const int dot = (x % 32 == 16 && y % 32 == 16) ? 10 : 0;
            image.setPixel(x, y, qRgb(14 + lift + dot, 27 + lift + dot, 54 + lift + 2 * dot));
        }
    }
    return image;
}

QImage drawBar() {
    QImage image = transparentCanvas(640, 220);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient body(0, 0, 0, 150);
    body.setStops({{0.0, QColor(24, 50, 96, 245)}, {0.45, QColor(15, 32, 66, 245)}, {1.0, QColor(8, 17, 38, 250)}});
    p.fillRect(QRectF(0, 0, 640, 220), body);

    // Glow under the top edge and a thin bright rule along it.
    QLinearGradient glow(0, 0, 0, 28);
    glow.setStops({{0.0, QColor(75, 170, 243, 90)}, {1.0, QColor(75, 170, 243, 0)}});
    p.fillRect(QRectF(0, 0, 640, 28), glow);
    QLinearGradient rule(0, 0, 640, 0);
    rule.setStops(
        {{0.0, QColor(75, 170, 243, 40)}, {0.5, QColor(150, 215, 255, 230)}, {1.0, QColor(75, 170, 243, 40)}});
    p.fillRect(QRectF(0, 0, 640, 2), rule);

    // Faint divider between the status line and the controls.
    QLinearGradient divider(0, 0, 640, 0);
    divider.setStops({{0.0, QColor(255, 255, 255, 0)},
                      {0.3, QColor(255, 255, 255, 26)},
                      {0.7, QColor(255, 255, 255, 26)},
                      {1.0, QColor(255, 255, 255, 0)}});
    p.fillRect(QRectF(0, 70, 640, 1), divider);
    return image;
}

QImage drawRedButton() {
    QImage image = transparentCanvas(119, 53);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF outer(1.5, 1.5, 116, 50);

    QPainterPath shadow;
    shadow.addRoundedRect(outer.translated(0, 1), 11, 11);
    p.fillPath(shadow, QColor(0, 0, 0, 90));

    QPainterPath face;
    face.addRoundedRect(outer, 11, 11);
    QLinearGradient fill(0, outer.top(), 0, outer.bottom());
    fill.setStops({{0.0, QColor(248, 96, 80)}, {0.5, QColor(214, 44, 38)}, {1.0, QColor(150, 18, 20)}});
    p.fillPath(face, fill);

    // Gloss over the upper half.
    QPainterPath gloss;
    gloss.addRoundedRect(QRectF(outer.left() + 4, outer.top() + 3, outer.width() - 8, outer.height() * 0.45), 8, 8);
    QLinearGradient shine(0, outer.top(), 0, outer.top() + outer.height() * 0.5);
    shine.setStops({{0.0, QColor(255, 255, 255, 110)}, {1.0, QColor(255, 255, 255, 8)}});
    p.fillPath(gloss, shine);

    p.setPen(QPen(QColor(100, 10, 12), 1.5));
    p.drawPath(face);
    return image;
}

void drawHalo(QPainter& p, const QColor& tint) {
    QRadialGradient halo(kRingCentre, kRingOuter + 40);
    QColor inner = tint;
    inner.setAlpha(60);
    QColor outer = tint;
    outer.setAlpha(0);
    halo.setStops({{0.0, inner}, {0.75, QColor(tint.red(), tint.green(), tint.blue(), 22)}, {1.0, outer}});
    p.setPen(Qt::NoPen);
    p.setBrush(halo);
    p.drawEllipse(kRingCentre, kRingOuter + 40, kRingOuter + 40);

    // Dark disc behind the ring so it reads on the patterned background.
    p.setBrush(QColor(6, 14, 32, 170));
    p.drawEllipse(kRingCentre, kRingOuter + 6, kRingOuter + 6);
}

QPainterPath ringSegment(int index) {
    // Segment 0 starts at 12 o'clock; segments run clockwise with a small gap between them.
    const double span = 360.0 / kSteps;
    const double gap = 3.0;
    const double start = 90.0 - index * span - gap / 2;  // Qt angles run counter-clockwise
    const double sweep = -(span - gap);
    const QRectF outerBox(kRingCentre.x() - kRingOuter, kRingCentre.y() - kRingOuter, 2 * kRingOuter, 2 * kRingOuter);
    const QRectF innerBox(kRingCentre.x() - kRingInner, kRingCentre.y() - kRingInner, 2 * kRingInner, 2 * kRingInner);
    QPainterPath path;
    path.arcMoveTo(outerBox, start);
    path.arcTo(outerBox, start, sweep);
    path.arcTo(innerBox, start + sweep, -sweep);
    path.closeSubpath();
    return path;
}

QColor mix(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * t),
                            static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * t),
                            static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * t));
}

// Draws the 20-segment ring; `lit` segments glow from `from` to `to`, the rest stay dim.
void drawRing(QPainter& p, int lit, const QColor& from, const QColor& to) {
    for (int i = 0; i < kSteps; ++i) {
        const QPainterPath segment = ringSegment(i);
        if (i < lit) {
            const QColor colour = mix(from, to, kSteps > 1 ? double(i) / (kSteps - 1) : 0.0);
            QColor glow = colour;
            glow.setAlpha(70);
            p.setPen(QPen(glow, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.setBrush(Qt::NoBrush);
            p.drawPath(segment);
            p.setPen(QPen(colour.lighter(130), 1));
            p.setBrush(colour);
            p.drawPath(segment);
        } else {
            p.setPen(QPen(QColor(255, 255, 255, 45), 1));
            p.setBrush(QColor(255, 255, 255, 22));
            p.drawPath(segment);
        }
    }
}

QFont boldFont(int pixelSize) {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

// A microcontroller: dark body with pins on all four sides.
void drawChip(QPainter& p, const QColor& pinTint) {
    constexpr double kBody = 84.0;
    const QRectF body(kRingCentre.x() - kBody / 2, kRingCentre.y() - kBody / 2, kBody, kBody);
    p.setPen(Qt::NoPen);
    p.setBrush(mix(QColor(150, 165, 190), pinTint, 0.35));
    constexpr int kPins = 6;
    const double pitch = kBody / kPins;
    for (int i = 0; i < kPins; ++i) {
        const double along = body.left() + pitch * (i + 0.5) - 3.0;
        const double down = body.top() + pitch * (i + 0.5) - 3.0;
        p.drawRoundedRect(QRectF(along, body.top() - 9, 6, 10), 1.5, 1.5);
        p.drawRoundedRect(QRectF(along, body.bottom() - 1, 6, 10), 1.5, 1.5);
        p.drawRoundedRect(QRectF(body.left() - 9, down, 10, 6), 1.5, 1.5);
        p.drawRoundedRect(QRectF(body.right() - 1, down, 10, 6), 1.5, 1.5);
    }
    QLinearGradient fill(0, body.top(), 0, body.bottom());
    fill.setStops({{0.0, QColor(48, 60, 86)}, {1.0, QColor(22, 28, 44)}});
    p.setBrush(fill);
    p.setPen(QPen(QColor(110, 130, 165), 1.2));
    p.drawRoundedRect(body, 8, 8);
    p.setBrush(QColor(255, 255, 255, 60));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(body.left() + 12, body.top() + 12), 3.5, 3.5);
}

QImage drawProgress(int step) {
    QImage image = transparentCanvas(kPicW, kPicH);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    drawHalo(p, kAccent);
    const int percent = quill::progressPercent(step).value_or(0);
    drawRing(p, percent * kSteps / 100, kAccent, kCyan);
    drawChip(p, kAccent);

    // Arrow flowing into the chip above the percentage.
    const QPointF tip(kRingCentre.x(), kRingCentre.y() - 8);
    QPainterPath arrow;
    arrow.moveTo(tip.x() - 5, tip.y() - 26);
    arrow.lineTo(tip.x() + 5, tip.y() - 26);
    arrow.lineTo(tip.x() + 5, tip.y() - 12);
    arrow.lineTo(tip.x() + 12, tip.y() - 12);
    arrow.lineTo(tip.x(), tip.y());
    arrow.lineTo(tip.x() - 12, tip.y() - 12);
    arrow.lineTo(tip.x() - 5, tip.y() - 12);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kCyan);
    p.drawPath(arrow);

    p.setFont(boldFont(22));
    p.setPen(kAccentLight);
    const QRectF textBox(kRingCentre.x() - 42, kRingCentre.y() - 2, 84, 34);
    p.drawText(textBox, Qt::AlignCenter, QStringLiteral("%1%").arg(percent));
    return image;
}

// The USB symbol: a stem with an arrow head, a round branch and a square branch.
void drawUsbSymbol(QPainter& p, const QPointF& c, const QColor& colour) {
    QPen pen(colour, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(c.x(), c.y() + 46), QPointF(c.x(), c.y() - 36));
    QPainterPath left;
    left.moveTo(c.x(), c.y() + 18);
    left.lineTo(c.x() - 26, c.y() - 2);
    left.lineTo(c.x() - 26, c.y() - 14);
    p.drawPath(left);
    QPainterPath right;
    right.moveTo(c.x(), c.y() + 6);
    right.lineTo(c.x() + 26, c.y() - 14);
    right.lineTo(c.x() + 26, c.y() - 24);
    p.drawPath(right);

    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    QPainterPath head;
    head.moveTo(c.x(), c.y() - 58);
    head.lineTo(c.x() + 13, c.y() - 34);
    head.lineTo(c.x() - 13, c.y() - 34);
    head.closeSubpath();
    p.drawPath(head);
    p.drawEllipse(QPointF(c.x() - 26, c.y() - 21), 9, 9);
    p.drawRect(QRectF(c.x() + 18, c.y() - 40, 16, 16));
    p.drawEllipse(QPointF(c.x(), c.y() + 52), 12, 12);
}

QImage drawIdle() {
    QImage image = transparentCanvas(kPicW, kPicH);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawHalo(p, kAccent);
    drawRing(p, 0, kAccent, kCyan);
    drawUsbSymbol(p, kRingCentre, kAccentLight);
    return image;
}

void drawBadge(QPainter& p, const QColor& colour) {
    QRadialGradient fill(kRingCentre.x() - 18, kRingCentre.y() - 22, 80);
    fill.setStops({{0.0, colour.lighter(135)}, {1.0, colour.darker(150)}});
    p.setPen(QPen(colour.lighter(150), 2));
    p.setBrush(fill);
    p.drawEllipse(kRingCentre, 62, 62);
}

// An end picture: the whole ring, halo and badge in one colour, and a white mark on the badge.
QImage drawEndPicture(const QColor& colour, const std::function<void(QPainter&)>& mark) {
    QImage image = transparentCanvas(kPicW, kPicH);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawHalo(p, colour);
    drawRing(p, kSteps, colour, colour);
    drawBadge(p, colour);
    mark(p);
    return image;
}

QImage drawComplete() {
    return drawEndPicture(kGreen, [](QPainter& p) {
        QPainterPath check;
        check.moveTo(kRingCentre.x() - 30, kRingCentre.y() + 2);
        check.lineTo(kRingCentre.x() - 8, kRingCentre.y() + 24);
        check.lineTo(kRingCentre.x() + 32, kRingCentre.y() - 22);
        p.setPen(QPen(Qt::white, 13, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(check);
    });
}

QImage drawFailed() {
    return drawEndPicture(kRed, [](QPainter& p) {
        p.setPen(QPen(Qt::white, 13, Qt::SolidLine, Qt::RoundCap));
        const double arm = 24;
        p.drawLine(kRingCentre + QPointF(-arm, -arm), kRingCentre + QPointF(arm, arm));
        p.drawLine(kRingCentre + QPointF(arm, -arm), kRingCentre + QPointF(-arm, arm));
    });
}

// The idle picture's ring, fully lit, and the USB symbol on a rounded navy square that fills
// the icon, so the artwork is centred and large at every size.
QImage drawIcon() {
    constexpr double kHalf = kRingOuter + 14;
    QImage image = transparentCanvas(int(2 * kHalf), int(2 * kHalf));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(10, 24, 52));
    p.drawRoundedRect(QRectF(0, 0, 2 * kHalf, 2 * kHalf), kHalf / 4, kHalf / 4);
    p.translate(kHalf - kRingCentre.x(), kHalf - kRingCentre.y());
    drawRing(p, kSteps, kAccent, kCyan);
    drawUsbSymbol(p, kRingCentre, kAccentLight);
    return image;
}

QImage iconAt(int size) { return drawIcon().scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation); }

bool saveIcons(const QString& dir) {
    bool ok = true;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QStringLiteral("%1/hicolor/%2x%2/apps").arg(dir).arg(size);
        QDir().mkpath(folder);
        ok = save(iconAt(size), folder, "quillmere.png", "PNG") && ok;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bool icons = argc == 3 && qstrcmp(argv[1], "--icons") == 0;
    if (argc != 2 && !icons) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR | --icons DIR\n", argv[0]);
        return 2;
    }
    // Drawing needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (icons) return saveIcons(QString::fromLocal8Bit(argv[2])) ? EXIT_SUCCESS : EXIT_FAILURE;
    const QString dir = QString::fromLocal8Bit(argv[1]);

    bool ok = save(drawBackground(), dir, "bkg.bmp", "BMP");
    ok = save(drawBar(), dir, "bar.png", "PNG") && ok;
    ok = save(drawRedButton(), dir, "button_red.png", "PNG") && ok;
    ok = save(drawIdle(), dir, "TP1_2.png", "PNG") && ok;
    for (int step = 0; step < kSteps; ++step) {
        const QByteArray name = QByteArray::number(step) + ".png";
        ok = save(drawProgress(step), dir, name.constData(), "PNG") && ok;
    }
    ok = save(drawComplete(), dir, "complete.png", "PNG") && ok;
    ok = save(drawFailed(), dir, "failed.png", "PNG") && ok;
    ok = save(iconAt(256), dir, "icon.png", "PNG") && ok;
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
