// Register values from field values, as the bytes a register write carries.
#include <gtest/gtest.h>

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

} // namespace
