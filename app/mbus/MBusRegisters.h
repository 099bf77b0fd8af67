// The meter's user-data registers as the tool writes them: the value of each register from the
// window's field values, with no window involved.
#pragma once

#include <array>
#include <cstdint>

// The user-data registers, written in this order, and the two registers of the main volume
// counter, which a reset writes with 0.
inline constexpr std::uint8_t RegQ4mA = 0x20;
inline constexpr std::uint8_t RegQ20mA = 0x21;
inline constexpr std::uint8_t RegImpOut = 0x22;
inline constexpr std::uint8_t RegPulseFactor = 0x23;
// Register of the meter's own address, baud rate, empty-tube test and pulse width.
inline constexpr std::uint8_t RegConfigWord = 0x24;
inline constexpr std::uint8_t RegVolume = 0x30;
inline constexpr std::uint8_t RegVolumeFraction = 0x31;

inline constexpr int UserDataRegisterCount = RegConfigWord - RegQ4mA + 1;

// The largest value of each part of register 0x24 that stays in its byte (the smallest is 0):
// the address, the baud rate (its hundreds are stored) and the pulse width.
inline constexpr std::int32_t ConfigAddressMax = 255;
inline constexpr std::int32_t ConfigBaudMax = 25599;
inline constexpr std::int32_t ConfigPulseWidthMax = 250;

// The value of register 0x24: address + (baud / 100, truncated toward zero) shifted left by 8 +
// pulse width shifted left by 24, added in wrapping 32-bit arithmetic (a field out of its byte's
// range carries into the next byte, a negative one borrows), then bits 16-23 set to FF when the
// empty-tube test is on. In range this is the bytes address, baud / 100, 00 or FF, pulse width,
// least significant first.
std::uint32_t ConfigWordRegister(std::int32_t address, std::int32_t baud, bool emptyTubeTest,
                                 std::int32_t pulseWidth);

// The value of register 0x20 or 0x21: the flow in l/h rounded to single, then divided by
// ScaleFactor(flowScaleCode) and rounded to single again (an IEEE single's bits).
std::uint32_t FlowRegister(std::int32_t flow, std::uint8_t flowScaleCode);

// The value of register 0x22: the pulse constant in pulses per litre rounded to single, then
// multiplied by ScaleFactor(pulseScaleCode) and rounded to single again. False, with `value`
// unchanged, when either lies beyond the range of a single or is not a number.
bool ImpOutRegister(double impOut, std::uint8_t pulseScaleCode, std::uint32_t& value);

// The field values the user-data registers are written from.
struct TUserDataFields {
    std::int32_t Q4mA = 0;  // l/h
    std::int32_t Q20mA = 0; // l/h
    double ImpOut = 0.0;    // pulses per litre, as read from its text
    std::int32_t Address = 0;
    std::int32_t Baud = 0;
    bool EmptyTubeTest = false;
    std::int32_t PulseWidth = 0;
};

// Registers 0x20 to 0x24, each as the 32 bits a register write carries (an IEEE single's bits
// for 0x20 to 0x23):
//   0x20, 0x21  the flow rounded to single, then divided by ScaleFactor(flowScaleCode) and
//               rounded to single again;
//   0x22        the pulse constant rounded to single, then multiplied by
//               ScaleFactor(pulseScaleCode) and rounded to single again;
//   0x23        ScaleFactor(pulseScaleCode) as a single;
//   0x24        ConfigWordRegister.
// False, with `values` unchanged, when the pulse constant or its product is beyond the range of a
// single.
bool UserDataRegisters(const TUserDataFields& fields, std::uint8_t flowScaleCode, std::uint8_t pulseScaleCode,
                       std::array<std::uint32_t, UserDataRegisterCount>& values);
