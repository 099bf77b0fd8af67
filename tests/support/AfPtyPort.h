// Test support: pseudo-terminals that stand in for serial ports.
//
// A test makes an AfPtyPort, registered as COM<n> in the process's own temporary port directory,
// and opens it through CreateFileA("COM<n>") (or its DevicePath()) exactly as a real port. The
// test plays the far end of the line through the master side: Send() puts bytes on the line
// towards the port, Receive() collects what the port sent, CloseFarEnd() makes the device go away.
// A pseudo-terminal has no modem lines, line errors or slow line and ignores parity and data
// bits; AfTestDevice.h covers those.
//
// Every test executable switches the machine's own ports off (VEXORA_MACHINE_PORTS=0), so any COM
// number names only what a test registers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The process's temporary port directory, made at the first call and removed at exit; the first
// call also points VEXORA_PORT_DIR at it. As that changes the environment, make the first call
// before any thread starts, e.g. by initialising a global of the test file with it:
//     static const std::string kPortDir = AfTestPortDirectory();
const std::string& AfTestPortDirectory();

// Registers `target` (a device path, or the Path() of an AfTestDevice) as COM<number> in the test
// port directory, replacing an older entry; and removes such an entry.
void AfRegisterTestCom(int number, const std::string& target);
void AfUnregisterTestCom(int number);

class AfPtyPort {
public:
    // A new pseudo-terminal in raw mode; with comNumber > 0 also registered as COM<comNumber>.
    // Throws std::runtime_error when no pseudo-terminal can be made.
    explicit AfPtyPort(int comNumber = 0);
    // Unregisters the COM entry and closes both sides.
    ~AfPtyPort();
    AfPtyPort(const AfPtyPort&) = delete;
    AfPtyPort& operator=(const AfPtyPort&) = delete;

    int ComNumber() const { return comNumber_; }
    // "COM<n>", the name the port is opened by.
    std::string ComName() const;
    // The port side's device path (/dev/pts/N).
    const std::string& DevicePath() const { return devicePath_; }
    // The far end's descriptor (non-blocking), -1 after CloseFarEnd().
    int MasterFd() const { return master_; }

    // Puts all bytes on the line towards the port; false when the far end is closed or fails.
    bool Send(const void* data, std::size_t count);
    bool Send(const std::vector<std::uint8_t>& data) { return Send(data.data(), data.size()); }
    // Collects what the port sent until `count` bytes came or `timeoutMs` passed; never blocks
    // longer. May return fewer bytes.
    std::vector<std::uint8_t> Receive(std::size_t count, int timeoutMs);
    // Everything that arrives until the line has been quiet for `quietMs`.
    std::vector<std::uint8_t> ReceiveUntilQuiet(int quietMs);

    // Closes the far end: the port's device hangs up, as when an adapter is unplugged.
    void CloseFarEnd();

private:
    int comNumber_;
    int master_ = -1;
    int keep_ = -1; // a port-side descriptor held so that the far end never sees a hang-up
    std::string devicePath_;
};
