#include "ImpOutText.h"

#include <QLocale>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "FloatFormat.h"
#include "MBusRegisters.h"
#include "StrToFloat.h"

namespace {

// The digits of the window's "Imp Out", and the most a single needs for its text to read back as
// that single.
constexpr int kShownDigits = 6;
constexpr int kSingleDigits = 9;

// Whether Text, written as "Imp Out" at the scale code, gives the register back.
bool WritesBack(const QString& Text, const QString& DecimalSeparator, std::uint8_t PulseScaleCode,
                float Stored)
{
    std::uint32_t written = 0;
    return ImpOutRegister(StrToFloat(Text, DecimalSeparator), PulseScaleCode, written) &&
           std::bit_cast<float>(written) == Stored;
}

} // namespace

QString ImpOutText(const TMBusUserData& Data, const QString& DecimalSeparator)
{
    const QString shown =
        ScaledFloatToStrGeneral(Data.ImpOutStored, -Data.ImpOutDecimals, kShownDigits, DecimalSeparator);
    // The scale code whose factor has these decimals: 3 for none, down to 0 for three.
    const auto code = static_cast<std::uint8_t>(3 - Data.ImpOutDecimals);
    if (!std::isfinite(Data.ImpOutStored) || WritesBack(shown, DecimalSeparator, code, Data.ImpOutStored))
        return shown;
    // A write rounds the constant to single and multiplies: the singles that give this register lie
    // next to register / factor. The shortest text of one of them is the constant as it was typed,
    // or as close to it as a single holds.
    const float nearest = static_cast<float>(Data.ImpOutStored / std::pow(10.0, Data.ImpOutDecimals));
    const float singles[] = {nearest, std::nextafter(nearest, -std::numeric_limits<float>::infinity()),
                             std::nextafter(nearest, std::numeric_limits<float>::infinity())};
    for (int digits = kShownDigits + 1; digits <= kSingleDigits; ++digits) {
        for (const float single : singles) {
            const QString text = FloatToStrGeneral(single, digits, DecimalSeparator);
            if (WritesBack(text, DecimalSeparator, code, Data.ImpOutStored))
                return text;
        }
    }
    return shown;
}

QString ImpOutText(const TMBusUserData& Data)
{
    return ImpOutText(Data, QLocale().decimalPoint());
}
