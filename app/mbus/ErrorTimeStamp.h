// The date and time that lead every decoding failure message.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// The date in the locale's short format with the full year (07.12.2026 in a German locale),
// then a blank and the time in the locale's long format (hours, minutes and seconds; no time
// zone). Blank and time are left out when the time is exactly midnight.
QString ErrorTimeStamp(const QDateTime& when, const QLocale& locale = QLocale::system());
