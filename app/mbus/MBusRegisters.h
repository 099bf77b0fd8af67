// The meter's user-data registers as the tool writes them: the value of each register from the
// window's field values, with no window involved.
#pragma once

#include <cstdint>

// Register of the meter's own address, baud rate, empty-tube test and pulse width.
inline constexpr std::uint8_t RegConfigWord = 0x24;

// The value of register 0x24: address + (baud / 100, truncated toward zero) shifted left by 8 +
// pulse width shifted left by 24, added in wrapping 32-bit arithmetic (a field out of its byte's
// range carries into the next byte, a negative one borrows), then bits 16-23 set to FF when the
// empty-tube test is on. In range this is the bytes address, baud / 100, 00 or FF, pulse width,
// least significant first.
std::uint32_t ConfigWordRegister(std::int32_t address, std::int32_t baud, bool emptyTubeTest,
                                 std::int32_t pulseWidth);
