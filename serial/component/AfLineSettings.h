/// \file
/// The line settings of a serial port as the component publishes them, and their mapping to the
/// platform's device control block (DCB): settings to DCB, DCB back to settings, and the software
/// flow-control limits derived from the input queue size.
///
/// Every enumeration is stored in 8 bits, with ordinals from 0 in the order listed. They are
/// unscoped so that both `br9600` and `TAfBaudrate::br9600` can be written.
///
/// Pure data conversion: no device, no lock, no allocation; any thread, on the caller's own
/// settings.
#pragma once

#include <cstdint>

#include <vexora/serial/AfExport.h>
#include <vexora/serial/AfSmallSet.h>
#include <vexora/serial/platform/Dcb.h>

namespace vexora::serial {

/// The baud rates of the table (DCB.BaudRate 110 to 256000), and brUser for the rate in
/// UserBaudRate.
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

/// Data bits: DCB.ByteSize 4 to 8. The platform runs 5 to 8; db4 is refused when applied.
enum TAfDatabits : std::uint8_t { db4, db5, db6, db7, db8 };

/// Parity: DCB.Parity NOPARITY to SPACEPARITY. Received parity is checked only with coParityCheck.
enum TAfParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };

/// Stop bits: DCB.StopBits ONESTOPBIT, ONE5STOPBITS (with 5 data bits only), TWOSTOPBITS.
enum TAfStopbits : std::uint8_t { sbOne, sbOneAndHalf, sbTwo };

/// Flow control: none, XON/XOFF both ways (fOutX and fInX, 0x0300), RTS/CTS (fOutxCtsFlow and RTS
/// handshake, 0x2004), DTR/DSR (fOutxDsrFlow and DTR handshake, 0x0028).
enum TAfFlowControl : std::uint8_t { fwNone, fwXOnXOff, fwRtsCts, fwDtrDsr };

/// One DCB flag each: fParity, fDsrSensitivity, fTXContinueOnXoff, fErrorChar, fNull.
enum TAfComOption : std::uint8_t { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coStripNull };

/// \name Value counts
//@{
/// The number of values of each enumeration (one more than its last ordinal).
inline constexpr int AfBaudrateCount = brUser + 1;
inline constexpr int AfDatabitsCount = db8 + 1;
inline constexpr int AfParityCount = paSpace + 1;
inline constexpr int AfStopbitsCount = sbTwo + 1;
inline constexpr int AfFlowControlCount = fwDtrDsr + 1;
inline constexpr int AfComOptionCount = coStripNull + 1;
//@}

/// A set of TAfComOption in one byte: bit n stands for the option of ordinal n.
using TAfComOptions = TAfSmallSet<TAfComOption, AfComOptionCount>;

/// The line settings, with the component's defaults (115200 8N1, no flow control, DTR and RTS on).
/// A plain value; compare with ==.
struct TAfLineSettings {
    TAfBaudrate BaudRate = br115200;     ///< A table rate, or brUser for UserBaudRate.
    std::int32_t UserBaudRate = 0;       ///< The rate used when BaudRate is brUser.
    TAfDatabits Databits = db8;          ///< Data bits.
    TAfParity Parity = paNone;           ///< Parity generated (and checked with coParityCheck).
    TAfStopbits Stopbits = sbOne;        ///< Stop bits.
    TAfFlowControl FlowControl = fwNone; ///< Flow control.
    TAfComOptions Options;               ///< DCB flags of their own; empty by default.
    bool DTR = true;                     ///< Line state held when no handshake uses the line.
    bool RTS = true;                     ///< As DTR.
    char XOnChar = 0x11;                 ///< The XON character.
    char XOffChar = 0x13;                ///< The XOFF character.
    std::uint16_t XOnLim = 0;            ///< DCB.XonLim.
    std::uint16_t XOffLim = 0;           ///< DCB.XoffLim.
    std::int32_t InBufSize = 4096;       ///< Requested size of the device's input queue.

    /// Whether every setting is equal.
    bool operator==(const TAfLineSettings&) const = default;
};

/// \name Table values
//@{
/// Table values of the enumerations: the DCB.BaudRate of a rate, the DCB.ByteSize, DCB.Parity and
/// DCB.StopBits codes, the flag mask of a flow control and the flag of an option. Each throws
/// std::out_of_range for a value outside its enumeration. BaudRateValue(brUser) is 0: the user
/// rate is not part of the table.
VEXORA_SERIAL_API platform::DWORD BaudRateValue(TAfBaudrate BaudRate);
VEXORA_SERIAL_API platform::BYTE DatabitsValue(TAfDatabits Databits);
VEXORA_SERIAL_API platform::BYTE ParityValue(TAfParity Parity);
VEXORA_SERIAL_API platform::BYTE StopbitsValue(TAfStopbits Stopbits);
VEXORA_SERIAL_API platform::DWORD FlowControlMask(TAfFlowControl FlowControl);
VEXORA_SERIAL_API platform::DWORD ComOptionFlag(TAfComOption Option);
//@}

/// Builds the whole DCB from the settings: every field the settings do not drive is 0. The rate is
/// UserBaudRate for brUser (0 stays 0, which a device refuses), else the table rate; fBinary is
/// always set; DTR and RTS enable go in only when no handshake drives the line. Throws
/// std::out_of_range when an enumerated setting holds a value outside its enumeration.
VEXORA_SERIAL_API platform::DCB LineSettingsToDCB(const TAfLineSettings& Settings);

/// Reads the settings back from a DCB. DTR, RTS and InBufSize keep their values; UserBaudRate
/// changes only when the rate is not in the table (a rate of 0 reads as brUser and keeps it).
/// Values that match no enumeration fall back to db8, paNone and sbOne; incomplete flow-control
/// masks read as fwNone, and with several complete ones fwDtrDsr wins over fwRtsCts over
/// fwXOnXOff. Raises nothing.
VEXORA_SERIAL_API void LineSettingsFromDCB(TAfLineSettings& Settings, const platform::DCB& Dcb);

/// Derives XOnLim and XOffLim from FlowControl and InBufSize: both 0 without flow control,
/// otherwise a quarter of InBufSize and the rest of it, in 16-bit arithmetic.
VEXORA_SERIAL_API void UpdateXOnXOffLimits(TAfLineSettings& Settings);

/// Writing one limit recomputes the other from the low 16 bits of InBufSize (wrapping). Writing
/// the value a limit already has changes nothing. The result tells whether anything changed.
VEXORA_SERIAL_API bool WriteXOnLim(TAfLineSettings& Settings, std::uint16_t Value);
/// As WriteXOnLim, for XOffLim: XOnLim becomes InBufSize - Value.
VEXORA_SERIAL_API bool WriteXOffLim(TAfLineSettings& Settings, std::uint16_t Value);

} // namespace vexora::serial
