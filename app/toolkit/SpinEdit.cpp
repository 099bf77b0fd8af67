#include "SpinEdit.h"

#include "Beep.h"

#include <QKeyEvent>
#include <QLocale>
#include <QToolButton>

#include <algorithm>
#include <charconv>
#include <climits>

namespace {

constexpr int kButtonWidth = 15;

// Parses an optional sign followed by decimal digits, nothing else; false when the text is not
// such a number or leaves the 32-bit range.
bool ParseInt32(const QString& text, int& result)
{
    const QByteArray bytes = text.toLatin1();
    const char* first = bytes.constData();
    const char* last = first + bytes.size();
    if (text.size() != bytes.size() || first == last) {
        return false;
    }
    bool negative = false;
    if (*first == '+' || *first == '-') {
        negative = *first == '-';
        ++first;
    }
    if (first == last || *first < '0' || *first > '9') {
        return false;
    }
    long long magnitude = 0;
    const auto [end, ec] = std::from_chars(first, last, magnitude);
    if (ec != std::errc() || end != last) {
        return false;
    }
    const long long value = negative ? -magnitude : magnitude;
    if (value < INT_MIN || value > INT_MAX) {
        return false;
    }
    result = static_cast<int>(value);
    return true;
}

} // namespace

TSpinEdit::TSpinEdit(QWidget* parent)
    : QLineEdit(parent), FUpButton(new QToolButton(this)), FDownButton(new QToolButton(this))
{
    setText(QStringLiteral("0"));
    for (QToolButton* button : {FUpButton, FDownButton}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoRepeat(true);
        button->setCursor(Qt::ArrowCursor);
        button->setIconSize(QSize(7, 4));
    }
    FUpButton->setObjectName(QStringLiteral("UpButton"));
    FDownButton->setObjectName(QStringLiteral("DownButton"));
    FUpButton->setAccessibleName(QStringLiteral("Up"));
    FDownButton->setAccessibleName(QStringLiteral("Down"));
    FUpButton->setArrowType(Qt::UpArrow);
    FDownButton->setArrowType(Qt::DownArrow);
    setTextMargins(0, 0, kButtonWidth, 0);
    connect(FUpButton, &QToolButton::clicked, this, &TSpinEdit::UpClick);
    connect(FDownButton, &QToolButton::clicked, this, &TSpinEdit::DownClick);
    connect(this, &QLineEdit::textChanged, this, &TSpinEdit::Changed);
    PlaceButtons();
}

int TSpinEdit::Value() const
{
    int result = 0;
    return ParseInt32(text(), result) ? result : FMinValue;
}

void TSpinEdit::SetValue(int value)
{
    setText(QString::number(CheckValue(value)));
}

void TSpinEdit::SetMinValue(int value)
{
    FMinValue = value;
}

void TSpinEdit::SetMaxValue(int value)
{
    FMaxValue = value;
}

int TSpinEdit::CheckValue(int value) const
{
    if (FMinValue == FMaxValue) {
        return value;
    }
    return std::clamp(value, std::min(FMinValue, FMaxValue), std::max(FMinValue, FMaxValue));
}

void TSpinEdit::UpClick()
{
    StepBy(1);
}

void TSpinEdit::DownClick()
{
    StepBy(-1);
}

void TSpinEdit::StepBy(int delta)
{
    if (isReadOnly()) {
        Beep();
        return;
    }
    // Saturate at the ends of the 32-bit range instead of wrapping round.
    const long long next = static_cast<long long>(Value()) + delta;
    SetValue(static_cast<int>(std::clamp<long long>(next, INT_MIN, INT_MAX)));
}

bool TSpinEdit::IsValidChar(QChar ch)
{
    if (ch.isDigit() && ch.unicode() < 0x80) {
        return true;
    }
    if (ch == u'+' || ch == u'-') {
        return true;
    }
    if (QLocale().decimalPoint() == QString(ch)) {
        return true;
    }
    return ch.unicode() < 0x20 && ch != u'\r' && ch != u'\n';
}

void TSpinEdit::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Up:
        UpClick();
        event->accept();
        return;
    case Qt::Key_Down:
        DownClick();
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        Beep();
        event->accept();
        return;
    case Qt::Key_Delete:
        // Not a character: an editing key like the arrows.
        QLineEdit::keyPressEvent(event);
        return;
    default:
        break;
    }
    // Control combinations (select all, copy, paste...) are control keys, not characters.
    const QString typed = event->text();
    const bool control = (event->modifiers() & Qt::ControlModifier) != 0;
    if (!control && !typed.isEmpty() && !std::all_of(typed.begin(), typed.end(), IsValidChar)) {
        Beep();
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void TSpinEdit::focusOutEvent(QFocusEvent* event)
{
    const int value = Value();
    if (CheckValue(value) != value) {
        SetValue(value);
    }
    QLineEdit::focusOutEvent(event);
}

void TSpinEdit::resizeEvent(QResizeEvent* event)
{
    QLineEdit::resizeEvent(event);
    PlaceButtons();
}

void TSpinEdit::PlaceButtons()
{
    const int frame = 2;
    const int inner = height() - 2 * frame;
    const int upHeight = inner / 2;
    const int left = width() - frame - kButtonWidth;
    FUpButton->setGeometry(left, frame, kButtonWidth, upHeight);
    FDownButton->setGeometry(left, frame + upHeight, kButtonWidth, inner - upHeight);
}
