// The simulator's end of the line: a pseudo-terminal whose port side stands in for the serial port
// the meter is wired to. The simulator reads and writes the far (master) side; a program opens the
// port side by its device path as it would a serial port, and sets its line speed there.
//
// Or a serial device that the meter is wired to itself (a UART joined to the master's port by a
// cable): the simulator reads and writes the device, whose speed is its own and follows the meter's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TMeterPty {
public:
    // A new pseudo-terminal, raw, 8 data bits, even parity, at `baud`; with a `device` path, that
    // serial device opened so instead. Throws std::system_error.
    explicit TMeterPty(int baud, const std::string& device = {});
    ~TMeterPty();
    TMeterPty(const TMeterPty&) = delete;
    TMeterPty& operator=(const TMeterPty&) = delete;

    // The port side's device path (/dev/pts/N), or the serial device's.
    const std::string& DevicePath() const { return FDevicePath; }
    bool OnDevice() const { return FKeep < 0; }
    // The far side's descriptor (the device's own on a serial device), non-blocking.
    int Fd() const { return FMaster; }

    // The line speed the port side is set to now, or -1 when it cannot be read.
    int LineBaud() const;
    // On a serial device: sets its speed to `baud` once what was written has left. Nothing on a
    // pseudo-terminal, whose speed is the master's to set.
    void Follow(int baud);

private:
    // Closes both sides; keeps errno for the caller's report.
    void CloseAll();

    int FMaster = -1;
    // The simulator holds the port side open itself, so that the far side never sees a hang-up
    // (which would wake every poll) while no program has the port open.
    int FKeep = -1;
    std::string FDevicePath;
};
