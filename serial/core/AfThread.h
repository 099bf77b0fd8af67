/// \file
/// A worker thread object: created suspended, started with Resume, asked to stop with Terminate,
/// waited for with WaitFor. The body is the virtual Execute of a subclass. The object is never
/// freed by its own thread; whoever created it stops, waits for and deletes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>

#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/AfExport.h>
#include <vexora/serial/AfObject.h>
#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial {

/// The seven priority levels of a thread, lowest first. The platform maps them onto nice values
/// relative to the process, best effort (raising a thread needs a privilege the process may lack).
enum TThreadPriority : std::uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

/// Raised when the platform cannot create a thread ("Thread creation failed").
class VEXORA_SERIAL_API EThread : public Exception {
public:
    using Exception::Exception;
};

/// The platform's THREAD_PRIORITY_* value of a level; THREAD_PRIORITY_NORMAL for a value outside
/// the enumeration.
VEXORA_SERIAL_API int ThreadPriorityValue(TThreadPriority Priority);

/// A thread that runs the subclass's Execute once. Its creator (one thread) calls every member but
/// Terminated and Finished, which Execute polls on the thread itself; Terminate may come from any
/// thread.
class VEXORA_SERIAL_API TThread : public TObject {
public:
    /// The platform thread is created at once (a parked OS thread is reused when there is one); it
    /// runs Execute only after Resume, or at once unless CreateSuspended. Raises EThread when the
    /// platform cannot create it.
    explicit TThread(bool CreateSuspended);
    /// A thread that is still running is terminated and waited for (without limit: Execute must
    /// look at Terminated); one that never ran is released without running Execute.
    ~TThread() override;

    /// Starts a suspended thread; does nothing once it runs.
    void Resume();
    /// Sets Terminated; Execute is expected to look at it and return. Never waits.
    void Terminate();
    /// Waits until the thread has ended (serving cross-thread notifications while it waits on the
    /// thread that owns the notification channel) and returns its exit code: 0, or 1 when an
    /// exception escaped Execute. Blocks without limit; never call it on the thread itself.
    platform::DWORD WaitFor();

    /// The platform's handle of the thread; signalled once it has ended.
    platform::HANDLE Handle() const { return FHandle; }
    /// The platform's id of the thread (GetCurrentThreadId on it).
    platform::DWORD ThreadID() const { return FThreadID; }
    /// Whether Terminate was called. Any thread.
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    /// Whether Execute has returned (or was skipped). Any thread.
    bool Finished() const { return FFinished.load(std::memory_order_acquire); }
    /// The level last set (tpNormal until then).
    TThreadPriority Priority() const { return FPriority.load(std::memory_order_relaxed); }
    /// Gives the thread the level at once, best effort (a level the process may not take stays a
    /// wish: Priority still reports it).
    void SetPriority(TThreadPriority Value);
    /// The exception that escaped Execute, if any; valid once the thread has ended.
    std::exception_ptr FatalException() const { return FFatalException; }

protected:
    /// The thread's body, on the thread itself. It should return soon after Terminated becomes
    /// true; an exception that escapes it ends the thread and is kept in FatalException.
    virtual void Execute() = 0;

private:
    static platform::DWORD ThreadProc(platform::LPVOID Parameter);

    platform::HANDLE FHandle = nullptr;
    platform::DWORD FThreadID = 0;
    std::atomic<TThreadPriority> FPriority{tpNormal};
    bool FSuspended = false;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::exception_ptr FFatalException;
};

} // namespace vexora::serial
