// Integer spin field: a line edit whose value is its text read as a decimal integer, with two
// spin buttons and a key filter.
#pragma once

#include <QLineEdit>

class QToolButton;

class TSpinEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TSpinEdit(QWidget* parent = nullptr);

    // The text read as a signed 32-bit decimal integer; the minimum when the text is not one.
    // Reading never clamps.
    int Value() const;
    // Writes the decimal text of the value, clamped into [MinValue, MaxValue] unless the two
    // bounds are equal (then the field is unbounded).
    void SetValue(int value);

    int MinValue() const { return FMinValue; }
    int MaxValue() const { return FMaxValue; }
    void SetMinValue(int value);
    void SetMaxValue(int value);

    QString Text() const { return text(); }
    void SetText(const QString& value) { setText(value); }

    // The value clamped as writing would clamp it.
    int CheckValue(int value) const;

    void UpClick();
    void DownClick();

    // True for the characters the field lets through: digits, '+', '-', the locale's decimal
    // separator, and control characters other than Enter.
    static bool IsValidChar(QChar ch);

signals:
    // Raised on every change of the text, by typing, by program or by the spin buttons.
    void Changed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void StepBy(int delta);
    void PlaceButtons();

    int FMinValue = 0;
    int FMaxValue = 0;
    QToolButton* FUpButton;
    QToolButton* FDownButton;
};
