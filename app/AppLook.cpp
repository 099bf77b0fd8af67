#include "AppLook.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor kPipe(0x3a, 0x6e, 0xa5);
const QColor kPipeLight(0x9c, 0xc3, 0xe6);
const QColor kBody(0x1f, 0x3b, 0x5c);
const QColor kWater(0x2f, 0x9c, 0xd8);

// A flow-meter body over a horizontal pipe, in a square of side `size` at the origin.
void DrawMeter(QPainter& p, qreal size)
{
    const qreal u = size / 32.0;
    p.setPen(Qt::NoPen);
    QLinearGradient pipe(0, 18 * u, 0, 28 * u);
    pipe.setColorAt(0, kPipeLight);
    pipe.setColorAt(1, kPipe);
    p.setBrush(pipe);
    p.drawRect(QRectF(0, 19 * u, 32 * u, 8 * u));
    p.setBrush(kBody);
    p.drawRect(QRectF(2 * u, 17 * u, 3 * u, 12 * u));
    p.drawRect(QRectF(27 * u, 17 * u, 3 * u, 12 * u));
    p.drawRoundedRect(QRectF(9 * u, 13 * u, 14 * u, 6 * u), 1.5 * u, 1.5 * u);
    p.setBrush(Qt::white);
    p.setPen(QPen(kBody, 2 * u));
    p.drawEllipse(QPointF(16 * u, 9 * u), 7.5 * u, 7.5 * u);
    p.setPen(QPen(kWater, 1.6 * u, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(16 * u, 9 * u), QPointF(20.5 * u, 5 * u));
    p.setPen(Qt::NoPen);
    p.setBrush(kBody);
    p.drawEllipse(QPointF(16 * u, 9 * u), 1.3 * u, 1.3 * u);
}

QIcon IconFrom(void (*draw)(QPainter&))
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    draw(painter);
    painter.end();
    return QIcon(pixmap);
}

} // namespace

QFont DesignFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(10);
    return font;
}

QPixmap BannerPicture()
{
    QPixmap pixmap(287, 70);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // The meter on the left.
    p.save();
    p.translate(6, 6);
    DrawMeter(p, 58);
    p.restore();

    // The flow: three waves running to the right under the name.
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3; ++i) {
        QPainterPath wave;
        const qreal y = 54 + i * 5;
        wave.moveTo(78, y);
        for (int x = 78; x < 280; x += 20) {
            wave.cubicTo(x + 5, y - 3, x + 15, y + 3, x + 20, y);
        }
        QColor colour = kWater;
        colour.setAlpha(220 - i * 60);
        p.setPen(QPen(colour, 2));
        p.drawPath(wave);
    }

    QFont name(DesignFont());
    name.setPixelSize(34);
    name.setBold(true);
    name.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    p.setFont(name);
    p.setPen(kBody);
    p.drawText(QRectF(78, 0, 205, 38), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("VEXORA"));

    QFont tagline(DesignFont());
    tagline.setPixelSize(10);
    p.setFont(tagline);
    p.setPen(kPipe);
    p.drawText(QRectF(80, 37, 205, 12), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("M-Bus flow meter configuration"));
    return pixmap;
}

QIcon MainIcon()
{
    return IconFrom([](QPainter& p) { DrawMeter(p, 32); });
}

QIcon CaptionIcon()
{
    return IconFrom([](QPainter& p) {
        // An hourglass of water: the tool is busy with the meter.
        p.setPen(QPen(kBody, 2));
        p.setBrush(Qt::white);
        QPolygonF glass;
        glass << QPointF(8, 3) << QPointF(24, 3) << QPointF(17, 16) << QPointF(24, 29) << QPointF(8, 29)
              << QPointF(15, 16);
        p.drawPolygon(glass);
        p.setPen(Qt::NoPen);
        p.setBrush(kWater);
        QPolygonF top;
        top << QPointF(11, 7) << QPointF(21, 7) << QPointF(16.5, 14) << QPointF(15.5, 14);
        p.drawPolygon(top);
        QPolygonF bottom;
        bottom << QPointF(16, 21) << QPointF(22, 27) << QPointF(10, 27);
        p.drawPolygon(bottom);
    });
}
