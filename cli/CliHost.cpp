#include "CliHost.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kBarWidth = 24;

} // namespace

TCliHost::TCliHost(bool Terminal, bool Confirmed) : FTerminal(Terminal), FConfirmed(Confirmed) {}

TCliHost::~TCliHost()
{
    ClearLine();
}

void TCliHost::ShowStatus(std::string_view Text)
{
    FStatus = Text;
    Draw();
}

void TCliHost::HideStatus()
{
    FStatus.clear();
    ClearLine();
}

void TCliHost::SetProgressRange(int Min, int Max)
{
    FMin = Min;
    FMax = Max;
    FProgress = Min;
}

void TCliHost::SetProgress(int Value)
{
    FProgress = std::clamp(Value, FMin, std::max(FMin, FMax));
    Draw();
}

void TCliHost::ShowMessage(std::string_view Text)
{
    Say(Text);
}

bool TCliHost::Confirm(std::string_view Text)
{
    if (!FConfirmed)
        Say(Text);
    return FConfirmed;
}

void TCliHost::MeterFound(std::int32_t Addr, std::int32_t Baud)
{
    FFound.push_back({Addr, Baud});
    if (FQuiet)
        return;
    ClearLine();
    std::printf("address %d, %d baud\n", Addr, Baud);
    std::fflush(stdout);
    Draw();
}

void TCliHost::Say(std::string_view Text)
{
    ClearLine();
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = Text.find('\n', start);
        const std::string_view line = Text.substr(start, end - start);
        std::fprintf(stderr, "vexora-cli: %.*s\n", static_cast<int>(line.size()), line.data());
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    Draw();
}

void TCliHost::Draw()
{
    if (!FTerminal || FStatus.empty())
        return;
    const int span = FMax - FMin;
    const int percent = span > 0 ? (FProgress - FMin) * 100 / span : 0;
    const int filled = span > 0 ? (FProgress - FMin) * kBarWidth / span : 0;
    const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                            std::string(static_cast<std::size_t>(kBarWidth - filled), '-');
    std::string found;
    if (!FFound.empty())
        found = ", " + std::to_string(FFound.size()) + " found";
    std::fprintf(stderr, "\r\033[K[%s] %3d%% %s%s", bar.c_str(), percent, FStatus.c_str(), found.c_str());
    std::fflush(stderr);
    FDrawn = true;
}

void TCliHost::ClearLine()
{
    if (!FDrawn)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    FDrawn = false;
}
