#include "Gauge.h"

#include <QPainter>

#include <algorithm>

TGauge::TGauge(QWidget* parent) : QWidget(parent) {}

void TGauge::SetMinValue(int value)
{
    if (value == FMinValue) {
        return;
    }
    if (value > FMaxValue) {
        throw EInvalidOperation("Gauge minimum " + std::to_string(value) + " is above the maximum " +
                                std::to_string(FMaxValue));
    }
    FMinValue = value;
    FCurValue = std::max(FCurValue, value);
    update();
    emit Changed();
}

void TGauge::SetMaxValue(int value)
{
    if (value == FMaxValue) {
        return;
    }
    if (value < FMinValue) {
        throw EInvalidOperation("Gauge maximum " + std::to_string(value) + " is below the minimum " +
                                std::to_string(FMinValue));
    }
    FMaxValue = value;
    FCurValue = std::min(FCurValue, value);
    update();
    emit Changed();
}

void TGauge::SetProgress(int value)
{
    const int clamped = std::clamp(value, FMinValue, FMaxValue);
    if (clamped != FCurValue) {
        FCurValue = clamped;
        update();
        emit Changed();
    }
}

int TGauge::PercentDone() const
{
    const long long span = static_cast<long long>(FMaxValue) - FMinValue;
    if (span == 0) {
        return 0;
    }
    return static_cast<int>((static_cast<long long>(FCurValue) - FMinValue) * 100 / span);
}

QString TGauge::Text() const
{
    return QString::number(PercentDone()) + u'%';
}

void TGauge::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    const QRect inside = rect().adjusted(1, 1, -1, -1);
    const QPalette& colours = palette();

    painter.fillRect(inside, colours.color(QPalette::Base));
    const long long span = static_cast<long long>(FMaxValue) - FMinValue;
    const int filled =
        span == 0 ? 0
                  : static_cast<int>((static_cast<long long>(FCurValue) - FMinValue) * inside.width() / span);
    const QRect bar(inside.left(), inside.top(), filled, inside.height());
    const QColor barColour = colours.color(QPalette::Highlight);
    painter.fillRect(bar, barColour);
    painter.setPen(colours.color(QPalette::Dark));
    painter.drawRect(frame);

    // The text is drawn twice, clipped, so it stays readable over the bar and over the gap.
    const QString text = Text();
    painter.setPen(colours.color(QPalette::Text));
    painter.setClipRect(inside.adjusted(filled, 0, 0, 0));
    painter.drawText(inside, Qt::AlignCenter, text);
    painter.setPen(colours.color(QPalette::HighlightedText));
    painter.setClipRect(bar);
    painter.drawText(inside, Qt::AlignCenter, text);
}
