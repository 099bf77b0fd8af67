// Text to number: a decimal number typed in the locale's format.
#pragma once

#include <QString>

#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/platform/AfGlobalNames.h>

// Raised when a text is not a number of the kind asked for.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// The text read as a decimal number: blanks around it, an optional sign, digits with at most one
// decimal separator (at least one digit in all), then optionally "E" or "e", an optional sign and
// the exponent's digits. No group separators. Throws EConvertError with the message
// "'<text>' is not a valid floating point value" for anything else, and for a number beyond the
// range of a double.
double StrToFloat(const QString& text, const QString& decimalSeparator);

// As above with the decimal separator of the default locale.
double StrToFloat(const QString& text);
