// Inside the comm platform: the objects behind HANDLE values. Every handle of this layer (event,
// mutex, thread, comm device) is an entry of one process-wide table. A lookup hands out shared
// ownership, so an object stays alive while an operation on it is running even if another thread
// closes the handle meanwhile.
#pragma once

#include <memory>

#include "AfWinTypes.h"

class AfHandleObject {
public:
    virtual ~AfHandleObject() = default;
    // Called once by CloseHandle after the handle was removed from the table; the object itself
    // lives on until the last running operation drops it.
    virtual void Closed() {}
};

// Registers an object and returns its new handle (never null, never INVALID_HANDLE_VALUE).
HANDLE AfNewHandle(std::shared_ptr<AfHandleObject> object);

// The object of a handle, or null when the handle is not (or no longer) valid.
std::shared_ptr<AfHandleObject> AfLookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> AfLookup(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(AfLookupHandle(handle));
}
