#include "MBusRegisters.h"

#include <bit>
#include <cfloat>
#include <cmath>

#include "MBusDecode.h"

namespace {

constexpr std::uint32_t kEmptyTubeTestOn = 0x00FF0000u;

// Two's complement: the same bits as the signed value, so that adding wraps instead of
// overflowing.
constexpr std::uint32_t Bits(std::int32_t value)
{
    return static_cast<std::uint32_t>(value);
}

std::uint32_t SingleBits(float value)
{
    return std::bit_cast<std::uint32_t>(value);
}

// The value rounded to single; false when it lies beyond the single's range (converting it would
// be undefined) or is not a number.
bool ToSingle(double value, float& single)
{
    if (!(std::fabs(value) <= FLT_MAX))
        return false;
    single = static_cast<float>(value);
    return true;
}

} // namespace

std::uint32_t FlowRegister(std::int32_t flow, std::uint8_t flowScaleCode)
{
    const float q = static_cast<float>(flow);
    return SingleBits(static_cast<float>(static_cast<double>(q) / ScaleFactor(flowScaleCode)));
}

std::uint32_t ConfigWordRegister(std::int32_t address, std::int32_t baud, bool emptyTubeTest,
                                 std::int32_t pulseWidth)
{
    std::uint32_t word = (Bits(pulseWidth) << 24) + (Bits(baud / 100) << 8) + Bits(address);
    if (emptyTubeTest)
        word |= kEmptyTubeTestOn;
    return word;
}

bool ImpOutRegister(double impOut, std::uint8_t pulseScaleCode, std::uint32_t& value)
{
    // The product of a single and a factor up to 1000 is exact in a double: one rounding only.
    const auto factor = static_cast<float>(ScaleFactor(pulseScaleCode));
    float single = 0.0f;
    float scaled = 0.0f;
    if (!ToSingle(impOut, single) || !ToSingle(static_cast<double>(single) * factor, scaled))
        return false;
    value = SingleBits(scaled);
    return true;
}

bool UserDataRegisters(const TUserDataFields& fields, std::uint8_t flowScaleCode, std::uint8_t pulseScaleCode,
                       std::array<std::uint32_t, UserDataRegisterCount>& values)
{
    std::uint32_t impOut = 0;
    if (!ImpOutRegister(fields.ImpOut, pulseScaleCode, impOut))
        return false;
    values = {FlowRegister(fields.Q4mA, flowScaleCode), FlowRegister(fields.Q20mA, flowScaleCode), impOut,
              SingleBits(static_cast<float>(ScaleFactor(pulseScaleCode))),
              ConfigWordRegister(fields.Address, fields.Baud, fields.EmptyTubeTest, fields.PulseWidth)};
    return true;
}
