// Register values from field values, as the bytes a register write carries.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfloat>
#include <climits>

#include "MBusRegisters.h"

namespace {

TEST(ConfigWordRegister, PacksTheFieldsAndCarriesWhatLeavesItsByte)
{
    EXPECT_EQ(ConfigWordRegister(5, 9600, true, 10), 0x0AFF6005u);  // 05 60 FF 0A
    EXPECT_EQ(ConfigWordRegister(5, 9600, false, 10), 0x0A006005u); // 05 60 00 0A
    EXPECT_EQ(ConfigWordRegister(1, 2499, false, 0), 0x00001801u);  // hundreds truncated
    // 38400 / 100 = 0x180 carries into the empty-tube byte (a later read shows "Yes"); the test
    // sets that byte whatever the carry left there.
    EXPECT_EQ(ConfigWordRegister(5, 38400, false, 10), 0x0A018005u);
    EXPECT_EQ(ConfigWordRegister(5, 38400, true, 10), 0x0AFF8005u);
    EXPECT_EQ(ConfigWordRegister(0, 0, false, 300), 0x2C000000u);
}

TEST(ConfigWordRegister, NegativeAndExtremeFieldsWrapWithoutOverflow)
{
    EXPECT_EQ(ConfigWordRegister(-1, 100, false, 0), 0x000000FFu); // -1 + 0x100
    EXPECT_EQ(ConfigWordRegister(0, -150, false, 0), 0xFFFFFF00u); // -150 / 100 = -1
    // INT_MIN / 100 = FEB851EC, shifted by 8: B851EC00; plus 80000000; the pulse width's bits all
    // leave the word. The sanitizer build reports any overflow on the way.
    EXPECT_EQ(ConfigWordRegister(INT_MIN, INT_MIN, true, INT_MIN), 0x38FFEC00u);
    EXPECT_EQ(ConfigWordRegister(INT_MAX, INT_MAX, false, INT_MAX), 0xC6AE13FFu);
}

using TValues = std::array<std::uint32_t, UserDataRegisterCount>;

std::uint32_t Single(float value)
{
    return std::bit_cast<std::uint32_t>(value);
}

TEST(UserDataRegisters, FlowsAreDividedAndThePulseConstantMultipliedByTheScaleFactor)
{
    const TUserDataFields fields{100, 2000, 1.0, 5, 9600, true, 10};
    TValues values{};
    ASSERT_TRUE(UserDataRegisters(fields, 0, 0, values));
    // Bytes least significant first: CD CC CC 3D, 00 00 7A 44 (1000.0), 00 00 7A 44, 05 60 FF 0A.
    EXPECT_EQ(values, (TValues{0x3DCCCCCDu, Single(2.0f), 0x447A0000u, 0x447A0000u, 0x0AFF6005u}));

    // Flow code 1 and pulse code 2: Q / 100 and Imp Out x 10, register 0x23 holds 10.
    ASSERT_TRUE(UserDataRegisters({250, 4000, 2.5, 1, 2400, false, 20}, 1, 2, values));
    EXPECT_EQ(values, (TValues{Single(2.5f), Single(40.0f), Single(25.0f), Single(10.0f), 0x14001801u}));

    // Codes 3 and above are factor 1: the broadcast's values go out unscaled.
    ASSERT_TRUE(UserDataRegisters({-7, 16777217, 0.1, 0, 0, false, 0}, 3, 9, values));
    EXPECT_EQ(values, (TValues{Single(-7.0f), Single(16777216.0f), Single(0.1f), Single(1.0f), 0u}));
}

TEST(UserDataRegisters, EachValueIsRoundedToSingleBeforeAndAfterScaling)
{
    TValues values{};
    // 16777219 is no single: it becomes 16777220 before the division, and the quotient rounds
    // to another single than 16777.219 does.
    ASSERT_TRUE(UserDataRegisters({16777219, 0, 0.1, 0, 0, false, 0}, 0, 0, values));
    EXPECT_EQ(values[0], 0x46831271u);
    EXPECT_EQ(Single(static_cast<float>(16777219.0 / 1000)), 0x46831270u);
    // 0.1 is first the single 0.100000001490116..., times 1000 is 100.000001490116... -> 100.0.
    EXPECT_EQ(values[2], Single(100.0f));
}

TEST(UserDataRegisters, APulseConstantBeyondTheSinglesRangeIsRefusedAndNothingComputed)
{
    const TValues untouched{1, 2, 3, 4, 5};
    TValues values = untouched;
    EXPECT_FALSE(UserDataRegisters({0, 0, 1e39, 0, 0, false, 0}, 3, 3, values));
    // A single as such, but not once scaled by 1000.
    EXPECT_FALSE(UserDataRegisters({0, 0, 1e36, 0, 0, false, 0}, 0, 0, values));
    EXPECT_FALSE(UserDataRegisters({0, 0, -1e36, 0, 0, false, 0}, 0, 0, values));
    EXPECT_EQ(values, untouched);
    EXPECT_TRUE(UserDataRegisters({0, 0, 1e36, 0, 0, false, 0}, 3, 3, values));
    EXPECT_TRUE(UserDataRegisters({0, 0, FLT_MAX, 0, 0, false, 0}, 3, 3, values));
}

} // namespace
