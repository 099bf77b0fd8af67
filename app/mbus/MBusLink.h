// The exchange with a meter over one port component: a request built in the telegram buffer goes
// out, and after a fixed wait whatever arrived is taken into the same buffer as the answer. Half-duplex and
// strictly one exchange at a time, on the thread that owns the port, whose events every wait keeps
// serving (PumpWait): the port's own events wake it, and nothing polls.
#pragma once

#include <cstdint>
#include <vector>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "MBusTelegram.h"

class TMBusLink {
public:
    // Telegram: the buffer the requests are sent from and the answers taken into; it must outlive
    // the link.
    TMBusLink(TAfComPort& Port, TTelegramBuf& Telegram) : FPort(Port), FTelegram(Telegram) {}

    TAfComPort& Port() const { return FPort; }
    TTelegramBuf& Telegram() const { return FTelegram; }

    // Sends the first Length bytes of the telegram buffer, the request just built there, and
    // remembers them for the Delay that follows. Raises as SendData does, and std::out_of_range,
    // with nothing sent, for a Length beyond the buffer.
    void SendTelegram(std::int32_t Length);
    // Completes one exchange after the caller has sent a request: waits while serving events
    // until the request has left the output queue, drops what was received meanwhile (an echo of
    // the request, noise), waits Ms milliseconds more, and takes what arrived into the telegram
    // buffer from index 0. An echo of the request sent through SendTelegram that arrived only after the
    // drop (all of it, or its tail) is not taken: the answer behind it is. Only the bytes taken
    // are replaced; with none the buffer stays as it was. More than the buffer holds: the first
    // 104 bytes are taken and the rest is read out and dropped. Returns at once, with the buffer
    // unchanged, when the port closes meanwhile, and gives the request up when it has not left
    // the queue long after the line could have carried it (a line held back, a device gone).
    void Delay(std::uint32_t Ms);

    // Whether a meter has primary address Addr: SND_NKE, answered by E5 within the link layer's
    // answer time (330 bit times and 50 ms after the request has left the line, plus the time of
    // the answer itself), asked once more when no acknowledgement came. The wait ends as soon as
    // the acknowledgement is in, so a meter that answers costs only its answer time. The port must
    // be open; the telegram buffer holds the request afterwards.
    bool Probe(std::int32_t Addr);

private:
    bool WaitOutputDrained();
    void WaitForAnswer(std::uint32_t Ms);
    void TakeAnswer(const std::vector<std::uint8_t>& Request);
    // One SND_NKE and its answer time; true when E5 came.
    bool ProbeOnce(std::int32_t Addr);
    // Milliseconds the line needs for Bits bits at the port's rate, rounded up.
    std::uint32_t BitTimeMs(std::uint64_t Bits) const;

    TAfComPort& FPort;
    TTelegramBuf& FTelegram;
    std::vector<std::uint8_t> FRequest; // the request SendTelegram sent, for Delay
};
