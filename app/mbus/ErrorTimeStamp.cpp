#include "ErrorTimeStamp.h"

namespace {

// The locale's long time format without its time-zone fields ('t' outside quotes), which
// would only lengthen every message.
QString TimeFormatWithoutZone(const QLocale& locale)
{
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (const QChar ch : format) {
        if (ch == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && ch == QLatin1Char('t'))
            continue;
        result += ch;
    }
    return result.simplified();
}

// The locale's short date format with a two-digit year ("yy" outside quotes) widened to four
// digits: a message must not leave the century to guess.
QString DateFormatWithFullYear(const QLocale& locale)
{
    const QString format = locale.dateFormat(QLocale::ShortFormat);
    QString result;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size();) {
        const QChar ch = format[i];
        if (ch == QLatin1Char('\''))
            quoted = !quoted;
        if (quoted || ch != QLatin1Char('y')) {
            result += ch;
            ++i;
            continue;
        }
        qsizetype run = 0;
        while (i + run < format.size() && format[i + run] == QLatin1Char('y'))
            ++run;
        result += run == 2 ? QStringLiteral("yyyy") : format.mid(i, run);
        i += run;
    }
    return result;
}

} // namespace

QString ErrorTimeStamp(const QDateTime& when, const QLocale& locale)
{
    QString text = locale.toString(when.date(), DateFormatWithFullYear(locale));
    if (when.time() != QTime(0, 0))
        text += QLatin1Char(' ') + locale.toString(when.time(), TimeFormatWithoutZone(locale));
    return text;
}
