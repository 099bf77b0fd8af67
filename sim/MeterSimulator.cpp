#include "MeterSimulator.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr int kBitsPerByte = 11; // start bit, 8 data bits, even parity, stop bit
// Bytes of an answer go out in steps of at least this long, not one wake-up per byte.
constexpr auto kMinWriteStep = 4ms;
// A meter's receiver gives up a frame after 33 bit times of silence (slowest line 300 baud),
// never after less than this here.
constexpr auto kMinFrameGap = 50ms;
// A serial device hands its bytes over in bursts as its receive FIFO fills or times out, and its
// reader may be scheduled late: there, a quiet line counts only after this long (still well
// within the half second a master waits between its requests).
constexpr auto kMinDeviceFrameGap = 200ms;

[[noreturn]] void Fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

TMeterClock::duration BitTimes(int bits, int baud)
{
    return std::chrono::duration_cast<TMeterClock::duration>(
        std::chrono::duration<double>(double(bits) / baud));
}

// How long `count` bytes of `byteTime` each take on the line.
TMeterClock::duration OnLine(TMeterClock::duration byteTime, std::size_t count)
{
    return byteTime * static_cast<TMeterClock::rep>(count);
}

std::vector<TMeterSettings> AllMeters(const TMeterSimOptions& options)
{
    std::vector<TMeterSettings> meters{options.Meter};
    meters.insert(meters.end(), options.MoreMeters.begin(), options.MoreMeters.end());
    return meters;
}

} // namespace

TMeterSimulator::TMeterSimulator(const TMeterSimOptions& options, TMeterLog* log)
    : FOptions(options), FLog(log ? log : &FNoLog),
      FMeters(AllMeters(options), options.Faults.RefusedRegisters), FPty(options.Meter.Baud, options.Device)
{
    FStopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FStopFd < 0)
        Fail("cannot make the stop event");
    try {
        if (!FPty.OnDevice())
            FEntry =
                std::make_unique<TMeterComEntry>(options.ComNumber, FPty.DevicePath(), options.ReplaceEntry);
    } catch (...) {
        ::close(FStopFd);
        throw;
    }
}

TMeterSimulator::~TMeterSimulator()
{
    FEntry.reset();
    ::close(FStopFd);
}

const std::string& TMeterSimulator::EntryPath() const
{
    static const std::string none;
    return FEntry ? FEntry->Path() : none;
}

void TMeterSimulator::Stop()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(FStopFd, &one, sizeof one);
}

TMeterState TMeterSimulator::State(std::size_t meter) const
{
    std::lock_guard guard(FLock);
    return FMeters.Meter(meter).State();
}

std::uint64_t TMeterSimulator::Heard() const
{
    std::lock_guard guard(FLock);
    return FHeard;
}

bool TMeterSimulator::WaitHeard(std::uint64_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock guard(FLock);
    return FHeardChanged.wait_for(guard, timeout, [&] { return FHeard >= count; });
}

void TMeterSimulator::Run()
{
    bool lineFull = false;
    for (;;) {
        const auto now = TMeterClock::now();
        const auto next = lineFull ? TMeterClock::time_point::max() : NextWrite(now);
        timespec wait{};
        timespec* timeout = nullptr;
        if (next != TMeterClock::time_point::max()) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(next - now, 0ns));
            wait.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
            timeout = &wait;
        }
        pollfd fds[2] = {{FStopFd, POLLIN, 0},
                         {FPty.Fd(), static_cast<short>(POLLIN | (lineFull ? POLLOUT : 0)), 0}};
        if (::ppoll(fds, 2, timeout, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            Fail("cannot wait for the line");
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents & (POLLERR | POLLNVAL))
            Fail("the line failed");
        if (fds[1].revents & (POLLIN | POLLHUP))
            ReadLine();
        lineFull = !WriteDue(TMeterClock::now());
        // A serial device takes the meter's new speed once the acknowledgement that changed it
        // has gone out at the old one.
        if (FPty.OnDevice() && FQueue.empty())
            FPty.Follow(State().Baud());
    }
}

void TMeterSimulator::ReadLine()
{
    std::uint8_t buffer[512];
    for (;;) {
        const ssize_t n = ::read(FPty.Fd(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0)
            Fail("cannot read the line");
        const auto at = TMeterClock::now();
        const int lineBaud = FPty.LineBaud();
        const auto gap = std::max<TMeterClock::duration>(BitTimes(33, std::max(lineBaud, 300)),
                                                         FPty.OnDevice() ? kMinDeviceFrameGap : kMinFrameGap);
        for (const TMBusTelegram& heard : FReader.Feed(buffer, static_cast<std::size_t>(n), at, gap))
            Deal(heard, lineBaud);
    }
}

void TMeterSimulator::Deal(const TMBusTelegram& heard, int lineBaud)
{
    FLog->Received(heard.End, heard.Bytes);
    TMeterAnswer answer;
    {
        std::lock_guard guard(FLock);
        answer = FMeters.Handle(heard, lineBaud);
    }
    FLog->Note(heard.End, answer.Note);
    for (TMeterOutput& output : ShapeOutputs(FOptions.Faults, heard, answer))
        Schedule(heard, std::move(output), lineBaud);
    {
        std::lock_guard guard(FLock);
        ++FHeard;
    }
    FHeardChanged.notify_all();
}

void TMeterSimulator::Schedule(const TMBusTelegram& heard, TMeterOutput output, int lineBaud)
{
    TPending pending{std::move(output.Bytes), heard.End, {}, 0, output.Echo};
    if (output.Echo) {
        // Back at once, behind earlier echoes but ahead of any answer still waiting: it is the
        // request itself on the line.
        auto place = FQueue.begin();
        while (place != FQueue.end() && (place->Echo || place->Written > 0))
            ++place;
        FQueue.insert(place, std::move(pending));
        return;
    }
    // At the speed the request came in at: a write of register 0x24 may have changed the meter's
    // own speed for what follows, not for this answer.
    pending.ByteTime = BitTimes(kBitsPerByte, lineBaud);
    const auto requestEnd = std::max(heard.End, heard.Start + OnLine(pending.ByteTime, heard.Bytes.size()));
    pending.Start = requestEnd + std::chrono::milliseconds(FOptions.ReactionMs + output.ExtraDelayMs);
    if (!FQueue.empty()) {
        const TPending& last = FQueue.back();
        pending.Start = std::max(pending.Start, last.Start + OnLine(last.ByteTime, last.Bytes.size()));
    }
    FQueue.push_back(std::move(pending));
}

bool TMeterSimulator::WriteDue(TMeterClock::time_point now)
{
    while (!FQueue.empty()) {
        TPending& pending = FQueue.front();
        std::size_t due = pending.Bytes.size();
        if (pending.ByteTime.count() > 0)
            due = std::min<std::size_t>(due, static_cast<std::size_t>(std::max<TMeterClock::rep>(
                                                 (now - pending.Start) / pending.ByteTime, 0)));
        if (due <= pending.Written)
            return true;
        if (pending.Written == 0)
            FLog->Sent(now, pending.Bytes);
        const ssize_t n = ::write(FPty.Fd(), pending.Bytes.data() + pending.Written, due - pending.Written);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            Fail("cannot write the line");
        if (n > 0)
            pending.Written += static_cast<std::size_t>(n);
        if (pending.Written < due)
            return false;
        if (pending.Written == pending.Bytes.size())
            FQueue.pop_front();
    }
    return true;
}

TMeterClock::time_point TMeterSimulator::NextWrite(TMeterClock::time_point now) const
{
    if (FQueue.empty())
        return TMeterClock::time_point::max();
    const TPending& pending = FQueue.front();
    const auto byteDue = pending.Start + OnLine(pending.ByteTime, pending.Written + 1);
    return pending.Written == 0 ? byteDue : std::max(byteDue, now + kMinWriteStep);
}
