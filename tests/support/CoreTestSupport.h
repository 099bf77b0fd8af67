// Test support for the port core: a recorder of core events, a valid line setting, the process's
// CPU time, a far end that echoes or swallows what the port sends, and one that sends a long
// pattern.
#pragma once

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "LineDcb.h"

namespace coretest {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// 115200 8N1, binary, DTR and RTS on, no flow control.
inline DCB TestDcb()
{
    return LineDcb(115200);
}

// CPU time this process has used so far, in seconds.
inline double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The far end of a pseudo-terminal (its master descriptor): reads everything the port sends and,
// when echoing, sends it straight back; until destroyed.
class TFarEnd {
public:
    TFarEnd(int MasterFd, bool Echo) : FFd(MasterFd), FEcho(Echo), FThread([this] { Run(); }) {}
    ~TFarEnd()
    {
        FStop = true;
        FThread.join();
    }
    TFarEnd(const TFarEnd&) = delete;
    TFarEnd& operator=(const TFarEnd&) = delete;

    std::size_t Received() const { return FReceived; }

private:
    void Run()
    {
        std::uint8_t buffer[4096];
        while (!FStop) {
            pollfd in{FFd, POLLIN, 0};
            if (poll(&in, 1, 20) <= 0)
                continue;
            const ssize_t n = read(FFd, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            FReceived += static_cast<std::size_t>(n);
            ssize_t done = 0;
            while (FEcho && done < n && !FStop) {
                const ssize_t w = write(FFd, buffer + done, static_cast<std::size_t>(n - done));
                if (w > 0) {
                    done += w;
                } else {
                    pollfd out{FFd, POLLOUT, 0};
                    poll(&out, 1, 20);
                }
            }
        }
    }

    int FFd;
    bool FEcho;
    std::atomic<bool> FStop{false};
    std::atomic<std::size_t> FReceived{0};
    std::thread FThread;
};

// A byte stream without a period that a queue or ring size could hide: byte `At` of it.
inline std::uint8_t PatternByte(std::size_t At)
{
    return static_cast<std::uint8_t>(At * 31 + At / 65521);
}

// The far end of a pseudo-terminal sending `Count` pattern bytes as fast as the line takes them,
// waiting whenever the terminal holds it back; until done or destroyed.
class TFarEndSender {
public:
    TFarEndSender(int MasterFd, std::size_t Count) : FFd(MasterFd), FCount(Count), FThread([this] { Run(); })
    {
    }
    ~TFarEndSender()
    {
        FStop = true;
        FThread.join();
    }
    TFarEndSender(const TFarEndSender&) = delete;
    TFarEndSender& operator=(const TFarEndSender&) = delete;

    std::size_t Sent() const { return FSent; }

private:
    void Run()
    {
        std::uint8_t block[4096];
        while (!FStop && FSent < FCount) {
            const std::size_t at = FSent;
            const std::size_t n = std::min(sizeof block, FCount - at);
            for (std::size_t i = 0; i < n; ++i)
                block[i] = PatternByte(at + i);
            std::size_t done = 0;
            while (done < n && !FStop) {
                const ssize_t w = write(FFd, block + done, n - done);
                if (w > 0) {
                    done += static_cast<std::size_t>(w);
                    FSent += static_cast<std::size_t>(w);
                } else {
                    pollfd out{FFd, POLLOUT, 0};
                    poll(&out, 1, 20);
                }
            }
        }
    }

    int FFd;
    std::size_t FCount;
    std::atomic<bool> FStop{false};
    std::atomic<std::size_t> FSent{0};
    std::thread FThread;
};

struct TCoreEventRecord {
    TAfCoreEvent Kind;
    DWORD Data;
    std::exception_ptr Error;
    Clock::time_point At;
};

// Records every event a core reports; `Then` (optional) runs after the record, on the event
// thread, and may throw.
class TCoreEventLog {
public:
    using TThen = std::function<void(TObject* Sender, TAfCoreEvent Kind, DWORD Data)>;

    TAfCPTCoreEvent Callback(TThen Then = {})
    {
        return [this, Then](TObject* Sender, TAfCoreEvent Kind, DWORD Data, std::exception_ptr Error) {
            {
                std::lock_guard<std::mutex> lock(FLock);
                FRecords.push_back({Kind, Data, Error, Clock::now()});
            }
            FChanged.notify_all();
            if (Then)
                Then(Sender, Kind, Data);
        };
    }

    std::vector<TCoreEventRecord> Records() const
    {
        std::lock_guard<std::mutex> lock(FLock);
        return FRecords;
    }

    std::size_t Count(TAfCoreEvent Kind) const
    {
        std::lock_guard<std::mutex> lock(FLock);
        std::size_t n = 0;
        for (const auto& record : FRecords)
            n += record.Kind == Kind ? 1 : 0;
        return n;
    }

    std::size_t Size() const
    {
        std::lock_guard<std::mutex> lock(FLock);
        return FRecords.size();
    }

    // Waits until `Count(Kind)` reaches `Wanted`; false on time-out.
    bool WaitCount(TAfCoreEvent Kind, std::size_t Wanted, int TimeoutMs)
    {
        std::unique_lock<std::mutex> lock(FLock);
        return FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [&] {
            std::size_t n = 0;
            for (const auto& record : FRecords)
                n += record.Kind == Kind ? 1 : 0;
            return n >= Wanted;
        });
    }

    void Clear()
    {
        std::lock_guard<std::mutex> lock(FLock);
        FRecords.clear();
    }

private:
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<TCoreEventRecord> FRecords;
};

} // namespace coretest
