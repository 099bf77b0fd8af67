// The guest's USB adapters, as scripts/test-uart.sh wires them: three emulated FTDI adapters
// (QEMU's usb-serial under the kernel's ftdi_sio) on an xHCI controller, one whose far end is the
// meter simulator on the host and two joined with each other like a null-modem cable; and the
// guest's line to QEMU's monitor, through which a test pulls an adapter out and plugs it back in.
// Outside that guest the line's name is empty (tests/TestEnvironment.cpp drops VEXORA_UART_*),
// and the tests that need the adapters skip.
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>

// One adapter: how QEMU knows it and what it reports of itself.
struct TUsbAdapter {
    const char* Id;      // QEMU's device id
    const char* Chardev; // QEMU's character device of its far end
    const char* Serial;  // the serial number it reports (sysfs `serial`)
    const char* UsbPort; // the controller's port it sits in
};

// The adapter to the meter simulator on the host (scripts/test-uart.sh starts it with the values
// that tests/app/UsbOperationsTest.cpp reads).
inline constexpr TUsbAdapter kUsbMeter{"usbmeter", "usbmeter", "VXMETER1", "1"};
// The two adapters joined like a null-modem cable (bytes only).
inline constexpr TUsbAdapter kUsbPairA{"usba", "usbpair0", "VXPAIRA1", "2"};
inline constexpr TUsbAdapter kUsbPairB{"usbb", "usbpair1", "VXPAIRB1", "3"};

// The guest's line to QEMU's monitor (VEXORA_UART_MONITOR); empty outside the guest.
const std::string& GuestMonitorLine();

// Skips the test outside the guest.
#define SKIP_WITHOUT_USB_GUEST()                                                                             \
    if (GuestMonitorLine().empty())                                                                          \
    GTEST_SKIP() << "runs in the UART guest only (scripts/test-uart.sh)"

// The device of the adapter now (its ttyUSB node), found by its serial number in sysfs; empty while
// it is out.
std::string UsbAdapterDevice(const TUsbAdapter& Adapter);

// The machine's own ports, which only this guest may number and open, switched on for one test
// (tests/TestEnvironment.cpp switches them off for every test executable).
class TMachinePorts {
public:
    TMachinePorts() { ::setenv("VEXORA_MACHINE_PORTS", "1", 1); }
    ~TMachinePorts() { ::setenv("VEXORA_MACHINE_PORTS", "0", 1); }
    TMachinePorts(const TMachinePorts&) = delete;
    TMachinePorts& operator=(const TMachinePorts&) = delete;
};

// Sends one QMP command over the monitor line; empty when QEMU carried it out, otherwise what
// went wrong.
std::string MonitorCommand(const std::string& Command);

// Pulls the adapter out (device_del), and waits until its device has gone; whether it has.
bool PullOut(const TUsbAdapter& Adapter, std::chrono::milliseconds Limit = std::chrono::seconds(10));
// Plugs the adapter in again (device_add) and waits until its device is there: the device, empty
// when it did not come.
std::string PlugIn(const TUsbAdapter& Adapter, std::chrono::milliseconds Limit = std::chrono::seconds(10));
