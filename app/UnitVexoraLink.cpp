// TForm1's port link: the start-up choice of the port, and the wait that completes an exchange
// with the meter.
#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "MBusTelegram.h"
#include "PumpWait.h"
#include "UnitVexora.h"

namespace {

// Bits a byte takes on the line at most: start bit, 8 data bits, parity, 2 stop bits.
constexpr std::uint64_t kMaxBitsPerByte = 12;
// How much longer than the line needs for it the output may take before the request is given up.
constexpr std::uint64_t kDrainMarginMs = 2000;
// The output-empty event of the port wakes the event loop as soon as the request has left the
// queue; this only bounds a wait in which no event comes.
constexpr std::uint32_t kDrainCheckMs = 100;

} // namespace

void TForm1::FormCreate(QObject*)
{
    // Selecting from code neither opens nor renumbers the port.
    AfPortComboBox1->SetItemIndex(0);
    if (AfPortComboBox1->count() == 0)
        return;
    AfComPort1->SetComNumber(static_cast<std::uint16_t>(AfPortComboBox1->ItemPortNumber(0)));
}

void TForm1::SendTelegram(std::int32_t Length)
{
    FRequest.assign(TelegramBuf, TelegramBuf + std::clamp(Length, 0, TelegramBufSize));
    AfComPort1->SendData(TelegramBuf, Length);
}

void TForm1::Delay(std::uint32_t Ms)
{
    const std::vector<std::uint8_t> request = std::exchange(FRequest, {});
    if (!WaitOutputDrained())
        return;
    AfComPort1->ClearInput();
    WaitForAnswer(Ms);
    if (AfComPort1->IsPortOpen())
        TakeAnswer(request);
}

bool TForm1::WaitOutputDrained()
{
    TAfComPort& port = *AfComPort1;
    const auto queued = static_cast<std::uint64_t>(std::max(port.OutputCount(), 0));
    const std::uint64_t rate = std::max<std::uint64_t>(port.DCB().BaudRate, 1);
    const std::uint64_t limit = queued * kMaxBitsPerByte * 1000 / rate + kDrainMarginMs;
    const auto drained = [&port] { return !port.IsPortOpen() || port.OutputCount() == 0; };
    PumpUntil(drained, kDrainCheckMs, static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, UINT32_MAX)));
    return port.IsPortOpen() && port.OutputCount() == 0;
}

void TForm1::WaitForAnswer(std::uint32_t Ms)
{
    if (Ms == 0) {
        PumpWait(0);
        return;
    }
    // Checked after every batch of events, so a close ends the wait at once.
    PumpUntil([this] { return !AfComPort1->IsPortOpen(); }, Ms, Ms);
}

void TForm1::TakeAnswer(const std::vector<std::uint8_t>& Request)
{
    const std::int32_t waiting = AfComPort1->InputCount();
    if (waiting <= 0)
        return;
    std::vector<std::uint8_t> received(static_cast<std::size_t>(waiting));
    AfComPort1->ReceiveData(received.data(), waiting);
    // The purge before the wait drops an echo that came while the request went out; one that
    // reached the port only after the purge (the line still carrying the request when the driver
    // had taken it) leads the answer instead.
    const auto answer = std::span(received).subspan(MBusEchoLength(received, Request));
    // What the buffer cannot hold is no answer the decoders could check; read out, it cannot be
    // taken for the start of the next one.
    const auto taken = std::min(answer.size(), static_cast<std::size_t>(TelegramBufSize));
    std::copy_n(answer.begin(), taken, TelegramBuf);
}
