#include "MeterBus.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// "meters 1 and 3", "meters 1, 2 and 3" for meters numbered from 0.
std::string Meters(const std::vector<std::size_t>& meters)
{
    std::string text = "meters";
    for (std::size_t i = 0; i < meters.size(); ++i)
        text += (i == 0 ? " " : i + 1 == meters.size() ? " and " : ", ") + std::to_string(meters[i] + 1);
    return text;
}

// Adds an answer to what the line carries: where answers overlap, a space (0) wins.
void PutOnLine(std::vector<std::uint8_t>& line, const std::vector<std::uint8_t>& answer)
{
    for (std::size_t i = 0; i < answer.size(); ++i) {
        if (i < line.size())
            line[i] &= answer[i];
        else
            line.push_back(answer[i]);
    }
}

} // namespace

TMeterBus::TMeterBus(const std::vector<TMeterSettings>& meters, std::bitset<256> refused)
{
    for (std::size_t i = 0; i < meters.size(); ++i) {
        try {
            FMeters.emplace_back(meters[i], refused);
        } catch (const std::invalid_argument& error) {
            if (meters.size() == 1)
                throw;
            throw std::invalid_argument("meter " + std::to_string(i + 1) + ": " + error.what());
        }
    }
    for (std::size_t i = 0; i < FMeters.size(); ++i)
        for (std::size_t j = i + 1; j < FMeters.size(); ++j) {
            const TMeterState& a = FMeters[i].State();
            const TMeterState& b = FMeters[j].State();
            if (a.Baud() != b.Baud())
                continue;
            const std::string rate =
                " at " + std::to_string(a.Baud()) + " baud: on one line they would answer together";
            if (a.Address() == b.Address())
                throw std::invalid_argument(Meters({i, j}) + " both have address " +
                                            std::to_string(a.Address()) + rate);
            if (a.Identification() == b.Identification()) {
                char id[12];
                std::snprintf(id, sizeof id, "%08X", a.Identification());
                throw std::invalid_argument(Meters({i, j}) + " both have identification number " + id + rate);
            }
        }
}

TMeterAnswer TMeterBus::Handle(const TMBusTelegram& telegram, int lineBaud)
{
    const bool single = FMeters.size() == 1;
    std::vector<std::pair<std::size_t, TMeterAnswer>> taken; // by the meters it was for
    TMeterAnswer ignored;
    bool heard = false;
    for (std::size_t i = 0; i < FMeters.size(); ++i) {
        if (FMeters[i].State().Baud() != lineBaud)
            continue;
        TMeterAnswer answer = FMeters[i].Handle(telegram);
        if (answer.ForMeter)
            taken.emplace_back(i, std::move(answer));
        else if (!heard)
            ignored = std::move(answer);
        heard = true;
    }
    if (!heard) {
        ignored.Note = single ? "ignored: the line runs at " + std::to_string(lineBaud) +
                                    " baud, the meter at " + std::to_string(FMeters[0].State().Baud())
                              : "ignored: no meter runs at " + std::to_string(lineBaud) + " baud";
        return ignored;
    }
    if (taken.empty()) {
        // An invalid telegram is the same to every meter; otherwise the address is no meter's.
        if (!single && telegram.Kind != TMBusTelegramKind::tkInvalid &&
            telegram.Kind != TMBusTelegramKind::tkSingle) {
            char address[4];
            std::snprintf(address, sizeof address, "%02X", telegram.A());
            ignored.Note = std::string("ignored: no meter at ") + std::to_string(lineBaud) +
                           " baud answers to address " + address;
        }
        return ignored;
    }
    if (single)
        return std::move(taken[0].second);

    TMeterAnswer result{taken[0].second.Request, {}, {}, true};
    std::vector<std::size_t> answering;
    for (const auto& [meter, answer] : taken) {
        result.Note +=
            (result.Note.empty() ? "meter " : "; meter ") + std::to_string(meter + 1) + ": " + answer.Note;
        if (answer.Bytes.empty())
            continue;
        if (answering.empty()) {
            result.Request = answer.Request;
            result.UserData = answer.UserData;
        }
        PutOnLine(result.Bytes, answer.Bytes);
        answering.push_back(meter);
    }
    if (answering.size() > 1)
        result.Note += "; " + Meters(answering) + " answer together";
    return result;
}
