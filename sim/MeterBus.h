// The meters on one line, as the simulator serves them: each hears only the telegrams sent at its
// own baud rate, and answers that go out at the same time collide.
//
// Meters that would answer the same telegram cannot share a line: two at the same primary address,
// or with the same identification number, and the same baud rate are refused when the line is set
// up. Meters can still come to answer together later: an address changed onto another meter's, a
// secondary selection whose wildcards match more than one, or any telegram to FE, at which every
// meter answers. Their answers then collide as on the wire, where a meter's space (0) wins over the
// others' mark: the master receives the bitwise AND of their bytes, as long as the longest answer.
#pragma once

#include <bitset>
#include <cstddef>
#include <vector>

#include "Meter.h"

class TMeterBus {
public:
    // The meters in the order given, numbered from 1 in messages and notes; `refused`: registers
    // that none of them acknowledges. Throws std::invalid_argument for settings a meter cannot take
    // and for meters that would answer together, naming both.
    TMeterBus(const std::vector<TMeterSettings>& meters, std::bitset<256> refused);

    // What the line carries back for a telegram heard at `lineBaud`: the answer of the meter it was
    // for, the collision of several, or silence; the note tells which meter did what.
    TMeterAnswer Handle(const TMBusTelegram& telegram, int lineBaud);

    std::size_t Count() const { return FMeters.size(); }
    const TMeter& Meter(std::size_t index) const { return FMeters.at(index); }

private:
    std::vector<TMeter> FMeters;
};
