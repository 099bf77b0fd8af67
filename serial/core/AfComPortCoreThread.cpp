// What both worker threads of a port core share: the stop event, the stop sequence and the
// display of an exception that nobody else reports.
#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/AfUtils.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfComPortCoreThread_p.h"

namespace vexora::serial {

using namespace platform;

TAfComPortCoreThread::TAfComPortCoreThread(HANDLE Handle, HANDLE ThreadStarted)
    : TThread(true), FStopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)), FHandle(Handle),
      FThreadStarted(ThreadStarted)
{
}

TAfComPortCoreThread::~TAfComPortCoreThread()
{
    DisposeHandle(FStopEvent);
}

void TAfComPortCoreThread::StopThread()
{
    Terminate();
    SetEvent(FStopEvent);
    WaitFor();
    delete this;
}

void TAfComPortCoreThread::SignalStarted()
{
    SetEvent(FThreadStarted);
}

void TAfComPortCoreThread::HandleException()
{
    FException = std::current_exception();
    // Nobody is shown anything once the thread is being stopped: the stopping thread is waiting
    // for this one to end.
    if (!IsSilentAbort(FException) && !Terminated())
        ShowThreadException();
    FException = nullptr;
}

void TAfComPortCoreThread::ShowThreadException()
{
    const std::exception_ptr error = FException;
    SafeSyncSynchronize([error] { ApplicationHandleException(error); });
}

} // namespace vexora::serial
