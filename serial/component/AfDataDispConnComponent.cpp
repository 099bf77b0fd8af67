// The connection side of the dispatcher link: the component that a dispatcher serves, and the
// guard that keeps the link in use while a thread passes something over it.
#include <vexora/serial/AfDataDispConnComponent.h>

#include <mutex>

#include <vexora/serial/AfDataDispatcher.h>
#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/AfUtils.h>
#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial {

using namespace platform;

namespace {

// The connection whose dispatcher link the calling thread is using, if any.
thread_local const TAfDataDispConnComponent* t_linkUser = nullptr;

} // namespace

TAfDataDispConnComponent::TAfDataDispConnComponent(TComponent* AOwner)
    : TComponent(AOwner), FLinkIdle(CreateEventA(nullptr, TRUE, TRUE, nullptr))
{
}

TAfDataDispConnComponent::~TAfDataDispConnComponent()
{
    Destroying();
    if (TAfDataDispatcher* dispatcher = Dispatcher())
        dispatcher->SetConnComponent(nullptr);
    DisposeHandle(FLinkIdle);
}

TAfDataDispatcher* TAfDataDispConnComponent::Dispatcher() const
{
    std::lock_guard guard(FLinkLock);
    return FDispatcher;
}

void TAfDataDispConnComponent::ClosePort()
{
    if (TAfDataDispatcher* dispatcher = Dispatcher())
        dispatcher->PortClosed();
}

void TAfDataDispConnComponent::OpenPort()
{
    if (TAfDataDispatcher* dispatcher = Dispatcher())
        dispatcher->PortOpened();
}

void TAfDataDispConnComponent::SetDispatcherLink(TAfDataDispatcher* Value)
{
    {
        std::lock_guard guard(FLinkLock);
        FDispatcher = Value;
        // The receiving thread itself (a handler of its own) cannot wait for its own use to end;
        // it is the only thread that uses the link.
        if (FLinkUsers == 0 || t_linkUser == this)
            return;
    }
    SafeSyncWaitFor(FLinkIdle, INFINITE);
}

TAfDataDispConnComponent::TDispatcherUse::TDispatcherUse(TAfDataDispConnComponent& Connection)
    : FConnection(Connection), FOuter(t_linkUser)
{
    std::lock_guard guard(FConnection.FLinkLock);
    FDispatcher = FConnection.FDispatcher;
    if (FConnection.FLinkUsers++ == 0)
        ResetEvent(FConnection.FLinkIdle);
    t_linkUser = &FConnection;
}

TAfDataDispConnComponent::TDispatcherUse::~TDispatcherUse()
{
    t_linkUser = FOuter;
    std::lock_guard guard(FConnection.FLinkLock);
    if (--FConnection.FLinkUsers == 0)
        SetEvent(FConnection.FLinkIdle);
}

} // namespace vexora::serial
