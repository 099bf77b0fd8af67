// Number to text in the general format with a given number of significant digits.
#pragma once

#include <QString>

// The value rounded to `precision` significant digits (1 to 17), without trailing zeros or a
// trailing separator. Fixed notation when the decimal exponent e of the rounded value
// (value = 0.d1d2... * 10^e) lies in -3 <= e <= precision, otherwise scientific: one digit before
// the separator, "E", a minus sign only for negative exponents, the exponent without leading
// zeros ("1.5E7", "1E-5"). Special values give "NAN", "INF" and "-INF". The rounding starts from
// the exact decimal value of the double: an exact tie goes away from zero.
QString FloatToStrGeneral(double value, int precision, const QString& decimalSeparator);

// As above with the decimal separator of the default locale.
QString FloatToStrGeneral(double value, int precision);

// value * 10^tenPower in the general format, shifted before any rounding: the digits are those
// of the exact decimal value, so 9047615 shifted by -3 is the exact tie 9047.615 (9047.62 at 6
// digits), which dividing first would have turned into 9047.6149999... (9047.61).
QString ScaledFloatToStrGeneral(double value, int tenPower, int precision, const QString& decimalSeparator);

// As above with the decimal separator of the default locale.
QString ScaledFloatToStrGeneral(double value, int tenPower, int precision);
