// Number to text in the general format with a given number of significant digits.
#pragma once

#include <QString>

// The value rounded to `precision` significant digits (1 to 17), without trailing zeros or a
// trailing separator. Fixed notation when the decimal exponent e of the rounded value
// (value = 0.d1d2... * 10^e) lies in -3 <= e <= precision, otherwise scientific: one digit before
// the separator, "E", a minus sign only for negative exponents, the exponent without leading
// zeros ("1.5E7", "1E-5"). Special values give "NAN", "INF" and "-INF".
QString FloatToStrGeneral(double value, int precision, const QString& decimalSeparator);

// As above with the decimal separator of the default locale.
QString FloatToStrGeneral(double value, int precision);
