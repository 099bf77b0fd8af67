// Re-entrant critical sections, kept inside CRITICAL_SECTION's opaque storage.
#include <chrono>
#include <mutex>
#include <new>

#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial::platform {

namespace {

using Lock = std::recursive_timed_mutex;

static_assert(sizeof(Lock) <= sizeof(CRITICAL_SECTION::Opaque), "the lock must fit the opaque storage");
static_assert(alignof(Lock) <= alignof(CRITICAL_SECTION), "the opaque storage must be aligned for the lock");

Lock& LockOf(CRITICAL_SECTION* section)
{
    return *std::launder(reinterpret_cast<Lock*>(section->Opaque));
}

} // namespace

void InitializeCriticalSection(CRITICAL_SECTION* section)
{
    ::new (static_cast<void*>(section->Opaque)) Lock;
}

void DeleteCriticalSection(CRITICAL_SECTION* section)
{
    LockOf(section).~Lock();
}

void EnterCriticalSection(CRITICAL_SECTION* section)
{
    LockOf(section).lock();
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* section)
{
    return LockOf(section).try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* section)
{
    LockOf(section).unlock();
}

BOOL AfEnterCriticalSectionWithin(CRITICAL_SECTION* section, DWORD milliseconds)
{
    // Against the system clock, whose timed lock race checkers know; a clock step only changes
    // how long this one attempt lasts.
    const auto until = std::chrono::system_clock::now() + std::chrono::milliseconds(milliseconds);
    return LockOf(section).try_lock_until(until) ? TRUE : FALSE;
}

} // namespace vexora::serial::platform
