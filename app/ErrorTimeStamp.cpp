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

} // namespace

QString ErrorTimeStamp(const QDateTime& when, const QLocale& locale)
{
    QString text = locale.toString(when.date(), QLocale::ShortFormat);
    if (when.time() != QTime(0, 0))
        text += QLatin1Char(' ') + locale.toString(when.time(), TimeFormatWithoutZone(locale));
    return text;
}
