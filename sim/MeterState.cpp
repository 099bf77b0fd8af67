#include "MeterState.h"

#include <bit>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

std::uint32_t SingleBits(double value)
{
    return std::bit_cast<std::uint32_t>(static_cast<float>(value));
}

bool ConfigWordUsable(std::uint32_t word)
{
    const int address = static_cast<int>(word & 0xFF);
    const int baud = static_cast<int>((word >> 8) & 0xFF) * 100;
    return address <= kMaxMeterAddress && MeterBaudSupported(baud);
}

bool IsBcd(std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 4)
        if (((value >> shift) & 0x0F) > 9)
            return false;
    return true;
}

// 2024 followed by the address in four BCD digits.
std::uint32_t DefaultIdentification(int address)
{
    return 0x20240000u | static_cast<std::uint32_t>(address / 100) << 8 |
           static_cast<std::uint32_t>(address / 10 % 10) << 4 | static_cast<std::uint32_t>(address % 10);
}

std::string Hex8(std::uint32_t value)
{
    char text[12];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

} // namespace

bool MeterBaudSupported(int baud)
{
    switch (baud) {
    case 300:
    case 600:
    case 1200:
    case 2400:
    case 4800:
    case 9600:
    case 19200:
        return true;
    default:
        return false;
    }
}

int MeterScaleFactor(std::uint8_t code)
{
    switch (code) {
    case 0:
        return 1000;
    case 1:
        return 100;
    case 2:
        return 10;
    default:
        return 1;
    }
}

TMeterState::TMeterState(const TMeterSettings& settings)
    : FVolume(settings.Volume), FFlowScaleCode(settings.FlowScaleCode & 0x0F),
      FPulseScaleCode(settings.PulseScaleCode & 0x0F),
      FIdentification(settings.Identification.value_or(DefaultIdentification(settings.Address)))
{
    if (settings.Address < 0 || settings.Address > kMaxMeterAddress)
        throw std::invalid_argument("address " + std::to_string(settings.Address) +
                                    " is not a meter address (0 to 250)");
    if (!MeterBaudSupported(settings.Baud))
        throw std::invalid_argument("the meter cannot run at " + std::to_string(settings.Baud) +
                                    " baud (300, 600, 1200, 2400, 4800, 9600 or 19200)");
    if (settings.PulseWidth < 0 || settings.PulseWidth > 255)
        throw std::invalid_argument("pulse width " + std::to_string(settings.PulseWidth) +
                                    " does not fit its byte");
    if (settings.Volume > kMaxMeterVolume)
        throw std::invalid_argument("volume " + std::to_string(settings.Volume) +
                                    " does not fit the meter's volume record (at most 16777215)");
    if (!IsBcd(FIdentification))
        throw std::invalid_argument("identification number " + Hex8(FIdentification) +
                                    " is not eight decimal digits");
    const double flowFactor = MeterScaleFactor(FFlowScaleCode);
    const double pulseFactor = MeterScaleFactor(FPulseScaleCode);
    FUserRegisters = {
        SingleBits(settings.Q4mA / flowFactor),
        SingleBits(settings.Q20mA / flowFactor),
        SingleBits(settings.ImpOut * pulseFactor),
        SingleBits(pulseFactor),
        static_cast<std::uint32_t>(settings.Address) | static_cast<std::uint32_t>(settings.Baud / 100) << 8 |
            (settings.TestEmptyTube ? 0xFFu : 0u) << 16 |
            static_cast<std::uint32_t>(settings.PulseWidth) << 24,
    };
}

bool TMeterState::HasRegister(std::uint8_t reg)
{
    return (reg >= kRegQ4mA && reg <= kRegConfigWord) || reg == kRegVolume || reg == kRegVolumeFraction;
}

std::uint32_t TMeterState::Register(std::uint8_t reg) const
{
    if (reg >= kRegQ4mA && reg <= kRegConfigWord)
        return FUserRegisters[reg - kRegQ4mA];
    if (reg == kRegVolume)
        return FVolume;
    if (reg == kRegVolumeFraction)
        return FVolumeFraction;
    return 0;
}

bool TMeterState::WriteRegister(std::uint8_t reg, std::uint32_t value)
{
    if (reg >= kRegQ4mA && reg <= kRegConfigWord) {
        if (reg == kRegConfigWord && !ConfigWordUsable(value))
            return false;
        FUserRegisters[reg - kRegQ4mA] = value;
        return true;
    }
    if (reg == kRegVolume) {
        if (value > kMaxMeterVolume)
            return false;
        FVolume = value;
        return true;
    }
    if (reg == kRegVolumeFraction) {
        FVolumeFraction = value;
        return true;
    }
    return false;
}

bool TMeterState::SetAddress(int address)
{
    if (address < 0 || address > kMaxMeterAddress)
        return false;
    return WriteRegister(kRegConfigWord, (ConfigWord() & ~0xFFu) | static_cast<std::uint32_t>(address));
}

bool TMeterState::SetBaud(int baud)
{
    if (!MeterBaudSupported(baud))
        return false;
    return WriteRegister(kRegConfigWord, (ConfigWord() & ~0xFF00u) | static_cast<std::uint32_t>(baud / 100)
                                                                         << 8);
}
