// Telnet with the COM-PORT-OPTION: the decoder's states, the encoders and
// the client's negotiation policy.
#include "net/rfc2217.h"

namespace rfc2217 {

namespace {

void put(Frame& frame, uint8_t byte) {
    if (frame.size < frame.bytes.size()) frame.bytes[frame.size++] = byte;
}

// A value byte inside a subnegotiation, IAC doubled.
void put_escaped(Frame& frame, uint8_t byte) {
    put(frame, byte);
    if (byte == kIac) put(frame, kIac);
}

Frame command_with_byte(Command command, uint8_t value) { return encode_command(command, &value, 1); }

}  // namespace

// ---- decoder ------------------------------------------------------------------

Event Decoder::take(uint8_t byte) {
    switch (state_) {
        case State::data:
            if (byte == kIac) {
                state_ = State::iac;
                return {};
            }
            return {EventKind::data, byte};
        case State::iac:
            state_ = State::data;
            if (byte == kIac) return {EventKind::data, kIac};
            if (byte == kWill || byte == kWont || byte == kDo || byte == kDont) {
                verb_ = byte;
                state_ = State::verb;
                return {};
            }
            if (byte == kSb) {
                state_ = State::sb_option;
                return {};
            }
            return {EventKind::other, byte};
        case State::verb: {
            state_ = State::data;
            EventKind kind = verb_ == kWill   ? EventKind::will
                             : verb_ == kWont ? EventKind::wont
                             : verb_ == kDo   ? EventKind::do_
                                              : EventKind::dont;
            return {kind, byte};
        }
        case State::sb_option:
            option_ = byte;
            size_ = 0;
            cut_ = false;
            state_ = State::sb_data;
            return {};
        case State::sb_data:
            if (byte == kIac) {
                state_ = State::sb_iac;
                return {};
            }
            break;
        case State::sb_iac:
            if (byte == kSe) return end_subnegotiation();
            if (byte != kIac) {
                // An unescaped IAC inside a subnegotiation ends it unfinished;
                // the byte after it is read as any command would be.
                state_ = State::iac;
                return take(byte);
            }
            state_ = State::sb_data;
            break;
    }
    if (size_ < value_.size())
        value_[size_++] = byte;
    else
        cut_ = true;
    return {};
}

Event Decoder::end_subnegotiation() {
    state_ = State::data;
    if (option_ != kOptionComPort || size_ == 0) return {EventKind::other, option_};
    return {EventKind::com_port, value_[0]};
}

uint32_t Decoder::value_number() const {
    uint32_t number = 0;
    for (std::size_t i = 0; i < value_size() && i < 4; ++i) number = (number << 8) | value()[i];
    return number;
}

// ---- encoders -----------------------------------------------------------------

Frame encode_data(uint8_t byte) {
    Frame frame;
    put_escaped(frame, byte);
    return frame;
}

Frame encode_negotiation(uint8_t verb, uint8_t option) {
    Frame frame;
    put(frame, kIac);
    put(frame, verb);
    put(frame, option);
    return frame;
}

Frame encode_command(Command command, const uint8_t* value, std::size_t size) {
    Frame frame;
    put(frame, kIac);
    put(frame, kSb);
    put(frame, kOptionComPort);
    put(frame, static_cast<uint8_t>(command));
    for (std::size_t i = 0; i < size && i < 4; ++i) put_escaped(frame, value[i]);
    put(frame, kIac);
    put(frame, kSe);
    return frame;
}

Frame encode_set_baudrate(uint32_t rate) {
    const uint8_t value[4] = {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                              static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)};
    return encode_command(Command::set_baudrate, value, sizeof value);
}

Frame encode_set_datasize(uint8_t bits) { return command_with_byte(Command::set_datasize, bits); }
Frame encode_set_parity(uint8_t parity) { return command_with_byte(Command::set_parity, parity); }
Frame encode_set_stopsize(uint8_t stop) { return command_with_byte(Command::set_stopsize, stop); }
Frame encode_set_control(uint8_t control) { return command_with_byte(Command::set_control, control); }
Frame encode_purge_data(uint8_t which) { return command_with_byte(Command::purge_data, which); }

bool answered_command(uint8_t server_code, Command* command) {
    if (server_code < kServerOffset || server_code >= kServerOffset + kCommandCount) return false;
    *command = static_cast<Command>(server_code - kServerOffset);
    return true;
}

// ---- negotiation ----------------------------------------------------------------

bool Negotiator::want_us(uint8_t option) {
    return option == kOptionBinary || option == kOptionSuppressGoAhead || option == kOptionComPort;
}

bool Negotiator::want_them(uint8_t option) {
    return option == kOptionBinary || option == kOptionSuppressGoAhead;
}

std::array<Frame, Negotiator::kOpeningCount> Negotiator::opening() {
    us_[kOptionBinary].requested = true;
    them_[kOptionBinary].requested = true;
    us_[kOptionSuppressGoAhead].requested = true;
    them_[kOptionSuppressGoAhead].requested = true;
    us_[kOptionComPort].requested = true;
    return {encode_negotiation(kWill, kOptionBinary), encode_negotiation(kDo, kOptionBinary),
            encode_negotiation(kWill, kOptionSuppressGoAhead),
            encode_negotiation(kDo, kOptionSuppressGoAhead), encode_negotiation(kWill, kOptionComPort)};
}

// The other side asks for (or agrees to) an option.
Frame Negotiator::agree(Side& side, bool wanted, uint8_t yes_verb, uint8_t no_verb, uint8_t option) {
    if (!wanted) {
        side.requested = false;
        return encode_negotiation(no_verb, option);
    }
    if (side.enabled) return {};
    side.enabled = true;
    if (side.requested) {  // the answer to our own request
        side.requested = false;
        return {};
    }
    return encode_negotiation(yes_verb, option);
}

// The other side refuses (or ends) an option.
Frame Negotiator::disagree(Side& side, uint8_t no_verb, uint8_t option) {
    if (side.requested) {  // our request refused: nothing to answer
        side.requested = false;
        side.enabled = false;
        return {};
    }
    if (!side.enabled) return {};
    side.enabled = false;
    return encode_negotiation(no_verb, option);
}

Frame Negotiator::answer(EventKind verb, uint8_t option) {
    switch (verb) {
        case EventKind::do_: return agree(us_[option], want_us(option), kWill, kWont, option);
        case EventKind::will: return agree(them_[option], want_them(option), kDo, kDont, option);
        case EventKind::dont:
            if (option == kOptionComPort) com_port_refused_ = true;
            return disagree(us_[option], kWont, option);
        case EventKind::wont: return disagree(them_[option], kDont, option);
        default: return {};
    }
}

}  // namespace rfc2217
