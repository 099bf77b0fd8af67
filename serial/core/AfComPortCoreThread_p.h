// Inside the port core: what its two worker threads share (AfComPortEventThread_p.h and
// AfComPortWriteThread_p.h hold the threads). Only the core's own files include these headers; an
// owner of a core sees neither thread. The lock order and what each lock guards are stated in
// AfComPortCore.h.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/AfThread.h>
#include <vexora/serial/platform/AfWinTypes.h>

// A message that names a COM number: Prefix, the number, Suffix.
inline std::string WithComNumber(const char* Prefix, std::int32_t Number, const char* Suffix = "")
{
    return std::string(Prefix) + std::to_string(Number) + Suffix;
}

// What both worker threads share: the stop event, the core, the device handle, the reporting of
// exceptions and the stop sequence.
class TAfComPortCoreThread : public TThread {
public:
    explicit TAfComPortCoreThread(TAfComPortCore* Core);
    ~TAfComPortCoreThread() override;

    // Stops the thread, waits for its end and deletes it. Called by the core, inside its
    // FDeviceLock; the object is gone when this returns.
    virtual void StopThread();

protected:
    // Called from inside an exception handler.
    virtual void HandleException();
    // Shows FException on the thread that owns the notification channel.
    void ShowThreadException();

    std::exception_ptr FException;
    HANDLE FStopEvent;
    TAfComPortCore* FCore;
    HANDLE FHandle;
};
