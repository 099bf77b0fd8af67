// The meter simulator: one or more meters (TMeterBus) on a pseudo-terminal registered as COM n,
// or on a serial device wired to the master's port (TMeterSimOptions::Device).
//
// Run() serves the line on the calling thread: it reads what the port side sends, splits it into
// telegrams, lets the meters deal with each one and puts the answers on the line as meters on a
// real line would. Each meter hears only at its own baud rate: a telegram that arrives while the
// port side is set to another speed does not reach it. An answer starts when the request would have
// ended on the wire at that speed (11 bits per byte, 8E1) plus the reaction time, after any earlier
// answer, and goes out at the line's pace, so a slow line or a late answer misses the master's
// window as it would on a real line.
//
// Threads: Run() on one thread; Stop(), State(), Heard() and WaitHeard() from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MeterBus.h"
#include "MeterComEntry.h"
#include "MeterFaults.h"
#include "MeterLog.h"
#include "MeterPty.h"

struct TMeterSimOptions {
    int ComNumber = 1;
    std::string Device{};      // a serial device to serve instead of a pseudo-terminal; no COM entry then
    bool ReplaceEntry = false; // take COM n over even when another program holds it
    int ReactionMs = 50;       // from the end of a request to the start of the answer
    TMeterSettings Meter{};    // the first meter; the line starts at its baud rate
    TMeterFaults Faults{};     // for the answers of every meter
    std::vector<TMeterSettings> MoreMeters{}; // further meters on the same line
};

class TMeterSimulator {
public:
    // Makes the pseudo-terminal and registers it. Throws std::invalid_argument for settings a
    // meter cannot take and for meters that would answer together (see TMeterBus), std::runtime_error or
    // std::system_error when the line cannot be set up.
    explicit TMeterSimulator(const TMeterSimOptions& options, TMeterLog* log = nullptr);
    // Unregisters COM n and closes the line. Run() must have returned.
    ~TMeterSimulator();
    TMeterSimulator(const TMeterSimulator&) = delete;
    TMeterSimulator& operator=(const TMeterSimulator&) = delete;

    const std::string& DevicePath() const { return FPty.DevicePath(); }
    // Empty on a serial device, which registers no COM entry.
    const std::string& EntryPath() const;

    // Serves the line until Stop() (returns at once when Stop() came first). Throws
    // std::system_error when the line fails.
    void Run();
    // Makes Run() return. Safe from any thread and from a signal handler.
    void Stop();

    // The state of meter `meter`, 0 for the first (TMeterSimOptions::Meter), then MoreMeters.
    TMeterState State(std::size_t meter = 0) const;
    std::size_t MeterCount() const { return FMeters.Count(); }
    // Telegrams (and runs of stray bytes) heard and dealt with so far.
    std::uint64_t Heard() const;
    // Waits until Heard() reaches `count`; false when `timeout` passed first.
    bool WaitHeard(std::uint64_t count, std::chrono::milliseconds timeout) const;

private:
    // Bytes to put on the line, byte i not before Start + (i + 1) * ByteTime.
    struct TPending {
        std::vector<std::uint8_t> Bytes;
        TMeterClock::time_point Start;
        TMeterClock::duration ByteTime{};
        std::size_t Written = 0;
        bool Echo = false; // all at once (ByteTime 0)
    };

    void ReadLine();
    void Deal(const TMBusTelegram& heard, int lineBaud);
    // Queues one output for the telegram heard at `lineBaud`, the speed an answer goes out at.
    void Schedule(const TMBusTelegram& heard, TMeterOutput output, int lineBaud);
    // Writes what is due; false when the line takes no more for now.
    bool WriteDue(TMeterClock::time_point now);
    // When WriteDue has something to do next; max() when nothing is queued.
    TMeterClock::time_point NextWrite(TMeterClock::time_point now) const;

    const TMeterSimOptions FOptions;
    TMeterLog* const FLog;
    TMeterLog FNoLog;
    mutable std::mutex FLock; // guards the meters' state and FHeard
    mutable std::condition_variable FHeardChanged;
    TMeterBus FMeters; // first of the parts that check the settings, before anything is registered
    std::uint64_t FHeard = 0;
    TMeterPty FPty;
    std::unique_ptr<TMeterComEntry> FEntry;
    int FStopFd = -1;

    // Run thread only.
    TMBusFrameReader FReader;
    std::deque<TPending> FQueue;
};
