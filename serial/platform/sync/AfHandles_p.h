// Inside the comm platform: the objects behind HANDLE values. Every handle of this layer (event,
// mutex, thread, comm device) is an entry of one process-wide table. A lookup hands out shared
// ownership, so an object stays alive while an operation on it is running even if another thread
// closes the handle meanwhile.
#pragma once

#include <memory>

#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial::platform {

// What an object behind a handle is, as bits: a lookup for a type checks its bit instead of
// casting dynamically.
enum AfHandleKind : unsigned {
    kAfWaitable = 1u << 0,
    kAfEvent = 1u << 1,
    kAfMutex = 1u << 2,
    kAfThread = 1u << 3,
    kAfCommDevice = 1u << 4,
};

class AfHandleObject {
public:
    explicit AfHandleObject(unsigned kinds) : kinds_(kinds) {}
    virtual ~AfHandleObject() = default;
    unsigned Kinds() const { return kinds_; }
    // Called once by CloseHandle after the handle was removed from the table; the object itself
    // lives on until the last running operation drops it.
    virtual void Closed() {}

private:
    const unsigned kinds_;
};

// Registers an object and returns its new handle (never null, never INVALID_HANDLE_VALUE).
HANDLE AfNewHandle(std::shared_ptr<AfHandleObject> object);

// The object of a handle, or null when the handle is not (or no longer) valid.
std::shared_ptr<AfHandleObject> AfLookupHandle(HANDLE handle);

// The object of a handle if it is a T (whose kKind names its bit), else null.
template <class T> std::shared_ptr<T> AfLookup(HANDLE handle)
{
    std::shared_ptr<AfHandleObject> object = AfLookupHandle(handle);
    if (!object || (object->Kinds() & T::kKind) == 0)
        return nullptr;
    return std::static_pointer_cast<T>(std::move(object));
}

} // namespace vexora::serial::platform
