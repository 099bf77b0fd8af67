#include "GroupBox.h"

#include <QPainter>
#include <QStyle>
#include <qdrawutil.h>

namespace {

constexpr int kCaptionLeft = 8;
constexpr int kCaptionBlank = 2;

} // namespace

TGroupBox::TGroupBox(const QString& caption, QWidget* parent) : QGroupBox(caption, parent) {}

QRect TGroupBox::FrameRect() const
{
    const int top = fontMetrics().height() / 2;
    return QRect(0, top, width(), height() - top);
}

QRect TGroupBox::CaptionRect() const
{
    if (title().isEmpty())
        return {};
    const QFontMetrics metrics = fontMetrics();
    const int textWidth = metrics.horizontalAdvance(title(), Qt::TextShowMnemonic);
    return QRect(kCaptionLeft, 0, textWidth + 2 * kCaptionBlank, metrics.height());
}

void TGroupBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // Sunken and one pixel wide: a dark line with a light one inside, the etched look.
    qDrawShadeRect(&painter, FrameRect(), palette(), true, 1);
    const QRect caption = CaptionRect();
    if (caption.isEmpty())
        return;
    painter.fillRect(caption, palette().window());
    style()->drawItemText(&painter, caption, Qt::AlignCenter | Qt::TextShowMnemonic | Qt::TextSingleLine,
                          palette(), isEnabled(), title(), QPalette::WindowText);
}
