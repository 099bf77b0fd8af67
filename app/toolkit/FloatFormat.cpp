#include "FloatFormat.h"

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kMaxPrecision = 17; // every digit beyond this is noise in a double

// Every double is a finite decimal with at most 767 significant digits; this many show them all.
constexpr int kAllDigits = 800;

struct TDecimal {
    bool Negative;
    std::string Digits; // significant digits without trailing zeros; "0" for zero
    int Exponent;       // value = 0.Digits * 10^Exponent
};

// The exact decimal value of a finite `value`.
TDecimal ExactDecimal(double value)
{
    char text[kAllDigits + 32];
    std::snprintf(text, sizeof text, "%.*e", kAllDigits - 1, value);
    TDecimal result{text[0] == '-', {}, 0};
    const char* e = std::strchr(text, 'e');
    for (const char* c = text; c != e; ++c) {
        if (*c >= '0' && *c <= '9') {
            result.Digits += *c;
        }
    }
    result.Exponent = std::atoi(e + 1) + 1;
    const std::size_t last = result.Digits.find_last_not_of('0');
    if (last == std::string::npos) {
        return {false, "0", 0};
    }
    result.Digits.resize(last + 1);
    return result;
}

// Rounds to `precision` significant digits; as the digits are exact, a first dropped digit of 5
// is either an exact tie or above it, and both go away from zero.
void RoundToPrecision(TDecimal& d, int precision)
{
    const auto kept = static_cast<std::size_t>(precision);
    if (d.Digits.size() <= kept) {
        return;
    }
    const bool up = d.Digits[kept] >= '5';
    d.Digits.resize(kept);
    if (up) {
        std::size_t i = kept;
        while (i > 0 && d.Digits[i - 1] == '9') {
            d.Digits[--i] = '0';
        }
        if (i == 0) {
            d.Digits.insert(d.Digits.begin(), '1');
            ++d.Exponent;
        } else {
            ++d.Digits[i - 1];
        }
    }
    d.Digits.resize(d.Digits.find_last_not_of('0') + 1);
}

} // namespace

QString ScaledFloatToStrGeneral(double value, int tenPower, int precision, const QString& decimalSeparator)
{
    if (std::isnan(value)) {
        return QStringLiteral("NAN");
    }
    if (std::isinf(value)) {
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    }
    precision = std::clamp(precision, 1, kMaxPrecision);
    TDecimal d = ExactDecimal(value);
    if (d.Digits == "0") {
        return QStringLiteral("0");
    }
    d.Exponent += tenPower;
    RoundToPrecision(d, precision);
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

QString ScaledFloatToStrGeneral(double value, int tenPower, int precision)
{
    return ScaledFloatToStrGeneral(value, tenPower, precision, QLocale().decimalPoint());
}

QString FloatToStrGeneral(double value, int precision, const QString& decimalSeparator)
{
    return ScaledFloatToStrGeneral(value, 0, precision, decimalSeparator);
}

QString FloatToStrGeneral(double value, int precision)
{
    return ScaledFloatToStrGeneral(value, 0, precision);
}
