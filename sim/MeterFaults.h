// Faults the simulator can put on the line, and what goes on the line for each telegram heard.
//
// The echo answers every telegram heard, at once, as a line adapter that hears its own
// transmission does. The other faults change the meter's answers; those that shape an answer
// (late, partial, bad checksum, noise, oversize) apply to the kinds of answer `Answers` names.
#pragma once

#include <bitset>
#include <cstdint>
#include <vector>

#include "Meter.h"
#include "MeterLink.h"

// The answers the shaping faults change: all, the E5s, the data frames, or only the user-data
// frames (so that a read gets its configuration data intact).
enum class TFaultAnswers { faAll, faAcks, faFrames, faUserData };

struct TMeterFaults {
    bool NoAnswer = false;               // never answers (still applies what it hears)
    bool SilentSecondSelect = false;     // no answer to the select telegram of the user data
    int LateMs = 0;                      // answers this much later than it should
    int PartialBytes = 0;                // when > 0: answers stop after this many bytes
    bool BadChecksum = false;            // data frames carry a wrong checksum
    int NoiseBytes = 0;                  // noise before the answer
    bool Echo = false;                   // the request comes back at once
    std::bitset<256> RefusedRegisters{}; // registers not acknowledged (and not applied)
    int OversizeBytes = 0;               // when > 0: answers padded with noise to this many bytes
    TFaultAnswers Answers = TFaultAnswers::faAll;
};

struct TMeterOutput {
    std::vector<std::uint8_t> Bytes;
    bool Echo = false;    // goes out at once; otherwise after the request and the reaction time
    int ExtraDelayMs = 0; // on top of the reaction time
};

// The outputs for one telegram heard and the meter's answer to it (an empty answer: silence).
std::vector<TMeterOutput> ShapeOutputs(const TMeterFaults& faults, const TMBusTelegram& heard,
                                       const TMeterAnswer& answer);

// `count` bytes of line noise, none of which starts a telegram or acknowledges.
std::vector<std::uint8_t> NoiseBytes(int count);
