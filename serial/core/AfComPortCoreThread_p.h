// Inside the port core: what its two worker threads share (AfComPortEventThread_p.h and
// AfComPortWriteThread_p.h hold the threads). Only the core's own files include these headers; an
// owner of a core sees neither thread. The lock order and what each lock guards are stated in
// AfComPortCore.h.
//
// A thread knows nothing of the core that made it: it is handed, at construction, the device and
// the few objects of the core that it meets (its context). The core owns every one of them and
// keeps them until the thread has been stopped and deleted.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include <vexora/serial/AfThread.h>
#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial {

// A message that names a COM number: Prefix, the number, Suffix.
inline std::string WithComNumber(const char* Prefix, std::int32_t Number, const char* Suffix = "")
{
    return std::string(Prefix) + std::to_string(Number) + Suffix;
}

// What both worker threads share: the stop event, the device handle, the start signal, the
// reporting of exceptions and the stop sequence.
class TAfComPortCoreThread : public TThread {
public:
    // Handle: the open device. ThreadStarted: the core's auto-reset event that the thread sets
    // once, as its loop is about to begin.
    TAfComPortCoreThread(platform::HANDLE Handle, platform::HANDLE ThreadStarted);
    ~TAfComPortCoreThread() override;

    // Stops the thread, waits for its end and deletes it. Called by the core, inside its
    // FDeviceLock; the object is gone when this returns.
    virtual void StopThread();

protected:
    // Called from inside an exception handler.
    virtual void HandleException();
    // Shows FException on the thread that owns the notification channel.
    void ShowThreadException();
    // Tells the core that the thread runs; once, as its loop is about to begin.
    void SignalStarted();

    std::exception_ptr FException;
    platform::HANDLE FStopEvent;
    const platform::HANDLE FHandle;

private:
    const platform::HANDLE FThreadStarted;
};

} // namespace vexora::serial
