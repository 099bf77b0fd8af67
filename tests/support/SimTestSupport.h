// Test support for the meter simulator: the master's end of its line, opened raw at a chosen speed
// as a program opens a serial port, and a simulator serving its line on a thread of its own.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MeterSimulator.h"

using TBytes = std::vector<std::uint8_t>;

// "68 05 05 68" as bytes.
TBytes HexBytes(const std::string& text);
// Short frame 10 C A CS 16 and long frame 68 L L 68 C A CI data CS 16.
TBytes ShortFrame(std::uint8_t c, std::uint8_t a);
TBytes LongFrame(std::uint8_t c, std::uint8_t a, std::uint8_t ci, const TBytes& data = {});

class TMasterLine {
public:
    // Opens `device` raw at `baud`; with baud 0 the speed is left as it is. Throws std::runtime_error.
    TMasterLine(const std::string& device, int baud);
    ~TMasterLine();
    TMasterLine(const TMasterLine&) = delete;
    TMasterLine& operator=(const TMasterLine&) = delete;

    void SetBaud(int baud);
    void Send(const TBytes& bytes);
    // Collects until `count` bytes came or `timeoutMs` passed.
    TBytes Receive(std::size_t count, int timeoutMs);

private:
    int FFd = -1;
};

class TRunningSimulator {
public:
    explicit TRunningSimulator(const TMeterSimOptions& options);
    ~TRunningSimulator();

    std::vector<std::string> LogLines();
    TMeterSimulator& Sim() { return FSim; }

private:
    TMeterLog FLog; // before the simulator that logs into it
    std::mutex FLock;
    std::vector<std::string> FLines;
    TMeterSimulator FSim;
    std::thread FThread;
};
