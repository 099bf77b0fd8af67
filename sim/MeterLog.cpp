#include "MeterLog.h"

#include <ctime>

TMeterLog::TMeterLog() : FSteadyBase(TMeterClock::now()), FWallBase(std::chrono::system_clock::now()) {}

void TMeterLog::AddSink(TSink sink)
{
    std::lock_guard guard(FLock);
    FSinks.push_back(std::move(sink));
}

void TMeterLog::AddFile(std::FILE* file)
{
    AddSink([file](const std::string& line) {
        std::fputs(line.c_str(), file);
        std::fputc('\n', file);
        std::fflush(file);
    });
}

void TMeterLog::Received(TMeterClock::time_point at, const std::vector<std::uint8_t>& bytes)
{
    if (Enabled())
        Line(at, "RX", Hex(bytes));
}

void TMeterLog::Sent(TMeterClock::time_point at, const std::vector<std::uint8_t>& bytes)
{
    if (Enabled())
        Line(at, "TX", Hex(bytes));
}

void TMeterLog::Note(TMeterClock::time_point at, std::string_view text)
{
    if (Enabled())
        Line(at, "--", text);
}

std::string TMeterLog::Hex(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

void TMeterLog::Line(TMeterClock::time_point at, std::string_view tag, std::string_view text)
{
    const auto wall =
        FWallBase + std::chrono::duration_cast<std::chrono::system_clock::duration>(at - FSteadyBase);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char stamp[40];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03d", static_cast<int>(ms % 1000));
    std::string line = stamp;
    line.append(" ").append(tag).append(" ").append(text);
    std::lock_guard guard(FLock);
    for (const auto& sink : FSinks)
        sink(line);
}
