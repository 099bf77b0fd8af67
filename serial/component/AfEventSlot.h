// A published event of a component: one handler, assigned on the user-interface thread while a
// worker thread may be looking at it or firing it.
//
//     port.OnDataRecived = [&](TObject* Sender, std::int32_t Count) { ... };
//     port.OnDataRecived = nullptr; // no handler
//
// Firing takes a copy of the handler under the slot's lock and calls it outside the lock, so a
// handler may reassign its own event, and a call that has started ends with the handler it
// started with.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

template <typename THandler> class TAfEventSlot {
public:
    TAfEventSlot() = default;
    TAfEventSlot(const TAfEventSlot&) = delete;
    TAfEventSlot& operator=(const TAfEventSlot&) = delete;

    // An empty handler clears the event.
    TAfEventSlot& operator=(THandler Handler)
    {
        std::shared_ptr<const THandler> next;
        if (Handler)
            next = std::make_shared<const THandler>(std::move(Handler));
        std::lock_guard guard(FLock);
        FHandler.swap(next);
        return *this;
    }
    TAfEventSlot& operator=(std::nullptr_t) { return *this = THandler(); }

    bool Assigned() const
    {
        std::lock_guard guard(FLock);
        return FHandler != nullptr;
    }
    explicit operator bool() const { return Assigned(); }

    // The handler for one call, or null.
    std::shared_ptr<const THandler> Get() const
    {
        std::lock_guard guard(FLock);
        return FHandler;
    }

    // Calls the handler when one is assigned; whether one was.
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
