// Port configuration records: the room a caller gives, the configuration of an open handle and the
// default of a port by name, and the dialog that only a user-interface library provides.
#include <gtest/gtest.h>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfPtyPort.h"

namespace {

constexpr int kCom = 201;

const std::string kPortDir = AfTestPortDirectory();

TEST(AfCommConfigTest, TooLittleRoomIsRefusedWithTheSizeNeeded)
{
    AfPtyPort pty(kCom);
    COMMCONFIG config{};
    DWORD size = sizeof config - 1;
    EXPECT_FALSE(GetDefaultCommConfigA("COM201", &config, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 52u);
    EXPECT_FALSE(GetDefaultCommConfigA("COM201", &config, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(AfCommConfigTest, DefaultOfAnExistingPortOnlyAndTheStateOfAnOpenOne)
{
    AfPtyPort pty(kCom);
    COMMCONFIG config{};
    DWORD size = sizeof config;
    ASSERT_TRUE(GetDefaultCommConfigA("\\\\.\\COM201", &config, &size));
    EXPECT_EQ(config.dwSize, 52u);
    EXPECT_EQ(config.dwProviderSubType, PST_RS232);
    EXPECT_EQ(config.dcb.DCBlength, 28u);
    EXPECT_EQ(config.dcb.BaudRate, 9600u);
    EXPECT_EQ(config.dcb.ByteSize, 8);
    EXPECT_EQ(DcbFlags(config.dcb), DCB_fBinary | DCB_fDtrControlEnable | DCB_fRtsControlEnable);
    EXPECT_FALSE(GetDefaultCommConfigA("COM209", &config, &size));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE port = CreateFileA("COM201", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb = config.dcb;
    dcb.BaudRate = 19200;
    ASSERT_TRUE(SetCommState(port, &dcb));
    config = COMMCONFIG{};
    ASSERT_TRUE(GetCommConfig(port, &config, &size));
    EXPECT_EQ(config.dwSize, 52u);
    EXPECT_EQ(config.dcb.BaudRate, 19200u);
    CloseHandle(port);
    EXPECT_FALSE(GetCommConfig(port, &config, &size));
}

BOOL ConfirmingDialog(LPCSTR, HWND, COMMCONFIG* config)
{
    config->dcb.StopBits = TWOSTOPBITS;
    return TRUE;
}

TEST(AfCommConfigTest, DialogIsWhatTheUserInterfaceInstalls)
{
    COMMCONFIG config{};
    const AfCommConfigDialogProc before = AfSetCommConfigDialog(nullptr);
    EXPECT_FALSE(CommConfigDialogA("COM201", nullptr, &config));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(AfSetCommConfigDialog(&ConfirmingDialog), nullptr);
    EXPECT_TRUE(CommConfigDialogA("COM201", nullptr, &config));
    EXPECT_EQ(config.dcb.StopBits, TWOSTOPBITS);
    AfSetCommConfigDialog(before);
}

} // namespace
