#include "FloatFormat.h"

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kMaxPrecision = 17; // every digit beyond this is noise in a double

struct TDecimal {
    bool Negative;
    std::string Digits; // significant digits without trailing zeros; "0" for zero
    int Exponent;       // value = 0.Digits * 10^Exponent
};

// The digits of `value` with `digits` significant digits, "-d.ddde+XX", rounded to nearest
// from the exact binary value (an exact tie goes to the even digit).
std::string Scientific(double value, int digits)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%.*e", digits - 1, value);
    return buffer;
}

// True when `value` lies exactly halfway between two numbers of `precision` significant digits.
// A double that is such a tie has a short exact decimal expansion, so 40 more digits show it.
bool IsExactTie(double value, int precision)
{
    const std::string text = Scientific(value, precision + 40);
    std::string digits;
    for (char c : text.substr(0, text.find('e'))) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    return digits[static_cast<std::size_t>(precision)] == '5' &&
           digits.find_first_not_of('0', static_cast<std::size_t>(precision) + 1) == std::string::npos;
}

TDecimal ToDecimal(double value, int precision)
{
    // Rounded to `precision` significant digits, an exact tie away from zero.
    if (IsExactTie(value, precision)) {
        value = std::nextafter(value, value < 0 ? -HUGE_VAL : HUGE_VAL);
    }
    const std::string text = Scientific(value, precision);
    TDecimal result{text[0] == '-', {}, 0};
    const std::size_t ePos = text.find('e');
    for (std::size_t i = result.Negative ? 1 : 0; i < ePos; ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            result.Digits += text[i];
        }
    }
    result.Exponent = std::atoi(text.c_str() + ePos + 1) + 1;
    while (result.Digits.size() > 1 && result.Digits.back() == '0') {
        result.Digits.pop_back();
    }
    if (result.Digits == "0") {
        result.Negative = false;
        result.Exponent = 0;
    }
    return result;
}

} // namespace

QString FloatToStrGeneral(double value, int precision, const QString& decimalSeparator)
{
    if (std::isnan(value)) {
        return QStringLiteral("NAN");
    }
    if (std::isinf(value)) {
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    }
    precision = std::clamp(precision, 1, kMaxPrecision);
    const TDecimal d = ToDecimal(value, precision);
    if (d.Digits == "0") {
        return QStringLiteral("0");
    }
    const QString digits = QString::fromLatin1(d.Digits);
    QString result = d.Negative ? QStringLiteral("-") : QString();

    if (d.Exponent > precision || d.Exponent < -3) {
        result += digits.left(1);
        if (digits.size() > 1) {
            result += decimalSeparator + digits.mid(1);
        }
        const int exponent = d.Exponent - 1;
        result += u'E';
        if (exponent < 0) {
            result += u'-';
        }
        result += QString::number(std::abs(exponent));
        return result;
    }
    if (d.Exponent <= 0) {
        return result + u'0' + decimalSeparator + QString(-d.Exponent, u'0') + digits;
    }
    if (digits.size() <= d.Exponent) {
        return result + digits + QString(d.Exponent - digits.size(), u'0');
    }
    return result + digits.left(d.Exponent) + decimalSeparator + digits.mid(d.Exponent);
}

QString FloatToStrGeneral(double value, int precision)
{
    return FloatToStrGeneral(value, precision, QLocale().decimalPoint());
}
