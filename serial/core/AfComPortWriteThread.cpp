// The write thread of a port core: owns the transmit ring, drains it into the device one
// contiguous run at a time, and answers output purges.
#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/AfUtils.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfComPortWriteThread_p.h"

namespace vexora::serial {

using namespace platform;

namespace {

constexpr DWORD kPurgeWaitMs = 2000;

} // namespace

TAfComPortWriteThread::TAfComPortWriteThread(const TAfWriteThreadContext& Context)
    : TAfComPortCoreThread(Context.Handle, Context.ThreadStarted), FOutputEmpty(Context.OutputEmpty),
      FWriteLock(*Context.WriteLock), FPurgeDone(INVALID_HANDLE_VALUE), FPurgeRequest(INVALID_HANDLE_VALUE),
      FDataReady(INVALID_HANDLE_VALUE), FBuffer(Context.RingSize)
{
    FWriteOverlapped.hEvent = INVALID_HANDLE_VALUE;
    FPurgeDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FPurgeRequest = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FDataReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Resume();
}

TAfComPortWriteThread::~TAfComPortWriteThread()
{
    DisposeHandle(FWriteOverlapped.hEvent);
    DisposeHandle(FPurgeDone);
    DisposeHandle(FPurgeRequest);
    DisposeHandle(FDataReady);
}

void TAfComPortWriteThread::StopThread()
{
    PurgeOutput();
    TAfComPortCoreThread::StopThread();
}

bool TAfComPortWriteThread::QueueData(const void* Buffer, std::int32_t Count)
{
    TAfSectionGuard guard(FWriteLock);
    return FBuffer.Write(Buffer, Count);
}

bool TAfComPortWriteThread::PurgeOutput()
{
    // An answer left over from a purger that gave up waiting belongs to nobody now.
    ResetEvent(FPurgeDone);
    SetEvent(FPurgeRequest);
    if (WaitForSingleObject(FPurgeDone, kPurgeWaitMs) != WAIT_OBJECT_0)
        return false;
    TAfSectionGuard guard(FWriteLock);
    ResetEvent(FDataReady);
    FBuffer.Clear();
    ++FPurgeCount;
    return PurgeComm(FHandle, PURGE_TXABORT | PURGE_TXCLEAR) != FALSE;
}

void TAfComPortWriteThread::Execute()
{
    try {
        FWriteOverlapped = OVERLAPPED{};
        FWriteOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const HANDLE idleSet[3] = {FStopEvent, FPurgeRequest, FDataReady};
        const HANDLE busySet[3] = {FStopEvent, FPurgeRequest, FWriteOverlapped.hEvent};
        SignalStarted();

        while (!Terminated()) {
            switch (WaitForMultipleObjects(3, idleSet, FALSE, INFINITE)) {
            case WAIT_OBJECT_0:
                Terminate();
                break;
            case WAIT_OBJECT_0 + 1:
                SetEvent(FPurgeDone);
                break;
            case WAIT_OBJECT_0 + 2:
                WriteNextRun(busySet);
                break;
            default:
                throw EAfComPortCoreError("Write thread cannot wait for data");
            }
        }
    } catch (...) {
        HandleException();
    }
    // A write still pending would go on reading the ring, which goes with this thread.
    PurgeComm(FHandle, PURGE_TXABORT);
    DisposeHandle(FWriteOverlapped.hEvent);
}

void TAfComPortWriteThread::WriteNextRun(const HANDLE (&BusySet)[3])
{
    TRun run;
    DWORD written = 0;
    switch (StartWrite(run, written)) {
    case TStart::Nothing:
        // Nothing queued, or the device refused the write: the bytes stay for the next round.
        return;
    case TStart::Done:
        CompleteWrite(written, run);
        return;
    case TStart::Pending:
        break;
    }
    for (;;) {
        switch (WaitForMultipleObjects(3, BusySet, FALSE, INFINITE)) {
        case WAIT_OBJECT_0:
            Terminate();
            return;
        case WAIT_OBJECT_0 + 1:
            // The purge aborts the write; its end is still collected here, so that the record is
            // free before the next write starts and no write is ever left behind.
            SetEvent(FPurgeDone);
            break;
        case WAIT_OBJECT_0 + 2:
            if (GetOverlappedResult(FHandle, &FWriteOverlapped, &written, TRUE))
                CompleteWrite(written, run);
            else
                ResetEvent(FWriteOverlapped.hEvent);
            return;
        default:
            throw EAfComPortCoreError("Write thread cannot wait for its write");
        }
    }
}

TAfComPortWriteThread::TStart TAfComPortWriteThread::StartWrite(TRun& Run, DWORD& Written)
{
    // The device reads the run in place, and only producers, which append behind it, may touch
    // the ring while it does; the start never blocks, as the handle is overlapped.
    TAfSectionGuard guard(FWriteLock);
    Run.Requested = static_cast<DWORD>(FBuffer.ContiguousCount());
    Run.PurgeCount = FPurgeCount;
    if (Run.Requested == 0)
        return TStart::Nothing;
    if (WriteFile(FHandle, FBuffer.ReadPointer(), Run.Requested, &Written, &FWriteOverlapped))
        return TStart::Done;
    return GetLastError() == ERROR_IO_PENDING ? TStart::Pending : TStart::Nothing;
}

void TAfComPortWriteThread::CompleteWrite(DWORD Written, const TRun& Run)
{
    ResetEvent(FWriteOverlapped.hEvent);
    if (Written != Run.Requested)
        return;
    {
        TAfSectionGuard guard(FWriteLock);
        // A purge since the run was taken has dropped it already; what the ring holds now was
        // queued afterwards and has not been sent.
        if (Run.PurgeCount != FPurgeCount)
            return;
        FBuffer.Remove(static_cast<std::int32_t>(Run.Requested));
        if (FBuffer.UsedCount() > 0) {
            SetEvent(FDataReady);
            return;
        }
    }
    SetEvent(FOutputEmpty);
}

} // namespace vexora::serial
