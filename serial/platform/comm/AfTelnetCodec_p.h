// Inside the comm platform: Telnet (RFC 854, 855) as the client of a COM Port Control gateway
// (RFC 2217) speaks it. The byte stream carries the serial port's data with every IAC byte doubled,
// option negotiation, and subnegotiations of the COM port option that carry its settings and
// notifications. The codec does no I/O: the RFC 2217 backend hands it what the socket gave and
// sends what it makes. Not thread-safe: its owner serialises the calls.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <vector>

#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial::platform {

class AfTelnetCodec {
public:
    static constexpr BYTE kIac = 255;
    static constexpr BYTE kDont = 254;
    static constexpr BYTE kDo = 253;
    static constexpr BYTE kWont = 252;
    static constexpr BYTE kWill = 251;
    static constexpr BYTE kSb = 250;
    static constexpr BYTE kSe = 240;

    static constexpr BYTE kBinary = 0;
    static constexpr BYTE kSuppressGoAhead = 3;
    static constexpr BYTE kComPort = 44;

    // COM port option commands from the client; the gateway's answers and notifications carry the
    // same code plus kServer.
    static constexpr BYTE kSetBaudRate = 1;
    static constexpr BYTE kSetDataSize = 2;
    static constexpr BYTE kSetParity = 3;
    static constexpr BYTE kSetStopSize = 4;
    static constexpr BYTE kSetControl = 5;
    static constexpr BYTE kNotifyLineState = 6;
    static constexpr BYTE kNotifyModemState = 7;
    static constexpr BYTE kSetLineStateMask = 10;
    static constexpr BYTE kSetModemStateMask = 11;
    static constexpr BYTE kPurgeData = 12;
    static constexpr BYTE kServer = 100;

    // The longest subnegotiation taken in (the COM port option's longest is 5 bytes); longer ones
    // are dropped whole.
    static constexpr std::size_t kMaxSubnegotiation = 64;

    // The client's opening requests, appended to `out`: WILL COM-PORT-OPTION, and binary
    // transmission both ways (so that no byte of the line is taken for a Telnet end of line).
    void Greet(std::vector<BYTE>& out);

    // Decodes `count` bytes from the gateway. Data bytes go to `data` (never more than `count`)
    // and their number is returned; answers to the gateway's option requests are appended to
    // `reply`; each complete COM port subnegotiation is appended to `comPort` as its bytes after
    // the option code (the command, then its value), doubled IACs undone. A sequence cut between
    // two calls is completed by the next. Options other than binary transmission, suppress go-ahead
    // and (for this side) the COM port option are refused; a request for a state already in force
    // is not answered, so negotiation cannot loop.
    std::size_t Decode(const BYTE* in, std::size_t count, BYTE* data, std::vector<BYTE>& reply,
                       std::vector<std::vector<BYTE>>& comPort);

    // Whether the gateway has agreed that this client speaks the COM port option.
    bool ComPortAgreed() const { return options_[kComPort].us; }

    // Appends `count` data bytes to `out`, each IAC doubled.
    static void Escape(const BYTE* data, std::size_t count, std::vector<BYTE>& out);
    // Appends IAC SB COM-PORT-OPTION `command` `value` IAC SE, IACs in the value doubled.
    static void ComPortCommand(BYTE command, std::initializer_list<BYTE> value, std::vector<BYTE>& out);

private:
    enum class State { Data, Iac, Verb, Sub, SubIac };

    // Where each side stands on one option: on, or asked for by this side and not yet answered.
    struct Option {
        bool us = false; // this side performs it (agreed by the gateway's DO)
        bool usAsked = false;
        bool him = false; // the gateway performs it (agreed by this side's DO)
        bool himAsked = false;
    };

    void Negotiate(BYTE verb, BYTE option, std::vector<BYTE>& reply);
    void EndSubnegotiation(std::vector<std::vector<BYTE>>& comPort);

    std::array<Option, 256> options_{};
    State state_ = State::Data;
    BYTE verb_ = 0;
    std::vector<BYTE> sub_;
    bool subTooLong_ = false;
};

} // namespace vexora::serial::platform
