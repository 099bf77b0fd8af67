#include "MeterLink.h"

namespace {

constexpr std::uint8_t kSingleAck = 0xE5;
constexpr std::uint8_t kShortStart = 0x10;
constexpr std::uint8_t kLongStart = 0x68;
constexpr std::uint8_t kStop = 0x16;
constexpr std::size_t kShortLength = 5;

bool StartsTelegram(std::uint8_t byte)
{
    return byte == kSingleAck || byte == kShortStart || byte == kLongStart;
}

std::uint8_t Sum(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t count)
{
    std::uint8_t sum = 0;
    for (std::size_t i = from; i < from + count; ++i)
        sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

// The fault of a complete frame whose checksum covers `count` bytes from `from`; empty when sound.
std::string FrameFault(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t count)
{
    if (bytes[from + count + 1] != kStop)
        return "no stop byte";
    if (bytes[from + count] != Sum(bytes, from, count))
        return "bad checksum";
    return {};
}

} // namespace

std::vector<TMBusTelegram> TMBusFrameReader::Feed(const std::uint8_t* data, std::size_t count,
                                                  TMeterClock::time_point at, TMeterClock::duration gap)
{
    std::vector<TMBusTelegram> out;
    if (!FPending.empty() && at - FArrivals.back() > gap)
        Take(out, FPending.size(), TMBusTelegramKind::tkInvalid, "incomplete, the line went quiet");
    FPending.insert(FPending.end(), data, data + count);
    FArrivals.insert(FArrivals.end(), count, at);
    Extract(out);
    return out;
}

void TMBusFrameReader::Extract(std::vector<TMBusTelegram>& out)
{
    while (!FPending.empty()) {
        const std::size_t have = FPending.size();
        switch (FPending[0]) {
        case kSingleAck:
            Take(out, 1, TMBusTelegramKind::tkSingle);
            continue;
        case kShortStart:
            if (have < kShortLength)
                return;
            if (const std::string fault = FrameFault(FPending, 1, 2); !fault.empty())
                Take(out, kShortLength, TMBusTelegramKind::tkInvalid, fault);
            else
                Take(out, kShortLength, TMBusTelegramKind::tkShort);
            continue;
        case kLongStart: {
            if (have < 4)
                return;
            const std::size_t length = FPending[1];
            // C, A and CI at least; otherwise this 68 starts nothing and counts as noise below.
            if (FPending[2] == length && FPending[3] == kLongStart && length >= 3) {
                if (have < length + 6)
                    return;
                if (const std::string fault = FrameFault(FPending, 4, length); !fault.empty())
                    Take(out, length + 6, TMBusTelegramKind::tkInvalid, fault);
                else
                    Take(out, length + 6, TMBusTelegramKind::tkLong);
                continue;
            }
            break;
        }
        default:
            break;
        }
        std::size_t noise = 1;
        while (noise < have && !StartsTelegram(FPending[noise]))
            ++noise;
        Take(out, noise, TMBusTelegramKind::tkInvalid, "no telegram");
    }
}

void TMBusFrameReader::Take(std::vector<TMBusTelegram>& out, std::size_t count, TMBusTelegramKind kind,
                            std::string fault)
{
    TMBusTelegram telegram;
    telegram.Kind = kind;
    telegram.Bytes.assign(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(count));
    telegram.Start = FArrivals.front();
    telegram.End = FArrivals[count - 1];
    telegram.Fault = std::move(fault);
    FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(count));
    FArrivals.erase(FArrivals.begin(), FArrivals.begin() + static_cast<std::ptrdiff_t>(count));
    out.push_back(std::move(telegram));
}
