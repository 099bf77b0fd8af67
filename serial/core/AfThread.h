// A worker thread object: created suspended, started with Resume, asked to stop with Terminate,
// waited for with WaitFor. The body is the virtual Execute of a subclass. The object is never
// freed by its own thread; whoever created it stops, waits for and deletes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>

#include "AfExceptions.h"
#include "AfObject.h"
#include "platform/AfWinTypes.h"

// The seven priority levels of a thread, lowest first.
enum TThreadPriority : std::uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

// Raised when the platform cannot create a thread.
class EThread : public Exception {
public:
    using Exception::Exception;
};

// The platform's THREAD_PRIORITY_* value of a level.
int ThreadPriorityValue(TThreadPriority Priority);

class TThread : public TObject {
public:
    // The platform thread is created at once; it runs Execute only after Resume. Raises EThread
    // when the platform cannot create it.
    explicit TThread(bool CreateSuspended);
    // A thread that is still running is terminated and waited for; one that never ran is
    // released without running Execute.
    ~TThread() override;

    void Resume();
    // Sets Terminated; Execute is expected to look at it and return.
    void Terminate();
    // Waits until the thread has ended (serving cross-thread notifications while it waits on the
    // thread that owns the notification channel) and returns its exit code.
    DWORD WaitFor();

    HANDLE Handle() const { return FHandle; }
    DWORD ThreadID() const { return FThreadID; }
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    bool Finished() const { return FFinished.load(std::memory_order_acquire); }
    TThreadPriority Priority() const { return FPriority.load(std::memory_order_relaxed); }
    void SetPriority(TThreadPriority Value);
    // The exception that escaped Execute, if any; valid once the thread has ended.
    std::exception_ptr FatalException() const { return FFatalException; }

protected:
    virtual void Execute() = 0;

private:
    static DWORD ThreadProc(LPVOID Parameter);

    HANDLE FHandle = nullptr;
    DWORD FThreadID = 0;
    std::atomic<TThreadPriority> FPriority{tpNormal};
    bool FSuspended = false;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::exception_ptr FFatalException;
};
