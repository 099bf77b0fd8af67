#include <vexora/serial/AfThread.h>

#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial {

using namespace platform;

int ThreadPriorityValue(TThreadPriority Priority)
{
    switch (Priority) {
    case tpIdle:
        return THREAD_PRIORITY_IDLE;
    case tpLowest:
        return THREAD_PRIORITY_LOWEST;
    case tpLower:
        return THREAD_PRIORITY_BELOW_NORMAL;
    case tpNormal:
        return THREAD_PRIORITY_NORMAL;
    case tpHigher:
        return THREAD_PRIORITY_ABOVE_NORMAL;
    case tpHighest:
        return THREAD_PRIORITY_HIGHEST;
    case tpTimeCritical:
        return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

TThread::TThread(bool CreateSuspended)
{
    FHandle = CreateThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &FThreadID);
    if (FHandle == nullptr || FHandle == INVALID_HANDLE_VALUE)
        throw EThread("Thread creation failed");
    FSuspended = true;
    if (!CreateSuspended)
        Resume();
}

TThread::~TThread()
{
    if (!Finished()) {
        Terminate();
        if (FSuspended)
            Resume();
        WaitFor();
    }
    CloseHandle(FHandle);
}

void TThread::Resume()
{
    if (!FSuspended)
        return;
    FSuspended = false;
    ResumeThread(FHandle);
}

void TThread::Terminate()
{
    FTerminated.store(true, std::memory_order_release);
}

DWORD TThread::WaitFor()
{
    SafeSyncWaitFor(FHandle, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeThread(FHandle, &exitCode);
    return exitCode;
}

void TThread::SetPriority(TThreadPriority Value)
{
    FPriority.store(Value, std::memory_order_relaxed);
    SetThreadPriority(FHandle, ThreadPriorityValue(Value));
}

DWORD TThread::ThreadProc(LPVOID Parameter)
{
    auto* thread = static_cast<TThread*>(Parameter);
    DWORD result = 0;
    // A thread released before it was ever started skips its body.
    if (!thread->Terminated()) {
        try {
            thread->Execute();
        } catch (...) {
            thread->FFatalException = std::current_exception();
            result = 1;
        }
    }
    thread->FFinished.store(true, std::memory_order_release);
    return result;
}

} // namespace vexora::serial
