// Register values from field values, as the bytes a register write carries.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "MBusRegisters.h"

namespace {

TEST(ConfigWordRegister, PacksAddressBaudTestAndPulseWidthByteByByte)
{
    EXPECT_EQ(ConfigWordRegister(5, 9600, true, 10), 0x0AFF6005u);  // 05 60 FF 0A
    EXPECT_EQ(ConfigWordRegister(5, 9600, false, 10), 0x0A006005u); // 05 60 00 0A
    EXPECT_EQ(ConfigWordRegister(0, 0, false, 0), 0u);
    EXPECT_EQ(ConfigWordRegister(255, 25599, true, 250), 0xFAFFFFFFu);
    // The baud rate is truncated to hundreds, never rounded.
    EXPECT_EQ(ConfigWordRegister(1, 2499, false, 0), 0x00001801u);
}

TEST(ConfigWordRegister, OutOfRangeFieldsCarryIntoTheNextByte)
{
    // 38400 / 100 = 384 = 0x180: its high bit lands in the empty-tube byte, which a later read
    // shows as "Yes".
    EXPECT_EQ(ConfigWordRegister(5, 38400, false, 10), 0x0A018005u); // 05 80 01 0A
    // The test sets that byte whatever the carry put there.
    EXPECT_EQ(ConfigWordRegister(5, 38400, true, 10), 0x0AFF8005u);
    EXPECT_EQ(ConfigWordRegister(256, 0, false, 0), 0x00000100u);
    EXPECT_EQ(ConfigWordRegister(0, 0, false, 300), 0x2C000000u); // 300 << 24 wraps
}

TEST(ConfigWordRegister, NegativeFieldsBorrowInWrappingArithmetic)
{
    EXPECT_EQ(ConfigWordRegister(-1, 0, false, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ConfigWordRegister(-1, 100, false, 0), 0x000000FFu); // -1 + 0x100
    // -150 / 100 truncates toward zero to -1.
    EXPECT_EQ(ConfigWordRegister(0, -150, false, 0), 0xFFFFFF00u);
    EXPECT_EQ(ConfigWordRegister(0, 0, false, -1), 0xFF000000u);
    // The extremes of the fields wrap without overflow (the sanitizer build checks this).
    EXPECT_EQ(ConfigWordRegister(INT_MAX, 0, false, 0), 0x7FFFFFFFu);
    // INT_MIN / 100 = -21474836 = FEB851EC, shifted by 8: B851EC00; plus 80000000; the pulse
    // width's bits all leave the word.
    EXPECT_EQ(ConfigWordRegister(INT_MIN, INT_MIN, true, INT_MIN), 0x38FFEC00u);
}

} // namespace
