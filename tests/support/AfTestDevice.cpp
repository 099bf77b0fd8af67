#include "AfTestDevice.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

#include "AfPtyPort.h"
#include "comm/AfCommBackend_p.h"
#include "comm/AfCommRegistry_p.h"

namespace {

const std::string kPrefix = "/vexora-test/";

} // namespace

struct AfTestDevice::Shared {
    mutable std::mutex lock;
    std::condition_variable sentChanged;
    std::condition_variable inputTaken;
    std::condition_variable linesChanged;
    std::condition_variable readStall;
    bool stallReads = false;
    bool readStalled = false;
    bool open = false;
    bool gone = false;
    int notifyFd = -1; // of the open backend
    std::deque<std::uint8_t> input;
    std::vector<std::uint8_t> sent;
    bool held = false;
    std::size_t allowance = 0;
    bool queueing = false;
    std::deque<std::uint8_t> queued; // taken by the device, not yet on the line
    AfLineStatus status;
    DWORD outputLines = AF_LINE_DTR | AF_LINE_RTS;
    bool breakOn = false;
    bool suspended = false;
    DCB dcb{};
    DWORD refuse = ERROR_SUCCESS;

    // Wakes the driver of the open handle; call with `lock` held.
    void Notify() const
    {
        if (notifyFd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(notifyFd, &one, sizeof one);
        }
    }
};

namespace {

using Shared = AfTestDevice::Shared;

std::mutex& DevicesLock()
{
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::weak_ptr<Shared>>& Devices()
{
    static std::map<std::string, std::weak_ptr<Shared>> devices;
    return devices;
}

class TestBackend final : public AfCommBackend {
public:
    explicit TestBackend(std::shared_ptr<Shared> shared)
        : shared_(std::move(shared)), notifyFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        std::lock_guard guard(shared_->lock);
        shared_->open = true;
        shared_->notifyFd = notifyFd_;
    }

    ~TestBackend() override
    {
        {
            std::lock_guard guard(shared_->lock);
            shared_->open = false;
            shared_->notifyFd = -1;
        }
        ::close(notifyFd_);
    }

    int DataFd() const override { return -1; }
    int NotifyFd() const override { return notifyFd_; }

    void ClearNotify() override
    {
        std::uint64_t value;
        [[maybe_unused]] ssize_t n = ::read(notifyFd_, &value, sizeof value);
    }

    long Read(void* buffer, std::size_t count) override
    {
        std::unique_lock guard(shared_->lock);
        if (shared_->stallReads) {
            shared_->readStalled = true;
            shared_->readStall.notify_all();
            shared_->readStall.wait(guard, [&] { return !shared_->stallReads; });
            shared_->readStalled = false;
        }
        if (shared_->gone)
            return -1;
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::size_t n = 0;
        while (n < count && !shared_->input.empty()) {
            out[n++] = shared_->input.front();
            shared_->input.pop_front();
        }
        if (shared_->input.empty())
            shared_->inputTaken.notify_all();
        return static_cast<long>(n);
    }

    long Write(const void* buffer, std::size_t count) override
    {
        std::lock_guard guard(shared_->lock);
        if (shared_->gone)
            return -1;
        std::size_t n = count;
        if (shared_->held) {
            n = std::min(count, shared_->allowance);
            shared_->allowance -= n;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        if (shared_->queueing) {
            shared_->queued.insert(shared_->queued.end(), bytes, bytes + n);
        } else {
            shared_->sent.insert(shared_->sent.end(), bytes, bytes + n);
            shared_->sentChanged.notify_all();
        }
        return static_cast<long>(n);
    }

    DWORD SetState(const DCB& dcb) override
    {
        std::lock_guard guard(shared_->lock);
        if (shared_->gone)
            return ERROR_DEVICE_NOT_CONNECTED;
        if (shared_->refuse != ERROR_SUCCESS)
            return shared_->refuse;
        shared_->dcb = dcb;
        return ERROR_SUCCESS;
    }

    DWORD GetState(DCB& dcb) override
    {
        std::lock_guard guard(shared_->lock);
        const DCB& state = shared_->dcb;
        dcb.BaudRate = state.BaudRate;
        dcb.ByteSize = state.ByteSize;
        dcb.Parity = state.Parity;
        dcb.StopBits = state.StopBits;
        dcb.fParity = state.fParity;
        dcb.fOutxCtsFlow = state.fOutxCtsFlow;
        dcb.fOutX = state.fOutX;
        dcb.fInX = state.fInX;
        dcb.XonChar = state.XonChar;
        dcb.XoffChar = state.XoffChar;
        return ERROR_SUCCESS;
    }

    DWORD SetLines(DWORD on, DWORD off) override
    {
        std::lock_guard guard(shared_->lock);
        shared_->outputLines = (shared_->outputLines | on) & ~off;
        shared_->linesChanged.notify_all();
        return ERROR_SUCCESS;
    }

    DWORD SetBreak(bool on) override
    {
        std::lock_guard guard(shared_->lock);
        shared_->breakOn = on;
        return ERROR_SUCCESS;
    }

    DWORD SetOutputFlow(bool on) override
    {
        std::lock_guard guard(shared_->lock);
        shared_->suspended = !on;
        return ERROR_SUCCESS;
    }

    bool GetLineStatus(AfLineStatus& status) override
    {
        std::lock_guard guard(shared_->lock);
        status = shared_->status;
        return true;
    }

    int LineStatusPollMs() const override { return 0; }

    void FlushInput() override
    {
        std::lock_guard guard(shared_->lock);
        shared_->input.clear();
        shared_->inputTaken.notify_all();
    }

    void FlushOutput() override
    {
        std::lock_guard guard(shared_->lock);
        shared_->queued.clear();
    }

    long OutputQueued() override
    {
        std::lock_guard guard(shared_->lock);
        return shared_->queueing ? static_cast<long>(shared_->queued.size()) : -1;
    }

private:
    std::shared_ptr<Shared> shared_;
    int notifyFd_;
};

std::unique_ptr<AfCommBackend> OpenTestDevice(const std::string& path, DWORD& error)
{
    std::shared_ptr<Shared> shared;
    {
        std::lock_guard guard(DevicesLock());
        auto found = Devices().find(path);
        if (found != Devices().end())
            shared = found->second.lock();
    }
    if (!shared) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    {
        std::lock_guard guard(shared->lock);
        if (shared->gone) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        if (shared->open) {
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
    }
    return std::make_unique<TestBackend>(shared);
}

} // namespace

AfTestDevice::AfTestDevice(const std::string& name)
    : path_(kPrefix + name), shared_(std::make_shared<Shared>())
{
    shared_->dcb.DCBlength = sizeof(DCB);
    shared_->dcb.BaudRate = 9600;
    shared_->dcb.ByteSize = 8;
    shared_->dcb.fBinary = 1;
    shared_->dcb.XonChar = 0x11;
    shared_->dcb.XoffChar = 0x13;
    std::lock_guard guard(DevicesLock());
    if (Devices().empty())
        AfRegisterCommDevices(kPrefix, OpenTestDevice);
    auto& slot = Devices()[path_];
    if (slot.lock())
        throw std::runtime_error("test device " + path_ + " exists already");
    slot = shared_;
}

AfTestDevice::~AfTestDevice()
{
    Disappear();
    if (comNumber_ > 0)
        AfUnregisterTestCom(comNumber_);
    std::lock_guard guard(DevicesLock());
    Devices().erase(path_);
}

void AfTestDevice::RegisterAsCom(int number)
{
    AfRegisterTestCom(number, path_);
    comNumber_ = number;
}

bool AfTestDevice::IsOpen() const
{
    std::lock_guard guard(shared_->lock);
    return shared_->open;
}

void AfTestDevice::Inject(const std::vector<std::uint8_t>& data)
{
    std::lock_guard guard(shared_->lock);
    shared_->input.insert(shared_->input.end(), data.begin(), data.end());
    shared_->Notify();
}

bool AfTestDevice::WaitInputTaken(int timeoutMs)
{
    std::unique_lock lock(shared_->lock);
    return shared_->inputTaken.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                        [&] { return shared_->input.empty(); });
}

std::size_t AfTestDevice::InputLeft() const
{
    std::lock_guard guard(shared_->lock);
    return shared_->input.size();
}

std::vector<std::uint8_t> AfTestDevice::TakeSent()
{
    std::lock_guard guard(shared_->lock);
    std::vector<std::uint8_t> sent;
    sent.swap(shared_->sent);
    return sent;
}

std::size_t AfTestDevice::WaitSent(std::size_t count, int timeoutMs)
{
    std::unique_lock lock(shared_->lock);
    shared_->sentChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return shared_->sent.size() >= count; });
    return shared_->sent.size();
}

void AfTestDevice::HoldWrites()
{
    std::lock_guard guard(shared_->lock);
    shared_->held = true;
    shared_->allowance = 0;
}

void AfTestDevice::AllowWrites(std::size_t count)
{
    std::lock_guard guard(shared_->lock);
    shared_->allowance += count;
    shared_->Notify();
}

void AfTestDevice::ReleaseWrites()
{
    std::lock_guard guard(shared_->lock);
    shared_->held = false;
    shared_->allowance = 0;
    shared_->Notify();
}

void AfTestDevice::QueueOutput()
{
    std::lock_guard guard(shared_->lock);
    shared_->queueing = true;
}

void AfTestDevice::Transmit(std::size_t count)
{
    std::lock_guard guard(shared_->lock);
    for (; count > 0 && !shared_->queued.empty(); --count) {
        shared_->sent.push_back(shared_->queued.front());
        shared_->queued.pop_front();
    }
    shared_->sentChanged.notify_all();
    shared_->Notify();
}

std::size_t AfTestDevice::OutputQueued() const
{
    std::lock_guard guard(shared_->lock);
    return shared_->queued.size();
}

void AfTestDevice::StallReads()
{
    std::lock_guard guard(shared_->lock);
    shared_->stallReads = true;
}

bool AfTestDevice::WaitReadStalled(int timeoutMs)
{
    std::unique_lock lock(shared_->lock);
    return shared_->readStall.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                       [&] { return shared_->readStalled; });
}

void AfTestDevice::ResumeReads()
{
    std::lock_guard guard(shared_->lock);
    shared_->stallReads = false;
    shared_->readStall.notify_all();
}

void AfTestDevice::SetModemLines(DWORD lines, bool announce)
{
    std::lock_guard guard(shared_->lock);
    if ((shared_->status.modem & MS_RING_ON) && !(lines & MS_RING_ON))
        ++shared_->status.rings;
    shared_->status.modem = lines;
    if (announce)
        shared_->Notify();
}

void AfTestDevice::Ring()
{
    std::lock_guard guard(shared_->lock);
    ++shared_->status.rings;
    shared_->Notify();
}

void AfTestDevice::AddLineErrors(DWORD frame, DWORD parity, DWORD overrun, DWORD breaks)
{
    std::lock_guard guard(shared_->lock);
    shared_->status.frame += frame;
    shared_->status.parity += parity;
    shared_->status.overrun += overrun;
    shared_->status.breaks += breaks;
    shared_->Notify();
}

DWORD AfTestDevice::OutputLines() const
{
    std::lock_guard guard(shared_->lock);
    return shared_->outputLines;
}

bool AfTestDevice::WaitOutputLines(DWORD lines, int timeoutMs)
{
    std::unique_lock lock(shared_->lock);
    return shared_->linesChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                          [&] { return shared_->outputLines == lines; });
}

bool AfTestDevice::BreakOn() const
{
    std::lock_guard guard(shared_->lock);
    return shared_->breakOn;
}

bool AfTestDevice::OutputSuspended() const
{
    std::lock_guard guard(shared_->lock);
    return shared_->suspended;
}

DCB AfTestDevice::State() const
{
    std::lock_guard guard(shared_->lock);
    return shared_->dcb;
}

void AfTestDevice::RefuseStates(DWORD error)
{
    std::lock_guard guard(shared_->lock);
    shared_->refuse = error;
}

void AfTestDevice::Disappear()
{
    std::lock_guard guard(shared_->lock);
    shared_->gone = true;
    shared_->stallReads = false;
    shared_->readStall.notify_all();
    shared_->Notify();
}
