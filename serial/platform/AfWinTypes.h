/// \file
/// Basic types and constants of the comm platform, with the names and values the port code was
/// written against. The values are Win32's, so that code and records written for Win32 comm keep
/// their meaning; where this platform gives a value a meaning of its own, the comment says so.
#pragma once

#include <cstddef>
#include <cstdint>

/// The comm platform: the Win32 types, constants and functions that the port code is written
/// against, and the COM mapping. AfGlobalNames.h opens it, with the component's namespace, to
/// code that uses the names unqualified.
namespace vexora::serial::platform {

/// \name Types
//@{
/// The Win32 type names, as fixed-width standard types.
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using HANDLE = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPCSTR = const char*;
using LPDWORD = DWORD*;
//@}

/// (HANDLE)-1, as the platform defines it: what CreateFileA returns when it fails. The other
/// functions that make a handle return null instead.
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

/// A time-out that never expires (waits, NotifyReceiver).
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
/// The largest DWORD; as ReadIntervalTimeout of COMMTIMEOUTS it asks for reads that return at
/// once.
inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

/// \name Results of the waits
//@{
/// WAIT_OBJECT_0 + i: object i satisfied the wait; WAIT_ABANDONED_0 + i: object i is a mutex whose
/// owner ended without releasing it (the caller owns it now); WAIT_TIMEOUT: the time ran out;
/// WAIT_FAILED: see GetLastError. A wait takes at most MAXIMUM_WAIT_OBJECTS objects.
inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
inline constexpr DWORD WAIT_ABANDONED_0 = 0x00000080u;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
//@}

/// \name Error codes
//@{
/// The codes that GetLastError gives. This platform uses them so: ERROR_FILE_NOT_FOUND, a port or
/// device that does not exist; ERROR_ACCESS_DENIED, a device that exists but cannot be opened (no
/// permission, held by another program); ERROR_GEN_FAILURE, any other failure of the operating
/// system; ERROR_NOT_ENOUGH_MEMORY, no memory or thread to be had; ERROR_INVALID_HANDLE, a handle
/// that is closed or of the wrong kind; ERROR_INVALID_PARAMETER, a value the call refuses;
/// ERROR_NOT_SUPPORTED, a value this platform cannot do; ERROR_DEVICE_NOT_CONNECTED, a device that
/// went away (unplugged adapter, closed pseudo-terminal); ERROR_OPERATION_ABORTED, an overlapped
/// operation ended by PurgeComm or CloseHandle; ERROR_IO_PENDING, an overlapped operation that has
/// started; ERROR_IO_INCOMPLETE, one not finished yet. A network port (`rfc2217://` or `tcp://`)
/// that cannot be reached: ERROR_CONNECTION_REFUSED, nothing listens at the address;
/// ERROR_HOST_UNREACHABLE and ERROR_NETWORK_UNREACHABLE, no route to it; ERROR_TIMEOUT, no
/// connection within the connect time-out; ERROR_BAD_NETPATH, its host name does not resolve;
/// ERROR_ACCESS_DENIED, the gateway ends every connection at once (its port is taken). A network
/// port whose connection ends is gone (ERROR_DEVICE_NOT_CONNECTED), as an unplugged adapter.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_BAD_COMMAND = 22;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_BAD_NETPATH = 53;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_CONNECTION_REFUSED = 1225;
inline constexpr DWORD ERROR_NETWORK_UNREACHABLE = 1231;
inline constexpr DWORD ERROR_HOST_UNREACHABLE = 1232;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
//@}

/// \name CreateFileA
//@{
/// Access, disposition and flags of CreateFileA. Only OPEN_EXISTING is accepted; access and
/// attributes are taken as given (a device is always opened for both directions), and
/// FILE_FLAG_OVERLAPPED makes the handle overlapped.
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
//@}

/// \name Comm events
//@{
/// The bits of SetCommMask and of the mask a WaitCommEvent completes with: bytes arrived
/// (EV_RXCHAR), the event character arrived (EV_RXFLAG: never raised here), every pending write
/// ended (EV_TXEMPTY), CTS, DSR or RLSD (carrier detect) changed, a break came (EV_BREAK), a line
/// error (EV_ERR: ClearCommError tells which), the ring indicator rose (EV_RING). Modem lines and
/// line errors are looked at every 200 ms, on devices that report them; a pseudo-terminal reports
/// neither.
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
//@}

/// \name Line errors
//@{
/// The error bits of ClearCommError: queued input was dropped because SetupComm shrank the input
/// queue (CE_RXOVER; a full queue leaves new bytes in the device instead), the device lost bytes
/// (CE_OVERRUN), a parity error (CE_RXPARITY), a framing error (CE_FRAME), a break (CE_BREAK, with
/// EV_BREAK rather than EV_ERR), the output queue was full (CE_TXFULL: never here, since output is
/// never dropped).
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_TXFULL = 0x0100;
//@}

/// \name PurgeComm
//@{
/// What PurgeComm does: end pending writes (PURGE_TXABORT) or reads (PURGE_RXABORT), empty the
/// output (PURGE_TXCLEAR) or the input (PURGE_RXCLEAR).
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;
//@}

/// \name EscapeCommFunction
//@{
/// The functions of EscapeCommFunction: output stops as if XOFF had come (SETXOFF) or goes on
/// (SETXON), RTS and DTR rise (SETRTS, SETDTR) or drop (CLRRTS, CLRDTR), a break starts (SETBREAK)
/// or ends (CLRBREAK).
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;
//@}

/// \name GetCommModemStatus
//@{
/// The input lines that GetCommModemStatus reports as on: CTS, DSR, RING and RLSD (carrier
/// detect).
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;
//@}

/// \name Threads
//@{
/// CreateThread's flag for a thread that waits for ResumeThread; the seven priority levels of
/// SetThreadPriority, which this platform maps onto nice values relative to the process (best
/// effort); the exit code of a thread that runs.
inline constexpr DWORD CREATE_SUSPENDED = 0x00000004u;
inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
inline constexpr DWORD STILL_ACTIVE = 259;
//@}

/// Internal of an OVERLAPPED record while its operation runs.
inline constexpr DWORD STATUS_PENDING = 0x00000103u;

/// The caller's record of an overlapped operation (WaitCommEvent, ReadFile, WriteFile). Zero it
/// and give it a manual-reset event before the call; it belongs to the operation until that has
/// ended, and one record serves one operation at a time (a second start with it is refused with
/// ERROR_INVALID_PARAMETER).
struct OVERLAPPED {
    /// STATUS_PENDING while the operation runs; then its result, here the Win32 error code
    /// (ERROR_SUCCESS for success), written after InternalHigh and before the event is set.
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh; ///< The bytes the operation moved, once it has ended.
    DWORD Offset;           ///< Unused by comm devices.
    DWORD OffsetHigh;       ///< Unused by comm devices.
    HANDLE hEvent;          ///< Manual-reset event: cleared when the operation starts, set when it ends.
};

/// The time-outs of a comm handle (SetCommTimeouts). This platform keeps one setting only:
/// ReadIntervalTimeout MAXDWORD with every other field 0, reads that return at once with what is
/// queued and writes without a time limit.
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;         ///< MAXDWORD: a read never waits for more bytes.
    DWORD ReadTotalTimeoutMultiplier;  ///< 0.
    DWORD ReadTotalTimeoutConstant;    ///< 0.
    DWORD WriteTotalTimeoutMultiplier; ///< 0: a write ends when all its bytes are out.
    DWORD WriteTotalTimeoutConstant;   ///< 0.
};

/// The state of a comm handle's queues (ClearCommError).
struct COMSTAT {
    DWORD fCtsHold : 1;   ///< Always 0 here.
    DWORD fDsrHold : 1;   ///< Output waits for DSR (DCB fOutxDsrFlow with DSR off).
    DWORD fRlsdHold : 1;  ///< Always 0 here.
    DWORD fXoffHold : 1;  ///< Always 0 here.
    DWORD fXoffSent : 1;  ///< Always 0 here.
    DWORD fEof : 1;       ///< Always 0 here.
    DWORD fTxim : 1;      ///< Always 0 here.
    DWORD fReserved : 25; ///< 0.
    DWORD cbInQue;        ///< Received bytes in the input queue, not yet read.
    DWORD cbOutQue;       ///< Bytes of pending writes that the device has not taken yet.
};
static_assert(sizeof(COMSTAT) == 12);

/// Storage of a re-entrant critical section; the platform keeps its lock inside. Use it only
/// through InitializeCriticalSection and the functions after it; not copyable once initialised.
struct CRITICAL_SECTION {
    /// The lock itself; nothing to look at.
    alignas(std::max_align_t) unsigned char Opaque[64];
};

/// The function a thread of CreateThread runs; its result is the thread's exit code.
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

/// A UTF-16 code unit (COMMCONFIG's provider data).
using WCHAR = char16_t;
/// A window that owns a dialog: here a `QWidget*`, or null for the application's active window.
using HWND = void*;

/// The caller's room for a record is too small (GetCommConfig, GetDefaultCommConfigA).
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
/// The user cancelled the dialog (CommConfigDialogA).
inline constexpr DWORD ERROR_CANCELLED = 1223;

/// dwProviderSubType of a serial port's configuration.
inline constexpr DWORD PST_RS232 = 1;

} // namespace vexora::serial::platform
