/// \file
/// The comm platform: serial devices, events, waits, locks, threads and the tick count, under the
/// names and with the behaviour that the port core and its threads rely on. On POSIX every open
/// comm handle is served by a small user-space driver of its own (see AfCommDriver.cpp).
///
/// Each function behaves as its Win32 namesake where nothing else is said; the comments say where
/// this platform differs or narrows it. Failures return FALSE (or INVALID_HANDLE_VALUE, null,
/// WAIT_FAILED) and set the calling thread's GetLastError; nothing raises. Every function may be
/// called on any thread. Handles are process-wide numbers, never handed out twice, so a stale
/// handle fails with ERROR_INVALID_HANDLE instead of reaching a newer object; they are no file
/// descriptors.
///
/// Costs. A comm handle whose device reports modem lines or line errors (a UART, a USB adapter)
/// has an I/O thread that sleeps in poll() and looks at the lines every 200 ms; a pseudo-terminal
/// gets one only for a write that the device cannot take at once, so an idle one costs no wake-up:
/// the thread that waits for a WaitCommEvent watches the device itself. Reads, status queries and
/// purges never wait for the line; they may wait a moment for a device read or write that another
/// thread has in hand.
#pragma once

#include <vexora/serial/AfExport.h>
#include <vexora/serial/platform/AfWinTypes.h>
#include <vexora/serial/platform/Dcb.h>

namespace vexora::serial::platform {

/// \name Truth values
//@{
/// The results of the BOOL functions; any value other than FALSE counts as true. Declared here, in
/// the header of the functions, and in no header of the component: \<curses.h\> and others
/// define TRUE and FALSE as macros with these values, and where one of them came first, its macro
/// stands in for these.
#ifndef TRUE
inline constexpr BOOL TRUE = 1;
#endif
#ifndef FALSE
inline constexpr BOOL FALSE = 0;
#endif
//@}

/// The error code of the calling thread's last failed call (per thread, as on Win32).
VEXORA_SERIAL_API DWORD GetLastError();
/// Sets the calling thread's error code.
VEXORA_SERIAL_API void SetLastError(DWORD error);

/// Closes any handle of this layer: comm handle, event, mutex or thread. Closing a comm handle
/// ends its pending operations with ERROR_OPERATION_ABORTED (their records keep that, for
/// GetOverlappedResult), stops its I/O thread and lets the device go at once; it waits for a
/// device write in progress and for the I/O thread's end. A wait on a closed event or mutex fails
/// (WAIT_FAILED). Closing a thread handle does not end the thread.
VEXORA_SERIAL_API BOOL CloseHandle(HANDLE handle);

/// Opens a serial device. `fileName` is a device path, or "COMn" / `"\\.\COMn"` (any letter case)
/// resolved through the COM mapping (AfComMapping.h); COM 0 and COM numbers that map to nothing
/// give ERROR_FILE_NOT_FOUND. Only OPEN_EXISTING is accepted; `desiredAccess`, `shareMode`,
/// `securityAttributes` and `templateFile` are ignored: the device is opened for both directions
/// and always exclusively (flock and TIOCEXCL, so that root cannot share it either). A missing
/// device sets ERROR_FILE_NOT_FOUND, a device that exists but cannot be opened (busy, no
/// permission) ERROR_ACCESS_DENIED; a path that is no terminal counts as missing. The device is
/// put in raw mode, 8 data bits. FILE_FLAG_OVERLAPPED makes the handle overlapped: ReadFile and
/// WriteFile then need an OVERLAPPED record. Input that arrived before the open is dropped. Blocks
/// for the open; may start the handle's I/O thread. A network port's address (`rfc2217://HOST:PORT`
/// or `tcp://HOST:PORT`, AfComMapping.h) opens a TCP connection to it, waiting at most 5 s for the
/// name and the connection; a malformed address is missing, and one that cannot be reached sets
/// the network codes of GetLastError (AfWinTypes.h). Nobody else shares the connection, and a
/// gateway that serves one client at a time keeps the port for it.
VEXORA_SERIAL_API HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                     LPVOID securityAttributes, DWORD creationDisposition,
                                     DWORD flagsAndAttributes, HANDLE templateFile);
/// Accepts one setting only (the one the port core uses): ReadIntervalTimeout MAXDWORD with the
/// other four 0, reads that return at once and writes without a time limit. Any other setting
/// fails with ERROR_NOT_SUPPORTED (all three read values MAXDWORD: ERROR_INVALID_PARAMETER).
VEXORA_SERIAL_API BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts);
/// The time-outs in force (the one setting above).
VEXORA_SERIAL_API BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
/// Sizes the driver's input queue: 1 byte to 16 MiB (default 4096), else ERROR_INVALID_PARAMETER.
/// Queued bytes are kept; those that no longer fit are dropped with CE_RXOVER. `outQueue` (at most
/// 16 MiB) is only checked: writes are not copied, the device reads the caller's buffer. While the
/// input queue is full, the device is not read and its bytes stay in the kernel.
VEXORA_SERIAL_API BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
/// Sets the events WaitCommEvent waits for and forgets those not reported yet; a pending wait
/// completes at once with the mask 0 (how a stop ends a waiting thread).
VEXORA_SERIAL_API BOOL SetCommMask(HANDLE file, DWORD eventMask);
/// The event mask in force.
VEXORA_SERIAL_API BOOL GetCommMask(HANDLE file, LPDWORD eventMask);
/// Applies the line settings at once (termios2: any baud rate from 1 up, 5 to 8 data bits, the
/// five parities, stop bits, RTS/CTS and XON/XOFF flow control, the DTR and RTS lines, the DTR/DSR
/// handshake in the driver). ERROR_INVALID_PARAMETER for rate 0, data bits outside 5 to 8, an
/// unknown parity or stop-bit code, 1.5 stop bits with more than 5 data bits, or equal XON and
/// XOFF characters under XON/XOFF; ERROR_NOT_SUPPORTED for RTS_CONTROL_TOGGLE; the device's own
/// error when it refuses. After a failure the settings in force are unchanged. As a UART does,
/// five data bits with TWOSTOPBITS run 1.5 stop bits, and GetCommState says ONE5STOPBITS then.
VEXORA_SERIAL_API BOOL SetCommState(HANDLE file, const DCB* dcb);
/// Reads the line settings back from the device; fields the device does not keep come from the
/// last SetCommState. A pseudo-terminal keeps a frame of its own (8 data bits, no parity): for it
/// the frame last set is reported.
VEXORA_SERIAL_API BOOL GetCommState(HANDLE file, DCB* dcb);
/// Waits for one of the events of the mask. Events that came since the last wait ended are not
/// lost: they complete this wait at once. One wait at a time per handle; a second, or a wait with
/// the mask 0, fails with ERROR_INVALID_PARAMETER. Overlapped: TRUE when it completed at once,
/// else FALSE with ERROR_IO_PENDING, and the record's event is set when it ends; without an
/// OVERLAPPED (a handle that is not overlapped) it blocks. A device that goes away ends it with
/// ERROR_DEVICE_NOT_CONNECTED.
VEXORA_SERIAL_API BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, OVERLAPPED* overlapped);
/// Never waits for absent bytes: takes min(`bytesToRead`, queued) at once and returns TRUE, also
/// on an overlapped handle (the record's event is set, the operation is already over). Room made
/// in a full queue lets the device's held-back bytes in. A device that went away fails with
/// ERROR_DEVICE_NOT_CONNECTED once its queued bytes are read. On a handle opened with
/// FILE_FLAG_OVERLAPPED an OVERLAPPED is needed (without one: ERROR_INVALID_PARAMETER).
VEXORA_SERIAL_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                                OVERLAPPED* overlapped);
/// Writes all bytes, in the order the writes were started, without a time limit. Nothing is
/// copied: the device reads `buffer` until the write has ended, so the buffer must stay until
/// then. Overlapped: TRUE when the device took everything at once, else FALSE with
/// ERROR_IO_PENDING; a PurgeComm with PURGE_TXABORT or a close ends it early with
/// ERROR_OPERATION_ABORTED (the bytes taken so far in the count). Without overlapped I/O it
/// blocks. On a handle opened with FILE_FLAG_OVERLAPPED an OVERLAPPED is needed.
VEXORA_SERIAL_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                                 OVERLAPPED* overlapped);
/// The result of the operation of `overlapped`; a finished WaitCommEvent moved sizeof(DWORD)
/// bytes. `wait` TRUE blocks until the operation has ended; FALSE gives ERROR_IO_INCOMPLETE while
/// it runs. Once the handle is closed, the record itself tells how its operation ended (the close
/// ended any that was pending, with ERROR_OPERATION_ABORTED).
VEXORA_SERIAL_API BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD bytesTransferred,
                                           BOOL wait);
/// Whether the operation of `overlapped` has ended (Internal is no longer STATUS_PENDING). Any
/// thread may ask while the operation runs; once it says TRUE, InternalHigh holds the byte count.
VEXORA_SERIAL_API BOOL HasOverlappedIoCompleted(const OVERLAPPED* overlapped);
/// The CE_ line errors since the last call (and clears them), and the queues: cbInQue, the
/// received bytes not read yet; cbOutQue, the bytes of pending writes the device has not taken.
/// Both may be null. Waits for a device write that is in progress at the moment.
VEXORA_SERIAL_API BOOL ClearCommError(HANDLE file, LPDWORD errors, COMSTAT* stat);
/// `flags`: at least one of the four PURGE_ bits and no other (else ERROR_INVALID_PARAMETER).
/// PURGE_TXABORT ends every pending write with ERROR_OPERATION_ABORTED; PURGE_TXCLEAR drops the
/// output the kernel still holds; PURGE_RXCLEAR empties the input queue and the kernel's input
/// (after a device read in progress has ended, so that no byte that came later is lost);
/// PURGE_RXABORT has nothing to end, since reads never wait.
VEXORA_SERIAL_API BOOL PurgeComm(HANDLE file, DWORD flags);
/// SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK, SETXOFF, SETXON; any other function gives
/// ERROR_INVALID_PARAMETER, and so do SETDTR and CLRDTR while DTR belongs to the DTR/DSR
/// handshake. On a device without modem lines (a pseudo-terminal) the line functions succeed and
/// change nothing.
VEXORA_SERIAL_API BOOL EscapeCommFunction(HANDLE file, DWORD func);
/// The MS_ bits of the input lines that are on; 0 on a device without modem lines.
VEXORA_SERIAL_API BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStat);

/// An event, manual- or auto-reset; null with ERROR_NOT_SUPPORTED when `name` is not empty (named
/// events are not supported). `securityAttributes` is ignored.
VEXORA_SERIAL_API HANDLE CreateEventA(LPVOID securityAttributes, BOOL manualReset, BOOL initialState,
                                      LPCSTR name);
/// Signals the event: it wakes every waiter (manual reset) or one wait (auto reset).
VEXORA_SERIAL_API BOOL SetEvent(HANDLE event);
/// Clears the event.
VEXORA_SERIAL_API BOOL ResetEvent(HANDLE event);
/// A re-entrant mutex, owned by the caller when `initialOwner`; unnamed only, as CreateEventA. A
/// mutex whose owner thread ends is abandoned: the next wait gets it with WAIT_ABANDONED_0.
VEXORA_SERIAL_API HANDLE CreateMutexA(LPVOID securityAttributes, BOOL initialOwner, LPCSTR name);
/// Releases one ownership; a thread that does not own the mutex gets FALSE (ERROR_NOT_OWNER, 288).
VEXORA_SERIAL_API BOOL ReleaseMutex(HANDLE mutex);
/// WaitForMultipleObjects with one object.
VEXORA_SERIAL_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
/// Waits on events, mutexes and threads (a thread is signalled once it has ended), 1 to
/// MAXIMUM_WAIT_OBJECTS of them, at most `milliseconds` (INFINITE: no limit). When several objects
/// are signalled, the lowest index is reported. `waitAll` with one object twice, a count of 0 or
/// above 64 give ERROR_INVALID_PARAMETER; a closed handle WAIT_FAILED with ERROR_INVALID_HANDLE.
/// The thread sleeps (futex or poll), never spins.
VEXORA_SERIAL_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                               DWORD milliseconds);

/// Makes `section` a re-entrant lock. Costs nothing beyond the lock itself.
VEXORA_SERIAL_API void InitializeCriticalSection(CRITICAL_SECTION* section);
/// Destroys the lock; no thread may hold it or wait for it.
VEXORA_SERIAL_API void DeleteCriticalSection(CRITICAL_SECTION* section);
/// Takes the lock, waiting without limit; the thread that holds it may take it again.
VEXORA_SERIAL_API void EnterCriticalSection(CRITICAL_SECTION* section);
/// Takes the lock unless another thread holds it (then FALSE at once).
VEXORA_SERIAL_API BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
/// This platform's own: enters unless the section stays held by another thread for `milliseconds`;
/// then FALSE.
VEXORA_SERIAL_API BOOL AfEnterCriticalSectionWithin(CRITICAL_SECTION* section, DWORD milliseconds);
/// Gives up one entry of the lock; the thread must hold it.
VEXORA_SERIAL_API void LeaveCriticalSection(CRITICAL_SECTION* section);

/// Runs `start(parameter)` on a new thread; its result is the exit code. `stackSize` 0 takes a
/// pooled OS thread parked from an earlier thread, if any (no thread is created then); another
/// size gets a thread of its own. CREATE_SUSPENDED holds it until ResumeThread. Null with
/// ERROR_NOT_ENOUGH_MEMORY when no thread can be had. The handle is signalled when the thread has
/// ended; closing it does not end or free the thread.
VEXORA_SERIAL_API HANDLE CreateThread(LPVOID securityAttributes, SIZE_T stackSize,
                                      LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                                      LPDWORD threadId);
/// Lowers the suspend count; the thread starts when it reaches 0. Returns the count before, or
/// (DWORD)-1 for a handle that is no thread of CreateThread.
VEXORA_SERIAL_API DWORD ResumeThread(HANDLE thread);
/// Takes one of the seven THREAD_PRIORITY_ levels (others: ERROR_INVALID_PARAMETER) and maps it
/// onto a nice value relative to the process's. Best effort: a level the process may not take (a
/// raise without the privilege) is kept as the wish only, and the call still succeeds.
VEXORA_SERIAL_API BOOL SetThreadPriority(HANDLE thread, int priority);
/// The level last set (the wish, whether the system granted it or not).
VEXORA_SERIAL_API int GetThreadPriority(HANDLE thread);
/// The thread's result, or STILL_ACTIVE while it runs.
VEXORA_SERIAL_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
/// The calling thread's id: small numbers from 1, given on first use (not the kernel's ids).
VEXORA_SERIAL_API DWORD GetCurrentThreadId();

/// Milliseconds since an arbitrary start (the monotonic clock), wrapping after 2^32 ms.
VEXORA_SERIAL_API DWORD GetTickCount();
/// Sleeps `milliseconds`; 0 yields the processor, INFINITE never returns.
VEXORA_SERIAL_API void Sleep(DWORD milliseconds);

/// The configuration of an open comm handle (its DCB as GetCommState reads it). `*size` gives the
/// room at `config`; with less than 52 bytes: FALSE, ERROR_INSUFFICIENT_BUFFER and `*size` 52.
VEXORA_SERIAL_API BOOL GetCommConfig(HANDLE commDevice, COMMCONFIG* config, LPDWORD size);
/// The default configuration of the port `name` ("COMn", `"\\.\COMn"` or a device path): 9600 8N1,
/// no flow control, DTR and RTS on. The port is not opened; ERROR_FILE_NOT_FOUND when it does not
/// exist. `size` as for GetCommConfig.
VEXORA_SERIAL_API BOOL GetDefaultCommConfigA(LPCSTR name, COMMCONFIG* config, LPDWORD size);
/// Shows the port configuration dialog for `name` on `config`, owned by `window` (null: the active
/// window). TRUE when the user confirmed, `config->dcb` then holding the choice; FALSE with
/// ERROR_CANCELLED when cancelled, and with ERROR_NOT_SUPPORTED when no dialog is installed. This
/// layer has no windows: the dialog is what AfSetCommConfigDialog installed (the widgets library's
/// InstallCommConfigDialog); it runs modally on the calling thread, which must be the
/// user-interface thread.
VEXORA_SERIAL_API BOOL CommConfigDialogA(LPCSTR name, HWND window, COMMCONFIG* config);

/// The dialog behind CommConfigDialogA.
using AfCommConfigDialogProc = BOOL (*)(LPCSTR name, HWND window, COMMCONFIG* config);
/// Installs the dialog behind CommConfigDialogA (null: none). Returns the one installed before.
/// Any thread.
VEXORA_SERIAL_API AfCommConfigDialogProc AfSetCommConfigDialog(AfCommConfigDialogProc dialog);

} // namespace vexora::serial::platform
