#include "comm/AfTelnetCodec_p.h"

namespace vexora::serial::platform {

namespace {

void Put(std::vector<BYTE>& out, std::initializer_list<BYTE> bytes)
{
    out.insert(out.end(), bytes);
}

} // namespace

void AfTelnetCodec::Greet(std::vector<BYTE>& out)
{
    options_[kComPort].usAsked = true;
    options_[kBinary].usAsked = true;
    options_[kBinary].himAsked = true;
    Put(out, {kIac, kWill, kComPort, kIac, kWill, kBinary, kIac, kDo, kBinary});
}

std::size_t AfTelnetCodec::Decode(const BYTE* in, std::size_t count, BYTE* data, std::vector<BYTE>& reply,
                                  std::vector<std::vector<BYTE>>& comPort)
{
    std::size_t taken = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const BYTE byte = in[i];
        switch (state_) {
        case State::Data:
            if (byte == kIac)
                state_ = State::Iac;
            else
                data[taken++] = byte;
            break;
        case State::SubIac:
            if (byte == kIac) {
                if (sub_.size() < kMaxSubnegotiation)
                    sub_.push_back(byte);
                else
                    subTooLong_ = true;
                state_ = State::Sub;
                break;
            }
            if (byte == kSe) {
                EndSubnegotiation(comPort);
                state_ = State::Data;
                break;
            }
            // A subnegotiation broken off by another command: dropped, and the command taken.
            [[fallthrough]];
        case State::Iac:
            if (byte == kIac) {
                data[taken++] = byte;
                state_ = State::Data;
            } else if (byte >= kWill) { // WILL, WONT, DO, DONT
                verb_ = byte;
                state_ = State::Verb;
            } else if (byte == kSb) {
                sub_.clear();
                subTooLong_ = false;
                state_ = State::Sub;
            } else {
                state_ = State::Data; // NOP, go-ahead, data mark, a stray SE, ...: nothing to do
            }
            break;
        case State::Verb:
            Negotiate(verb_, byte, reply);
            state_ = State::Data;
            break;
        case State::Sub:
            if (byte == kIac)
                state_ = State::SubIac;
            else if (sub_.size() < kMaxSubnegotiation)
                sub_.push_back(byte);
            else
                subTooLong_ = true;
            break;
        }
    }
    return taken;
}

void AfTelnetCodec::EndSubnegotiation(std::vector<std::vector<BYTE>>& comPort)
{
    if (!subTooLong_ && sub_.size() >= 2 && sub_[0] == kComPort)
        comPort.emplace_back(sub_.begin() + 1, sub_.end());
    sub_.clear();
}

void AfTelnetCodec::Negotiate(BYTE verb, BYTE option, std::vector<BYTE>& reply)
{
    Option& state = options_[option];
    switch (verb) {
    case kWill: // the gateway will perform the option, or offers to
        if (state.him)
            break;
        if (state.himAsked || option == kBinary || option == kSuppressGoAhead) {
            if (!state.himAsked)
                Put(reply, {kIac, kDo, option});
            state.him = true;
            state.himAsked = false;
        } else {
            Put(reply, {kIac, kDont, option});
        }
        break;
    case kWont:
        if (state.him)
            Put(reply, {kIac, kDont, option});
        state.him = false;
        state.himAsked = false;
        break;
    case kDo: // the gateway asks this side to perform the option, or agrees that it does
        if (state.us)
            break;
        if (state.usAsked || option == kBinary || option == kSuppressGoAhead || option == kComPort) {
            if (!state.usAsked)
                Put(reply, {kIac, kWill, option});
            state.us = true;
            state.usAsked = false;
        } else {
            Put(reply, {kIac, kWont, option});
        }
        break;
    case kDont:
        if (state.us)
            Put(reply, {kIac, kWont, option});
        state.us = false;
        state.usAsked = false;
        break;
    default:
        break;
    }
}

void AfTelnetCodec::Escape(const BYTE* data, std::size_t count, std::vector<BYTE>& out)
{
    out.reserve(out.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac)
            out.push_back(kIac);
    }
}

void AfTelnetCodec::ComPortCommand(BYTE command, std::initializer_list<BYTE> value, std::vector<BYTE>& out)
{
    Put(out, {kIac, kSb, kComPort, command});
    Escape(value.begin(), value.size(), out);
    Put(out, {kIac, kSe});
}

} // namespace vexora::serial::platform
