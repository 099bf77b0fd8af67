// The Win32-named serial operations: each finds the driver of its handle and turns the driver's
// result into the Win32 result and GetLastError. The driver keeps the callers' OVERLAPPED
// records itself, since it ends their operations.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <string>

#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfWin.h>

#include "comm/AfCommDriver_p.h"
#include "comm/AfCommRegistry_p.h"
#include "comm/AfNetPort_p.h"
#include "comm/AfTtyBackend_p.h"

namespace vexora::serial::platform {

namespace {

std::shared_ptr<AfCommDriver> Driver(HANDLE file)
{
    auto driver = AfLookup<AfCommDriver>(file);
    if (!driver)
        SetLastError(ERROR_INVALID_HANDLE);
    return driver;
}

BOOL Done(DWORD error)
{
    if (error == ERROR_SUCCESS)
        return TRUE;
    SetLastError(error);
    return FALSE;
}

// "COMn" or "\\.\COMn" (any letter case): true, with n in `number` (0 when n is no valid port
// number). Any other name is a device path.
bool ParseComName(std::string name, int& number)
{
    if (name.starts_with("\\\\.\\"))
        name.erase(0, 4);
    if (name.size() < 4)
        return false;
    for (std::size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return false;
    long long value = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return false;
        value = std::min<long long>(value * 10 + (name[i] - '0'), 1LL << 31);
    }
    number = value < (1LL << 31) ? static_cast<int>(value) : 0;
    return true;
}

} // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPVOID securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile)
{
    (void)desiredAccess;
    (void)shareMode; // the device is always opened exclusively
    (void)securityAttributes;
    (void)templateFile;
    if (!fileName || creationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = fileName;
    if (int number = 0; ParseComName(path, number))
        path = number > 0 ? ComPortDevicePath(number) : std::string();
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    DWORD error = ERROR_GEN_FAILURE;
    std::unique_ptr<AfCommBackend> backend;
    if (auto factory = AfFindCommDevices(path))
        backend = factory(path, error);
    else if (AfIsNetworkPort(path))
        backend = AfOpenNetPort(path, error);
    else
        backend = AfOpenTty(path, error);
    if (!backend) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto driver =
        std::make_shared<AfCommDriver>(std::move(backend), (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
    if (DWORD started = driver->Start()) {
        SetLastError(started);
        return INVALID_HANDLE_VALUE;
    }
    return AfNewHandle(std::move(driver));
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts)
{
    auto driver = Driver(file);
    if (!driver)
        return FALSE;
    if (!timeouts)
        return Done(ERROR_INVALID_PARAMETER);
    return Done(driver->SetTimeouts(*timeouts));
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts)
{
    auto driver = Driver(file);
    if (!driver)
        return FALSE;
    if (!timeouts)
        return Done(ERROR_INVALID_PARAMETER);
    return Done(driver->GetTimeouts(*timeouts));
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue)
{
    auto driver = Driver(file);
    return driver ? Done(driver->Setup(inQueue, outQueue)) : FALSE;
}

BOOL SetCommMask(HANDLE file, DWORD eventMask)
{
    auto driver = Driver(file);
    return driver ? Done(driver->SetMask(eventMask)) : FALSE;
}

BOOL GetCommMask(HANDLE file, LPDWORD eventMask)
{
    auto driver = Driver(file);
    if (!driver)
        return FALSE;
    if (!eventMask)
        return Done(ERROR_INVALID_PARAMETER);
    return Done(driver->GetMask(*eventMask));
}

BOOL SetCommState(HANDLE file, const DCB* dcb)
{
    auto driver = Driver(file);
    if (!driver)
        return FALSE;
    if (!dcb)
        return Done(ERROR_INVALID_PARAMETER);
    return Done(driver->SetState(*dcb));
}

BOOL GetCommState(HANDLE file, DCB* dcb)
{
    auto driver = Driver(file);
    if (!driver)
        return FALSE;
    if (!dcb)
        return Done(ERROR_INVALID_PARAMETER);
    return Done(driver->GetState(*dcb));
}

BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, OVERLAPPED* overlapped)
{
    auto driver = Driver(file);
    if (!driver)
        return FALSE;
    return Done(driver->WaitEvent(eventMask, overlapped));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, OVERLAPPED* overlapped)
{
    auto driver = Driver(file);
    if (!driver)
        return FALSE;
    DWORD read = 0;
    const DWORD error = driver->Read(buffer, bytesToRead, read, overlapped);
    if (bytesRead)
        *bytesRead = read;
    return Done(error);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, OVERLAPPED* overlapped)
{
    auto driver = Driver(file);
    if (!driver)
        return FALSE;
    DWORD written = 0;
    const DWORD error = driver->Write(buffer, bytesToWrite, written, overlapped);
    if (bytesWritten)
        *bytesWritten = error == ERROR_IO_PENDING ? 0 : written;
    return Done(error);
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD bytesTransferred, BOOL wait)
{
    auto driver = AfLookup<AfCommDriver>(file);
    if (!driver) {
        // A closed handle ended its operations, and their records keep how (the driver wrote
        // them before it let go of the device).
        if (!overlapped || !bytesTransferred || !HasOverlappedIoCompleted(overlapped))
            return Done(ERROR_INVALID_HANDLE);
        *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
        return Done(static_cast<DWORD>(overlapped->Internal));
    }
    if (!overlapped || !bytesTransferred)
        return Done(ERROR_INVALID_PARAMETER);
    DWORD transferred = 0;
    const DWORD error = driver->Result(overlapped, transferred, wait != FALSE);
    if (error == ERROR_IO_INCOMPLETE || error == ERROR_INVALID_PARAMETER)
        return Done(error);
    *bytesTransferred = transferred;
    return Done(error);
}

BOOL HasOverlappedIoCompleted(const OVERLAPPED* overlapped)
{
    // The driver may end the operation on another thread right now.
    const std::atomic_ref status(const_cast<OVERLAPPED*>(overlapped)->Internal);
    return status.load(std::memory_order_acquire) != STATUS_PENDING ? TRUE : FALSE;
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, COMSTAT* stat)
{
    auto driver = Driver(file);
    if (!driver)
        return FALSE;
    DWORD collected = 0;
    const DWORD error = driver->ClearError(collected, stat);
    if (error == ERROR_SUCCESS && errors)
        *errors = collected;
    return Done(error);
}

BOOL PurgeComm(HANDLE file, DWORD flags)
{
    auto driver = Driver(file);
    return driver ? Done(driver->Purge(flags)) : FALSE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD func)
{
    auto driver = Driver(file);
    return driver ? Done(driver->Escape(func)) : FALSE;
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStat)
{
    auto driver = Driver(file);
    if (!driver)
        return FALSE;
    if (!modemStat)
        return Done(ERROR_INVALID_PARAMETER);
    return Done(driver->ModemStatus(*modemStat));
}

} // namespace vexora::serial::platform
