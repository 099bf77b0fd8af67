#include "MBusRegisters.h"

namespace {

constexpr std::uint32_t kEmptyTubeTestOn = 0x00FF0000u;

// Two's complement: the same bits as the signed value, so that adding wraps instead of
// overflowing.
constexpr std::uint32_t Bits(std::int32_t value)
{
    return static_cast<std::uint32_t>(value);
}

} // namespace

std::uint32_t ConfigWordRegister(std::int32_t address, std::int32_t baud, bool emptyTubeTest,
                                 std::int32_t pulseWidth)
{
    std::uint32_t word = (Bits(pulseWidth) << 24) + (Bits(baud / 100) << 8) + Bits(address);
    if (emptyTubeTest)
        word |= kEmptyTubeTestOn;
    return word;
}
