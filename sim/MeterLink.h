// Splits the bytes a meter hears on the line into telegrams of the M-Bus link layer: short frames
// (10 C A CS 16), long frames (68 L L 68 C A CI data CS 16) and single characters (E5). Everything
// else comes out too, marked invalid with the reason (bytes that start no telegram, a wrong
// checksum or stop byte, a frame the line left incomplete), so that every byte heard can be logged.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using TMeterClock = std::chrono::steady_clock;

enum class TMBusTelegramKind { tkShort, tkLong, tkSingle, tkInvalid };

struct TMBusTelegram {
    TMBusTelegramKind Kind = TMBusTelegramKind::tkInvalid;
    std::vector<std::uint8_t> Bytes;
    TMeterClock::time_point Start; // arrival of the first byte
    TMeterClock::time_point End;   // arrival of the last byte
    std::string Fault;             // why an invalid one is no telegram

    // C and A of a short or long frame; CI and the data behind it of a long frame.
    std::uint8_t C() const { return Bytes[Kind == TMBusTelegramKind::tkShort ? 1 : 4]; }
    std::uint8_t A() const { return Bytes[Kind == TMBusTelegramKind::tkShort ? 2 : 5]; }
    std::uint8_t CI() const { return Bytes[6]; }
    std::vector<std::uint8_t> Data() const { return {Bytes.begin() + 7, Bytes.end() - 2}; }
};

class TMBusFrameReader {
public:
    // Takes bytes that arrived at `at` and returns the telegrams they complete, in line order. A
    // frame still incomplete when the line has been quiet for longer than `gap` is given up first,
    // as a meter's receiver does, so that a stray byte cannot swallow the next request.
    std::vector<TMBusTelegram> Feed(const std::uint8_t* data, std::size_t count, TMeterClock::time_point at,
                                    TMeterClock::duration gap);

private:
    // Cuts complete telegrams (and runs of stray bytes) off the front of the pending bytes.
    void Extract(std::vector<TMBusTelegram>& out);
    void Take(std::vector<TMBusTelegram>& out, std::size_t count, TMBusTelegramKind kind,
              std::string fault = {});

    std::vector<std::uint8_t> FPending;
    std::vector<TMeterClock::time_point> FArrivals; // one per pending byte
};
