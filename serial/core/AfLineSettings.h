// The line settings of a serial port as the component publishes them, and their mapping to the
// platform's device control block (DCB): settings to DCB, DCB back to settings, and the software
// flow-control limits derived from the input queue size.
//
// Every enumeration is stored in 8 bits, with ordinals from 0 in the order listed. They are
// unscoped so that both `br9600` and `TAfBaudrate::br9600` can be written.
#pragma once

#include <cstdint>

#include "AfSmallSet.h"
#include "platform/Dcb.h"

enum TAfBaudrate : std::uint8_t {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brUser
};

enum TAfDatabits : std::uint8_t { db4, db5, db6, db7, db8 };

enum TAfParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };

enum TAfStopbits : std::uint8_t { sbOne, sbOneAndHalf, sbTwo };

enum TAfFlowControl : std::uint8_t { fwNone, fwXOnXOff, fwRtsCts, fwDtrDsr };

enum TAfComOption : std::uint8_t { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coStripNull };

inline constexpr int AfBaudrateCount = brUser + 1;
inline constexpr int AfDatabitsCount = db8 + 1;
inline constexpr int AfParityCount = paSpace + 1;
inline constexpr int AfStopbitsCount = sbTwo + 1;
inline constexpr int AfFlowControlCount = fwDtrDsr + 1;
inline constexpr int AfComOptionCount = coStripNull + 1;

// A set of TAfComOption in one byte: bit n stands for the option of ordinal n.
using TAfComOptions = TAfSmallSet<TAfComOption, AfComOptionCount>;

// The line settings, with the component's defaults.
struct TAfLineSettings {
    TAfBaudrate BaudRate = br115200;
    std::int32_t UserBaudRate = 0; // the rate used when BaudRate is brUser
    TAfDatabits Databits = db8;
    TAfParity Parity = paNone;
    TAfStopbits Stopbits = sbOne;
    TAfFlowControl FlowControl = fwNone;
    TAfComOptions Options;
    bool DTR = true; // line state held when no handshake uses the line
    bool RTS = true;
    char XOnChar = 0x11;
    char XOffChar = 0x13;
    std::uint16_t XOnLim = 0;
    std::uint16_t XOffLim = 0;
    std::int32_t InBufSize = 4096; // requested size of the device's input queue

    bool operator==(const TAfLineSettings&) const = default;
};

// Table values of the enumerations. Each throws std::out_of_range for a value outside its
// enumeration. BaudRateValue(brUser) is 0: the user rate is not part of the table.
DWORD BaudRateValue(TAfBaudrate BaudRate);
BYTE DatabitsValue(TAfDatabits Databits);
BYTE ParityValue(TAfParity Parity);
BYTE StopbitsValue(TAfStopbits Stopbits);
DWORD FlowControlMask(TAfFlowControl FlowControl);
DWORD ComOptionFlag(TAfComOption Option);

// Builds the whole DCB from the settings: every field the settings do not drive is 0.
// Throws std::out_of_range when an enumerated setting holds a value outside its enumeration.
DCB LineSettingsToDCB(const TAfLineSettings& Settings);

// Reads the settings back from a DCB. DTR, RTS and InBufSize keep their values; UserBaudRate
// changes only when the rate is not in the table. Values that match no enumeration fall back to
// db8, paNone and sbOne; incomplete flow-control masks read as fwNone.
void LineSettingsFromDCB(TAfLineSettings& Settings, const DCB& Dcb);

// Derives XOnLim and XOffLim from FlowControl and InBufSize: both 0 without flow control,
// otherwise a quarter of InBufSize and the rest of it, in 16-bit arithmetic.
void UpdateXOnXOffLimits(TAfLineSettings& Settings);

// Writing one limit recomputes the other from the low 16 bits of InBufSize (wrapping). Writing
// the value a limit already has changes nothing. The result tells whether anything changed.
bool WriteXOnLim(TAfLineSettings& Settings, std::uint16_t Value);
bool WriteXOffLim(TAfLineSettings& Settings, std::uint16_t Value);
