// The driver's callers' side: the operations of the comm API on one open handle, and the waits
// that watch the device. How bytes move between the device and the queues is in AfCommDriverIo.cpp.
#include <vexora/serial/platform/AfWin.h>

#include "comm/AfCommDriver_p.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace vexora::serial::platform {

namespace {

constexpr std::size_t kMaxRememberedResults = 64;
constexpr std::size_t kScratchSize = 16384;
constexpr DWORD kPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Writes the state of an operation into the caller's record: STATUS_PENDING while it runs, else
// its result and byte count. Internal goes last and atomically, so that a thread that finds it
// no longer pending (HasOverlappedIoCompleted) also finds the count.
void Record(OVERLAPPED* record, DWORD error, DWORD bytes)
{
    record->InternalHigh = error == ERROR_IO_PENDING ? 0 : bytes;
    std::atomic_ref(record->Internal)
        .store(error == ERROR_IO_PENDING ? STATUS_PENDING : error, std::memory_order_release);
}

} // namespace

DWORD AfCheckDcb(const DCB& dcb)
{
    if (dcb.BaudRate == 0)
        return ERROR_INVALID_PARAMETER;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
        return ERROR_INVALID_PARAMETER;
    if (dcb.Parity > SPACEPARITY)
        return ERROR_INVALID_PARAMETER;
    if (dcb.StopBits > TWOSTOPBITS)
        return ERROR_INVALID_PARAMETER;
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5)
        return ERROR_INVALID_PARAMETER;
    if (dcb.XonChar == dcb.XoffChar)
        return ERROR_INVALID_PARAMETER; // with or without XON/XOFF flow control
    if (dcb.fRtsControl == RTS_CONTROL_TOGGLE)
        return ERROR_NOT_SUPPORTED;
    return ERROR_SUCCESS;
}

DWORD AfCheckTimeouts(const COMMTIMEOUTS& timeouts)
{
    if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
        timeouts.ReadTotalTimeoutConstant == MAXDWORD)
        return ERROR_INVALID_PARAMETER;
    const bool readsAtOnce = timeouts.ReadIntervalTimeout == MAXDWORD &&
                             timeouts.ReadTotalTimeoutMultiplier == 0 &&
                             timeouts.ReadTotalTimeoutConstant == 0;
    const bool writesUnlimited =
        timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0;
    return readsAtOnce && writesUnlimited ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
}

AfCommDriver::AfCommDriver(std::unique_ptr<AfCommBackend> backend, bool overlapped)
    : AfHandleObject(kAfCommDevice), backend_(std::move(backend)), overlapped_(overlapped),
      in_(kDefaultInQueue), scratch_(kScratchSize)
{
    dcb_.DCBlength = sizeof(DCB);
    dcb_.fBinary = 1;
    dcb_.fDtrControl = DTR_CONTROL_ENABLE;
    dcb_.fRtsControl = RTS_CONTROL_ENABLE;
    dcb_.XonChar = 0x11;
    dcb_.XoffChar = 0x13;
    dcb_.ByteSize = 8;
}

AfCommDriver::~AfCommDriver()
{
    Closed();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

DWORD AfCommDriver::Start()
{
    Lock lock(lock_);
    backend_->GetState(dcb_);
    backend_->FlushInput();
    statusKnown_ = backend_->GetLineStatus(status_);
    statusPollMs_ = statusKnown_ ? backend_->LineStatusPollMs() : 0;
    direct_ = !statusKnown_ && backend_->NotifyFd() < 0 && backend_->DataFd() >= 0;
    // Without an I/O thread from the start, one comes only for the first write that the device
    // cannot take at once.
    if (direct_ || StartThread())
        return ERROR_SUCCESS;
    return ERROR_NOT_ENOUGH_MEMORY;
}

void AfCommDriver::Closed()
{
    {
        Lock lock(lock_);
        if (closed_)
            return;
        closed_ = true;
        written_.wait(lock, [this] { return !writing_; });
        EndAll(ERROR_OPERATION_ABORTED);
        // What the device still holds belongs to writes ended just now: dropped, so that the
        // device's close does not wait for a line that may never take it.
        if (backend_ && !gone_ && backend_->OutputQueued() > 0)
            backend_->FlushOutput();
        if (started_)
            Wake();
    }
    if (thread_.joinable())
        thread_.join();
    // A caller's thread may still be reading the device.
    std::lock_guard pump(pump_);
    Lock lock(lock_);
    backend_.reset();
}

// ---- callers' side ------------------------------------------------------------------------

DWORD AfCommDriver::Usable() const
{
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (gone_)
        return AF_ERROR_DEVICE_GONE;
    return ERROR_SUCCESS;
}

DWORD AfCommDriver::SetTimeouts(const COMMTIMEOUTS& timeouts)
{
    Lock lock(lock_);
    if (DWORD error = AfCheckTimeouts(timeouts))
        return error;
    if (DWORD error = Usable())
        return error;
    timeouts_ = timeouts;
    return ERROR_SUCCESS;
}

DWORD AfCommDriver::GetTimeouts(COMMTIMEOUTS& timeouts)
{
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    timeouts = timeouts_;
    return ERROR_SUCCESS;
}

DWORD AfCommDriver::Setup(DWORD inQueue, DWORD outQueue)
{
    if (inQueue == 0 || inQueue > kMaxQueue || outQueue > kMaxQueue)
        return ERROR_INVALID_PARAMETER;
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    if (inQueue == in_.size())
        return ERROR_SUCCESS;
    // A device read in flight was sized for the old queue; once it is in, its bytes fit.
    readDone_.wait(lock, [this] { return !reading_; });
    std::vector<BYTE> queue(inQueue);
    const std::size_t keep = std::min<std::size_t>(inCount_, inQueue);
    if (keep < inCount_)
        errors_ |= CE_RXOVER;
    for (std::size_t i = 0; i < keep; ++i)
        queue[i] = in_[(inHead_ + i) % in_.size()];
    in_.swap(queue);
    inHead_ = 0;
    inCount_ = keep;
    InputTaken();
    UpdateInputFlow();
    return ERROR_SUCCESS;
}

DWORD AfCommDriver::SetMask(DWORD mask)
{
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    mask_ = mask;
    history_ = 0;
    if (wait_) {
        auto found = operations_.find(wait_);
        *found->second.mask = 0;
        Complete(wait_, found->second, ERROR_SUCCESS);
    }
    return ERROR_SUCCESS;
}

DWORD AfCommDriver::GetMask(DWORD& mask)
{
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    mask = mask_;
    return ERROR_SUCCESS;
}

DWORD AfCommDriver::SetState(const DCB& wanted)
{
    if (DWORD error = AfCheckDcb(wanted))
        return error;
    // A UART asked for two stop bits after five data bits sends one and a half.
    DCB dcb = wanted;
    if (dcb.ByteSize == 5 && dcb.StopBits == TWOSTOPBITS)
        dcb.StopBits = ONE5STOPBITS;
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    if (DWORD error = backend_->SetState(dcb))
        return error;
    DWORD on = 0;
    DWORD off = 0;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        on |= AF_LINE_DTR;
    else if (dcb.fDtrControl == DTR_CONTROL_DISABLE)
        off |= AF_LINE_DTR;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE)
        on |= AF_LINE_RTS;
    else if (dcb.fRtsControl == RTS_CONTROL_DISABLE)
        off |= AF_LINE_RTS;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && (dcb_.fDtrControl != DTR_CONTROL_HANDSHAKE || !dtrHeld_))
        on |= AF_LINE_DTR; // the handshake starts with DTR up; UpdateInputFlow drops it if due
    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
        dtrHeld_ = false;
    dcb_ = dcb;
    dcb_.DCBlength = sizeof(DCB);
    if (DWORD error = backend_->SetLines(on, off))
        return error;
    UpdateInputFlow();
    // Output held for DSR may go now, or output may have to wait for it from now on.
    if (!writes_.empty())
        Wake();
    return ERROR_SUCCESS;
}

DWORD AfCommDriver::GetState(DCB& dcb)
{
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    DCB state = dcb_;
    if (DWORD error = backend_->GetState(state))
        return error;
    dcb = state;
    return ERROR_SUCCESS;
}

AfCommDriver::Operation* AfCommDriver::Begin(OVERLAPPED* key, Operation operation, DWORD& error,
                                             bool resetEvent)
{
    auto found = operations_.find(key);
    if (found != operations_.end() && !found->second.done) {
        error = ERROR_INVALID_PARAMETER; // the record still belongs to an unfinished operation
        return nullptr;
    }
    // A record used again with the same event keeps the event's object: no look-up.
    if (operation.event && found != operations_.end() && found->second.event == operation.event &&
        found->second.eventObject && !found->second.eventObject->IsClosed())
        operation.eventObject = std::move(found->second.eventObject);
    else if (operation.event)
        operation.eventObject = AfLookupEvent(operation.event);
    Prune();
    if (operation.eventObject && resetEvent)
        operation.eventObject->Reset();
    Record(key, ERROR_IO_PENDING, 0);
    Operation& slot = operations_[key];
    slot = std::move(operation);
    error = ERROR_SUCCESS;
    return &slot;
}

void AfCommDriver::Prune()
{
    if (operations_.size() < kMaxRememberedResults)
        return;
    std::erase_if(operations_,
                  [](const auto& entry) { return entry.second.done && !entry.second.synchronous; });
}

void AfCommDriver::Complete(OVERLAPPED* key, Operation& operation, DWORD error)
{
    operation.done = true;
    operation.error = error;
    // A wait that ends with events (or with none, for a new mask) hands over its mask variable.
    if (operation.kind == Kind::Wait)
        operation.bytes = error == ERROR_SUCCESS ? sizeof(DWORD) : 0;
    Record(key, error, operation.bytes);
    if (key == wait_)
        wait_ = nullptr;
    if (operation.eventObject) {
        if (direct_ && operation.kind == Kind::Wait)
            operation.eventObject->Unwatch(this);
        operation.eventObject->Set();
    }
    for (AfParker* parker : awaiting_)
        parker->Wake();
}

void AfCommDriver::WatchWith(Operation& operation)
{
    if (direct_ && operation.kind == Kind::Wait && operation.eventObject && !operation.done)
        operation.eventObject->Watch(weak_from_this());
}

DWORD AfCommDriver::AwaitDone(Lock& lock, OVERLAPPED* key, DWORD& bytes)
{
    AfParker& parker = AfParker::Current();
    parker.Clear();
    awaiting_.push_back(&parker);
    DWORD error = ERROR_INVALID_PARAMETER;
    for (;;) {
        auto found = operations_.find(key);
        if (found == operations_.end())
            break;
        if (found->second.done) {
            bytes = found->second.bytes;
            error = found->second.error;
            break;
        }
        // Registered above, so a completion from now on wakes the sleep. Without an I/O thread
        // this thread serves the device itself while it waits.
        pollfd fds[2];
        const short events = wait_ && !inputHeld_ ? POLLIN : 0; // output is the I/O thread's
        const bool watch = direct_ && !gone_ && !closed_ && backend_ && events != 0;
        if (watch)
            fds[1] = {backend_->DataFd(), events, 0};
        lock.unlock();
        parker.Sleep(-1, watch ? fds : nullptr, watch ? 1 : 0);
        if (watch && fds[1].revents)
            Serve();
        lock.lock();
    }
    awaiting_.erase(std::find(awaiting_.begin(), awaiting_.end(), &parker));
    return error;
}

bool AfCommDriver::WatchFd(int& fd, short& events)
{
    Lock lock(lock_);
    if (!direct_ || closed_ || gone_ || !backend_)
        return false;
    fd = backend_->DataFd();
    events = wait_ && !inputHeld_ ? POLLIN : 0;
    return events != 0;
}

void AfCommDriver::Serve()
{
    PumpInput();
}

DWORD AfCommDriver::WaitEvent(DWORD* mask, OVERLAPPED* overlapped)
{
    if (!mask)
        return ERROR_INVALID_PARAMETER;
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    if (mask_ == 0 || wait_)
        return ERROR_INVALID_PARAMETER;

    OVERLAPPED local{};
    OVERLAPPED* key = Asynchronous(overlapped) ? overlapped : &local;
    Operation operation;
    operation.kind = Kind::Wait;
    operation.mask = mask;
    operation.event = Asynchronous(overlapped) ? overlapped->hEvent : nullptr;
    operation.synchronous = key == &local;
    DWORD error;
    Operation* slot = Begin(key, operation, error);
    if (!slot)
        return error;
    if (history_) {
        // Events since the last wait completed are not lost: they end this one at once.
        *mask = history_;
        history_ = 0;
        Complete(key, *slot, ERROR_SUCCESS);
    } else {
        wait_ = key;
        WatchWith(*slot);
    }
    if (key != &local)
        return slot->done ? slot->error : ERROR_IO_PENDING;
    DWORD bytes = 0;
    error = AwaitDone(lock, key, bytes);
    operations_.erase(key);
    if (overlapped)
        Record(overlapped, error, bytes); // a record given to a handle without overlapped I/O
    return error;
}

DWORD AfCommDriver::Read(void* buffer, DWORD count, DWORD& read, OVERLAPPED* overlapped)
{
    read = 0;
    if (overlapped_ && !overlapped)
        return ERROR_INVALID_PARAMETER;
    if (direct_) {
        bool empty;
        {
            Lock lock(lock_);
            empty = inCount_ == 0;
        }
        if (empty)
            PumpInput();
    }
    Lock lock(lock_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (gone_ && inCount_ == 0)
        return AF_ERROR_DEVICE_GONE;
    if (count && !buffer)
        return ERROR_INVALID_PARAMETER;
    const std::size_t take = std::min<std::size_t>(count, inCount_);
    const bool wasHeld = inputHeld_;
    auto* out = static_cast<BYTE*>(buffer);
    const std::size_t first = std::min(take, in_.size() - inHead_);
    if (take) {
        std::memcpy(out, in_.data() + inHead_, first);
        std::memcpy(out + first, in_.data(), take - first);
    }
    inHead_ = (inHead_ + take) % in_.size();
    inCount_ -= take;
    read = static_cast<DWORD>(take);
    if (take) {
        InputTaken();
        UpdateInputFlow();
    }
    if (Asynchronous(overlapped)) {
        Operation operation;
        operation.kind = Kind::Read;
        operation.event = overlapped->hEvent;
        DWORD error;
        // It ends at once: its event is only set (and already is after an earlier read).
        Operation* slot = Begin(overlapped, operation, error, false);
        if (!slot)
            return error;
        slot->bytes = read;
        Complete(overlapped, *slot, ERROR_SUCCESS);
    } else if (overlapped) {
        Record(overlapped, ERROR_SUCCESS, read);
    }
    if (direct_ && wasHeld && take) {
        // The device held bytes back for want of room, and nobody else is there to take them in.
        lock.unlock();
        PumpInput();
    }
    return ERROR_SUCCESS;
}

DWORD AfCommDriver::Write(const void* buffer, DWORD count, DWORD& written, OVERLAPPED* overlapped)
{
    written = 0;
    if ((count && !buffer) || (overlapped_ && !overlapped))
        return ERROR_INVALID_PARAMETER;
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;

    OVERLAPPED local{};
    OVERLAPPED* key = Asynchronous(overlapped) ? overlapped : &local;
    Operation operation;
    operation.kind = Kind::Write;
    operation.event = Asynchronous(overlapped) ? overlapped->hEvent : nullptr;
    operation.synchronous = key == &local;
    operation.data = static_cast<const BYTE*>(buffer);
    operation.length = count;
    DWORD error;
    Operation* slot = Begin(key, operation, error);
    if (!slot)
        return error;
    writes_.push_back(key);
    if (writes_.size() == 1)
        PumpOutput(lock); // an idle line takes what it can at once, without a trip to the I/O thread
    if (!slot->done) {
        // Output goes on while the caller does other things: the I/O thread feeds it.
        if (!StartThread())
            EndWrites(ERROR_NOT_ENOUGH_MEMORY);
        Wake();
    }

    if (key != &local) {
        written = slot->bytes;
        return slot->done ? slot->error : ERROR_IO_PENDING;
    }
    error = AwaitDone(lock, key, written);
    operations_.erase(key);
    if (overlapped)
        Record(overlapped, error, written);
    return error;
}

DWORD AfCommDriver::Result(OVERLAPPED* overlapped, DWORD& transferred, bool wait)
{
    transferred = 0;
    Lock lock(lock_);
    auto found = operations_.find(overlapped);
    if (found == operations_.end())
        return ERROR_INVALID_PARAMETER;
    if (!found->second.done && !wait) {
        if (!direct_)
            return ERROR_IO_INCOMPLETE;
        // Nobody else moves the bytes: what the device has may end the operation now.
        lock.unlock();
        Serve();
        lock.lock();
        found = operations_.find(overlapped);
        if (found == operations_.end())
            return ERROR_INVALID_PARAMETER;
        if (!found->second.done)
            return ERROR_IO_INCOMPLETE;
    }
    return AwaitDone(lock, overlapped, transferred);
}

DWORD AfCommDriver::ClearError(DWORD& errors, COMSTAT* stat)
{
    if (direct_)
        PumpInput(); // what has arrived counts as queued
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    errors = errors_;
    errors_ = 0;
    if (stat) {
        // Bytes the device is taking right now are counted once it has them.
        written_.wait(lock, [this] { return !writing_; });
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(inCount_);
        // Bytes not yet taken, and those taken that have not left the device.
        const std::uint64_t sent = taken_ > 0 ? Sent() : handed_;
        DWORD out = 0;
        for (std::size_t i = 0; i < writes_.size(); ++i) {
            const Operation& operation = operations_.at(writes_[i]);
            out += i < taken_ ? static_cast<DWORD>(std::min<std::uint64_t>(
                                    operation.leftAt > sent ? operation.leftAt - sent : 0, operation.length))
                              : operation.length - operation.bytes;
        }
        stat->cbOutQue = out;
        stat->fDsrHold = OutputHeldByDsr() && !writes_.empty() ? 1 : 0;
    }
    return ERROR_SUCCESS;
}

DWORD AfCommDriver::Purge(DWORD flags)
{
    if (flags == 0 || (flags & ~kPurgeFlags))
        return ERROR_INVALID_PARAMETER;
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    if (flags & PURGE_TXABORT) {
        written_.wait(lock, [this] { return !writing_; });
        EndWrites(ERROR_OPERATION_ABORTED);
    }
    if (flags & PURGE_TXCLEAR)
        backend_->FlushOutput();
    // Reads never wait here, so there is no pending read for PURGE_RXABORT to end.
    if (flags & PURGE_RXCLEAR) {
        // A device read in flight may bring bytes that arrived before the purge, or after it:
        // they are told apart only by letting it end first. Then the queue and the device are
        // cleared together, and whatever the next read finds came later.
        readDone_.wait(lock, [this] { return !reading_; });
        inHead_ = 0;
        inCount_ = 0;
        backend_->FlushInput();
        InputTaken();
        UpdateInputFlow();
    }
    return ERROR_SUCCESS;
}

DWORD AfCommDriver::Escape(DWORD function)
{
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    if ((function == SETDTR || function == CLRDTR) && dcb_.fDtrControl == DTR_CONTROL_HANDSHAKE)
        return ERROR_INVALID_PARAMETER;
    switch (function) {
    case SETDTR:
        return backend_->SetLines(AF_LINE_DTR, 0);
    case CLRDTR:
        return backend_->SetLines(0, AF_LINE_DTR);
    case SETRTS:
        return backend_->SetLines(AF_LINE_RTS, 0);
    case CLRRTS:
        return backend_->SetLines(0, AF_LINE_RTS);
    case SETBREAK:
        return backend_->SetBreak(true);
    case CLRBREAK:
        return backend_->SetBreak(false);
    case SETXOFF:
        return backend_->SetOutputFlow(false);
    case SETXON:
        return backend_->SetOutputFlow(true);
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

DWORD AfCommDriver::ModemStatus(DWORD& status)
{
    Lock lock(lock_);
    if (DWORD error = Usable())
        return error;
    // Read now, and taken as the driver's own view too, so that the events and the DSR
    // handshake never lag behind what a caller has seen.
    if (statusKnown_)
        CheckLineStatus();
    status = statusKnown_ ? status_.modem : 0;
    return ERROR_SUCCESS;
}

} // namespace vexora::serial::platform
