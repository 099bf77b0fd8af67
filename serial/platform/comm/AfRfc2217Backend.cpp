// A serial port behind an RFC 2217 gateway: the Telnet session on the connection (AfTelnetCodec)
// and the far port's settings, lines, purges and notifications.
#include "comm/AfRfc2217Backend_p.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "comm/AfNetPort_p.h"
#include "comm/AfTelnetCodec_p.h"
#include "sync/AfWakeFd_p.h"

namespace vexora::serial::platform {

namespace {

using Codec = AfTelnetCodec;

// Source bytes taken by one Write at most (twice that, doubled, in the worst case).
constexpr std::size_t kWriteChunk = 4096;
// How much a purge reads away at most; what comes in faster than that is left for the next read.
constexpr int kDrainReads = 16;

// SET-CONTROL values.
constexpr BYTE kNoFlowControl = 1;
constexpr BYTE kXonXoffFlowControl = 2;
constexpr BYTE kHardwareFlowControl = 3;
constexpr BYTE kBreakOn = 5;
constexpr BYTE kBreakOff = 6;
constexpr BYTE kDtrOn = 8;
constexpr BYTE kDtrOff = 9;
constexpr BYTE kRtsOn = 11;
constexpr BYTE kRtsOff = 12;
// PURGE-DATA values: the gateway's buffer of what its port received, and of what it is to send.
constexpr BYTE kPurgeReceived = 1;
constexpr BYTE kPurgeToSend = 2;

// NOTIFY-LINESTATE and NOTIFY-MODEMSTATE bits, and the masks that ask for those taken here: line
// errors and breaks (not every byte's "data ready" or "transmitter empty"), and every modem line.
constexpr BYTE kLineOverrun = 0x02;
constexpr BYTE kLineParity = 0x04;
constexpr BYTE kLineFraming = 0x08;
constexpr BYTE kLineBreak = 0x10;
constexpr BYTE kLineStateMask = kLineOverrun | kLineParity | kLineFraming | kLineBreak;
constexpr BYTE kModemRingEnded = 0x04;
constexpr BYTE kModemCts = 0x10;
constexpr BYTE kModemDsr = 0x20;
constexpr BYTE kModemRing = 0x40;
constexpr BYTE kModemCarrier = 0x80;
constexpr BYTE kModemStateMask = 0xFF;

// What the far port is to be set to, in the protocol's codes; 0 for a line not set yet.
struct FarSettings {
    DWORD baud = 9600;
    BYTE dataSize = 8;
    BYTE parity = 1; // none
    BYTE stopSize = 1;
    BYTE flow = kNoFlowControl;
    BYTE dtr = 0;
    BYTE rts = 0;
    BYTE brk = kBreakOff;
};

BYTE ParityCode(BYTE parity)
{
    return static_cast<BYTE>(parity + 1); // NOPARITY, ODD, EVEN, MARK, SPACE: 1 to 5
}

BYTE StopCode(BYTE stopBits)
{
    return stopBits == ONESTOPBIT ? 1 : stopBits == TWOSTOPBITS ? 2 : 3;
}

// The DCB's stop bits of a STOPSIZE code; 0xFF for none.
BYTE StopBitsOf(BYTE code)
{
    return code == 1 ? ONESTOPBIT : code == 2 ? TWOSTOPBITS : code == 3 ? ONE5STOPBITS : 0xFF;
}

BYTE FlowCode(const DCB& dcb)
{
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        return kHardwareFlowControl;
    if (dcb.fOutX || dcb.fInX)
        return kXonXoffFlowControl;
    return kNoFlowControl;
}

class Rfc2217Backend final : public AfCommBackend {
public:
    Rfc2217Backend(int fd, int notifyFd) : fd_(fd), notifyFd_(notifyFd)
    {
        codec_.Greet(out_);
        Flush();
    }

    ~Rfc2217Backend() override
    {
        ::close(notifyFd_);
        ::close(fd_);
    }

    // Before the driver has the backend: waits until `until` for the gateway's answer about its
    // port, taking in what it sends meanwhile (data as text into `said`). False when the gateway
    // ended the connection.
    bool Settle(std::chrono::steady_clock::time_point until, std::string& said)
    {
        BYTE buffer[512];
        for (;;) {
            {
                std::lock_guard guard(lock_);
                if (answered_)
                    return true;
            }
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0)
                return true;
            pollfd wait{fd_, POLLIN, 0};
            if (::poll(&wait, 1, static_cast<int>(left)) <= 0)
                continue;
            const long n = Read(buffer, sizeof buffer);
            if (n < 0)
                return false;
            AfAppendGatewayText(said, buffer, static_cast<std::size_t>(n));
        }
    }

    int DataFd() const override { return fd_; }
    int NotifyFd() const override { return notifyFd_; }

    void ClearNotify() override { AfTakeWakeFd(notifyFd_); }

    long Read(void* buffer, std::size_t count) override
    {
        if (ended_)
            return -1;
        // Decoded data are never longer than what they came in, so `count` bytes of the stream fit.
        raw_.resize(std::max<std::size_t>(count, 1));
        const long n = AfReceive(fd_, raw_.data(), count);
        if (n <= 0) {
            ended_ = n < 0; // the gateway closed the connection, or it broke
            return n;
        }
        std::lock_guard guard(lock_);
        // 0 when only Telnet commands came.
        return static_cast<long>(Take(raw_.data(), static_cast<std::size_t>(n), static_cast<BYTE*>(buffer)));
    }

    long Write(const void* buffer, std::size_t count) override
    {
        std::lock_guard guard(lock_);
        // What is still queued goes first, whole, so that nothing comes between an IAC and its pair.
        if (!Flush())
            return broken_ ? -1 : 0;
        const std::size_t take = std::min(count, kWriteChunk);
        Codec::Escape(static_cast<const BYTE*>(buffer), take, out_);
        Flush();
        return broken_ ? -1 : static_cast<long>(take);
    }

    DWORD SetState(const DCB& dcb) override
    {
        std::lock_guard guard(lock_);
        wanted_.baud = dcb.BaudRate;
        wanted_.dataSize = dcb.ByteSize;
        wanted_.parity = ParityCode(dcb.Parity);
        wanted_.stopSize = StopCode(dcb.StopBits);
        wanted_.flow = FlowCode(dcb);
        frameSet_ = true;
        state_ = dcb;
        SendChanges();
        return ERROR_SUCCESS;
    }

    DWORD GetState(DCB& dcb) override
    {
        std::lock_guard guard(lock_);
        dcb.BaudRate = state_.BaudRate;
        dcb.ByteSize = state_.ByteSize;
        dcb.Parity = state_.Parity;
        dcb.StopBits = state_.StopBits;
        return ERROR_SUCCESS;
    }

    DWORD SetLines(DWORD on, DWORD off) override
    {
        std::lock_guard guard(lock_);
        if (on & AF_LINE_DTR)
            wanted_.dtr = kDtrOn;
        else if (off & AF_LINE_DTR)
            wanted_.dtr = kDtrOff;
        if (on & AF_LINE_RTS)
            wanted_.rts = kRtsOn;
        else if (off & AF_LINE_RTS)
            wanted_.rts = kRtsOff;
        SendChanges();
        return ERROR_SUCCESS;
    }

    DWORD SetBreak(bool on) override
    {
        std::lock_guard guard(lock_);
        wanted_.brk = on ? kBreakOn : kBreakOff;
        SendChanges();
        return ERROR_SUCCESS;
    }

    // The option can only hold back what the gateway sends, not what it has been sent.
    DWORD SetOutputFlow(bool) override { return ERROR_NOT_SUPPORTED; }

    bool GetLineStatus(AfLineStatus& status) override
    {
        std::lock_guard guard(lock_);
        status = status_;
        return true;
    }

    // The gateway's notifications are announced through the notify descriptor.
    int LineStatusPollMs() const override { return 0; }

    // The gateway drops what its port has received and not sent on; what has come in here and not
    // been read is dropped too (its Telnet commands still count). Bytes on their way from the
    // gateway when it purged arrive afterwards.
    void FlushInput() override
    {
        std::lock_guard guard(lock_);
        Purge(kPurgeReceived);
        BYTE scratch[4096];
        for (int i = 0; i < kDrainReads && !ended_; ++i) {
            const long n = AfReceive(fd_, scratch, sizeof scratch);
            ended_ = n < 0; // told by the next read
            if (n <= 0)
                break;
            Take(scratch, static_cast<std::size_t>(n), scratch);
            if (n < static_cast<long>(sizeof scratch))
                break;
        }
    }

    // The gateway drops what it holds to send on its port. What is queued here is Telnet stream
    // and goes on as it is.
    void FlushOutput() override
    {
        std::lock_guard guard(lock_);
        Purge(kPurgeToSend);
    }

    // Stream bytes not yet taken by the connection (the socket was full): a write is done once
    // they have gone. Each look sends what the connection takes now.
    long OutputQueued() override
    {
        std::lock_guard guard(lock_);
        Flush();
        return static_cast<long>(out_.size());
    }

private:
    // ---- under lock_

    // Decodes stream bytes: data to `data`, answers to the gateway queued and sent, notifications
    // taken. Returns the number of data bytes.
    std::size_t Take(const BYTE* in, std::size_t count, BYTE* data)
    {
        const bool agreed = codec_.ComPortAgreed();
        const std::size_t taken = codec_.Decode(in, count, data, out_, messages_);
        if (!agreed && codec_.ComPortAgreed())
            Agreed();
        for (const std::vector<BYTE>& message : messages_)
            Notice(message);
        messages_.clear();
        Flush();
        return taken;
    }

    // The gateway has agreed to the option: the notifications wanted, the far port's frame asked
    // for, and everything set so far.
    void Agreed()
    {
        Codec::ComPortCommand(Codec::kSetLineStateMask, {kLineStateMask}, out_);
        Codec::ComPortCommand(Codec::kSetModemStateMask, {kModemStateMask}, out_);
        if (!frameSet_) {
            // A value of 0 asks for the one in force.
            Codec::ComPortCommand(Codec::kSetBaudRate, {0, 0, 0, 0}, out_);
            for (const BYTE query : {Codec::kSetDataSize, Codec::kSetParity, Codec::kSetStopSize})
                Codec::ComPortCommand(query, {0}, out_);
        }
        sentFrame_ = false;
        sent_ = {};
        SendChanges();
    }

    // Sends what differs from what was sent: the frame once a caller has set one, each line once
    // set, the break when on.
    void SendChanges()
    {
        if (!codec_.ComPortAgreed())
            return; // all of it goes once the gateway agrees
        const auto command = [this](BYTE code, std::initializer_list<BYTE> value) {
            Codec::ComPortCommand(code, value, out_);
        };
        if (frameSet_) {
            const bool all = !sentFrame_;
            if (all || wanted_.baud != sent_.baud) {
                const DWORD baud = wanted_.baud;
                command(Codec::kSetBaudRate, {static_cast<BYTE>(baud >> 24), static_cast<BYTE>(baud >> 16),
                                              static_cast<BYTE>(baud >> 8), static_cast<BYTE>(baud)});
            }
            if (all || wanted_.dataSize != sent_.dataSize)
                command(Codec::kSetDataSize, {wanted_.dataSize});
            if (all || wanted_.parity != sent_.parity)
                command(Codec::kSetParity, {wanted_.parity});
            if (all || wanted_.stopSize != sent_.stopSize)
                command(Codec::kSetStopSize, {wanted_.stopSize});
            if (all || wanted_.flow != sent_.flow)
                command(Codec::kSetControl, {wanted_.flow});
            sentFrame_ = true;
        }
        for (BYTE FarSettings::*line : {&FarSettings::dtr, &FarSettings::rts, &FarSettings::brk})
            if (wanted_.*line != 0 && wanted_.*line != sent_.*line)
                command(Codec::kSetControl, {wanted_.*line});
        sent_ = wanted_;
        Flush();
    }

    void Purge(BYTE which)
    {
        if (!codec_.ComPortAgreed())
            return;
        Codec::ComPortCommand(Codec::kPurgeData, {which}, out_);
        Flush();
    }

    // A notification of the far port (its lines, or errors on its line), or an answer to a command.
    // Answers change nothing once a caller has set the frame: what was set is what it reads back.
    void Notice(const std::vector<BYTE>& message)
    {
        if (message.size() < 2)
            return;
        const BYTE value = message[1];
        if (message[0] == Codec::kServer + Codec::kSetBaudRate && message.size() == 5) {
            answered_ = true;
            const DWORD baud = static_cast<DWORD>(message[1]) << 24 | static_cast<DWORD>(message[2]) << 16 |
                               static_cast<DWORD>(message[3]) << 8 | message[4];
            if (!frameSet_ && baud != 0)
                state_.BaudRate = baud;
            return;
        }
        if (!frameSet_ && message[0] == Codec::kServer + Codec::kSetDataSize && value >= 5 && value <= 8)
            state_.ByteSize = value;
        if (!frameSet_ && message[0] == Codec::kServer + Codec::kSetParity && value >= 1 && value <= 5)
            state_.Parity = static_cast<BYTE>(value - 1);
        if (!frameSet_ && message[0] == Codec::kServer + Codec::kSetStopSize && StopBitsOf(value) != 0xFF)
            state_.StopBits = StopBitsOf(value);
        AfLineStatus now = status_;
        if (message[0] == Codec::kServer + Codec::kNotifyModemState) {
            now.modem = ((value & kModemCts) ? MS_CTS_ON : 0) | ((value & kModemDsr) ? MS_DSR_ON : 0) |
                        ((value & kModemRing) ? MS_RING_ON : 0) | ((value & kModemCarrier) ? MS_RLSD_ON : 0);
            if (value & kModemRingEnded)
                ++now.rings;
        } else if (message[0] == Codec::kServer + Codec::kNotifyLineState) {
            now.overrun += (value & kLineOverrun) ? 1 : 0;
            now.parity += (value & kLineParity) ? 1 : 0;
            now.frame += (value & kLineFraming) ? 1 : 0;
            now.breaks += (value & kLineBreak) ? 1 : 0;
        } else {
            return;
        }
        if (now.modem == status_.modem && now.rings == status_.rings && now.overrun == status_.overrun &&
            now.parity == status_.parity && now.frame == status_.frame && now.breaks == status_.breaks)
            return;
        status_ = now;
        AfSignalWakeFd(notifyFd_);
    }

    // Sends what is queued as far as the connection takes it: true when all of it went.
    bool Flush()
    {
        std::size_t sent = 0;
        while (sent < out_.size() && !broken_) {
            const ssize_t n =
                ::send(fd_, out_.data() + sent, out_.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            else
                broken_ = true; // the next write tells it, or the next read
        }
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(sent));
        if (broken_)
            out_.clear();
        return out_.empty() && !broken_;
    }

    const int fd_;
    const int notifyFd_;
    std::mutex lock_; // everything below but the reader's own fields
    Codec codec_;
    std::vector<BYTE> out_; // stream bytes the connection has not taken yet
    bool broken_ = false;   // a send failed: the connection is gone
    std::vector<std::vector<BYTE>> messages_;
    DCB state_ = AfNetPortFirstSettings();
    FarSettings wanted_;
    FarSettings sent_;
    bool frameSet_ = false;  // a caller has set the line
    bool answered_ = false;  // the gateway has answered about its port's rate
    bool sentFrame_ = false; // the frame has gone to the gateway since it agreed
    AfLineStatus status_{};

    // The reader's own (Read and FlushInput, which the driver never runs at once).
    std::vector<BYTE> raw_;
    bool ended_ = false;
};

} // namespace

AfNetSession AfOpenRfc2217Session(int socket, int settleMs)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(settleMs);
    AfNetSession session;
    const int notifyFd = AfMakeWakeFd();
    if (notifyFd < 0) {
        ::close(socket);
        return session;
    }
    auto backend = std::make_unique<Rfc2217Backend>(socket, notifyFd);
    if (backend->Settle(until, session.Said))
        session.Backend = std::move(backend);
    else
        session.Ended = true;
    return session;
}

} // namespace vexora::serial::platform
