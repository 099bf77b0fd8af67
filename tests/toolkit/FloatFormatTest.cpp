#include "FloatFormat.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

QString G(double value, int precision)
{
    return FloatToStrGeneral(value, precision, QStringLiteral("."));
}

TEST(FloatFormatTest, PulseWidthFormulaGivesTheDesignedTexts)
{
    const struct {
        int code;
        const char* text;
    } cases[] = {{0, "1"}, {1, "2.66"}, {3, "5.98"}, {10, "17.6"}, {100, "167"}, {250, "416"}, {300, "499"}};
    for (const auto& c : cases) {
        EXPECT_EQ(G(c.code * 1.66 + 1, 15), c.text) << "code " << c.code;
    }
}

TEST(FloatFormatTest, FixedUpToPrecisionDigitsScientificBeyond)
{
    EXPECT_EQ(G(99999, 5), "99999"); // e = 5 = P: fixed
    EXPECT_EQ(G(100000, 5), "1E5");  // e = 6 > P
    EXPECT_EQ(G(1e6, 5), "1E6");
    EXPECT_EQ(G(1.5e7, 5), "1.5E7");
    EXPECT_EQ(G(1e6, 15), "1000000");
    EXPECT_EQ(G(123456789012345.0, 15), "123456789012345");
    EXPECT_EQ(G(1234567890123456.0, 15), "1.23456789012346E15");
    EXPECT_EQ(G(-2.5e20, 15), "-2.5E20");
    EXPECT_EQ(G(1e300, 15), "1E300");
}

TEST(FloatFormatTest, RoundingToPrecisionCanMoveTheExponent)
{
    EXPECT_EQ(G(99999.5, 5), "1E5"); // rounds up to 100000, e = 6
    EXPECT_EQ(G(9999.95, 5), "10000");
    EXPECT_EQ(G(0.000999999, 3), "0.001");
    EXPECT_EQ(G(2.0 / 3.0, 3), "0.667");
    EXPECT_EQ(G(2.0 / 3.0, 15), "0.666666666666667");
    EXPECT_EQ(G(1.35, 2), "1.4"); // 1.35000000000000008...
    EXPECT_EQ(G(1.45, 2), "1.4"); // 1.44999999999999995...
    EXPECT_EQ(G(1.0000001, 5), "1");
}

TEST(FloatFormatTest, ExactTiesRoundAwayFromZero)
{
    EXPECT_EQ(G(1.25, 2), "1.3");
    EXPECT_EQ(G(-1.25, 2), "-1.3");
    EXPECT_EQ(G(0.125, 2), "0.13");
    EXPECT_EQ(G(2.5, 1), "3");
    EXPECT_EQ(G(9.5, 1), "1E1");
    EXPECT_EQ(G(1.5, 15), "1.5"); // no tie at this precision
}

TEST(FloatFormatTest, RoundsTheExactDecimalValueShiftedBeforeRounding)
{
    // 9047615 / 1000 as a double is 9047.6149999...; shifted, it is the exact tie 9047.615.
    EXPECT_EQ(ScaledFloatToStrGeneral(-9047615, -3, 6, "."), "-9047.62");
    EXPECT_EQ(ScaledFloatToStrGeneral(1, -5, 15, ","), "1E-5"); // notation follows the shifted value
    // Long exact expansions: 0.15 lies below the tie; the smallest double has 751 digits.
    EXPECT_EQ(G(0.15, 1), "0.1");
    EXPECT_EQ(G(5e-324, 17), "4.9406564584124654E-324");
}

TEST(FloatFormatTest, SmallValuesFixedDownToExponentMinusThree)
{
    EXPECT_EQ(G(0.5, 15), "0.5");
    EXPECT_EQ(G(0.001, 15), "0.001");     // e = -2
    EXPECT_EQ(G(0.0001, 15), "0.0001");   // e = -3
    EXPECT_EQ(G(0.00012, 15), "0.00012"); // e = -3
    EXPECT_EQ(G(0.00001, 15), "1E-5");    // e = -4
    EXPECT_EQ(G(-0.0000123, 15), "-1.23E-5");
    EXPECT_EQ(G(1e-300, 15), "1E-300");
}

TEST(FloatFormatTest, ZeroAndSpecialValues)
{
    EXPECT_EQ(G(0.0, 15), "0");
    EXPECT_EQ(G(-0.0, 15), "0");
    EXPECT_EQ(G(std::numeric_limits<double>::quiet_NaN(), 15), "NAN");
    EXPECT_EQ(G(std::numeric_limits<double>::infinity(), 15), "INF");
    EXPECT_EQ(G(-std::numeric_limits<double>::infinity(), 15), "-INF");
}

TEST(FloatFormatTest, PrecisionOutsideTheUsefulRangeIsClamped)
{
    EXPECT_EQ(G(1.75, 0), "2");
    EXPECT_EQ(G(1.75, -3), "2");
    EXPECT_EQ(G(0.1, 40), "0.10000000000000001");
}

TEST(FloatFormatTest, UsesTheGivenOrLocaleDecimalSeparator)
{
    EXPECT_EQ(FloatToStrGeneral(2.66, 15, QStringLiteral(",")), "2,66");
    EXPECT_EQ(FloatToStrGeneral(1.5e7, 5, QStringLiteral(",")), "1,5E7");

    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(FloatToStrGeneral(17.6, 15), "17,6");
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(FloatToStrGeneral(17.6, 15), "17.6");
    QLocale::setDefault(previous);
}

} // namespace
