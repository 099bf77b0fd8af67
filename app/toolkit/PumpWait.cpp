#include "PumpWait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdint>

#include <chrono>
#include <thread>

namespace {

TTickSource& Source()
{
    static TTickSource source;
    return source;
}

uint32_t SystemTicks()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// Sleeps in the event loop until an event arrives or `ms` milliseconds pass, and processes what
// arrived. The timer only wakes the loop; it does nothing itself.
void WaitForEvents(QTimer& wake, uint32_t ms)
{
    if (QAbstractEventDispatcher::instance() == nullptr) {
        // No event loop on this thread: nothing to process, so just sleep.
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    wake.start(static_cast<int>(std::min<uint32_t>(ms, INT32_MAX)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    wake.stop();
}

} // namespace

uint32_t TickCount()
{
    return Source() ? Source()() : SystemTicks();
}

TTickSource SetTickSource(TTickSource source)
{
    TTickSource previous = std::move(Source());
    Source() = std::move(source);
    return previous;
}

void PumpWait(uint32_t ms)
{
    const uint32_t start = TickCount();
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    for (;;) {
        const uint32_t elapsed = TickCount() - start; // modulo 2^32: survives the wrap
        if (elapsed > ms) {
            return;
        }
        // Wake one tick after the deadline, so the reading then is past it.
        WaitForEvents(wake, ms - elapsed + 1);
    }
}

bool PumpUntil(const std::function<bool()>& done, uint32_t pollMs, uint32_t timeoutMs)
{
    const uint32_t start = TickCount();
    QTimer wake;
    wake.setSingleShot(true);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    for (;;) {
        if (done()) {
            return true;
        }
        uint32_t wait = std::max<uint32_t>(pollMs, 1);
        if (timeoutMs != 0) {
            const uint32_t elapsed = TickCount() - start;
            if (elapsed > timeoutMs) {
                return false;
            }
            wait = std::min(wait, timeoutMs - elapsed + 1);
        }
        WaitForEvents(wake, wait);
    }
}
