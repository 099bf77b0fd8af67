#include "PortFailure.h"

#include <utility>

#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/platform/AfGlobalNames.h>

namespace {

// Whether Error is the port core's own error, which its event thread raises only for a device
// that has stopped serving the port.
bool IsDeviceFailure(const std::exception_ptr& Error)
{
    if (!Error)
        return false;
    try {
        std::rethrow_exception(Error);
    } catch (const EAfComPortCoreError&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

TPortFailure::TPortFailure(TAfComPort& Port)
    : FPort(Port), FPrevious(Port.OnSyncEvent.Get()), FState(std::make_shared<TState>())
{
    Port.OnSyncEvent = [&Port, previous = FPrevious, state = FState](TObject* Sender, TAfCoreEvent Kind,
                                                                     DWORD Data, std::exception_ptr Error) {
        if (Kind != ceThreadException || !IsDeviceFailure(Error)) {
            if (previous)
                (*previous)(Sender, Kind, Data, std::move(Error));
            return;
        }
        // Closed from its own event, the port drops the rest of it: the component does not raise
        // the error again.
        Port.ClosePort();
        if (state->InOperation)
            state->Failure = std::move(Error);
        else
            ApplicationHandleException(Error);
    };
}

TPortFailure::~TPortFailure()
{
    FPort.OnSyncEvent = FPrevious ? *FPrevious : TAfCPTCoreEvent();
}

void TPortFailure::OperationStarted()
{
    FState->InOperation = true;
    FState->Failure = nullptr;
}

void TPortFailure::OperationEnded()
{
    FState->InOperation = false;
    FState->Failure = nullptr;
}

void TPortFailure::RaiseIfFailed()
{
    if (std::exception_ptr failure = std::exchange(FState->Failure, nullptr))
        std::rethrow_exception(failure);
}
