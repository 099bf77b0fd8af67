// Port configuration records: read from an open handle, the default of a port by name, and the
// configuration dialog, which a user-interface library installs (this layer has no windows).
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <string>
#include <string_view>

#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfWin.h>

#include "comm/AfCommRegistry_p.h"

namespace vexora::serial::platform {

namespace {

std::atomic<AfCommConfigDialogProc> g_commConfigDialog{nullptr};

// Checks the caller's room for a record; on success the record is cleared.
bool TakeRecord(COMMCONFIG* config, LPDWORD size)
{
    if (!config || !size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (*size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    *config = COMMCONFIG{};
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = 1;
    config->dwProviderSubType = PST_RS232;
    *size = sizeof(COMMCONFIG);
    return true;
}

// The device a port name stands for: "COMn" and "\\.\COMn" through the COM mapping, anything
// else as it is. Empty when the name maps to nothing.
std::string PortDevicePath(std::string_view name)
{
    std::string_view rest = name;
    if (rest.starts_with("\\\\.\\"))
        rest.remove_prefix(4);
    if (rest.size() > 3 && (rest.substr(0, 3) == "COM" || rest.substr(0, 3) == "com")) {
        int number = 0;
        const auto digits = rest.substr(3);
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (error == std::errc() && end == digits.data() + digits.size())
            return ComPortDevicePath(number);
    }
    return std::string(name);
}

bool DeviceExists(const std::string& path)
{
    return !path.empty() && (AfFindCommDevices(path) || ::access(path.c_str(), F_OK) == 0);
}

} // namespace

BOOL GetCommConfig(HANDLE commDevice, COMMCONFIG* config, LPDWORD size)
{
    if (!TakeRecord(config, size))
        return FALSE;
    return GetCommState(commDevice, &config->dcb);
}

BOOL GetDefaultCommConfigA(LPCSTR name, COMMCONFIG* config, LPDWORD size)
{
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!DeviceExists(PortDevicePath(name))) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!TakeRecord(config, size))
        return FALSE;
    DCB& dcb = config->dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return TRUE;
}

BOOL CommConfigDialogA(LPCSTR name, HWND window, COMMCONFIG* config)
{
    if (!name || !config) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const AfCommConfigDialogProc dialog = g_commConfigDialog.load();
    if (!dialog) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return dialog(name, window, config);
}

AfCommConfigDialogProc AfSetCommConfigDialog(AfCommConfigDialogProc dialog)
{
    return g_commConfigDialog.exchange(dialog);
}

} // namespace vexora::serial::platform
