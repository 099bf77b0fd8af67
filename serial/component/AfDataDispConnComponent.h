/// \file
/// The base of the connections that feed a data dispatcher (AfDataDispatcher.h): the link to the
/// dispatcher, set by the dispatcher only, and the guard that keeps the link in use while the
/// connection's receiving thread hands a block over it.
#pragma once

#include <cstdint>
#include <mutex>

#include <vexora/serial/AfComponent.h>
#include <vexora/serial/AfExport.h>
#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial {

class TAfDataDispatcher;

/// A connection that can feed a dispatcher. The link is set and cleared by the dispatcher only
/// (TAfDataDispatcher::SetConnComponent); destroying the connection unlinks it.
class VEXORA_SERIAL_API TAfDataDispConnComponent : public TComponent {
public:
    /// A connection without a dispatcher.
    explicit TAfDataDispConnComponent(TComponent* AOwner);
    /// Unlinks the dispatcher, which runs its PortClosed, once the receiving thread has stopped
    /// using the link. User-interface thread.
    ~TAfDataDispConnComponent() override;

    /// The linked dispatcher, or null. Any thread.
    TAfDataDispatcher* Dispatcher() const;

    /// Sends Count bytes over the connection, all of them or none (then raising).
    virtual void SendData(const void* Buffer, std::int32_t Count) = 0;
    /// The base version tells the linked dispatcher that the connection is closing (PortClosed).
    /// User-interface thread.
    virtual void ClosePort();
    /// The base version tells the linked dispatcher that the connection has opened (PortOpened).
    /// User-interface thread.
    virtual void OpenPort();

protected:
    /// The linked dispatcher, held for the connection's receiving thread while it hands over a
    /// block or a drained output: a link change waits until every such use has ended. Hold one
    /// only for the hand-over, on the receiving thread; uses may nest.
    class TDispatcherUse {
    public:
        /// Takes the link as it is now (null when unlinked) and marks it in use.
        explicit TDispatcherUse(TAfDataDispConnComponent& Connection);
        /// Ends the use; a link change that waits for it may go on.
        ~TDispatcherUse();
        TDispatcherUse(const TDispatcherUse&) = delete;
        TDispatcherUse& operator=(const TDispatcherUse&) = delete;
        /// The dispatcher taken at the start of the use, or null.
        TAfDataDispatcher* Dispatcher() const { return FDispatcher; }

    private:
        TAfDataDispConnComponent& FConnection;
        TAfDataDispatcher* FDispatcher;
        const TAfDataDispConnComponent* FOuter;
    };

private:
    friend class TAfDataDispatcher;
    // Sets the link. Unless it is the thread that uses the link, waits until the receiving
    // thread has stopped using the old one, serving notifications meanwhile.
    void SetDispatcherLink(TAfDataDispatcher* Value);

    mutable std::mutex FLinkLock; // FDispatcher and FLinkUsers
    TAfDataDispatcher* FDispatcher = nullptr;
    int FLinkUsers = 0;
    platform::HANDLE FLinkIdle; // manual reset; set while FLinkUsers is 0
};

} // namespace vexora::serial
