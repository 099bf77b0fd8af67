// Costs of the platform's events and waits: a signal that wakes another thread and back, and a
// look at several objects when one is already signalled.
#include <benchmark/benchmark.h>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

namespace {

struct PingPong {
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~PingPong()
    {
        CloseHandle(ping);
        CloseHandle(pong);
        CloseHandle(stop);
    }
};

DWORD Echo(LPVOID parameter)
{
    auto* events = static_cast<PingPong*>(parameter);
    const HANDLE handles[] = {events->stop, events->ping};
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
        SetEvent(events->pong);
    return 0;
}

void BM_EventRoundTrip(benchmark::State& state)
{
    PingPong events;
    HANDLE thread = CreateThread(nullptr, 0, Echo, &events, 0, nullptr);
    for (auto _ : state) {
        SetEvent(events.ping);
        WaitForSingleObject(events.pong, INFINITE);
    }
    SetEvent(events.stop);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
BENCHMARK(BM_EventRoundTrip)->UseRealTime();

void BM_WaitOnSignalledObjects(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < count; ++i)
        handles[i] = CreateEventA(nullptr, TRUE, i == count - 1 ? TRUE : FALSE, nullptr);
    for (auto _ : state)
        benchmark::DoNotOptimize(WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, 0));
    for (int i = 0; i < count; ++i)
        CloseHandle(handles[i]);
}
BENCHMARK(BM_WaitOnSignalledObjects)->Arg(1)->Arg(4)->Arg(64);

void BM_CriticalSectionEnterLeave(benchmark::State& state)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    for (auto _ : state) {
        EnterCriticalSection(&section);
        LeaveCriticalSection(&section);
    }
    DeleteCriticalSection(&section);
}
BENCHMARK(BM_CriticalSectionEnterLeave);

void BM_ThreadStartAndEnd(benchmark::State& state)
{
    for (auto _ : state) {
        HANDLE thread = CreateThread(
            nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}
BENCHMARK(BM_ThreadStartAndEnd)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
