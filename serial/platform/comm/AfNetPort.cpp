// Network ports: the connection to a gateway, and the raw TCP backend.
#include "comm/AfNetPort_p.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "comm/AfRfc2217Backend_p.h"
#include "ports/AfNetAddress_p.h"

namespace vexora::serial::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Data sent and not acknowledged for this long breaks the connection, so that a gateway that has
// vanished without a word (switched off, cable pulled) is found gone rather than waited for.
constexpr unsigned kUnacknowledgedMs = 20000;
// How long a new connection is watched for the gateway ending it at once (as one that serves one
// client at a time does while its port is taken, or until it has let go of the last client):
// over RFC 2217 until the gateway answers about its port, which it does at once when it serves
// it (a gateway that does not answer costs the whole time, at least a second and four times as
// long as the connection took); over raw TCP, which has no such answer, for three times as long
// as the connection took, and at least kRawSettleMinMs. A port that stays taken is tried again for
// kBusyRetryMs.
constexpr int kRfc2217SettleMinMs = 1000;
constexpr int kRawSettleMinMs = 100;
constexpr int kSettleMaxMs = 3000;
constexpr int kBusyRetryMs = 1000;
constexpr int kBusyPauseMs = 20;
constexpr std::size_t kGatewayTextMax = 120;
// How much a purge reads away at most; what comes in faster than that is left for the next read.
constexpr int kDrainReads = 16;

struct AddressList {
    addrinfo* list = nullptr;
    ~AddressList()
    {
        if (list)
            ::freeaddrinfo(list);
    }
};

// A name resolution on a thread of its own, so that a resolver that does not answer cannot hold
// the open beyond its time-out. Whoever ends last frees the result.
struct Lookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int result = 0;
    addrinfo* list = nullptr;
};

std::string Duration(int ms)
{
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

DWORD Resolve(const std::string& host, const std::string& port, Clock::time_point deadline, int timeoutMs,
              AddressList& addresses, std::string& reason)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    // An address written as one needs no resolver.
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses.list) == 0)
        return ERROR_SUCCESS;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, port, hints] {
            addrinfo* list = nullptr;
            const int result = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
            std::lock_guard guard(lookup->lock);
            if (lookup->abandoned) {
                if (list)
                    ::freeaddrinfo(list);
                return;
            }
            lookup->result = result;
            lookup->list = list;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        reason = "no thread to resolve the host name";
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::unique_lock guard(lookup->lock);
    if (!lookup->done.wait_until(guard, deadline, [&] { return lookup->finished; })) {
        lookup->abandoned = true;
        reason = "the host name did not resolve within " + Duration(timeoutMs);
        return ERROR_TIMEOUT;
    }
    addresses.list = lookup->list;
    switch (lookup->result) {
    case 0:
        return ERROR_SUCCESS;
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        reason = "the host name does not resolve";
        return ERROR_BAD_NETPATH;
    default:
        reason = std::string("the host name cannot be resolved (") + ::gai_strerror(lookup->result) + ")";
        return ERROR_BAD_NETPATH;
    }
}

DWORD ConnectError(int error, std::string& reason)
{
    switch (error) {
    case ECONNREFUSED:
        reason = "connection refused";
        return ERROR_CONNECTION_REFUSED;
    case EHOSTUNREACH:
        reason = "no route to the host";
        return ERROR_HOST_UNREACHABLE;
    case ENETUNREACH:
        reason = "the network is unreachable";
        return ERROR_NETWORK_UNREACHABLE;
    default:
        reason = std::strerror(error);
        return ERROR_GEN_FAILURE;
    }
}

// One attempt at one address: the connected socket, or -1 with `error` and `reason` set.
int ConnectOne(const addrinfo& address, Clock::time_point deadline, int timeoutMs, DWORD& error,
               std::string& reason)
{
    const int fd =
        ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (fd < 0) {
        error = ConnectError(errno, reason);
        return -1;
    }
    int result = ::connect(fd, address.ai_addr, address.ai_addrlen);
    int failure = result == 0 ? 0 : errno;
    while (failure == EINPROGRESS || failure == EINTR) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            ::close(fd);
            reason = "no connection within " + Duration(timeoutMs);
            error = ERROR_TIMEOUT;
            return -1;
        }
        pollfd wait{fd, POLLOUT, 0};
        result = ::poll(&wait, 1, static_cast<int>(left));
        if (result < 0) {
            failure = errno == EINTR ? EINPROGRESS : errno;
            continue;
        }
        if (result == 0)
            continue; // the deadline above ends it
        socklen_t size = sizeof failure;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0)
            failure = errno;
    }
    if (failure != 0) {
        ::close(fd);
        error = ConnectError(failure, reason);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUnacknowledgedMs, sizeof kUnacknowledgedMs);
    return fd;
}

// Raw bytes to and from a gateway that keeps its own line settings: the settings a caller makes
// are kept here and read back as they were made. There are no modem lines (as on a
// pseudo-terminal), and neither a break nor a local flow stop can be sent.
class TcpBackend final : public AfCommBackend {
public:
    explicit TcpBackend(int fd) : fd_(fd) {}
    ~TcpBackend() override { ::close(fd_); }

    int DataFd() const override { return fd_; }

    long Read(void* buffer, std::size_t count) override
    {
        if (ended_)
            return -1;
        const long n = AfReceive(fd_, buffer, count);
        ended_ = n < 0; // the gateway closed the connection, or it broke
        return n;
    }

    long Write(const void* buffer, std::size_t count) override
    {
        const ssize_t n = ::send(fd_, buffer, count, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<long>(n);
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    }

    DWORD SetState(const DCB& dcb) override
    {
        settings_ = dcb;
        return ERROR_SUCCESS;
    }

    DWORD GetState(DCB& dcb) override
    {
        dcb.BaudRate = settings_.BaudRate;
        dcb.ByteSize = settings_.ByteSize;
        dcb.Parity = settings_.Parity;
        dcb.StopBits = settings_.StopBits;
        return ERROR_SUCCESS;
    }

    DWORD SetLines(DWORD, DWORD) override { return ERROR_SUCCESS; }
    DWORD SetBreak(bool) override { return ERROR_NOT_SUPPORTED; }
    DWORD SetOutputFlow(bool) override { return ERROR_NOT_SUPPORTED; }
    bool GetLineStatus(AfLineStatus&) override { return false; }
    int LineStatusPollMs() const override { return 0; }

    // What has come in and not been read is dropped, as a terminal's input buffer is.
    void FlushInput() override
    {
        BYTE scratch[4096];
        for (int i = 0; i < kDrainReads && !ended_; ++i) {
            const long n = AfReceive(fd_, scratch, sizeof scratch);
            ended_ = n < 0; // told by the next read
            if (n < static_cast<long>(sizeof scratch))
                break;
        }
    }
    // Bytes the connection has taken are on their way; nothing can call them back.
    void FlushOutput() override {}

private:
    int fd_;
    bool ended_ = false; // only the reader's side (Read, FlushInput) touches it, one at a time
    DCB settings_ = AfNetPortFirstSettings();
};

// Watches a raw connection until `until`, taking in what comes (as text into `said`): false when the
// gateway ended it.
bool SettleRaw(int fd, Clock::time_point until, std::string& said)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            return true;
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(left)) <= 0)
            continue;
        BYTE buffer[512];
        const long n = AfReceive(fd, buffer, sizeof buffer);
        if (n < 0)
            return false;
        AfAppendGatewayText(said, buffer, static_cast<std::size_t>(n));
    }
}

// One connection to the gateway and its first moments.
AfNetSession OpenSession(const AfNetAddress& address, Clock::time_point deadline, DWORD& error,
                         std::string& reason)
{
    const auto start = Clock::now();
    const int timeoutMs = static_cast<int>(
        std::max<long long>(std::chrono::ceil<std::chrono::milliseconds>(deadline - start).count(), 1));
    const int fd = AfConnectTcp(address.Host, address.Port, timeoutMs, error, reason);
    if (fd < 0)
        return {};
    const auto took = std::chrono::ceil<std::chrono::milliseconds>(Clock::now() - start).count();
    if (address.Kind == AfNetPortKind::Rfc2217)
        return AfOpenRfc2217Session(
            fd, static_cast<int>(std::clamp<long long>(4 * took, kRfc2217SettleMinMs, kSettleMaxMs)));
    const auto settle = std::clamp<long long>(3 * took, kRawSettleMinMs, kSettleMaxMs);
    AfNetSession session;
    if (!SettleRaw(fd, Clock::now() + std::chrono::milliseconds(settle), session.Said)) {
        ::close(fd);
        session.Ended = true;
        return session;
    }
    session.Backend = std::make_unique<TcpBackend>(fd);
    return session;
}

} // namespace

DCB AfNetPortFirstSettings()
{
    DCB dcb{};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return dcb;
}

long AfReceive(int socket, void* buffer, std::size_t count)
{
    ssize_t n;
    do {
        n = ::recv(socket, buffer, count, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        const int on = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        return static_cast<long>(n);
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

void AfAppendGatewayText(std::string& text, const BYTE* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count && text.size() < kGatewayTextMax; ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (c >= ' ' && c <= '~')
            text += c;
        else if ((c == '\r' || c == '\n' || c == '\t') && !text.empty() && text.back() != ' ')
            text += ' ';
    }
}

int AfConnectTcp(const std::string& host, const std::string& port, int timeoutMs, DWORD& error,
                 std::string& reason)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    AddressList addresses;
    error = Resolve(host, port, deadline, timeoutMs, addresses, reason);
    if (error != ERROR_SUCCESS)
        return -1;
    error = ERROR_BAD_NETPATH;
    reason = "the host name has no address";
    for (const addrinfo* address = addresses.list; address; address = address->ai_next) {
        const int fd = ConnectOne(*address, deadline, timeoutMs, error, reason);
        if (fd >= 0)
            return fd;
        if (error == ERROR_TIMEOUT)
            break;
    }
    return -1;
}

std::unique_ptr<AfCommBackend> AfOpenNetPort(const std::string& address, DWORD& error)
{
    AfNetAddress parsed;
    if (!AfParseNetAddress(address, parsed)) {
        AfNoteNetPortProblem(address,
                             "not a network port's address (rfc2217://HOST:PORT or tcp://HOST:PORT)");
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(AF_NET_CONNECT_TIMEOUT_MS);
    for (;;) {
        std::string reason;
        AfNetSession session = OpenSession(parsed, deadline, error, reason);
        if (session.Backend) {
            AfNoteNetPortProblem(address, {});
            return std::move(session.Backend);
        }
        if (!session.Ended) {
            if (reason.empty()) {
                reason = "no descriptor to be had";
                error = ERROR_NOT_ENOUGH_MEMORY;
            }
            AfNoteNetPortProblem(address, reason);
            return nullptr;
        }
        // The gateway ended the connection at once: its port is taken, perhaps only until it has
        // let go of the last client.
        const auto pause = std::chrono::milliseconds(kBusyPauseMs);
        if (Clock::now() + pause - start > std::chrono::milliseconds(kBusyRetryMs) ||
            Clock::now() + pause >= deadline) {
            reason = "the gateway ended the connection at once";
            std::string said = session.Said;
            while (!said.empty() && said.back() == ' ')
                said.pop_back();
            if (!said.empty())
                reason += " (\"" + said + "\")";
            AfNoteNetPortProblem(address, reason);
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        std::this_thread::sleep_for(pause);
    }
}

} // namespace vexora::serial::platform
