#include "StrToFloat.h"

#include <QLocale>

#include <charconv>
#include <string>
#include <system_error>

namespace {

bool IsAsciiDigit(QChar ch)
{
    return ch >= u'0' && ch <= u'9';
}

// Copies the digits at `at` to `out`; returns how many there were.
qsizetype TakeDigits(const QString& text, qsizetype& at, std::string& out)
{
    const qsizetype from = at;
    for (; at < text.size() && IsAsciiDigit(text[at]); ++at)
        out += static_cast<char>(text[at].unicode());
    return at - from;
}

// The number in the plain form std::from_chars reads ("-12.5e3"); empty when the text is none.
std::string PlainNumber(const QString& text, const QString& separator)
{
    std::string plain;
    qsizetype at = 0;
    if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) {
        if (text[at] == u'-')
            plain += '-';
        ++at;
    }
    qsizetype digits = TakeDigits(text, at, plain);
    if (!separator.isEmpty() && QStringView(text).sliced(at).startsWith(separator)) {
        at += separator.size();
        plain += '.';
        digits += TakeDigits(text, at, plain);
    }
    if (digits == 0)
        return {};
    if (at < text.size() && (text[at] == u'e' || text[at] == u'E')) {
        ++at;
        plain += 'e';
        if (at < text.size() && (text[at] == u'+' || text[at] == u'-'))
            plain += static_cast<char>(text[at++].unicode());
        if (TakeDigits(text, at, plain) == 0)
            return {};
    }
    return at == text.size() ? plain : std::string();
}

} // namespace

double StrToFloat(const QString& text, const QString& decimalSeparator)
{
    const std::string plain = PlainNumber(text.trimmed(), decimalSeparator);
    double value = 0.0;
    const char* end = plain.data() + plain.size();
    const auto [stop, error] = std::from_chars(plain.data(), end, value);
    if (plain.empty() || error != std::errc() || stop != end)
        throw EConvertError("'" + text.toStdString() + "' is not a valid floating point value");
    return value;
}

double StrToFloat(const QString& text)
{
    return StrToFloat(text, QLocale().decimalPoint());
}
