// The simulator's end of the line: a pseudo-terminal whose port side stands in for the serial port
// the meter is wired to. The simulator reads and writes the far (master) side; a program opens the
// port side by its device path as it would a serial port, and sets its line speed there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TMeterPty {
public:
    // A new pseudo-terminal, raw, 8 data bits, even parity, at `baud`. Throws std::system_error.
    explicit TMeterPty(int baud);
    ~TMeterPty();
    TMeterPty(const TMeterPty&) = delete;
    TMeterPty& operator=(const TMeterPty&) = delete;

    // The port side's device path (/dev/pts/N).
    const std::string& DevicePath() const { return FDevicePath; }
    // The far side's descriptor, non-blocking.
    int Fd() const { return FMaster; }

    // The line speed the port side is set to now, or -1 when it cannot be read.
    int LineBaud() const;

private:
    // Closes both sides; keeps errno for the caller's report.
    void CloseAll();

    int FMaster = -1;
    // The simulator holds the port side open itself, so that the far side never sees a hang-up
    // (which would wake every poll) while no program has the port open.
    int FKeep = -1;
    std::string FDevicePath;
};
