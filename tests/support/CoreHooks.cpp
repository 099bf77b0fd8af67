#include "CoreHooks.h"

#include <atomic>
#include <chrono>
#include <memory>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

namespace coretest {

THookPoint gWriteStart;
THookPoint gSetEvent;
THookPoint gPurgeWaitEntered;
THookPoint gPurgeWaitReturned;
THookPoint gLockBusy;

namespace {

// How long the core's purger waits for the write thread's answer.
constexpr DWORD kPurgeWaitMs = 2000;

std::atomic<int> g_threadsBeforeFailure{-1};
std::atomic<int> g_comStatCalls{0};
std::atomic<int> g_threadsRunning{0};

// A thread's own function, run by Counted.
struct TThreadStart {
    LPTHREAD_START_ROUTINE Start;
    LPVOID Parameter;
};

DWORD Counted(LPVOID Parameter)
{
    const std::unique_ptr<TThreadStart> start(static_cast<TThreadStart*>(Parameter));
    const DWORD result = start->Start(start->Parameter);
    // Before the thread's handle is signalled, so that whoever waited for it sees the count.
    g_threadsRunning.fetch_sub(1);
    return result;
}

} // namespace

void THookPoint::Watch(std::thread::id Who, bool Hold)
{
    std::lock_guard guard(FLock);
    FWatching = true;
    FWho = Who;
    FHold = Hold;
    FReached = 0;
}

bool THookPoint::WaitReached(int Count, int TimeoutMs)
{
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                             [&] { return FReached >= Count || FStopped; });
}

bool THookPoint::WaitStopped(int TimeoutMs)
{
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [&] { return FStopped; });
}

void THookPoint::Release(bool HoldNext)
{
    std::lock_guard guard(FLock);
    FWatching = HoldNext;
    FHold = HoldNext;
    FStopped = false;
    FChanged.notify_all();
}

void THookPoint::Pass()
{
    std::unique_lock lock(FLock);
    if (!FWatching || (FWho != std::thread::id{} && FWho != std::this_thread::get_id()))
        return;
    ++FReached;
    FChanged.notify_all();
    if (!FHold)
        return;
    FHold = false;
    FStopped = true;
    FChanged.notify_all();
    FChanged.wait(lock, [&] { return !FStopped; });
}

void FailThreadCreation(int Succeeding)
{
    g_threadsBeforeFailure = Succeeding;
}

int ComStatCalls()
{
    return g_comStatCalls.load();
}

int ThreadsRunning()
{
    return g_threadsRunning.load();
}

} // namespace coretest

// The wrapped platform calls (C++ names of AfWin.h, as the linker sees them).
extern "C" {

BOOL __real__ZN6vexora6serial8platform9WriteFileEPvPKvjPjPNS1_10OVERLAPPEDE(HANDLE, LPCVOID, DWORD, LPDWORD,
                                                                            OVERLAPPED*);
BOOL __real__ZN6vexora6serial8platform8SetEventEPv(HANDLE);
DWORD __real__ZN6vexora6serial8platform19WaitForSingleObjectEPvj(HANDLE, DWORD);
BOOL __real__ZN6vexora6serial8platform14ClearCommErrorEPvPjPNS1_7COMSTATE(HANDLE, LPDWORD, COMSTAT*);
HANDLE __real__ZN6vexora6serial8platform12CreateThreadEPvmPFjS2_ES2_jPj(LPVOID, SIZE_T,
                                                                        LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                                                        LPDWORD);
void __real__ZN6vexora6serial8platform20EnterCriticalSectionEPNS1_16CRITICAL_SECTIONE(CRITICAL_SECTION*);

BOOL __wrap__ZN6vexora6serial8platform9WriteFileEPvPKvjPjPNS1_10OVERLAPPEDE(HANDLE file, LPCVOID buffer,
                                                                            DWORD count, LPDWORD written,
                                                                            OVERLAPPED* overlapped)
{
    coretest::gWriteStart.Pass();
    return __real__ZN6vexora6serial8platform9WriteFileEPvPKvjPjPNS1_10OVERLAPPEDE(file, buffer, count,
                                                                                  written, overlapped);
}

BOOL __wrap__ZN6vexora6serial8platform14ClearCommErrorEPvPjPNS1_7COMSTATE(HANDLE file, LPDWORD errors,
                                                                          COMSTAT* stat)
{
    coretest::g_comStatCalls.fetch_add(1);
    return __real__ZN6vexora6serial8platform14ClearCommErrorEPvPjPNS1_7COMSTATE(file, errors, stat);
}

BOOL __wrap__ZN6vexora6serial8platform8SetEventEPv(HANDLE event)
{
    coretest::gSetEvent.Pass();
    return __real__ZN6vexora6serial8platform8SetEventEPv(event);
}

DWORD __wrap__ZN6vexora6serial8platform19WaitForSingleObjectEPvj(HANDLE handle, DWORD milliseconds)
{
    if (milliseconds != coretest::kPurgeWaitMs)
        return __real__ZN6vexora6serial8platform19WaitForSingleObjectEPvj(handle, milliseconds);
    coretest::gPurgeWaitEntered.Pass();
    const DWORD result = __real__ZN6vexora6serial8platform19WaitForSingleObjectEPvj(handle, milliseconds);
    coretest::gPurgeWaitReturned.Pass();
    return result;
}

HANDLE __wrap__ZN6vexora6serial8platform12CreateThreadEPvmPFjS2_ES2_jPj(LPVOID attributes, SIZE_T stackSize,
                                                                        LPTHREAD_START_ROUTINE start,
                                                                        LPVOID parameter, DWORD flags,
                                                                        LPDWORD threadId)
{
    int left = coretest::g_threadsBeforeFailure.load();
    while (left >= 0 && !coretest::g_threadsBeforeFailure.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* counted = new coretest::TThreadStart{start, parameter};
    coretest::g_threadsRunning.fetch_add(1);
    const HANDLE thread = __real__ZN6vexora6serial8platform12CreateThreadEPvmPFjS2_ES2_jPj(
        attributes, stackSize, &coretest::Counted, counted, flags, threadId);
    if (thread == nullptr) {
        coretest::g_threadsRunning.fetch_sub(1);
        delete counted;
    }
    return thread;
}

void __wrap__ZN6vexora6serial8platform20EnterCriticalSectionEPNS1_16CRITICAL_SECTIONE(
    CRITICAL_SECTION* section)
{
    if (TryEnterCriticalSection(section))
        return;
    coretest::gLockBusy.Pass();
    __real__ZN6vexora6serial8platform20EnterCriticalSectionEPNS1_16CRITICAL_SECTIONE(section);
}

} // extern "C"
