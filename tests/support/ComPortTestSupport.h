// Test support for the port component: the Qt application the tests run in (its main thread owns
// the notification channel), a wait that keeps the event loop running, and a recorder of the
// component's events with the thread each fired on.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/platform/AfGlobalNames.h>

namespace porttest {

using Clock = std::chrono::steady_clock;

template <class TApp> class TAppEnvironment : public testing::Environment {
public:
    void SetUp() override { FApp = std::make_unique<TApp>(FArgc, FArgv); }
    void TearDown() override { FApp.reset(); }

private:
    int FArgc = 1;
    char FName[16] = "vexora_test";
    char* FArgv[2] = {FName, nullptr};
    std::unique_ptr<TApp> FApp;
};

inline long long MsSince(Clock::time_point Start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count();
}

// Runs the main thread's event loop until Done() holds or TimeoutMs passed; whether it holds.
inline bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs = 5000)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (Done() || Clock::now() >= deadline)
            loop.quit();
    });
    check.start();
    if (!Done())
        loop.exec();
    return Done();
}

// Runs the event loop for Ms milliseconds.
inline void PumpFor(int Ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(Ms);
    PumpUntil([end] { return Clock::now() >= end; }, Ms + 1000);
}

struct TFired {
    std::string Event; // "Sync:<kind>", "DataRecived:<count>", "CTS", "LineError:<errors>", ...
    std::thread::id Thread;
};

// Records every event of a port (assign with Attach).
class TEventRecorder {
public:
    void Attach(TAfCustomSerialPort& Port, bool NonSync = false)
    {
        Port.OnSyncEvent = [this](TObject*, TAfCoreEvent Kind, DWORD, std::exception_ptr) {
            Add("Sync:" + std::to_string(Kind));
        };
        Port.OnDataRecived = [this](TObject*, std::int32_t Count) {
            Add("DataRecived:" + std::to_string(Count));
        };
        Port.OnOutBufFree = [this](TObject*) { Add("OutBufFree"); };
        Port.OnCTSChanged = [this](TObject*) { Add("CTS"); };
        Port.OnDSRChanged = [this](TObject*) { Add("DSR"); };
        Port.OnRINGDetected = [this](TObject*) { Add("RING"); };
        Port.OnRLSDChanged = [this](TObject*) { Add("RLSD"); };
        Port.OnLineError = [this](TObject*, DWORD Errors) { Add("LineError:" + std::to_string(Errors)); };
        Port.OnPortOpen = [this](TObject*) { Add("PortOpen"); };
        Port.OnPortClose = [this](TObject*) { Add("PortClose"); };
        if (NonSync)
            Port.OnNonSyncEvent = [this](TObject*, TAfCoreEvent Kind, DWORD, std::exception_ptr) {
                Add("NonSync:" + std::to_string(Kind));
            };
    }

    void Add(const std::string& Event)
    {
        {
            std::lock_guard guard(FLock);
            FFired.push_back({Event, std::this_thread::get_id()});
        }
        if (OnFired)
            OnFired(Event);
    }
    // Called with each event once it is recorded, on the thread it fired on (set it before the
    // events flow).
    std::function<void(const std::string& Event)> OnFired;
    std::vector<TFired> Fired() const
    {
        std::lock_guard guard(FLock);
        return FFired;
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const TFired& fired : Fired())
            names.push_back(fired.Event);
        return names;
    }
    bool Has(const std::string& Event) const
    {
        for (const TFired& fired : Fired())
            if (fired.Event == Event)
                return true;
        return false;
    }
    // Events whose name starts with Prefix.
    std::size_t Count(const std::string& Prefix) const
    {
        std::size_t n = 0;
        for (const TFired& fired : Fired())
            n += fired.Event.rfind(Prefix, 0) == 0 ? 1 : 0;
        return n;
    }
    void Clear()
    {
        std::lock_guard guard(FLock);
        FFired.clear();
    }

private:
    mutable std::mutex FLock;
    std::vector<TFired> FFired;
};

// The message of the exception Action raises, or "(no error)".
inline std::string ErrorOf(const std::function<void()>& Action)
{
    try {
        Action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no error)";
}

} // namespace porttest
