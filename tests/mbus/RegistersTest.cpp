// Register values from field values, as the bytes a register write carries.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfloat>
#include <climits>
#include <string>
#include <vector>

#include "DecodeFrames.h"
#include "MBusDecode.h"
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

// Each part of register 0x24 over its whole range, the others set: what a read of the register
// shows writes the same register again, and shows the value written (the baud rate as its
// hundreds, which is what the register holds).
TEST(ConfigWordRegister, EveryValueOfEveryPartReadsBackAndWritesTheSameRegister)
{
    struct TParts {
        std::int32_t Address = 7;
        std::int32_t Baud = 9600;
        bool EmptyTube = true;
        std::int32_t PulseWidth = 10;
    };
    std::vector<TParts> cases;
    for (std::int32_t address = 0; address <= ConfigAddressMax; ++address)
        cases.push_back({.Address = address});
    for (std::int32_t baud = 0; baud <= ConfigBaudMax; ++baud)
        cases.push_back({.Baud = baud});
    for (const bool emptyTube : {false, true})
        cases.push_back({.EmptyTube = emptyTube});
    for (std::int32_t width = 0; width <= ConfigPulseWidthMax; ++width)
        cases.push_back({.PulseWidth = width});
    for (const TParts& c : cases) {
        SCOPED_TRACE(std::to_string(c.Address) + " " + std::to_string(c.Baud) + " " +
                     std::to_string(c.EmptyTube) + " " + std::to_string(c.PulseWidth));
        const std::uint32_t written = ConfigWordRegister(c.Address, c.Baud, c.EmptyTube, c.PulseWidth);
        const TMBusUserData read =
            DecodeUserFrame(decodetest::Load(decodetest::UserFrame({.Config = written})), 1, {});
        ASSERT_EQ(read.Status, TMBusDecodeStatus::dsDecoded);
        ASSERT_EQ(ConfigWordRegister(read.Address, read.Baud, read.TestEmptyTube, read.PulseWidth), written);
        ASSERT_EQ(read.Address, c.Address);
        ASSERT_EQ(read.Baud, c.Baud / 100 * 100);
        ASSERT_EQ(read.TestEmptyTube, c.EmptyTube);
        ASSERT_EQ(read.PulseWidth, c.PulseWidth);
    }
}

using TValues = std::array<std::uint32_t, UserDataRegisterCount>;

std::uint32_t Single(float value)
{
    return std::bit_cast<std::uint32_t>(value);
}

TEST(UserDataRegisters, ScaleEachValueRoundedToSingleBeforeAndAfterAndRefuseWhatNoSingleHolds)
{
    TValues values{};
    // Flow code 1 divides by 100, pulse code 2 multiplies by 10; register 0x23 holds the 10.
    ASSERT_TRUE(UserDataRegisters({250, 4000, 2.5, 1, 2400, false, 20}, 1, 2, values));
    EXPECT_EQ(values, (TValues{Single(2.5f), Single(40.0f), Single(25.0f), Single(10.0f), 0x14001801u}));
    // 16777219 is no single: as 16777220 divided by 1000 it rounds to another single than
    // 16777.219 does. 0.1 as a single times 1000 is 100.0000015, which rounds to 100.
    ASSERT_TRUE(UserDataRegisters({16777219, 0, 0.1, 0, 0, false, 0}, 0, 0, values));
    EXPECT_EQ(values[0], 0x46831271u); // not 0x46831270
    EXPECT_EQ(values[2], Single(100.0f));

    const TValues before = values;
    EXPECT_FALSE(UserDataRegisters({0, 0, 1e39, 0, 0, false, 0}, 3, 3, values));
    EXPECT_FALSE(UserDataRegisters({0, 0, -1e36, 0, 0, false, 0}, 0, 0, values)); // only once scaled
    EXPECT_EQ(values, before);
    EXPECT_TRUE(UserDataRegisters({0, 0, FLT_MAX, 0, 0, false, 0}, 3, 3, values));
}

} // namespace
