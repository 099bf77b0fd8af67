// The simulator's log: every telegram it hears and every byte it sends, in hexadecimal, one line
// each, time-stamped with the local date and time to the millisecond, and notes on what the meter
// made of them:
//     2025-03-07 14:02:11.734 RX 10 5B 01 5C 16
//     2025-03-07 14:02:11.734 -- user data
//     2025-03-07 14:02:11.802 TX 68 2A 2A 68 08 01 72 ...
// Lines go to every sink added; with none, nothing is formatted at all. Sinks are added before the
// simulator runs; the calls may come from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "MeterLink.h"

class TMeterLog {
public:
    using TSink = std::function<void(const std::string& line)>;

    TMeterLog();

    void AddSink(TSink sink);
    // Writes each line to `file` and flushes it; the file stays the caller's.
    void AddFile(std::FILE* file);
    bool Enabled() const { return !FSinks.empty(); }

    void Received(TMeterClock::time_point at, const std::vector<std::uint8_t>& bytes);
    void Sent(TMeterClock::time_point at, const std::vector<std::uint8_t>& bytes);
    void Note(TMeterClock::time_point at, std::string_view text);

    // "68 05 05 68", upper case.
    static std::string Hex(const std::vector<std::uint8_t>& bytes);

private:
    void Line(TMeterClock::time_point at, std::string_view tag, std::string_view text);

    std::mutex FLock;
    std::vector<TSink> FSinks;
    // The wall clock at one instant of the steady clock, to stamp steady times with.
    TMeterClock::time_point FSteadyBase;
    std::chrono::system_clock::time_point FWallBase;
};
