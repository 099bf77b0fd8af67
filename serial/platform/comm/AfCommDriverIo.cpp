// The driver's side towards the device: the I/O thread, the pumps that move bytes between the
// device and the queues (run by the I/O thread, or by the callers' own threads on a direct
// device), line status, and the events and completions they raise.
#include <vexora/serial/platform/AfWin.h>

#include "comm/AfCommDriver_p.h"
#include "sync/AfWakeFd_p.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace vexora::serial::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadsPerTurn = 16;
// The longest wait before the driver looks again at output that is held: whether what the device
// still holds has left, and whether DSR has come for output that waits for it.
constexpr std::uint64_t kDrainCheckMaxMs = 200;

} // namespace

bool AfCommDriver::StartThread()
{
    if (started_)
        return true;
    if (wakeFd_ < 0)
        wakeFd_ = AfMakeWakeFd();
    if (wakeFd_ < 0)
        return false;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        return false;
    }
    started_ = true;
    return true;
}

void AfCommDriver::Wake()
{
    if (!started_)
        return;
    AfSignalWakeFd(wakeFd_);
}

void AfCommDriver::Run()
{
    Lock lock(lock_);
    auto nextStatus = Clock::now() + std::chrono::milliseconds(statusPollMs_);
    while (!closed_) {
        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {wakeFd_, POLLIN, 0};
        int dataIndex = -1;
        int notifyIndex = -1;
        // A device that has gone is no longer polled, so that its hang-up cannot keep us busy.
        // A full input queue leaves the device's bytes where they are (hang-ups still show).
        if (!gone_ && backend_->DataFd() >= 0) {
            dataIndex = static_cast<int>(count);
            // Input is the callers' own in direct mode.
            const short events =
                static_cast<short>((inputHeld_ || direct_ ? 0 : POLLIN) | (writeBlocked_ ? POLLOUT : 0));
            fds[count++] = {backend_->DataFd(), events, 0};
        }
        if (!gone_ && backend_->NotifyFd() >= 0) {
            notifyIndex = static_cast<int>(count);
            fds[count++] = {backend_->NotifyFd(), POLLIN, 0};
        }
        int timeout = -1;
        const auto until = [&timeout](Clock::time_point at) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - Clock::now()).count();
            const int ms = static_cast<int>(std::max<long long>(left, 0));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        };
        if (!gone_ && statusPollMs_ > 0)
            until(nextStatus);
        if (!gone_ && taken_ > 0)
            until(drainCheck_);
        // A DSR change in the instant between two of the backend's waits for line changes shows
        // only with the next change: output held for DSR does not rely on it alone.
        if (!gone_ && taken_ < writes_.size() && OutputHeldByDsr())
            until(Clock::now() + std::chrono::milliseconds(kDrainCheckMaxMs));

        lock.unlock();
        const int ready = ::poll(fds, count, timeout);
        lock.lock();
        if (closed_)
            break;
        if (ready < 0 && errno != EINTR) {
            // Cannot happen with valid descriptors; rather than retry in a tight loop, give the
            // device up: pending and later operations fail.
            DeviceGone();
            break;
        }

        if (fds[0].revents & POLLIN)
            AfTakeWakeFd(wakeFd_);
        bool notified = false;
        if (notifyIndex >= 0 && fds[notifyIndex].revents) {
            backend_->ClearNotify();
            notified = true;
        }
        const bool hungUp = dataIndex >= 0 && (fds[dataIndex].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;

        bool arrived = false;
        if (!gone_ && !direct_) {
            lock.unlock();
            arrived = PumpInput();
            lock.lock();
        }
        if (closed_)
            break;
        // Line status before output, so that output held for DSR goes as soon as DSR is seen. Line
        // errors and breaks come with bytes: the counters are read when bytes came in.
        if (!gone_ && (notified || arrived || (statusPollMs_ > 0 && Clock::now() >= nextStatus))) {
            CheckLineStatus();
            if (notified && statusKnown_)
                statusPollMs_ = backend_->LineStatusPollMs();
            if (statusPollMs_ > 0)
                nextStatus = Clock::now() + std::chrono::milliseconds(statusPollMs_);
        }
        if (!gone_)
            PumpOutput(lock);
        if (hungUp && !gone_)
            DeviceGone();
    }
}

bool AfCommDriver::PumpInput()
{
    std::lock_guard pump(pump_);
    Lock lock(lock_);
    if (closed_ || gone_ || !backend_)
        return false;
    bool arrived = false;
    // A bounded number of reads per turn, so that a flood of input cannot keep the thread from
    // its other work; a wake-up brings it straight back for the rest (a backend that signals
    // through its notify descriptor would not signal again for bytes it already announced).
    bool drained = false;
    int round = 0;
    for (; round < kReadsPerTurn && !drained; ++round) {
        const std::size_t room = std::min(in_.size() - inCount_, scratch_.size());
        inputHeld_ = room == 0;
        if (inputHeld_)
            break; // the device keeps the rest until a read makes room
        reading_ = true;
        lock.unlock();
        const long n = backend_->Read(scratch_.data(), room);
        lock.lock();
        reading_ = false;
        readDone_.notify_all();
        if (closed_)
            return arrived;
        if (n == 0) {
            drained = true;
        } else if (n < 0) {
            DeviceGone();
            return arrived;
        } else {
            arrived = true;
            Append(scratch_.data(), static_cast<std::size_t>(n));
            // Raised before the lock is left for the next read: whoever sees the bytes in the
            // queue finds their event raised too.
            UpdateInputFlow();
            RaiseEvents(EV_RXCHAR);
            // A terminal that gives less than asked has given all it had; a device that
            // announces bytes through its notify descriptor is read until it has none.
            drained = direct_ && static_cast<std::size_t>(n) < room;
        }
    }
    if (round == kReadsPerTurn && !drained)
        Wake();
    return arrived;
}

void AfCommDriver::Append(const BYTE* data, std::size_t count)
{
    // A read is sized to the room, which nothing makes smaller while the read runs; should that
    // ever fail, the surplus is counted as an overrun rather than written past the ring.
    const std::size_t take = std::min(count, in_.size() - inCount_);
    if (take < count)
        errors_ |= CE_RXOVER;
    const std::size_t tail = (inHead_ + inCount_) % in_.size();
    const std::size_t first = std::min(take, in_.size() - tail);
    std::memcpy(in_.data() + tail, data, first);
    std::memcpy(in_.data(), data + first, take - first);
    inCount_ += take;
}

void AfCommDriver::InputTaken()
{
    if (!inputHeld_ || inCount_ == in_.size())
        return;
    inputHeld_ = false;
    if (started_)
        Wake();
}

void AfCommDriver::UpdateInputFlow()
{
    if (dcb_.fDtrControl != DTR_CONTROL_HANDSHAKE)
        return;
    const std::size_t size = in_.size();
    const std::size_t offAt = size > dcb_.XoffLim ? size - dcb_.XoffLim : 0;
    if (!dtrHeld_ && inCount_ >= offAt) {
        dtrHeld_ = true;
        backend_->SetLines(0, AF_LINE_DTR);
    } else if (dtrHeld_ && inCount_ <= dcb_.XonLim && inCount_ < offAt) {
        dtrHeld_ = false;
        backend_->SetLines(AF_LINE_DTR, 0);
    }
}

bool AfCommDriver::OutputHeldByDsr() const
{
    // Without modem lines (a pseudo-terminal) there is no DSR to wait for.
    return dcb_.fOutxDsrFlow && statusKnown_ && (status_.modem & MS_DSR_ON) == 0;
}

void AfCommDriver::PumpOutput(Lock& lock)
{
    if (writing_)
        return; // the thread that writes now goes on with the rest
    writeBlocked_ = false;
    // Output waits for DSR as the device reports it now, not as the last poll saw it; a DSR
    // change brings the I/O thread back to output held for it.
    if (dcb_.fOutxDsrFlow && statusKnown_ && taken_ < writes_.size())
        CheckLineStatus();
    while (taken_ < writes_.size() && !gone_ && !OutputHeldByDsr()) {
        OVERLAPPED* key = writes_[taken_];
        Operation& operation = operations_.at(key);
        if (operation.bytes < operation.length) {
            // The device write runs without the lock, so that readers and status queries do not
            // wait for it; a purge or a close waits for it before it ends the operation, whose
            // bytes the device is reading.
            writing_ = true;
            lock.unlock();
            const long n =
                backend_->Write(operation.data + operation.bytes, operation.length - operation.bytes);
            lock.lock();
            writing_ = false;
            written_.notify_all();
            if (closed_)
                return;
            if (n < 0) {
                DeviceGone();
                return;
            }
            if (n == 0) {
                writeBlocked_ = true;
                break;
            }
            operation.bytes += static_cast<DWORD>(n);
            handed_ += static_cast<std::uint64_t>(n);
            if (operation.bytes < operation.length)
                continue;
        }
        operation.leftAt = handed_;
        ++taken_;
    }
    if (!gone_)
        CompleteSent();
}

std::uint64_t AfCommDriver::Sent()
{
    const long queued = backend_->OutputQueued();
    return handed_ - std::min<std::uint64_t>(queued > 0 ? static_cast<std::uint64_t>(queued) : 0, handed_);
}

void AfCommDriver::CompleteSent()
{
    const std::uint64_t sent = taken_ > 0 ? Sent() : handed_;
    bool finished = false;
    while (taken_ > 0) {
        OVERLAPPED* key = writes_.front();
        Operation& operation = operations_.at(key);
        if (operation.leftAt > sent)
            break;
        writes_.pop_front();
        --taken_;
        Complete(key, operation, ERROR_SUCCESS);
        finished = true;
    }
    if (taken_ > 0) {
        // Look again when the line should have sent what the device still holds: by the bits
        // of a character at the line's rate, at least a millisecond, and at most every 200 ms
        // (output held by a handshake line goes on waiting at that pace).
        const std::uint64_t bits =
            1 + dcb_.ByteSize + (dcb_.Parity != NOPARITY ? 1 : 0) + (dcb_.StopBits == ONESTOPBIT ? 1 : 2);
        const std::uint64_t ms = (handed_ - sent) * bits * 1000 / std::max<DWORD>(dcb_.BaudRate, 1);
        drainCheck_ =
            Clock::now() + std::chrono::milliseconds(std::clamp<std::uint64_t>(ms, 1, kDrainCheckMaxMs));
    }
    if (finished && writes_.empty())
        RaiseEvents(EV_TXEMPTY);
}

void AfCommDriver::CheckLineStatus()
{
    AfLineStatus now;
    if (!backend_->GetLineStatus(now))
        return;
    if (!statusKnown_) {
        status_ = now;
        statusKnown_ = true;
        return;
    }
    DWORD events = 0;
    const DWORD changed = now.modem ^ status_.modem;
    if (changed & MS_CTS_ON)
        events |= EV_CTS;
    if (changed & MS_DSR_ON)
        events |= EV_DSR;
    if (changed & MS_RLSD_ON)
        events |= EV_RLSD;
    // Rings begun since the last look: those that have ended since, plus one ringing now, less one
    // that was ringing then. So a ring that began and ended in between counts, and the end of a
    // ring already reported does not.
    const auto ringing = [](const AfLineStatus& status) { return (status.modem & MS_RING_ON) ? 1 : 0; };
    if (static_cast<long long>(now.rings - status_.rings) + ringing(now) - ringing(status_) > 0)
        events |= EV_RING;
    if (now.frame != status_.frame) {
        errors_ |= CE_FRAME;
        events |= EV_ERR;
    }
    if (now.parity != status_.parity) {
        errors_ |= CE_RXPARITY;
        events |= EV_ERR;
    }
    if (now.overrun != status_.overrun) {
        errors_ |= CE_OVERRUN;
        events |= EV_ERR;
    }
    if (now.breaks != status_.breaks) {
        errors_ |= CE_BREAK;
        events |= EV_BREAK;
    }
    status_ = now;
    if (events)
        RaiseEvents(events);
}

void AfCommDriver::RaiseEvents(DWORD events)
{
    history_ |= events & mask_;
    if (wait_ && history_) {
        Operation& operation = operations_.at(wait_);
        *operation.mask = history_;
        history_ = 0;
        Complete(wait_, operation, ERROR_SUCCESS);
    }
}

void AfCommDriver::DeviceGone()
{
    if (!gone_ && backend_)
        backend_->Gone();
    gone_ = true;
    writeBlocked_ = false;
    EndAll(AF_ERROR_DEVICE_GONE);
}

void AfCommDriver::EndWrites(DWORD error)
{
    taken_ = 0;
    while (!writes_.empty()) {
        OVERLAPPED* key = writes_.front();
        writes_.pop_front();
        Complete(key, operations_.at(key), error);
    }
    writeBlocked_ = false;
}

void AfCommDriver::EndAll(DWORD error)
{
    if (wait_) {
        Operation& operation = operations_.at(wait_);
        // A wait that a close cancels hands over no mask, as on the system it stands in for:
        // the mask variable may already be gone with a closing owner. Its record still says
        // how it ended (Complete), since the caller keeps that until the operation ends.
        if (!closed_)
            *operation.mask = 0;
        Complete(wait_, operation, error);
    }
    EndWrites(error);
}

} // namespace vexora::serial::platform
