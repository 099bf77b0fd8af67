/// \file
/// The device control block of the comm platform: the 28-byte record that describes a serial line
/// (rate, frame, flow control, special characters), and the port configuration that carries it. Its layout is
/// the one the port code was written against, so that a DCB built by the component can be stored, compared
/// and copied byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial::platform {

/// A serial line's settings: what SetCommState applies and GetCommState reads back. Fields this
/// platform does not use are kept as given. A plain record: no lock, no cost.
struct DCB {
    DWORD DCBlength;             ///< sizeof(DCB), 28.
    DWORD BaudRate;              ///< Bits per second; any rate from 1 up, as far as the device can run it.
    DWORD fBinary : 1;           ///< Binary mode; always on here.
    DWORD fParity : 1;           ///< Check the parity of received bytes.
    DWORD fOutxCtsFlow : 1;      ///< RTS/CTS flow control (the kernel's, both directions).
    DWORD fOutxDsrFlow : 1;      ///< Output waits while DSR is off.
    DWORD fDtrControl : 2;       ///< DTR: DTR_CONTROL_DISABLE, _ENABLE or _HANDSHAKE.
    DWORD fDsrSensitivity : 1;   ///< Ignore input while DSR is off (kept, not applied here).
    DWORD fTXContinueOnXoff : 1; ///< Send on after XOFF (kept, not applied here).
    DWORD fOutX : 1;             ///< Output obeys XON/XOFF from the far end (the kernel's IXON).
    DWORD fInX : 1;              ///< Input sends XON/XOFF (the kernel's IXOFF, own limits).
    DWORD fErrorChar : 1;        ///< Replace bad bytes by ErrorChar (kept, not applied here).
    DWORD fNull : 1;             ///< Drop NUL bytes (kept, not applied here).
    DWORD fRtsControl : 2;       ///< RTS: RTS_CONTROL_DISABLE, _ENABLE or _HANDSHAKE.
    DWORD fAbortOnError : 1;     ///< Abort on a line error (kept, not applied here).
    DWORD fDummy2 : 17;          ///< Reserved.
    WORD wReserved;              ///< Reserved, 0.
    WORD XonLim;                 ///< DTR handshake: DTR rises again at this many queued bytes or fewer.
    WORD XoffLim;                ///< DTR handshake: DTR drops when no more than this much room is left.
    BYTE ByteSize;               ///< Data bits, 5 to 8.
    BYTE Parity;                 ///< NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY or SPACEPARITY.
    BYTE StopBits;               ///< ONESTOPBIT, ONE5STOPBITS (5 data bits only) or TWOSTOPBITS.
    char XonChar;                ///< The XON character; must differ from XoffChar.
    char XoffChar;               ///< The XOFF character.
    char ErrorChar;              ///< Replacement for bytes with parity errors (kept, not applied here).
    char EofChar;                ///< End-of-input character (kept, not applied here).
    char EvtChar;                ///< Event character (kept, not applied here).
    WORD wReserved1;             ///< Reserved, 0.
};

static_assert(sizeof(DCB) == 28, "DCB must be 28 bytes");
static_assert(offsetof(DCB, DCBlength) == 0);
static_assert(offsetof(DCB, BaudRate) == 4);
static_assert(offsetof(DCB, wReserved) == 12);
static_assert(offsetof(DCB, XonLim) == 14);
static_assert(offsetof(DCB, XoffLim) == 16);
static_assert(offsetof(DCB, ByteSize) == 18);
static_assert(offsetof(DCB, Parity) == 19);
static_assert(offsetof(DCB, StopBits) == 20);
static_assert(offsetof(DCB, XonChar) == 21);
static_assert(offsetof(DCB, XoffChar) == 22);
static_assert(offsetof(DCB, ErrorChar) == 23);
static_assert(offsetof(DCB, EofChar) == 24);
static_assert(offsetof(DCB, EvtChar) == 25);
static_assert(offsetof(DCB, wReserved1) == 26);

/// The flag bits live in the 32-bit word at offset 8, bit 0 first.
inline constexpr std::size_t DCB_FLAGS_OFFSET = 8;

/// The flag word of `dcb` (fBinary in bit 0), to test against the DCB_f masks below.
inline DWORD DcbFlags(const DCB& dcb)
{
    DWORD flags;
    std::memcpy(&flags, reinterpret_cast<const BYTE*>(&dcb) + DCB_FLAGS_OFFSET, sizeof flags);
    return flags;
}

/// Replaces the flag word of `dcb` with `flags`.
inline void SetDcbFlags(DCB& dcb, DWORD flags)
{
    std::memcpy(reinterpret_cast<BYTE*>(&dcb) + DCB_FLAGS_OFFSET, &flags, sizeof flags);
}

/// \name Flag masks
//@{
/// The flag bits as masks within the word of DcbFlags; fDtrControl and fRtsControl take two bits
/// each (enable 1, handshake 2 in their field).
inline constexpr DWORD DCB_fBinary = 0x0001;
inline constexpr DWORD DCB_fParity = 0x0002;
inline constexpr DWORD DCB_fOutxCtsFlow = 0x0004;
inline constexpr DWORD DCB_fOutxDsrFlow = 0x0008;
inline constexpr DWORD DCB_fDtrControlEnable = 0x0010;
inline constexpr DWORD DCB_fDtrControlHandshake = 0x0020;
inline constexpr DWORD DCB_fDsrSensitivity = 0x0040;
inline constexpr DWORD DCB_fTXContinueOnXoff = 0x0080;
inline constexpr DWORD DCB_fOutX = 0x0100;
inline constexpr DWORD DCB_fInX = 0x0200;
inline constexpr DWORD DCB_fErrorChar = 0x0400;
inline constexpr DWORD DCB_fNull = 0x0800;
inline constexpr DWORD DCB_fRtsControlEnable = 0x1000;
inline constexpr DWORD DCB_fRtsControlHandshake = 0x2000;
//@}

/// \name Parity
//@{
/// The values of DCB::Parity. Mark and space parity need a device that can do them (CMSPAR).
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
//@}

/// \name Stop bits
//@{
/// The values of DCB::StopBits. As a UART does, five data bits with TWOSTOPBITS run 1.5 stop bits,
/// and GetCommState says ONE5STOPBITS then.
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;
//@}

/// \name Line control
//@{
/// The values of DCB::fDtrControl and DCB::fRtsControl: the line held off, held on, or driven by
/// the handshake (DTR drops when the input queue is within XoffLim bytes of full and rises again
/// at XonLim bytes or fewer; RTS follows the kernel's RTS/CTS flow control). SetCommState refuses
/// RTS_CONTROL_TOGGLE with ERROR_NOT_SUPPORTED.
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;
//@}

/// A port's configuration: the DCB and the provider's (here empty) data; 52 bytes.
struct COMMCONFIG {
    DWORD dwSize;            ///< sizeof(COMMCONFIG), 52.
    WORD wVersion;           ///< 1.
    WORD wReserved;          ///< 0.
    DCB dcb;                 ///< The line settings.
    DWORD dwProviderSubType; ///< PST_RS232.
    DWORD dwProviderOffset;  ///< 0: no provider data.
    DWORD dwProviderSize;    ///< 0.
    WCHAR wcProviderData[1]; ///< Unused.
};
static_assert(sizeof(COMMCONFIG) == 52, "COMMCONFIG must be 52 bytes");
static_assert(offsetof(COMMCONFIG, wVersion) == 4);
static_assert(offsetof(COMMCONFIG, dcb) == 8);
static_assert(offsetof(COMMCONFIG, dwProviderSubType) == 36);
static_assert(offsetof(COMMCONFIG, dwProviderOffset) == 40);
static_assert(offsetof(COMMCONFIG, dwProviderSize) == 44);
static_assert(offsetof(COMMCONFIG, wcProviderData) == 48);

} // namespace vexora::serial::platform
