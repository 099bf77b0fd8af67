// The port core beside QSerialPort and Boost.Asio on one pseudo-terminal, in one run: echo round
// trips, both one-way legs, the cost of an idle open port, a slow request/response link, open and
// close, and bulk transfer both ways. The far end of the line is a child process (this program
// started again with --far-end) that the measuring process commands through a pipe; it stamps
// its side of each one-way leg with the same monotonic clock. The libraries take turns within
// every round, so that a change of load on the machine hits them alike.
//
//     bench_peers [--rounds N] [--idle-seconds S]
//
// Every library is used as its users would: the core (with 64 KiB queues) through its owner
// callback on the event thread, QSerialPort through readyRead in a Qt event loop, Asio through completion
// handlers of one io_context. Where a measure needs the program to answer what it receives, it answers in
// that delivery context.
#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>
#include <boost/asio.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "CoreTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr int kCom = 241;
constexpr int kTimeoutMs = 10000;
constexpr std::size_t kBulkBytes = 4u << 20;
constexpr int kSlowRequest = 5;
constexpr int kSlowReply = 20;
constexpr int kSlowDelayMs = 50;
constexpr std::int32_t kCoreQueue = 65536;

std::int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "bench_peers: %s\n", what.c_str());
    std::exit(2);
}

// ---- the far end ------------------------------------------------------------------------------

// Commands to the far end; each is one op byte and a 64-bit argument.
enum : std::uint8_t {
    kEcho = 'E',   // echo what arrives (arg 1) or not (0)
    kSink = 'S',   // report the time when arg more bytes have arrived
    kTick = 'T',   // send one byte now and report the time just before
    kSource = 'O', // send arg bytes as fast as the line takes them
    kSlow = 'L',   // answer every 5 bytes with 20 bytes after 50 ms (arg 1) or not (0)
    kDrain = 'D',  // drop what has arrived, then report
    kQuit = 'Q',
};

struct TCommand {
    std::uint8_t Op;
    std::uint64_t Arg;
} __attribute__((packed));

bool WriteFully(int fd, const void* data, std::size_t count)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (count > 0) {
        const ssize_t n = ::write(fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out{fd, POLLOUT, 0};
            ::poll(&out, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

void Report(int fd, std::int64_t value)
{
    WriteFully(fd, &value, sizeof value);
}

int FarEndMain(int line, int commands, int reports)
{
    bool echo = false;
    bool slow = false;
    std::uint64_t sinkLeft = 0;
    std::uint64_t sourceLeft = 0;
    std::uint64_t slowGot = 0;
    std::vector<std::int64_t> replyDue; // times at which a slow reply goes out
    Bytes out;
    std::size_t outAt = 0;
    std::uint8_t buffer[65536];
    for (;;) {
        if (outAt == out.size() && sourceLeft > 0) {
            out.assign(std::min<std::uint64_t>(sourceLeft, sizeof buffer), 0xA5);
            outAt = 0;
            sourceLeft -= out.size();
        }
        int timeout = -1;
        if (!replyDue.empty())
            timeout = static_cast<int>(std::max<std::int64_t>(0, (replyDue.front() - NowNs()) / 1000000));
        pollfd fds[2] = {{commands, POLLIN, 0},
                         {line, static_cast<short>(POLLIN | (outAt < out.size() ? POLLOUT : 0)), 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR)
            return 1;
        // Every command sent so far is taken before the line is read: a command is always sent
        // before the bytes it concerns.
        for (pollfd in{commands, POLLIN, 0}; ::poll(&in, 1, 0) > 0;) {
            TCommand command{};
            if (::read(commands, &command, sizeof command) != sizeof command)
                return 0;
            switch (command.Op) {
            case kEcho:
                echo = command.Arg != 0;
                break;
            case kSink:
                sinkLeft = command.Arg;
                break;
            case kTick: {
                const std::int64_t at = NowNs();
                const std::uint8_t byte = 0x5A;
                WriteFully(line, &byte, 1);
                Report(reports, at);
                break;
            }
            case kSource:
                sourceLeft = command.Arg;
                break;
            case kSlow:
                slow = command.Arg != 0;
                slowGot = 0;
                break;
            case kDrain:
                while (::read(line, buffer, sizeof buffer) > 0) {
                }
                Report(reports, 0);
                break;
            case kQuit:
                return 0;
            }
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = ::read(line, buffer, sizeof buffer);
            if (n > 0) {
                const std::int64_t at = NowNs();
                if (echo)
                    out.insert(out.end(), buffer, buffer + n);
                if (sinkLeft > 0) {
                    sinkLeft -= std::min<std::uint64_t>(sinkLeft, static_cast<std::uint64_t>(n));
                    if (sinkLeft == 0)
                        Report(reports, at);
                }
                if (slow) {
                    slowGot += static_cast<std::uint64_t>(n);
                    for (; slowGot >= kSlowRequest; slowGot -= kSlowRequest)
                        replyDue.push_back(at + kSlowDelayMs * 1000000LL);
                }
            }
        }
        while (!replyDue.empty() && replyDue.front() <= NowNs()) {
            replyDue.erase(replyDue.begin());
            out.insert(out.end(), kSlowReply, 0x10);
        }
        if (outAt < out.size()) {
            const ssize_t n = ::write(line, out.data() + outAt, out.size() - outAt);
            if (n > 0)
                outAt += static_cast<std::size_t>(n);
            if (outAt == out.size()) {
                out.clear();
                outAt = 0;
            }
        }
    }
}

// The far end as a child process on the master side of the pseudo-terminal.
class TFarEnd {
public:
    TFarEnd(const char* Self, int LineFd)
    {
        int commands[2];
        int reports[2];
        if (::pipe(commands) != 0 || ::pipe(reports) != 0)
            Fail("no pipe");
        FPid = ::fork();
        if (FPid < 0)
            Fail("no fork");
        if (FPid == 0) {
            ::close(commands[1]);
            ::close(reports[0]);
            const std::string line = std::to_string(::dup(LineFd));
            const std::string in = std::to_string(commands[0]);
            const std::string out = std::to_string(reports[1]);
            ::execl(Self, Self, "--far-end", line.c_str(), in.c_str(), out.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(commands[0]);
        ::close(reports[1]);
        FCommands = commands[1];
        FReports = reports[0];
        ::fcntl(FCommands, F_SETFD, FD_CLOEXEC);
        ::fcntl(FReports, F_SETFD, FD_CLOEXEC);
    }
    ~TFarEnd()
    {
        Send(kQuit);
        ::close(FCommands);
        ::close(FReports);
        int status = 0;
        ::waitpid(FPid, &status, 0);
    }

    void Send(std::uint8_t Op, std::uint64_t Arg = 0)
    {
        const TCommand command{Op, Arg};
        WriteFully(FCommands, &command, sizeof command);
    }
    // The next value the far end reports (blocks up to the time-out).
    std::int64_t Next()
    {
        std::int64_t value = 0;
        std::size_t got = 0;
        while (got < sizeof value) {
            pollfd in{FReports, POLLIN, 0};
            if (::poll(&in, 1, kTimeoutMs) <= 0)
                Fail("the far end did not report");
            const ssize_t n = ::read(FReports, reinterpret_cast<char*>(&value) + got, sizeof value - got);
            if (n <= 0)
                Fail("the far end is gone");
            got += static_cast<std::size_t>(n);
        }
        return value;
    }
    int ReportFd() const { return FReports; }

private:
    pid_t FPid = -1;
    int FCommands = -1;
    int FReports = -1;
};

// ---- process counters -------------------------------------------------------------------------

// Context switches of all threads of this process so far: every time one of them went to sleep
// or was put aside counts as one wake-up.
long ContextSwitches()
{
    long total = 0;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("voluntary_ctxt_switches:") ||
                line.starts_with("nonvoluntary_ctxt_switches:"))
                total += std::atol(line.c_str() + line.find(':') + 1);
        }
    }
    ::closedir(dir);
    return total;
}

// Voluntary and involuntary context switches of each thread of this process so far, by thread id.
std::map<long, std::pair<long, long>> ThreadSwitches()
{
    std::map<long, std::pair<long, long>> threads;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return threads;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
        auto& counts = threads[std::atol(entry->d_name)];
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("voluntary_ctxt_switches:"))
                counts.first = std::atol(line.c_str() + line.find(':') + 1);
            else if (line.starts_with("nonvoluntary_ctxt_switches:"))
                counts.second = std::atol(line.c_str() + line.find(':') + 1);
        }
    }
    ::closedir(dir);
    return threads;
}

// Prints, per thread that switched, its voluntary and involuntary switches per exchange since
// `Before`.
void PrintThreadSwitches(const char* Peer, const std::map<long, std::pair<long, long>>& Before, int Exchanges)
{
    std::fprintf(stderr, "%s slow link, switches per exchange by thread (voluntary + involuntary):", Peer);
    for (const auto& [tid, counts] : ThreadSwitches()) {
        const auto was = Before.find(tid);
        const auto base = was != Before.end() ? was->second : std::pair<long, long>{0, 0};
        const long voluntary = counts.first - base.first;
        const long involuntary = counts.second - base.second;
        if (voluntary + involuntary == 0)
            continue;
        std::fprintf(stderr, " %s%ld %.1f+%.1f", tid == ::getpid() ? "main:" : "", tid,
                     static_cast<double>(voluntary) / Exchanges,
                     static_cast<double>(involuntary) / Exchanges);
    }
    std::fprintf(stderr, "\n");
}

double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// ---- the libraries ----------------------------------------------------------------------------

// What the measures need of a library. Delivery happens in the library's own context (callback,
// slot, handler), which counts the bytes, stamps the time and, in ping-pong, answers.
class TPeer {
public:
    virtual ~TPeer() = default;
    virtual const char* Name() const = 0;
    // Opens and sets 115200 8N1 without flow control.
    virtual bool Open(const std::string& Path) = 0;
    virtual void Close() = 0;
    // Starts sending all of Data (waiting for room where the library has a bounded queue).
    virtual void Write(const Bytes& Data) = 0;
    // Counts deliveries from now on: AwaitReceived returns once Count bytes have come.
    virtual void Expect(std::size_t Count) = 0;
    // Runs the library until the expected bytes have been delivered; the time of the delivery.
    virtual Clock::time_point AwaitReceived() = 0;
    // Runs the library until `Fd` is readable.
    virtual void AwaitReadable(int Fd) = 0;
    virtual void RunFor(int Ms) = 0;
    // Sends Out; each time Reply bytes have come back, notes the round trip and sends Out again,
    // Count times, all in the delivery context. The round trips in seconds.
    virtual std::vector<double> PingPong(const Bytes& Out, std::size_t Reply, int Count) = 0;
};

// What every peer counts in its delivery context.
struct TDelivery {
    std::size_t Received = 0;
    std::size_t Target = 0;
    Clock::time_point At{};
    // Ping-pong state.
    const Bytes* Out = nullptr;
    std::size_t Reply = 0;
    int Left = 0;
    Clock::time_point Sent{};
    std::vector<double> Trips;

    // Adds n delivered bytes; returns true when a ping-pong answer is due.
    bool Add(std::size_t n)
    {
        Received += n;
        const auto now = Clock::now();
        if (Target && Received >= Target)
            At = now;
        if (Out && Received >= Reply) {
            Received -= Reply;
            Trips.push_back(Seconds(Sent, now));
            if (--Left > 0) {
                Sent = Clock::now();
                return true;
            }
            Out = nullptr;
        }
        return false;
    }
    bool Done() const { return Target ? Received >= Target : Out == nullptr; }
    // Starts a ping-pong of Count exchanges; the caller then sends Out.
    void StartPingPong(const Bytes& Data, std::size_t ReplySize, int Count)
    {
        Reset();
        Out = &Data;
        Reply = ReplySize;
        Left = Count;
        Sent = Clock::now();
    }
    std::vector<double> TakeTrips()
    {
        auto trips = std::move(Trips);
        Reset();
        return trips;
    }
    void Reset() { *this = TDelivery{}; }
};

class TCorePeer final : public TPeer {
public:
    TCorePeer()
    {
        FCore.SetDCB(coretest::TestDcb());
        // Queues of 64 KiB each way, as a program that moves bulk data would choose (the others
        // have no fixed limit).
        FCore.SetInQueueSize(kCoreQueue);
        FCore.SetOutQueueSize(kCoreQueue);
        FCore.OnCoreEvent = [this](TObject*, TAfCoreEvent Kind, DWORD, std::exception_ptr) { OnEvent(Kind); };
    }
    ~TCorePeer() override { Close(); }

    const char* Name() const override { return "core"; }
    bool Open(const std::string&) override
    {
        try {
            return FCore.Open(kCom);
        } catch (const std::exception&) {
            return false;
        }
    }
    void Close() override { FCore.Close(); }

    void Write(const Bytes& Data) override
    {
        std::size_t at = 0;
        while (at < Data.size()) {
            const auto room = static_cast<std::size_t>(std::max(FCore.OutputFree(), 0));
            const std::size_t n = std::min(room, Data.size() - at);
            if (n > 0 && FCore.WriteData(Data.data() + at, static_cast<std::int32_t>(n))) {
                at += n;
                continue;
            }
            std::unique_lock lock(FLock);
            FDrained.wait_for(lock, std::chrono::milliseconds(50), [&] { return FEmpty; });
            FEmpty = false;
        }
    }

    void Expect(std::size_t Count) override
    {
        std::lock_guard guard(FLock);
        FDelivery.Reset();
        FDelivery.Target = Count;
    }

    Clock::time_point AwaitReceived() override
    {
        std::unique_lock lock(FLock);
        if (!FChanged.wait_for(lock, std::chrono::milliseconds(kTimeoutMs), [&] { return FDelivery.Done(); }))
            Fail("core: input did not arrive");
        const auto at = FDelivery.At;
        FDelivery.Reset();
        return at;
    }

    void AwaitReadable(int Fd) override
    {
        pollfd in{Fd, POLLIN, 0};
        ::poll(&in, 1, kTimeoutMs);
    }

    void RunFor(int Ms) override { ::usleep(static_cast<useconds_t>(Ms) * 1000); }

    std::vector<double> PingPong(const Bytes& Out, std::size_t Reply, int Count) override
    {
        std::unique_lock lock(FLock);
        FDelivery.StartPingPong(Out, Reply, Count);
        FCore.WriteData(Out.data(), static_cast<std::int32_t>(Out.size()));
        if (!FChanged.wait_for(lock, std::chrono::milliseconds(kTimeoutMs) * Count,
                               [&] { return FDelivery.Done(); }))
            Fail("core: ping-pong stalled");
        return FDelivery.TakeTrips();
    }

private:
    void OnEvent(TAfCoreEvent Kind)
    {
        if (Kind == ceOutputEmpty) {
            std::lock_guard guard(FLock);
            FEmpty = true;
            FDrained.notify_all(); // only a writer waiting for room cares
            return;
        }
        if (Kind != ceCommEvent && Kind != ceInputPending)
            return;
        std::int32_t got;
        while ((got = FCore.ReadData(FBuffer, sizeof FBuffer)) > 0) {
            std::lock_guard guard(FLock);
            if (FDelivery.Add(static_cast<std::size_t>(got)))
                FCore.WriteData(FDelivery.Out->data(), static_cast<std::int32_t>(FDelivery.Out->size()));
            if (FDelivery.Done())
                FChanged.notify_all();
        }
    }

    std::mutex FLock;
    std::condition_variable FChanged; // deliveries done
    std::condition_variable FDrained; // the ring ran empty
    TDelivery FDelivery;
    bool FEmpty = false;
    std::uint8_t FBuffer[4096];
    TAfComPortCore FCore;
};

class TQtPeer final : public TPeer {
public:
    TQtPeer()
    {
        QObject::connect(&FPort, &QSerialPort::readyRead, [this] {
            for (;;) {
                const qint64 n = FPort.read(reinterpret_cast<char*>(FBuffer), sizeof FBuffer);
                if (n <= 0)
                    break;
                if (FDelivery.Add(static_cast<std::size_t>(n)))
                    FPort.write(reinterpret_cast<const char*>(FDelivery.Out->data()),
                                static_cast<qint64>(FDelivery.Out->size()));
            }
            if (FDelivery.Done())
                FLoop.quit();
        });
    }
    const char* Name() const override { return "QSerialPort"; }
    bool Open(const std::string& Path) override
    {
        FPort.setPortName(QString::fromStdString(Path));
        FPort.setBaudRate(115200);
        FPort.setDataBits(QSerialPort::Data8);
        FPort.setParity(QSerialPort::NoParity);
        FPort.setStopBits(QSerialPort::OneStop);
        FPort.setFlowControl(QSerialPort::NoFlowControl);
        return FPort.open(QIODevice::ReadWrite);
    }
    void Close() override { FPort.close(); }
    void Write(const Bytes& Data) override
    {
        FPort.write(reinterpret_cast<const char*>(Data.data()), static_cast<qint64>(Data.size()));
    }
    void Expect(std::size_t Count) override
    {
        FDelivery.Reset();
        FDelivery.Target = Count;
    }
    Clock::time_point AwaitReceived() override
    {
        if (!FDelivery.Done())
            Run();
        if (!FDelivery.Done())
            Fail("QSerialPort: input did not arrive");
        const auto at = FDelivery.At;
        FDelivery.Reset();
        return at;
    }
    void AwaitReadable(int Fd) override
    {
        QSocketNotifier notifier(Fd, QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &FLoop, &QEventLoop::quit);
        Run();
    }
    void RunFor(int Ms) override
    {
        QTimer::singleShot(Ms, &FLoop, &QEventLoop::quit);
        FLoop.exec();
    }
    std::vector<double> PingPong(const Bytes& Out, std::size_t Reply, int Count) override
    {
        FDelivery.StartPingPong(Out, Reply, Count);
        Write(Out);
        Run();
        if (!FDelivery.Done())
            Fail("QSerialPort: ping-pong stalled");
        return FDelivery.TakeTrips();
    }

private:
    void Run()
    {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &FLoop, &QEventLoop::quit);
        guard.start(kTimeoutMs * 10);
        FLoop.exec();
    }

    QSerialPort FPort;
    QEventLoop FLoop;
    TDelivery FDelivery;
    std::uint8_t FBuffer[65536];
};

class TAsioPeer final : public TPeer {
public:
    const char* Name() const override { return "Boost.Asio"; }
    bool Open(const std::string& Path) override
    {
        namespace asio = boost::asio;
        boost::system::error_code error;
        FPort.emplace(FIo);
        FPort->open(Path, error);
        if (error)
            return false;
        FPort->set_option(asio::serial_port::baud_rate(115200), error);
        FPort->set_option(asio::serial_port::character_size(8), error);
        FPort->set_option(asio::serial_port::parity(asio::serial_port::parity::none), error);
        FPort->set_option(asio::serial_port::stop_bits(asio::serial_port::stop_bits::one), error);
        FPort->set_option(asio::serial_port::flow_control(asio::serial_port::flow_control::none), error);
        return !error;
    }
    void Close() override
    {
        if (!FPort)
            return;
        FPort->close();
        FIo.restart();
        FIo.poll(); // lets the aborted read end
        FPort.reset();
        FReading = false;
    }
    void Write(const Bytes& Data) override
    {
        boost::asio::async_write(*FPort, boost::asio::buffer(Data),
                                 [](boost::system::error_code, std::size_t) {});
    }
    void Expect(std::size_t Count) override
    {
        FDelivery.Reset();
        FDelivery.Target = Count;
    }
    Clock::time_point AwaitReceived() override
    {
        Run([&] { return FDelivery.Done(); });
        const auto at = FDelivery.At;
        FDelivery.Reset();
        return at;
    }
    void AwaitReadable(int Fd) override
    {
        boost::asio::posix::stream_descriptor pipe(FIo, ::dup(Fd));
        bool ready = false;
        pipe.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                        [&](boost::system::error_code) { ready = true; });
        Run([&] { return ready; });
    }
    void RunFor(int Ms) override
    {
        StartReading();
        FIo.restart();
        FIo.run_for(std::chrono::milliseconds(Ms));
    }
    std::vector<double> PingPong(const Bytes& Out, std::size_t Reply, int Count) override
    {
        FDelivery.StartPingPong(Out, Reply, Count);
        Write(Out);
        Run([&] { return FDelivery.Done(); });
        return FDelivery.TakeTrips();
    }

private:
    void StartReading()
    {
        if (FReading)
            return;
        FReading = true;
        FPort->async_read_some(boost::asio::buffer(FBuffer),
                               [this](boost::system::error_code error, std::size_t n) {
                                   FReading = false;
                                   if (error)
                                       return;
                                   if (FDelivery.Add(n))
                                       Write(*FDelivery.Out);
                                   StartReading();
                               });
    }
    void Run(const std::function<bool()>& Done)
    {
        StartReading();
        FIo.restart();
        const auto deadline = Clock::now() + std::chrono::milliseconds(kTimeoutMs * 10);
        while (!Done() && Clock::now() < deadline)
            FIo.run_one_until(deadline);
        if (!Done())
            Fail("Asio: nothing arrived");
    }

    boost::asio::io_context FIo;
    std::optional<boost::asio::serial_port> FPort;
    bool FReading = false;
    TDelivery FDelivery;
    std::uint8_t FBuffer[65536];
};

// ---- the measures -----------------------------------------------------------------------------

struct TRow {
    std::string Name;
    std::string Unit;
    bool HigherIsBetter = false;
    std::map<std::string, std::vector<double>> Samples; // by peer
    bool Percentile99 = false;
};

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1,
                           static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

class TBench {
public:
    TBench(const char* Self, int Rounds, int IdleSeconds, bool PerThread)
        : FSelf(Self), FRounds(Rounds), FIdleMs(IdleSeconds * 1000), FPerThread(PerThread)
    {
        FPeers.push_back(std::make_unique<TCorePeer>());
        FPeers.push_back(std::make_unique<TQtPeer>());
        FPeers.push_back(std::make_unique<TAsioPeer>());
    }

    void Run()
    {
        for (int round = 0; round < FRounds; ++round) {
            std::fprintf(stderr, "round %d of %d\n", round + 1, FRounds);
            for (auto& peer : FPeers)
                RunRound(*peer, round);
        }
        Print();
    }

private:
    void RunRound(TPeer& Peer, int Round)
    {
        const std::string name = Peer.Name();
        OpenClose(Peer);
        TFarEnd far(FSelf, FPty.MasterFd());
        if (!Peer.Open(FPty.DevicePath()))
            Fail(name + ": cannot open " + FPty.DevicePath());
        Peer.RunFor(20);

        far.Send(kEcho, 1);
        for (std::size_t size : {1, 16, 256}) {
            const Bytes frame(size, 0x68);
            Peer.PingPong(frame, size, 20); // warm-up
            const auto trips = Peer.PingPong(frame, size, 300);
            auto& row = Row("echo " + std::to_string(size) + " B round trip", "us");
            for (double t : trips)
                row.Samples[name].push_back(t * 1e6);
            row.Percentile99 = true;
        }
        far.Send(kEcho, 0);

        {
            auto& row = Row("1 B, write call -> far end has it", "us");
            const Bytes byte(1, 0x31);
            for (int i = 0; i < 200; ++i) {
                far.Send(kSink, 1);
                const auto at = NowNs();
                Peer.Write(byte);
                Peer.AwaitReadable(far.ReportFd());
                const std::int64_t arrived = far.Next();
                if (i >= 10)
                    row.Samples[name].push_back(static_cast<double>(arrived - at) / 1e3);
            }
        }
        {
            auto& row = Row("1 B, far end writes -> program has it", "us");
            for (int i = 0; i < 200; ++i) {
                Peer.Expect(1);
                far.Send(kTick);
                const auto at = Peer.AwaitReceived();
                const std::int64_t sent = far.Next();
                const auto atNs =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
                if (i >= 10)
                    row.Samples[name].push_back(static_cast<double>(atNs - sent) / 1e3);
            }
        }

        if (Round < 3) {
            Peer.RunFor(200);
            const long switches = ContextSwitches();
            const double cpu = CpuSeconds();
            const auto start = Clock::now();
            Peer.RunFor(FIdleMs);
            const double seconds = Seconds(start, Clock::now());
            Row("idle open port, wakeups/s", "/s")
                .Samples[name]
                .push_back((ContextSwitches() - switches) / seconds);
            Row("idle open port, CPU ms/s", "ms/s")
                .Samples[name]
                .push_back((CpuSeconds() - cpu) * 1e3 / seconds);
        }

        {
            far.Send(kSlow, 1);
            const Bytes request(kSlowRequest, 0x10);
            const int exchanges = 10;
            Peer.PingPong(request, kSlowReply, 2);
            const auto threads = FPerThread ? ThreadSwitches() : std::map<long, std::pair<long, long>>{};
            const long switches = ContextSwitches();
            Peer.PingPong(request, kSlowReply, exchanges);
            if (FPerThread)
                PrintThreadSwitches(Peer.Name(), threads, exchanges);
            Row("slow link (5 B out, 20 B back after 50 ms): wakeups per exchange", "")
                .Samples[name]
                .push_back(static_cast<double>(ContextSwitches() - switches) / exchanges);
            far.Send(kSlow, 0);
        }

        {
            const Bytes data(kBulkBytes, 0x3C);
            far.Send(kSink, kBulkBytes);
            const double cpu = CpuSeconds();
            const auto at = NowNs();
            Peer.Write(data);
            Peer.AwaitReadable(far.ReportFd());
            const std::int64_t done = far.Next();
            const double seconds = static_cast<double>(done - at) / 1e9;
            Row("bulk out (program -> far end)", "MB/s", true)
                .Samples[name]
                .push_back(kBulkBytes / 1e6 / seconds);
            Row("bulk out, CPU per MB", "ms/MB")
                .Samples[name]
                .push_back((CpuSeconds() - cpu) * 1e3 / (kBulkBytes / 1e6));
        }
        {
            const double cpu = CpuSeconds();
            const auto start = Clock::now();
            Peer.Expect(kBulkBytes);
            far.Send(kSource, kBulkBytes);
            const auto at = Peer.AwaitReceived();
            const double seconds = Seconds(start, at);
            Row("bulk in (far end -> program)", "MB/s", true)
                .Samples[name]
                .push_back(kBulkBytes / 1e6 / seconds);
            Row("bulk in, CPU per MB", "ms/MB")
                .Samples[name]
                .push_back((CpuSeconds() - cpu) * 1e3 / (kBulkBytes / 1e6));
        }
        Peer.Close();
    }

    void OpenClose(TPeer& Peer)
    {
        auto& row = Row("open + close", "us");
        for (int i = 0; i < 40; ++i) {
            const auto start = Clock::now();
            if (!Peer.Open(FPty.DevicePath()))
                Fail(std::string(Peer.Name()) + ": cannot open");
            Peer.Close();
            if (i >= 5)
                row.Samples[Peer.Name()].push_back(Seconds(start, Clock::now()) * 1e6);
        }
    }

    TRow& Row(const std::string& Name, const std::string& Unit, bool HigherIsBetter = false)
    {
        for (auto& row : FRows)
            if (row.Name == Name)
                return row;
        FRows.push_back(TRow{Name, Unit, HigherIsBetter, {}, false});
        return FRows.back();
    }

    void PrintLine(const TRow& Row, const std::string& Label,
                   const std::function<double(const std::vector<double>&)>& Of)
    {
        std::printf("| %s |", Label.c_str());
        std::map<std::string, double> value;
        for (const auto& peer : FPeers) {
            const auto found = Row.Samples.find(peer->Name());
            value[peer->Name()] = found == Row.Samples.end() ? 0 : Of(found->second);
            std::printf(" %.3g |", value[peer->Name()]);
        }
        double best = -1;
        for (const auto& peer : FPeers) {
            if (std::string(peer->Name()) == "core")
                continue;
            const double v = value[peer->Name()];
            if (best < 0 || (Row.HigherIsBetter ? v > best : v < best))
                best = v;
        }
        const double core = value["core"];
        const double ratio = Row.HigherIsBetter ? (core > 0 ? best / core : 0) : (best > 0 ? core / best : 0);
        std::printf(" %.2f |\n", ratio);
    }

    void Print()
    {
        std::printf("\n| measure |");
        for (const auto& peer : FPeers)
            std::printf(" %s |", peer->Name());
        std::printf(" core vs best (>1: core worse) |\n|---|");
        for (std::size_t i = 0; i <= FPeers.size(); ++i)
            std::printf("---|");
        std::printf("\n");
        for (const auto& row : FRows) {
            const std::string unit = row.Unit.empty() ? "" : ", " + row.Unit;
            PrintLine(row, row.Name + (row.Percentile99 ? ", median" : "") + unit, Median);
            if (row.Percentile99)
                PrintLine(row, row.Name + ", p99" + unit,
                          [](const std::vector<double>& v) { return Percentile(v, 0.99); });
        }
    }

    const char* FSelf;
    int FRounds;
    int FIdleMs;
    bool FPerThread;
    AfPtyPort FPty{kCom};
    std::vector<std::unique_ptr<TPeer>> FPeers;
    std::vector<TRow> FRows;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--far-end") == 0)
        return FarEndMain(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    int rounds = 7;
    int idleSeconds = 4;
    bool perThread = false; // the slow link's switches by thread too, on stderr
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--per-thread") == 0)
            perThread = true;
        else if (i + 1 < argc && std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (i + 1 < argc && std::strcmp(argv[i], "--idle-seconds") == 0)
            idleSeconds = std::max(1, std::atoi(argv[++i]));
    }
    static const std::string portDir = AfTestPortDirectory();
    QCoreApplication app(argc, argv);
    TBench bench("/proc/self/exe", rounds, idleSeconds, perThread);
    bench.Run();
    return 0;
}
