// Horizontal progress bar with its percentage as text.
#pragma once

#include <QString>
#include <QWidget>

#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/platform/AfGlobalNames.h>

// Raised when a range change would put the minimum above the maximum.
class EInvalidOperation : public Exception {
public:
    using Exception::Exception;
};

class TGauge : public QWidget {
    Q_OBJECT
public:
    explicit TGauge(QWidget* parent = nullptr);

    int MinValue() const { return FMinValue; }
    int MaxValue() const { return FMaxValue; }
    int Progress() const { return FCurValue; }

    // Throws EInvalidOperation when the new minimum is above the current maximum; pulls the
    // progress up to the new minimum.
    void SetMinValue(int value);
    // Throws EInvalidOperation when the new maximum is below the current minimum; pulls the
    // progress down to the new maximum.
    void SetMaxValue(int value);
    // Clamps into [MinValue, MaxValue].
    void SetProgress(int value);

    // (progress - minimum) * 100 / (maximum - minimum), truncated; 0 for an empty range.
    int PercentDone() const;
    // The text drawn on the bar: "N%".
    QString Text() const;

signals:
    // Raised after every change of the minimum, the maximum or the progress (and only then).
    void Changed();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int FMinValue = 0;
    int FMaxValue = 100;
    int FCurValue = 0;
};
