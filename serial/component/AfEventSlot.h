/// \file
/// A published event of a component: one handler, assigned on the user-interface thread while a
/// worker thread may be looking at it or firing it.
///
///     port.OnDataRecived = [&](TObject* Sender, std::int32_t Count) { ... };
///     port.OnDataRecived = nullptr; // no handler
///
/// Firing takes a copy of the handler under the slot's lock and calls it outside the lock, so a
/// handler may reassign its own event, and a call that has started ends with the handler it
/// started with.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

namespace vexora::serial {

/// One event handler of type THandler (a std::function), safe to assign, test and fire from any
/// thread. Each member takes the slot's lock for a moment; assigning allocates the shared copy of
/// the handler, firing allocates nothing. Raises only what the handler raises (and
/// std::bad_alloc).
template <typename THandler> class TAfEventSlot {
public:
    /// No handler.
    TAfEventSlot() = default;
    TAfEventSlot(const TAfEventSlot&) = delete;
    TAfEventSlot& operator=(const TAfEventSlot&) = delete;

    /// Assigns the handler; an empty handler clears the event. A call in progress ends with the
    /// handler it started with.
    TAfEventSlot& operator=(THandler Handler)
    {
        std::shared_ptr<const THandler> next;
        if (Handler)
            next = std::make_shared<const THandler>(std::move(Handler));
        std::lock_guard guard(FLock);
        FHandler.swap(next);
        return *this;
    }
    /// Clears the event.
    TAfEventSlot& operator=(std::nullptr_t) { return *this = THandler(); }

    /// Whether a handler is assigned.
    bool Assigned() const
    {
        std::lock_guard guard(FLock);
        return FHandler != nullptr;
    }
    /// Assigned().
    explicit operator bool() const { return Assigned(); }

    /// The handler for one call, or null; it stays valid for that call whatever is assigned
    /// meanwhile.
    std::shared_ptr<const THandler> Get() const
    {
        std::lock_guard guard(FLock);
        return FHandler;
    }

    /// Calls the handler, on the calling thread, when one is assigned; whether one was.
    template <typename... TArgs> bool operator()(TArgs&&... Args) const
    {
        const std::shared_ptr<const THandler> handler = Get();
        if (!handler)
            return false;
        (*handler)(std::forward<TArgs>(Args)...);
        return true;
    }

private:
    mutable std::mutex FLock;
    std::shared_ptr<const THandler> FHandler;
};

} // namespace vexora::serial
