// The comm platform and the COM mapping on the guest's USB adapters (tests/support/UsbGuest.h):
// QEMU's emulated FTDI converters under the kernel's ftdi_sio, pulled out and plugged back in
// through QEMU's monitor. Traffic across the pair joined like a null-modem cable is
// uart_serial_test's, run on the pair.
#include <gtest/gtest.h>

#include <string>

#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "LineDcb.h"
#include "UsbGuest.h"

namespace {

// The line settings as the driver takes them: the rates the converter can make, 7 and 8 data
// bits, no, odd and even parity (QEMU's converter refuses mark and space), one and two stop bits.
// Above the converter's 3 Mbaud the driver falls back to another rate: refused, and the line
// stays as it was.
TEST(UsbLine, SettingsAreSetAndReadBackThroughFtdiSio)
{
    SKIP_WITHOUT_USB_GUEST();
    const std::string device = UsbAdapterDevice(kUsbPairA);
    HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << device << ": " << GetLastError();
    const DCB lines[] = {LineDcb(300),
                         LineDcb(2400, 8, EVENPARITY),
                         LineDcb(9600, 7, ODDPARITY, TWOSTOPBITS),
                         LineDcb(31250, 7, EVENPARITY),
                         LineDcb(115200, 8, NOPARITY, TWOSTOPBITS),
                         LineDcb(921600),
                         LineDcb(3000000, 8, ODDPARITY)};
    for (const DCB& line : lines) {
        SCOPED_TRACE(testing::Message()
                     << line.BaudRate << " baud, " << int(line.ByteSize) << " bits, parity "
                     << int(line.Parity) << ", stop bits code " << int(line.StopBits));
        ASSERT_TRUE(SetCommState(port, &line)) << GetLastError();
        DCB back{};
        ASSERT_TRUE(GetCommState(port, &back));
        EXPECT_EQ(back.BaudRate, line.BaudRate);
        EXPECT_EQ(back.ByteSize, line.ByteSize);
        EXPECT_EQ(back.Parity, line.Parity);
        EXPECT_EQ(back.StopBits, line.StopBits);
    }
    const DCB tooFast = LineDcb(3500000);
    EXPECT_FALSE(SetCommState(port, &tooFast));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 3000000u);
    EXPECT_EQ(back.Parity, ODDPARITY);
    EXPECT_TRUE(CloseHandle(port));
}

// Two adapters: pulling the first out leaves the second on its number, and each gets its own
// number back whatever name the kernel gives it when it comes back.
TEST(UsbComNumbers, AComNumberStaysWithItsAdapter)
{
    SKIP_WITHOUT_USB_GUEST();
    TMachinePorts machine;
    // The number of the adapter now, and what that number opens.
    const auto numberOf = [](const TUsbAdapter& Adapter) {
        const std::string device = UsbAdapterDevice(Adapter);
        for (const AfComPortInfo& port : AfListComPorts())
            if (port.Device == device)
                return port.Number;
        return 0;
    };
    const int a = numberOf(kUsbPairA), b = numberOf(kUsbPairB);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_NE(a, b);
    const std::string firstNameOfA = UsbAdapterDevice(kUsbPairA);

    ASSERT_TRUE(PullOut(kUsbPairA));
    EXPECT_EQ(ComPortDevicePath(a), "") << "COM" << a << " stays empty while its adapter is out";
    EXPECT_EQ(ComPortDevicePath(b), UsbAdapterDevice(kUsbPairB));
    // Both out, then the second back first: it may take the name the first had.
    ASSERT_TRUE(PullOut(kUsbPairB));
    EXPECT_EQ(ComPortDevicePath(b), "");
    ASSERT_NE(PlugIn(kUsbPairB), "");
    ASSERT_NE(PlugIn(kUsbPairA), "");
    EXPECT_EQ(UsbAdapterDevice(kUsbPairB), firstNameOfA) << "the kernel named them otherwise this time";
    EXPECT_EQ(ComPortDevicePath(a), UsbAdapterDevice(kUsbPairA));
    EXPECT_EQ(ComPortDevicePath(b), UsbAdapterDevice(kUsbPairB));
    EXPECT_EQ(numberOf(kUsbPairA), a);
    EXPECT_EQ(numberOf(kUsbPairB), b);
}

} // namespace
