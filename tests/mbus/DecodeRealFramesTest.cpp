// The decoders against response frames captured from real meters, whole and cut short.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "DecodeFrames.h"
#include "MBusDecode.h"

using namespace decodetest;
namespace fs = std::filesystem;

namespace {

struct RealFrame {
    std::string Name;
    Bytes Data;
};

// The repository's copy of the captured frames.
fs::path FramesDir()
{
    return VEXORA_MBUS_FRAMES_DIR;
}

Bytes ReadHex(const fs::path& file)
{
    std::ifstream in(file);
    Bytes bytes;
    std::string word;
    while (in >> word)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

const std::vector<RealFrame>& Frames()
{
    static const std::vector<RealFrame> frames = [] {
        std::vector<RealFrame> all;
        for (const char* sub : {"real", "error"}) {
            const fs::path dir = FramesDir() / sub;
            if (!fs::is_directory(dir))
                continue;
            for (const auto& entry : fs::directory_iterator(dir))
                if (entry.path().extension() == ".hex")
                    all.push_back(
                        {std::string(sub) + "/" + entry.path().filename().string(), ReadHex(entry.path())});
        }
        return all;
    }();
    return frames;
}

class RealFrames : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Frames().size(), 96u) << "frames looked up in " << FramesDir(); }
};

// A frame fits when its stop byte lies inside the 104-byte buffer.
bool Fits(const Bytes& frame)
{
    return frame.size() <= static_cast<std::size_t>(TelegramBufSize);
}

TEST_F(RealFrames, AreWellFormedLongFrames)
{
    for (const RealFrame& f : Frames()) {
        ASSERT_GE(f.Data.size(), 9u) << f.Name;
        EXPECT_EQ(f.Data.size(), 6u + f.Data[1]) << f.Name;
        EXPECT_EQ(f.Data.back(), 0x16) << f.Name;
    }
}

TEST_F(RealFrames, AreRefusedOnlyForTheirRealReasonOrDecoded)
{
    int decoded = 0;
    int tooLong = 0;
    for (const RealFrame& f : Frames()) {
        SCOPED_TRACE(f.Name);
        const std::int32_t a = f.Data[5];
        for (std::uint8_t fill : {0x00, 0xFF}) {
            const TTelegramBuf telegram = Load(f.Data, 0, fill);
            if (!Fits(f.Data)) {
                // Its checksum and stop byte never reach the buffer.
                EXPECT_EQ(DecodeConfigFrame(telegram, a).Message, MsgInvalidLField);
                EXPECT_EQ(DecodeUserFrame(telegram, a, {}).Message, MsgInvalidLField);
                ++tooLong;
                continue;
            }
            // Checksum, stop byte and C pass; the address decides first (254 takes any meter's).
            const std::int32_t next = (a + 1) & 0xFF;
            EXPECT_EQ(DecodeConfigFrame(telegram, next == MBusPointToPointAddr ? next + 1 : next).Message,
                      MsgInvalidAddr);
            EXPECT_EQ(DecodeUserFrame(telegram, a ^ 0x80, {}).Message, MsgInvalidAddr);

            const TMBusConfigData config = DecodeConfigFrame(telegram, a);
            const TMBusUserData user = DecodeUserFrame(telegram, a, {});
            if (f.Data[6] & 0x04) {
                EXPECT_EQ(config.Message, MsgUnsupportedMode2);
                EXPECT_EQ(user.Message, MsgUnsupportedMode2);
                continue;
            }
            // Short frames show the buffer's older content at offset 25.
            const std::uint8_t marker = f.Data.size() > 25 ? f.Data[25] : fill;
            if (marker != 0xFF) {
                EXPECT_EQ(config.Status, TMBusDecodeStatus::dsNoMarker);
                EXPECT_EQ(user.Status, TMBusDecodeStatus::dsNoMarker);
                continue;
            }
            EXPECT_EQ(config.Status, TMBusDecodeStatus::dsDecoded) << config.Message;
            // Foreign records may hold flows that are no numbers; nothing else fails.
            if (user.Status == TMBusDecodeStatus::dsFailed) {
                EXPECT_EQ(user.Message, MsgInvalidValue);
            }
            ++decoded;
        }
    }
    EXPECT_EQ(tooLong, 2 * 23);
    EXPECT_GT(decoded, 0);
}

TEST_F(RealFrames, EveryTruncationFailsCleanlyAtEveryPlace)
{
    for (const RealFrame& f : Frames()) {
        SCOPED_TRACE(f.Name);
        const std::int32_t a = f.Data[5];
        for (int at : {0, 7, 13}) {
            for (std::uint8_t fill : {0x00, 0x68, 0xFF}) {
                const std::size_t room = static_cast<std::size_t>(TelegramBufSize - at);
                const std::size_t longest = std::min(f.Data.size(), room);
                for (std::size_t cut = 0; cut <= longest; ++cut) {
                    const Bytes part(f.Data.begin(), f.Data.begin() + static_cast<std::ptrdiff_t>(cut));
                    const TTelegramBuf telegram = Load(part, at, fill);
                    const TMBusConfigData config = DecodeConfigFrame(telegram, a);
                    const TMBusUserData user = DecodeUserFrame(telegram, a, {});
                    for (const std::int32_t stopped : {config.ReadPos, user.ReadPos}) {
                        ASSERT_GE(stopped, 0);
                        ASSERT_LE(stopped, TelegramBufSize);
                    }
                    // With a zero fill a frame cut short can pass no link-layer check.
                    if (fill == 0x00 && at == 0 && cut < f.Data.size()) {
                        EXPECT_EQ(config.Status, TMBusDecodeStatus::dsFailed) << cut;
                        const bool linkLayer =
                            config.Message == MsgInvalidResponse || config.Message == MsgInvalidLField ||
                            config.Message == MsgInvalidChSum || config.Message == MsgInvalidEndChar;
                        EXPECT_TRUE(linkLayer) << cut << config.Message;
                        EXPECT_EQ(user.Message, config.Message);
                    }
                }
            }
        }
    }
}

} // namespace
