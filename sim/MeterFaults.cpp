#include "MeterFaults.h"

#include <algorithm>
#include <iterator>

namespace {

bool Applies(TFaultAnswers answers, const TMeterAnswer& answer)
{
    switch (answers) {
    case TFaultAnswers::faAcks:
        return answer.IsAck();
    case TFaultAnswers::faFrames:
        return !answer.IsAck();
    case TFaultAnswers::faUserData:
        return answer.UserData;
    default:
        return true;
    }
}

} // namespace

std::vector<std::uint8_t> NoiseBytes(int count)
{
    static constexpr std::uint8_t kPattern[] = {0x00, 0xFF, 0x3C, 0xA5, 0x5A, 0xC3, 0x0F, 0xF0};
    std::vector<std::uint8_t> noise;
    for (int i = 0; i < count; ++i)
        noise.push_back(kPattern[i % std::size(kPattern)]);
    return noise;
}

std::vector<TMeterOutput> ShapeOutputs(const TMeterFaults& faults, const TMBusTelegram& heard,
                                       const TMeterAnswer& answer)
{
    std::vector<TMeterOutput> outputs;
    if (faults.Echo)
        outputs.push_back({heard.Bytes, true, 0});
    if (answer.Bytes.empty() || faults.NoAnswer)
        return outputs;
    if (faults.SilentSecondSelect && answer.Request == TMeterRequest::mrSelectUser)
        return outputs;
    TMeterOutput out{answer.Bytes, false, 0};
    if (!Applies(faults.Answers, answer)) {
        outputs.push_back(std::move(out));
        return outputs;
    }
    std::vector<std::uint8_t>& bytes = out.Bytes;
    if (faults.BadChecksum && bytes.size() > 2)
        ++bytes[bytes.size() - 2];
    if (faults.PartialBytes > 0 && static_cast<std::size_t>(faults.PartialBytes) < bytes.size())
        bytes.resize(static_cast<std::size_t>(faults.PartialBytes));
    if (faults.NoiseBytes > 0) {
        const auto noise = NoiseBytes(faults.NoiseBytes);
        bytes.insert(bytes.begin(), noise.begin(), noise.end());
    }
    const int padding = faults.OversizeBytes - static_cast<int>(bytes.size());
    if (padding > 0) {
        const auto noise = NoiseBytes(padding);
        bytes.insert(bytes.end(), noise.begin(), noise.end());
    }
    out.ExtraDelayMs = faults.LateMs;
    outputs.push_back(std::move(out));
    return outputs;
}
