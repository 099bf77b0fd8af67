// The comm platform: serial devices, events, waits, locks, threads and the tick count, under the
// names and with the behaviour that the port core and its threads rely on. On POSIX every open
// comm handle is served by a small user-space driver of its own (see AfCommDriver.cpp).
#pragma once

#include "AfWinTypes.h"
#include "Dcb.h"

// ---- errors -------------------------------------------------------------------------------
DWORD GetLastError();
void SetLastError(DWORD error);

// ---- handles ------------------------------------------------------------------------------
// Closes any handle of this layer: comm handle, event, mutex or thread.
BOOL CloseHandle(HANDLE handle);

// ---- serial devices -----------------------------------------------------------------------
// `fileName` is a device path, or "COMn" / "\\.\COMn" resolved through the COM mapping
// (AfComMapping.h). The open is exclusive. A missing device sets ERROR_FILE_NOT_FOUND, a device
// that exists but cannot be opened (busy, no permission) another error.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPVOID securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts);
BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL GetCommMask(HANDLE file, LPDWORD eventMask);
// As a UART does, five data bits with TWOSTOPBITS run 1.5 stop bits, and GetCommState says
// ONE5STOPBITS then.
BOOL SetCommState(HANDLE file, const DCB* dcb);
BOOL GetCommState(HANDLE file, DCB* dcb);
BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, OVERLAPPED* overlapped);
// On a handle opened with FILE_FLAG_OVERLAPPED, ReadFile and WriteFile need an OVERLAPPED
// (without one: ERROR_INVALID_PARAMETER).
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, OVERLAPPED* overlapped);
// The result of the operation of `overlapped`; a finished WaitCommEvent moved sizeof(DWORD) bytes.
// Once the handle is closed, the record itself tells how its operation ended (the close ended
// any that was pending, with ERROR_OPERATION_ABORTED).
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD bytesTransferred, BOOL wait);
// Whether the operation of `overlapped` has ended (Internal is no longer STATUS_PENDING). Any
// thread may ask while the operation runs; once it says TRUE, InternalHigh holds the byte count.
BOOL HasOverlappedIoCompleted(const OVERLAPPED* overlapped);
BOOL ClearCommError(HANDLE file, LPDWORD errors, COMSTAT* stat);
// `flags`: at least one of the four PURGE_ bits and no other (else ERROR_INVALID_PARAMETER).
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL EscapeCommFunction(HANDLE file, DWORD func);
BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStat);

// ---- events, mutexes and waits ------------------------------------------------------------
HANDLE CreateEventA(LPVOID securityAttributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
HANDLE CreateMutexA(LPVOID securityAttributes, BOOL initialOwner, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);
// Waits on events, mutexes and threads (a thread is signalled once it has ended). When several
// objects are signalled, WaitForMultipleObjects reports the lowest index.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// ---- critical sections (re-entrant) -------------------------------------------------------
void InitializeCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
// Enters unless the section stays held by another thread for `milliseconds`; then FALSE.
BOOL AfEnterCriticalSectionWithin(CRITICAL_SECTION* section, DWORD milliseconds);
void LeaveCriticalSection(CRITICAL_SECTION* section);

// ---- threads ------------------------------------------------------------------------------
HANDLE CreateThread(LPVOID securityAttributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
DWORD ResumeThread(HANDLE thread);
// Priorities are best effort: a level the process may not take is kept as the wish only.
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD GetCurrentThreadId();

// ---- time ---------------------------------------------------------------------------------
// Milliseconds since an arbitrary start, wrapping after 2^32 ms.
DWORD GetTickCount();
void Sleep(DWORD milliseconds);

// ---- port configuration -------------------------------------------------------------------
// A port's configuration: the DCB and the provider's (here empty) data; 52 bytes.
struct COMMCONFIG {
    DWORD dwSize;
    WORD wVersion;
    WORD wReserved;
    DCB dcb;
    DWORD dwProviderSubType;
    DWORD dwProviderOffset;
    DWORD dwProviderSize;
    WCHAR wcProviderData[1];
};
static_assert(sizeof(COMMCONFIG) == 52, "COMMCONFIG must be 52 bytes");
static_assert(offsetof(COMMCONFIG, wVersion) == 4);
static_assert(offsetof(COMMCONFIG, dcb) == 8);
static_assert(offsetof(COMMCONFIG, dwProviderSubType) == 36);
static_assert(offsetof(COMMCONFIG, dwProviderOffset) == 40);
static_assert(offsetof(COMMCONFIG, dwProviderSize) == 44);
static_assert(offsetof(COMMCONFIG, wcProviderData) == 48);

// The configuration of an open comm handle (its DCB as GetCommState reads it). `*size` gives the
// room at `config`; with less than 52 bytes: FALSE, ERROR_INSUFFICIENT_BUFFER and `*size` 52.
BOOL GetCommConfig(HANDLE commDevice, COMMCONFIG* config, LPDWORD size);
// The default configuration of the port `name` ("COMn", "\\.\COMn" or a device path): 9600 8N1,
// no flow control, DTR and RTS on. The port is not opened; ERROR_FILE_NOT_FOUND when it does not
// exist. `size` as for GetCommConfig.
BOOL GetDefaultCommConfigA(LPCSTR name, COMMCONFIG* config, LPDWORD size);
// Shows the port configuration dialog for `name` on `config`, owned by `window` (null: the active
// window). TRUE when the user confirmed, `config->dcb` then holding the choice; FALSE with
// ERROR_CANCELLED when cancelled, and with ERROR_NOT_SUPPORTED when no dialog is installed.
BOOL CommConfigDialogA(LPCSTR name, HWND window, COMMCONFIG* config);

// The dialog behind CommConfigDialogA: a user-interface library installs it (null: none). Returns
// the one installed before.
using AfCommConfigDialogProc = BOOL (*)(LPCSTR name, HWND window, COMMCONFIG* config);
AfCommConfigDialogProc AfSetCommConfigDialog(AfCommConfigDialogProc dialog);
