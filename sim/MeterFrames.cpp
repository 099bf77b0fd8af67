#include "MeterFrames.h"

#include <bit>

namespace {

constexpr std::uint8_t kDifInt24 = 0x03;
constexpr std::uint8_t kVifVolumeLitres = 0x13;
constexpr std::uint8_t kDifManufacturerData = 0x0F;
constexpr std::uint8_t kValuesMarker = 0xFF;

// Factory values the configuration-data frame carries around the scale word.
constexpr float kFactorySingles[4] = {1.0f, 0.5f, 0.25f, 2.0f};
constexpr std::uint32_t kFactoryWordsBefore[2] = {0x00000064, 0x0000D431};
constexpr std::uint32_t kFactoryWordsAfter[2] = {0x00000001, 0x00010000};

void PutWord(std::vector<std::uint8_t>& frame, std::uint32_t value, int bytes = 4)
{
    for (int i = 0; i < bytes; ++i)
        frame.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// 68 L L 68 C A CI, the fixed data header and the records up to the values' marker.
std::vector<std::uint8_t> StartFrame(const TMeterState& state, std::uint8_t accessNumber)
{
    std::vector<std::uint8_t> frame{0x68, 0, 0, 0x68, kMeterRspUd, state.Address(), kMeterCiResponse};
    PutWord(frame, state.Identification());
    PutWord(frame, kMeterManufacturer, 2);
    frame.push_back(kMeterVersion);
    frame.push_back(kMeterMedium);
    frame.push_back(accessNumber);
    frame.push_back(0x00);     // status: no errors
    PutWord(frame, 0x0000, 2); // signature: no encryption
    frame.push_back(kDifInt24);
    frame.push_back(kVifVolumeLitres);
    PutWord(frame, state.Volume(), 3);
    frame.push_back(kDifManufacturerData);
    frame.push_back(kValuesMarker);
    return frame;
}

// Fills in L and appends checksum and stop byte.
std::vector<std::uint8_t> FinishFrame(std::vector<std::uint8_t> frame)
{
    const auto length = static_cast<std::uint8_t>(frame.size() - 4);
    frame[1] = length;
    frame[2] = length;
    std::uint8_t sum = 0;
    for (std::size_t i = 4; i < frame.size(); ++i)
        sum = static_cast<std::uint8_t>(sum + frame[i]);
    frame.push_back(sum);
    frame.push_back(0x16);
    return frame;
}

} // namespace

std::vector<std::uint8_t> BuildConfigDataFrame(const TMeterState& state, std::uint8_t accessNumber)
{
    auto frame = StartFrame(state, accessNumber);
    for (float value : kFactorySingles)
        PutWord(frame, std::bit_cast<std::uint32_t>(value));
    for (std::uint32_t word : kFactoryWordsBefore)
        PutWord(frame, word);
    PutWord(frame, static_cast<std::uint32_t>(state.FlowScaleCode() << 4 | state.PulseScaleCode()));
    for (std::uint32_t word : kFactoryWordsAfter)
        PutWord(frame, word);
    return FinishFrame(std::move(frame));
}

std::vector<std::uint8_t> BuildUserDataFrame(const TMeterState& state, std::uint8_t accessNumber)
{
    auto frame = StartFrame(state, accessNumber);
    for (std::uint8_t reg = kRegQ4mA; reg <= kRegConfigWord; ++reg)
        PutWord(frame, state.Register(reg));
    return FinishFrame(std::move(frame));
}

std::vector<std::uint8_t> BuildSelectedFrame(TMeterState& state)
{
    const std::uint8_t accessNumber = state.NextAccessNumber();
    return state.Selected() == TMeterFrame::mfConfigData ? BuildConfigDataFrame(state, accessNumber)
                                                         : BuildUserDataFrame(state, accessNumber);
}
