// Fuzzes the response decoders: the input sets the "Addr" value, the scale codes and the buffer.
// Input layout: 4 bytes "Addr" (little endian), 1 byte of scale codes, then the buffer content.
// Buffer bytes the input does not reach are zero, so that every run is reproducible. The content
// is decoded once more as a telegram of its own length, which nothing may be read beyond.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "MBusDecode.h"
#include "MBusTelegram.h"

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

bool IsLinkMessage(std::string_view m)
{
    return m == MsgInvalidResponse || m == MsgInvalidLField || m == MsgInvalidChSum ||
           m == MsgInvalidEndChar || m == MsgUnsupportedCField || m == MsgInvalidAddr ||
           m == MsgUnsupportedMode2;
}

// What a result says on a telegram of `size` bytes, whatever its content.
void CheckResult(const TMBusDecodeResult& result, std::size_t size)
{
    // A failed search stops at the last frame start it tried, which a short telegram ends before.
    Check(result.ReadPos >= 0 &&
          result.ReadPos <= std::max<std::int64_t>(static_cast<std::int64_t>(size), MBusMaxFrameStart));
    Check(result.Status != TMBusDecodeStatus::dsFailed || IsLinkMessage(result.Message) ||
          result.Message == MsgInvalidValue);
    Check(result.Status == TMBusDecodeStatus::dsFailed || result.Message.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    std::int32_t addr = 0;
    for (int i = 3; i >= 0; --i)
        addr = static_cast<std::int32_t>((static_cast<std::uint32_t>(addr) << 8) | data[i]);
    // Mostly small addresses, so that the later checks and the records are reached.
    if ((data[3] & 0x80) == 0)
        addr &= 0x1FF;
    const TMBusScaleCodes codes{.FlowScaleCode = static_cast<std::uint8_t>(data[4] & 0x0F),
                                .PulseScaleCode = static_cast<std::uint8_t>(data[4] >> 4)};
    TTelegramBuf telegram{};
    std::copy_n(data + 5, std::min(size - 5, telegram.size()), telegram.begin());

    const TMBusConfigData config = DecodeConfigFrame(telegram, addr);
    Check(config.ReadPos >= 0 && config.ReadPos <= TelegramBufSize);
    Check(config.Status != TMBusDecodeStatus::dsFailed || IsLinkMessage(config.Message));
    Check(config.Status == TMBusDecodeStatus::dsFailed || config.Message.empty());

    const TMBusUserData user = DecodeUserFrame(telegram, addr, codes);
    Check(user.ReadPos >= 0 && user.ReadPos <= TelegramBufSize);
    if (user.Status == TMBusDecodeStatus::dsFailed) {
        // Both decoders share the checks; only the user data can hold an unconvertible value.
        Check(user.Message == config.Message || (config.Message.empty() && user.Message == MsgInvalidValue));
    } else {
        Check(user.Status == config.Status && user.Message.empty());
    }
    if (user.Status == TMBusDecodeStatus::dsDecoded) {
        Check(user.Address >= 0 && user.Address <= 255);
        Check(user.Baud >= 0 && user.Baud <= 25500 && user.Baud % 100 == 0);
        Check(user.PulseWidth >= 0 && user.PulseWidth <= 255);
    }

    const std::span<const std::uint8_t> content(data + 5, size - 5);
    CheckResult(DecodeConfigFrame(content, addr), content.size());
    CheckResult(DecodeUserFrame(content, addr, codes), content.size());
    return 0;
}
