// The meter's two answers to a data request, each an RSP_UD long frame with a variable-data
// structure (CI 72): the configuration-data frame (64 bytes) and the user-data frame (48 bytes).
//
// Both start with the fixed data header (identification, manufacturer, version, medium, access
// number, status, signature) and one plain data record, the main volume counter in litres (three
// bytes, so its low 24 bits). A DIF 0F then opens the manufacturer-specific data that runs to the
// end of the frame: the byte FF followed by the meter's own values, four bytes each, least
// significant byte first.
//   configuration data: four factory singles, two factory words, the scale word (pulse scale
//                       code in bits 0-3, flow scale code in bits 4-7), two factory words;
//   user data:          registers 0x20, 0x21, 0x22, 0x23 and 0x24.
#pragma once

#include <cstdint>
#include <vector>

#include "MeterState.h"

// The secondary address beside the identification number: manufacturer "VXS" (three letters of
// five bits each, 'A' = 1), version and medium (water).
inline constexpr std::uint16_t kMeterManufacturer = ('V' - 64) << 10 | ('X' - 64) << 5 | ('S' - 64);
inline constexpr std::uint8_t kMeterVersion = 0x01;
inline constexpr std::uint8_t kMeterMedium = 0x07;

inline constexpr std::uint8_t kMeterRspUd = 0x08;
inline constexpr std::uint8_t kMeterCiResponse = 0x72;
inline constexpr int kConfigDataFrameLength = 64;
inline constexpr int kUserDataFrameLength = 48;
// Offset of the first of the meter's own values in either frame.
inline constexpr int kMeterValuesOffset = 26;

std::vector<std::uint8_t> BuildConfigDataFrame(const TMeterState& state, std::uint8_t accessNumber);
std::vector<std::uint8_t> BuildUserDataFrame(const TMeterState& state, std::uint8_t accessNumber);

// The frame the meter has selected, counting it as sent (next access number).
std::vector<std::uint8_t> BuildSelectedFrame(TMeterState& state);
