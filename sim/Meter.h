// The meter's side of the link: what it does with each telegram it hears, and its answer.
//
// Link layer. SND_NKE (C 40) resets the link and brings the meter back to its user-data frame, E5.
// Every SND_UD (C 53 or 73) addressed to the meter is confirmed with E5, whatever its CI and whether
// or not the meter uses the data, except the commands below that it does not carry out. REQ_UD1
// (5A or 7A) gets E5: the meter has no alarm data. REQ_UD2 (5B or 7B) gets the selected frame. A
// REQ_UD2 that follows the one answered last, with nothing else for the meter in between, and
// carries the same frame count bit (FCB) is the master's repeat after an answer it did not get: it
// gets the same frame again, byte for byte. A master that sends 5B every time, as the tool does,
// still gets a fresh frame after each select, since the select comes in between.
//
// Application layer (SND_UD):
//   CI 51, record 0F 01 or 0F 02   the next REQ_UD2 gets the configuration data or the user data
//   CI 51, record 04 FF R v0..v3   writes register R (see TMeterState)
//   CI 51, record 01 7A A          the primary address becomes A, kept in register 0x24
//   CI 50                          application reset: back to the user-data frame
//   CI B8 to BE                    the baud rate becomes 300 to 19200 after the E5 (38400, BF, it
//                                  cannot take), kept in register 0x24
//   CI 52 to address FD            selection by secondary address, see below
// These commands are confirmed only when carried out: a frame the meter does not have, a register
// it does not have or refuses, a value it cannot take get no answer, which is how a master learns
// that nothing was applied.
//
// Addresses. The meter hears its primary address; FE, the address of whichever meter is on a
// point-to-point line, as its own (it answers with its own address in A, and meters sharing a line
// all answer); FF, the broadcast, applied as its own but never answered, so that no two meters
// answer at once; and FD while it is selected by secondary address.
// A selection telegram to FD (SND_UD, CI 52, then identification number in BCD, manufacturer,
// version and medium, least significant byte first) selects the meter when every part matches, an
// F nibble of the identification number, manufacturer FFFF, version FF and medium FF matching
// anything; any other selection deselects it, unanswered. SND_NKE to FD deselects the selected
// meter (E5), SND_NKE to FF every meter (no answer); SND_NKE to the primary address or to FE
// leaves the selection as it is. Telegrams to other addresses, invalid ones and single characters
// are ignored.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "MeterLink.h"
#include "MeterState.h"

// The network layer's address, at which a meter selected by secondary address answers.
inline constexpr std::uint8_t kMeterSelectedAddress = 0xFD;

enum class TMeterRequest {
    mrNone,
    mrLinkReset,
    mrSelectConfig,
    mrSelectUser,
    mrRegisterWrite,
    mrDataRequest,
    mrClass1Request,
    mrAddressChange,
    mrBaudChange,
    mrApplicationReset,
    mrSecondarySelect,
    mrUnusedData // a SND_UD the meter confirms without using it
};

struct TMeterAnswer {
    TMeterRequest Request = TMeterRequest::mrNone; // what the meter took the telegram for
    std::vector<std::uint8_t> Bytes;               // its answer; empty when it stays silent
    std::string Note;                              // what it did, for the log
    bool ForMeter = false;                         // the telegram was for this meter
    bool UserData = false;                         // the answer is the user-data frame

    bool IsAck() const { return Bytes.size() == 1; }
};

class TMeter {
public:
    // `refused`: registers the meter does not acknowledge (and does not apply).
    explicit TMeter(const TMeterSettings& settings = {}, std::bitset<256> refused = {});

    TMeterAnswer Handle(const TMBusTelegram& telegram);

    const TMeterState& State() const { return FState; }
    bool Selected() const { return FSelected; }

private:
    TMeterAnswer HandleShort(std::uint8_t c, std::uint8_t address, bool repeatable);
    TMeterAnswer HandleLong(const TMBusTelegram& telegram);
    TMeterAnswer HandleData(const std::vector<std::uint8_t>& data);
    TMeterAnswer HandleSelection(const std::vector<std::uint8_t>& data);
    TMeterAnswer WriteRegister(std::uint8_t reg, std::uint32_t value);

    TMeterState FState;
    std::bitset<256> FRefused;
    bool FSelected = false; // by secondary address: answers at FD
    // The frame answered to the last REQ_UD2 and its FCB, while a repeat may still ask for it.
    std::vector<std::uint8_t> FLastFrame;
    bool FLastFcb = false;
    bool FRepeatable = false;
};
