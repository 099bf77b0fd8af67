#include <vexora/serial/AfDataDispatcher.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial {

using namespace platform;

namespace {

constexpr DWORD kListenerWaitMs = 2000;
constexpr std::uint8_t kServedKinds = 3; // dkData, dkOutputEmpty, dkNotify

} // namespace

// ---- TAfDataDispatcherListener -----------------------------------------------------------------

TAfDataDispatcherListener::~TAfDataDispatcherListener()
{
    if (FListened)
        FListened->UnregisterListener(this);
}

// ---- TAfDataDispatcher -------------------------------------------------------------------------

TAfDataDispatcher::TAfDataDispatcher(TComponent* AOwner, std::int32_t BufferSize)
    : TComponent(AOwner), FBufferSize(std::max<std::int32_t>(BufferSize, 1)), FDataBuffer(FBufferSize)
{
    // Raises on a thread other than the user-interface thread or when the channel is full.
    FSyncId = RegisterOwnerReceiver([this] { SyncCallback(); });
    EnableReceiver(FSyncId, true);
}

TAfDataDispatcher::~TAfDataDispatcher()
{
    Destroying();
    SetConnComponent(nullptr);
    ReleaseOutputSource();
    std::vector<TAfDataDispatcherListener*> listeners;
    {
        std::lock_guard guard(FLock);
        listeners.swap(FListeners);
    }
    for (TAfDataDispatcherListener* listener : listeners)
        if (listener)
            listener->FListened = nullptr;
    UnregisterReceiver(FSyncId);
}

void TAfDataDispatcher::SetConnComponent(TAfDataDispConnComponent* Component)
{
    if (Component == FConnComponent)
        return;
    PortClosed();
    if (FConnComponent)
        FConnComponent->SetDispatcherLink(nullptr);
    FConnComponent = nullptr;
    if (Component) {
        // One dispatcher per connection: the other one lets go first, so that it does not keep
        // pointing at a connection that no longer feeds it.
        if (TAfDataDispatcher* other = Component->Dispatcher(); other && other != this)
            other->SetConnComponent(nullptr);
        Component->SetDispatcherLink(this);
    }
    FConnComponent = Component;
}

void TAfDataDispatcher::RegisterListener(TAfDataDispatcherListener* Listener)
{
    if (!Listener || Listener->FListened == this)
        return;
    if (Listener->FListened)
        Listener->FListened->UnregisterListener(Listener);
    std::lock_guard guard(FLock);
    FListeners.push_back(Listener);
    Listener->FListened = this;
}

void TAfDataDispatcher::UnregisterListener(TAfDataDispatcherListener* Listener)
{
    if (!Listener || Listener->FListened != this)
        return;
    std::lock_guard guard(FLock);
    Listener->FListened = nullptr;
    const auto found = std::find(FListeners.begin(), FListeners.end(), Listener);
    if (found == FListeners.end())
        return;
    // A running loop counts on the slots staying where they are.
    if (FDispatching) {
        *found = nullptr;
        FPackNeeded = true;
    } else {
        FListeners.erase(found);
    }
}

int TAfDataDispatcher::ListenerCount() const
{
    std::lock_guard guard(FLock);
    return static_cast<int>(std::count_if(FListeners.begin(), FListeners.end(),
                                          [](const TAfDataDispatcherListener* l) { return l != nullptr; }));
}

std::int32_t TAfDataDispatcher::DataCount() const
{
    std::lock_guard guard(FLock);
    return FDataBuffer.UsedCount() - ReadOffset();
}

std::int32_t TAfDataDispatcher::ReadOffset() const
{
    return FServingData ? std::min(FReadCursor, FDataBuffer.UsedCount()) : 0;
}

std::int32_t TAfDataDispatcher::CopyStored(std::int32_t Offset, void* Buffer, std::int32_t Count) const
{
    if (!Buffer || Count <= 0)
        return 0;
    const std::int32_t n = std::min(Count, FDataBuffer.UsedCount() - Offset);
    if (n <= 0)
        return 0;
    const std::int32_t size = FDataBuffer.Size();
    const std::int32_t start = (FDataBuffer.ReadPos() + Offset) % size;
    const std::int32_t first = std::min(n, size - start);
    // The ring's block starts ReadPos bytes before its oldest byte.
    const std::uint8_t* block = FDataBuffer.ReadPointer() - FDataBuffer.ReadPos();
    auto* out = static_cast<std::uint8_t*>(Buffer);
    std::memcpy(out, block + start, static_cast<std::size_t>(first));
    std::memcpy(out + first, block, static_cast<std::size_t>(n - first));
    return n;
}

std::int32_t TAfDataDispatcher::PeekData(void* Buffer, std::int32_t Count) const
{
    std::lock_guard guard(FLock);
    return CopyStored(ReadOffset(), Buffer, Count);
}

std::int32_t TAfDataDispatcher::ReadData(void* Buffer, std::int32_t Count)
{
    std::lock_guard guard(FLock);
    const std::int32_t n = CopyStored(ReadOffset(), Buffer, Count);
    if (!FServingData) {
        FDataBuffer.Remove(n);
        return n;
    }
    FReadCursor = ReadOffset() + n;
    if (FReadCursor > FRemoveCount)
        FRemoveCount = FReadCursor;
    return n;
}

std::uint32_t TAfDataDispatcher::TotalWritten() const
{
    std::lock_guard guard(FLock);
    return FTotalWritten;
}

void TAfDataDispatcher::SendData(const void* Buffer, std::int32_t Count)
{
    if (!FConnComponent)
        throw EAfDispatcherError("No connection to send through");
    FConnComponent->SendData(Buffer, Count);
}

void TAfDataDispatcher::SetOutputSource(TAfDataDispatcherOutputSource* Source, bool Owned)
{
    ReleaseOutputSource();
    if (!Source)
        return;
    FOutputSource = Source;
    FOutputSourceOwned = Owned;
    FOutputSourceHeld = true;
    try {
        FeedOutputSource();
    } catch (...) {
        ReleaseOutputSource();
        throw;
    }
}

void TAfDataDispatcher::ReleaseOutputSource()
{
    if (!FOutputSourceHeld)
        return;
    FOutputSourceHeld = false;
    TAfDataDispatcherOutputSource* source = std::exchange(FOutputSource, nullptr);
    if (FOutputSourceOwned)
        delete source;
}

void TAfDataDispatcher::SetOutputBlockSize(std::int32_t Value)
{
    FOutputBlockSize = std::max<std::int32_t>(Value, 1);
}

void TAfDataDispatcher::FeedOutputSource()
{
    if (!FOutputSourceHeld)
        return;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(FOutputBlockSize));
    const std::int32_t n = FOutputSource->ReadOutput(block.data(), FOutputBlockSize);
    if (n <= 0) {
        ReleaseOutputSource();
        return;
    }
    SendData(block.data(), std::min(n, FOutputBlockSize));
}

void TAfDataDispatcher::NotifyListeners()
{
    ScheduleKind(dkNotify);
}

void TAfDataDispatcher::PortOpened()
{
    OnPortOpen(this);
}

void TAfDataDispatcher::PortClosed()
{
    FRunning = false;
    // The loop stops after the reader being served, and its thread need not wait for that
    // reader's end: the reader may be the one closing, and the close waits for that thread.
    ReleaseSenders(FSyncId);
    ReleaseOutputSource();
    if (!IsDestroying())
        OnPortClose(this);
}

void TAfDataDispatcher::WriteToBuffer(const void* Buffer, std::int32_t Count)
{
    if (Count <= 0)
        return;
    bool stored = false;
    {
        std::lock_guard guard(FLock);
        stored = FDataBuffer.Write(Buffer, Count);
        if (stored)
            FTotalWritten += static_cast<std::uint32_t>(Count);
    }
    if (!stored)
        throw EAfDispatcherError("Error writing to dispatcher buffer");
    ScheduleKind(dkData);
}

void TAfDataDispatcher::SignalOutputEmpty()
{
    // The loop runs outside the lock: a reader on the user-interface thread takes it.
    ScheduleKind(dkOutputEmpty);
}

void TAfDataDispatcher::ScheduleKind(std::uint8_t Kind)
{
    if (Kind <= 7) {
        std::lock_guard guard(FLock);
        FPending = static_cast<std::uint8_t>(FPending | (1u << Kind));
    }
    DispatchPending();
}

bool TAfDataDispatcher::HasPending() const
{
    std::lock_guard guard(FLock);
    return FPending != 0;
}

void TAfDataDispatcher::EndLoop()
{
    std::lock_guard guard(FLock);
    if (FPackNeeded)
        std::erase(FListeners, nullptr);
    FPackNeeded = false;
    FDispatching = false;
}

void TAfDataDispatcher::DispatchPending()
{
    while (!FDispatching.exchange(true)) {
        bool finished = false;
        {
            // Every way out, the silent abort included, ends the loop, so that later kinds are
            // dispatched again.
            struct TLoopEnd {
                TAfDataDispatcher& Dispatcher;
                ~TLoopEnd() { Dispatcher.EndLoop(); }
            } loopEnd{*this};
            finished = RunPasses();
        }
        // A kind scheduled by another thread after the last pass found the loop still running
        // and left it to this one.
        if (!finished || !HasPending())
            return;
    }
}

bool TAfDataDispatcher::RunPasses()
{
    FRunning = true;
    std::uint8_t pass = 0;
    {
        std::lock_guard guard(FLock);
        pass = FPending;
    }
    while (pass != 0) {
        for (std::uint8_t kind = 0; kind < kServedKinds; ++kind)
            if ((pass & (1u << kind)) != 0 && !ServeSweep(kind))
                return false;
        std::lock_guard guard(FLock);
        FPending = static_cast<std::uint8_t>(FPending & ~pass);
        pass = FPending;
    }
    return true;
}

bool TAfDataDispatcher::ServeSweep(std::uint8_t Kind)
{
    FRemoveCount = 0;
    FCurrentKind = Kind;
    int count = 0;
    {
        std::lock_guard guard(FLock);
        count = static_cast<int>(FListeners.size());
    }
    for (int index = -1; index < count; ++index) {
        if (index < 0 && !OwnEventWanted(Kind))
            continue;
        if (index >= 0) {
            std::lock_guard guard(FLock);
            if (!ListenerAt(index))
                continue;
        }
        FCurrentIndex = index;
        if (!NotifyReceiver(FSyncId, kListenerWaitMs))
            throw EAbort();
        if (!FRunning)
            return false;
    }
    std::lock_guard guard(FLock);
    FDataBuffer.Remove(FRemoveCount);
    return true;
}

bool TAfDataDispatcher::OwnEventWanted(std::uint8_t Kind) const
{
    switch (Kind) {
    case dkData:
        return OnData.Assigned();
    case dkOutputEmpty:
        return OnOutputEmpty.Assigned() || FOutputSourceHeld;
    default:
        return false;
    }
}

TAfDataDispatcherListener* TAfDataDispatcher::ListenerAt(int Index) const
{
    if (Index < 0 || Index >= static_cast<int>(FListeners.size()))
        return nullptr;
    return FListeners[static_cast<std::size_t>(Index)];
}

void TAfDataDispatcher::SyncCallback()
{
    // A reader may destroy the dispatcher; nothing of it is touched after the reader then.
    const std::weak_ptr<const bool> alive = Alive();
    const std::uint8_t kind = FCurrentKind;
    const int index = FCurrentIndex;
    TAfDataDispatcherListener* listener = nullptr;
    if (index >= 0) {
        std::lock_guard guard(FLock);
        listener = ListenerAt(index);
        if (!listener)
            return;
    }
    // Each reader of a data round starts at the round's first byte.
    bool outerServing = false;
    std::int32_t outerCursor = 0;
    {
        std::lock_guard guard(FLock);
        outerServing = std::exchange(FServingData, kind == dkData);
        outerCursor = std::exchange(FReadCursor, 0);
    }
    struct TRestore {
        TAfDataDispatcher& Dispatcher;
        const std::weak_ptr<const bool>& Alive;
        bool Serving;
        std::int32_t Cursor;
        ~TRestore()
        {
            if (Alive.expired())
                return;
            std::lock_guard guard(Dispatcher.FLock);
            Dispatcher.FServingData = Serving;
            Dispatcher.FReadCursor = Cursor;
        }
    } restore{*this, alive, outerServing, outerCursor};

    if (!listener) {
        ServeOwnEvent(kind);
        return;
    }
    switch (kind) {
    case dkData:
        listener->DispatcherData(*this);
        break;
    case dkOutputEmpty:
        listener->DispatcherOutputEmpty(*this);
        break;
    case dkNotify:
        listener->DispatcherNotify(*this);
        break;
    default:
        break;
    }
}

void TAfDataDispatcher::ServeOwnEvent(std::uint8_t Kind)
{
    if (Kind == dkData) {
        OnData(this);
    } else if (Kind == dkOutputEmpty) {
        FeedOutputSource();
        OnOutputEmpty(this);
    }
}

} // namespace vexora::serial
