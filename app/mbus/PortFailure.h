// What becomes of a port whose device fails: an adapter pulled out, a device gone. Such a port is
// of no more use, so it is released at once (the handle held would keep the device's name taken,
// and an adapter plugged back in would come back under another), and the failure is reported once:
// an operation running on the port ends with it, as with any error of its steps, and outside an
// operation it goes to the application's exception display.
//
// The port core reports the failure from its event thread as its own error (EAfComPortCoreError,
// "Device COM<n> failed") through the component's OnSyncEvent, which this takes over, handing
// every other event to the handler it found there. Other errors that reach the user-interface
// thread (of a handler on the event thread, of a dispatcher) go on as before.
#pragma once

#include <exception>
#include <memory>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/platform/AfGlobalNames.h>

class TPortFailure {
public:
    // Takes over Port's OnSyncEvent; Port must outlive this.
    explicit TPortFailure(TAfComPort& Port);
    // Gives OnSyncEvent back to the handler found there.
    ~TPortFailure();
    TPortFailure(const TPortFailure&) = delete;
    TPortFailure& operator=(const TPortFailure&) = delete;

    // Between these two, a failure is kept for RaiseIfFailed rather than shown; OperationEnded
    // drops one that was not raised.
    void OperationStarted();
    void OperationEnded();
    // Raises the failure that came since the operation started, if any; once.
    void RaiseIfFailed();

private:
    struct TState {
        bool InOperation = false;
        std::exception_ptr Failure;
    };
    TAfComPort& FPort;
    std::shared_ptr<const TAfCPTCoreEvent> FPrevious;
    std::shared_ptr<TState> FState;
};
