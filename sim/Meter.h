// The meter's side of the link: what it does with each telegram it hears, and its answer.
//
// SND_NKE (10 40 A), the select telegrams (SND_UD, CI 51, record 0F 01 for the configuration
// data, 0F 02 for the user data) and register writes (SND_UD, CI 51, record 04 FF R and four value
// bytes) are applied and acknowledged with E5; SND_NKE also brings the meter back to its user-data
// frame. REQ_UD2 (C 5B or 7B) gets the selected frame. The meter acknowledges only what it has
// applied: anything it does not understand, a register it does not have or refuses, gets no
// answer. Telegrams to another address, invalid ones and single characters are ignored. The
// broadcast address FF is applied as the meter's own but never answered, so that no two meters
// answer at once; a data request to it is ignored.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "MeterLink.h"
#include "MeterState.h"

enum class TMeterRequest {
    mrNone,
    mrLinkReset,
    mrSelectConfig,
    mrSelectUser,
    mrRegisterWrite,
    mrDataRequest
};

struct TMeterAnswer {
    TMeterRequest Request = TMeterRequest::mrNone; // what the meter took the telegram for
    std::vector<std::uint8_t> Bytes;               // its answer; empty when it stays silent
    std::string Note;                              // what it did, for the log

    bool IsAck() const { return Bytes.size() == 1; }
};

class TMeter {
public:
    // `refused`: registers the meter does not acknowledge (and does not apply).
    explicit TMeter(const TMeterSettings& settings = {}, std::bitset<256> refused = {});

    TMeterAnswer Handle(const TMBusTelegram& telegram);

    const TMeterState& State() const { return FState; }

private:
    TMeterAnswer HandleShort(const TMBusTelegram& telegram, bool broadcast);
    TMeterAnswer HandleLong(const TMBusTelegram& telegram);
    TMeterAnswer WriteRegister(std::uint8_t reg, std::uint32_t value);

    TMeterState FState;
    std::bitset<256> FRefused;
};
