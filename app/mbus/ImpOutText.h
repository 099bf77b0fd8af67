// "Imp Out" as the window and vexora-cli show it after a read: a text that a later "Write" turns
// back into the register it was read from.
#pragma once

#include <QString>

#include "MBusDecode.h"

// The pulse constant of Data (ImpOutStored / 10^ImpOutDecimals) in the general format with 6
// significant digits when the register write of that text gives register 0x22 back. Otherwise
// (a constant set with 7 or more digits) the shortest text, up to 9 digits, of a single that the
// register write turns into the same register: the constant as it was typed, or as close to it as
// a single holds. A register that no text gives back (no single times the factor rounds to it, or
// not a number) shows with 6 digits. Reads and writes the number with DecimalSeparator.
QString ImpOutText(const TMBusUserData& Data, const QString& DecimalSeparator);

// As above with the decimal separator of the default locale, as "Imp Out" is typed.
QString ImpOutText(const TMBusUserData& Data);
