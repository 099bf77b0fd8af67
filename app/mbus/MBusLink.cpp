#include "MBusLink.h"

#include <algorithm>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "MBusTelegram.h"
#include "PumpWait.h"

namespace {

// Bits a byte takes on the line at most: start bit, 8 data bits, parity, 2 stop bits.
constexpr std::uint64_t kMaxBitsPerByte = 12;
// How much longer than the line needs for it the output may take before the request is given up.
constexpr std::uint64_t kDrainMarginMs = 2000;
// The output-empty event of the port wakes the event loop as soon as the request has left the
// queue; this only bounds a wait in which no event comes.
constexpr std::uint32_t kDrainCheckMs = 100;

// A character of the M-Bus line: start bit, 8 data bits, even parity, stop bit.
constexpr std::uint64_t kBitsPerCharacter = 11;
// A slave answers within 330 bit times and 50 ms after the end of the request.
constexpr std::uint64_t kAnswerBits = 330;
constexpr std::uint32_t kAnswerExtraMs = 50;
// A request that got no acknowledgement is sent once more.
constexpr int kProbeAttempts = 2;

} // namespace

void TMBusLink::SendTelegram(std::int32_t Length)
{
    // SendData would read on behind the buffer.
    if (Length > TelegramBufSize)
        throw std::out_of_range("a request of " + std::to_string(Length) + " bytes is longer than the " +
                                std::to_string(TelegramBufSize) + "-byte telegram buffer");
    FRequest.assign(FTelegram.begin(), FTelegram.begin() + std::max(Length, 0));
    FPort.SendData(FTelegram.data(), Length);
}

void TMBusLink::Delay(std::uint32_t Ms)
{
    const std::vector<std::uint8_t> request = std::exchange(FRequest, {});
    if (!WaitOutputDrained())
        return;
    FPort.ClearInput();
    WaitForAnswer(Ms);
    if (FPort.IsPortOpen())
        TakeAnswer(request);
}

bool TMBusLink::Probe(std::int32_t Addr)
{
    for (int attempt = 0; attempt < kProbeAttempts; ++attempt)
        if (ProbeOnce(Addr))
            return true;
    return false;
}

bool TMBusLink::ProbeOnce(std::int32_t Addr)
{
    FPort.ClearInput();
    FPort.ClearOutput();
    const int length = BuildSndNke(FTelegram, Addr);
    const std::vector<std::uint8_t> request(FTelegram.begin(), FTelegram.begin() + length);
    FPort.SendData(FTelegram.data(), length);
    if (!WaitOutputDrained())
        return false;
    FPort.ClearInput();
    // Handed to the device, the request may still be on its way down the line.
    const std::uint32_t answerMs =
        BitTimeMs((static_cast<std::uint64_t>(length) + 1) * kBitsPerCharacter + kAnswerBits) +
        kAnswerExtraMs;
    std::vector<std::uint8_t> received;
    bool acknowledged = false;
    // Bytes are taken as they come, so that the acknowledgement ends the wait; an echo of the
    // request ahead of it is no answer.
    const auto answered = [&] {
        if (!FPort.IsPortOpen())
            return true;
        const std::int32_t waiting = FPort.InputCount();
        if (waiting > 0) {
            const std::size_t had = received.size();
            received.resize(had + static_cast<std::size_t>(waiting));
            FPort.ReceiveData(received.data() + had, waiting);
        }
        const std::size_t echo = MBusEchoLength(received, request);
        acknowledged = echo < received.size() && received[echo] == MBusAck;
        return acknowledged;
    };
    PumpUntil(answered, answerMs, answerMs);
    // The line rests one character time after an answer before the next request.
    if (acknowledged)
        PumpWait(BitTimeMs(kBitsPerCharacter));
    return acknowledged;
}

std::uint32_t TMBusLink::BitTimeMs(std::uint64_t Bits) const
{
    const std::uint64_t rate = std::max<std::uint64_t>(FPort.DCB().BaudRate, 1);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>((Bits * 1000 + rate - 1) / rate, UINT32_MAX));
}

bool TMBusLink::WaitOutputDrained()
{
    const auto queued = static_cast<std::uint64_t>(std::max(FPort.OutputCount(), 0));
    const std::uint64_t limit = BitTimeMs(queued * kMaxBitsPerByte) + kDrainMarginMs;
    const auto drained = [this] { return !FPort.IsPortOpen() || FPort.OutputCount() == 0; };
    PumpUntil(drained, kDrainCheckMs, static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, UINT32_MAX)));
    return FPort.IsPortOpen() && FPort.OutputCount() == 0;
}

void TMBusLink::WaitForAnswer(std::uint32_t Ms)
{
    if (Ms == 0) {
        PumpWait(0);
        return;
    }
    // Checked after every batch of events, so a close ends the wait at once.
    PumpUntil([this] { return !FPort.IsPortOpen(); }, Ms, Ms);
}

void TMBusLink::TakeAnswer(const std::vector<std::uint8_t>& Request)
{
    const std::int32_t waiting = FPort.InputCount();
    if (waiting <= 0)
        return;
    std::vector<std::uint8_t> received(static_cast<std::size_t>(waiting));
    FPort.ReceiveData(received.data(), waiting);
    // The purge before the wait drops an echo that came while the request went out; one that
    // reached the port only after the purge (the line still carrying the request when the driver
    // had taken it) leads the answer instead.
    const auto answer = std::span(received).subspan(MBusEchoLength(received, Request));
    // What the buffer cannot hold is no answer the decoders could check; read out, it cannot be
    // taken for the start of the next one.
    const auto taken = std::min(answer.size(), FTelegram.size());
    std::copy_n(answer.begin(), taken, FTelegram.begin());
}
