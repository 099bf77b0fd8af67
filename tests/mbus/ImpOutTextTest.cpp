// "Imp Out" through its text: typed, written into register 0x22, read back and shown, the shown
// text writes the same register again.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "ImpOutText.h"
#include "MBusRegisters.h"
#include "StrToFloat.h"

namespace {

TMBusUserData Read(float Stored, std::uint8_t PulseScaleCode)
{
    TMBusUserData data;
    data.ImpOutStored = Stored;
    data.ImpOutDecimals = ScaleDecimals(PulseScaleCode);
    return data;
}

// Decimal constants of 1 to 9 significant digits from 0.0001 to 999 999 at every scale code. Up to
// 6 digits they show as before, in 6 digits; with more, in as many as the register needs.
TEST(ImpOutText, EveryTypedConstantShowsAsATextThatWritesTheSameRegister)
{
    std::mt19937_64 random(25);
    for (std::uint8_t code = 0; code <= 3; ++code) {
        for (int digits = 1; digits <= 9; ++digits) {
            std::uniform_int_distribution<long long> mantissa(
                static_cast<long long>(std::pow(10, digits - 1)),
                static_cast<long long>(std::pow(10, digits)) - 1);
            std::uniform_int_distribution<int> exponent(-4, 5);
            for (int i = 0; i < 100; ++i) {
                const QString typed =
                    QString::number(mantissa(random)) + "E" + QString::number(exponent(random) - digits + 1);
                SCOPED_TRACE(typed.toStdString() + " at scale code " + std::to_string(code));
                std::uint32_t written = 0;
                ASSERT_TRUE(ImpOutRegister(StrToFloat(typed, "."), code, written));
                const QString shown = ImpOutText(Read(std::bit_cast<float>(written), code), ".");
                std::uint32_t again = 0;
                ASSERT_TRUE(ImpOutRegister(StrToFloat(shown, "."), code, again)) << shown.toStdString();
                EXPECT_EQ(again, written) << shown.toStdString();
                if (digits <= 6) {
                    EXPECT_EQ(StrToFloat(shown, "."), StrToFloat(typed, ".")) << shown.toStdString();
                }
            }
        }
    }
}

TEST(ImpOutText, ShowsTheConstantAsTypedOrSixDigitsWhereNoTextWritesTheRegister)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        float Stored;
        std::uint8_t Code;
        const char* Separator;
        const char* Shown;
    } cases[] = {
        {2500.0f, 0, ".", "2.5"},
        {1000000.0f, 3, ".", "1E6"},
        {1234.5677f, 0, ".", "1.2345678"}, // the register of 1.2345678, which 1.23457 does not write
        {123.4567f, 1, ",", "1,234567"},
        {1.2345678e-4f, 3, ".", "0.00012345678"},
        {100.00001f, 1, ".", "1"}, // no single times 100 rounds to it
        {nan, 0, ".", "NAN"},
        {-std::numeric_limits<float>::infinity(), 0, ".", "-INF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ImpOutText(Read(c.Stored, c.Code), c.Separator).toStdString(), c.Shown) << c.Stored;
}

} // namespace
