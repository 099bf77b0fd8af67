// Group box drawn as the windows are laid out: an etched frame whose top line runs through the
// middle of the caption, which cuts into the line near the left edge. Children are placed in the
// box's own coordinates; from y 16 down they lie below the caption and inside the frame.
#pragma once

#include <QGroupBox>

class TGroupBox : public QGroupBox {
public:
    explicit TGroupBox(const QString& caption, QWidget* parent = nullptr);

    // The frame's outer rectangle: the whole box but the upper half of the caption's line.
    QRect FrameRect() const;
    // The caption with a blank on each side, which the frame's top line does not cross; empty
    // when there is no caption.
    QRect CaptionRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
