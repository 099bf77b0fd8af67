// The meter's memory as the simulator keeps it: the user-data registers 0x20 to 0x24, the main
// volume counter (registers 0x30 and 0x31), the factory configuration that the configuration-data
// frame reports, and which frame the next data request gets.
//
// Registers 0x20 to 0x23 hold IEEE singles, kept as their raw 32 bits exactly as written. Register
// 0x24 is the configuration word: address in bits 0-7, baud rate / 100 in bits 8-15, empty-tube
// test in bits 16-23 (0 off), pulse width in bits 24-31. The meter's own address and baud rate are
// always the ones register 0x24 holds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

inline constexpr std::uint8_t kRegQ4mA = 0x20;
inline constexpr std::uint8_t kRegQ20mA = 0x21;
inline constexpr std::uint8_t kRegImpOut = 0x22;
inline constexpr std::uint8_t kRegPulseFactor = 0x23;
inline constexpr std::uint8_t kRegConfigWord = 0x24;
// The main volume counter in litres, and the part of a litre counted towards the next one (ml).
inline constexpr std::uint8_t kRegVolume = 0x30;
inline constexpr std::uint8_t kRegVolumeFraction = 0x31;

// The highest primary address a meter can take; 251 to 255 have special meanings on the bus.
inline constexpr int kMaxMeterAddress = 250;
// The largest main volume counter the data record (three bytes) can carry.
inline constexpr std::uint32_t kMaxMeterVolume = 0xFFFFFF;

// Whether the meter can run its line at `baud`: the M-Bus rates whose hundreds fit the baud byte.
bool MeterBaudSupported(int baud);

enum class TMeterFrame { mfConfigData, mfUserData };

// What a meter starts with. Flows are in l/h, the pulse constant in pulses per litre; the
// registers hold them divided (flows) or multiplied (pulse constant) by the factor of the scale
// codes: 1000 for code 0, 100 for 1, 10 for 2, 1 otherwise.
struct TMeterSettings {
    int Address = 1;
    int Baud = 2400;
    std::uint8_t FlowScaleCode = 0;  // 0 to 15
    std::uint8_t PulseScaleCode = 0; // 0 to 15
    double Q4mA = 100.0;
    double Q20mA = 2000.0;
    double ImpOut = 1.0;
    bool TestEmptyTube = false;
    int PulseWidth = 10;
    std::uint32_t Volume = 123456; // litres, at most kMaxMeterVolume
    // The identification number of the secondary address, eight BCD digits (0x20240001 for
    // 20240001); none: 2024 followed by the address in four digits (20240001 for address 1).
    std::optional<std::uint32_t> Identification{};
};

// The scale factor of a scale code.
int MeterScaleFactor(std::uint8_t code);

class TMeterState {
public:
    // Throws std::invalid_argument for settings the meter cannot hold: an address or baud rate it
    // cannot take, a volume beyond its data record, an identification number that is not BCD.
    explicit TMeterState(const TMeterSettings& settings = {});

    std::uint8_t Address() const { return static_cast<std::uint8_t>(ConfigWord() & 0xFF); }
    int Baud() const { return static_cast<int>((ConfigWord() >> 8) & 0xFF) * 100; }
    std::uint32_t ConfigWord() const { return FUserRegisters[kRegConfigWord - kRegQ4mA]; }

    // True for the registers the meter has: 0x20 to 0x24, 0x30 and 0x31.
    static bool HasRegister(std::uint8_t reg);
    // The register's value; 0 for a register the meter does not have.
    std::uint32_t Register(std::uint8_t reg) const;
    // Stores a register write. Refuses (false, nothing changed) a register the meter does not have,
    // a configuration word whose address or baud rate the meter cannot take, so that a bad write
    // can never make it unreachable, and a volume beyond kMaxMeterVolume, which its data record
    // would report wrapped.
    bool WriteRegister(std::uint8_t reg, std::uint32_t value);
    // A new primary address in register 0x24, the rest of it kept; false (nothing changed) above
    // kMaxMeterAddress.
    bool SetAddress(int address);
    // A new baud rate in register 0x24, the rest of it kept; false (nothing changed) for a rate the
    // meter cannot run.
    bool SetBaud(int baud);

    std::uint32_t Volume() const { return FVolume; }

    std::uint8_t FlowScaleCode() const { return FFlowScaleCode; }
    std::uint8_t PulseScaleCode() const { return FPulseScaleCode; }
    std::uint32_t Identification() const { return FIdentification; }

    TMeterFrame Selected() const { return FSelected; }
    void Select(TMeterFrame frame) { FSelected = frame; }

    // The access number of the next data frame; every call counts one frame sent.
    std::uint8_t NextAccessNumber() { return FAccessNumber++; }

private:
    std::array<std::uint32_t, 5> FUserRegisters{};
    std::uint32_t FVolume = 0;
    std::uint32_t FVolumeFraction = 0;
    std::uint8_t FFlowScaleCode = 0;
    std::uint8_t FPulseScaleCode = 0;
    std::uint32_t FIdentification = 0;
    TMeterFrame FSelected = TMeterFrame::mfUserData;
    std::uint8_t FAccessNumber = 1;
};
