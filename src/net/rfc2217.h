// The Telnet side of a network serial port (RFC 854/855 and the BINARY
// option of RFC 856) with the COM-PORT-OPTION of RFC 2217: a decoder that
// splits what the server sends into data bytes and protocol events, the
// client's option negotiation, and the encoders for everything the client
// sends. Pure: no sockets, no clock; the network port drives it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace rfc2217 {

// Telnet command bytes.
constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

// Telnet options this client has an opinion on.
constexpr uint8_t kOptionBinary = 0;
constexpr uint8_t kOptionEcho = 1;
constexpr uint8_t kOptionSuppressGoAhead = 3;
constexpr uint8_t kOptionComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers a
// command with its code plus kServerOffset (SET-BAUDRATE 1 -> 101).
enum class Command : uint8_t {
    signature = 0,
    set_baudrate = 1,
    set_datasize = 2,
    set_parity = 3,
    set_stopsize = 4,
    set_control = 5,
    notify_linestate = 6,
    notify_modemstate = 7,
    flowcontrol_suspend = 8,
    flowcontrol_resume = 9,
    set_linestate_mask = 10,
    set_modemstate_mask = 11,
    purge_data = 12,
};
constexpr uint8_t kServerOffset = 100;
constexpr std::size_t kCommandCount = 13;

// Values of SET-DATASIZE, SET-PARITY, SET-STOPSIZE, SET-CONTROL and
// PURGE-DATA that the client uses.
constexpr uint8_t kDataSize8 = 8;
constexpr uint8_t kParityNone = 1;
constexpr uint8_t kParityOdd = 2;
constexpr uint8_t kParityEven = 3;
constexpr uint8_t kStopSize1 = 1;
constexpr uint8_t kStopSize2 = 2;
constexpr uint8_t kControlNoFlowControl = 1;
constexpr uint8_t kControlXonXoff = 2;
constexpr uint8_t kControlHardware = 3;
constexpr uint8_t kControlDtrOn = 8;
constexpr uint8_t kControlDtrOff = 9;
constexpr uint8_t kControlRtsOn = 11;
constexpr uint8_t kControlRtsOff = 12;
constexpr uint8_t kPurgeBoth = 3;

// ---- what the server sends ------------------------------------------------

enum class EventKind : uint8_t {
    none,      // the byte was part of a sequence still in progress
    data,      // a data byte for the application (IAC IAC undoubled)
    will,      // IAC WILL option
    wont,      // IAC WONT option
    do_,       // IAC DO option
    dont,      // IAC DONT option
    com_port,  // IAC SB COM-PORT-OPTION code value... IAC SE
    other,     // any other command or subnegotiation: nothing to do
};

struct Event {
    EventKind kind = EventKind::none;
    uint8_t byte = 0;  // data: the byte; negotiation: the option; com_port: the server's code
};

// The longest COM-PORT-OPTION value kept; longer ones are cut and marked.
constexpr std::size_t kValueCapacity = 64;

// Takes the received bytes one at a time, in any pieces they arrive in.
class Decoder {
   public:
    Event take(uint8_t byte);

    // The value of the last com_port event (after its code, undoubled).
    const uint8_t* value() const { return value_.data() + 1; }
    std::size_t value_size() const { return size_ > 0 ? size_ - 1 : 0; }
    bool value_cut() const { return cut_; }
    // The value read as a network-order number of up to four bytes (the
    // rate of a SET-BAUDRATE answer, the one byte of most others).
    uint32_t value_number() const;

   private:
    enum class State : uint8_t { data, iac, verb, sb_option, sb_data, sb_iac };
    Event end_subnegotiation();

    State state_ = State::data;
    uint8_t verb_ = 0;
    uint8_t option_ = 0;
    std::array<uint8_t, kValueCapacity + 1> value_{};  // the code, then the value
    std::size_t size_ = 0;
    bool cut_ = false;
};

// ---- what the client sends ------------------------------------------------

// A few bytes ready to go out. The longest is a SET-BAUDRATE whose four
// value bytes are all IAC, doubled.
struct Frame {
    std::array<uint8_t, 16> bytes{};
    std::size_t size = 0;
};

// One data byte as it goes on the wire: IAC doubled.
Frame encode_data(uint8_t byte);

// IAC verb option.
Frame encode_negotiation(uint8_t verb, uint8_t option);

// IAC SB COM-PORT-OPTION command value IAC SE, IAC in the value doubled.
Frame encode_command(Command command, const uint8_t* value, std::size_t size);
Frame encode_set_baudrate(uint32_t rate);
Frame encode_set_datasize(uint8_t bits);
Frame encode_set_parity(uint8_t parity);
Frame encode_set_stopsize(uint8_t stop);
Frame encode_set_control(uint8_t control);
Frame encode_purge_data(uint8_t which);

// The command a server's code answers, or false when the code is not an
// answer (below 100 or past the last command).
bool answered_command(uint8_t server_code, Command* command);

// ---- option negotiation -----------------------------------------------------

// The client wants BINARY both ways (all 256 byte values pass untouched),
// SUPPRESS-GO-AHEAD both ways, and to speak COM-PORT-OPTION; it refuses
// everything else (remote echo included). A reply goes out only when an
// option changes state, so client and server never answer each other in a
// loop (RFC 854).
class Negotiator {
   public:
    // The requests the client opens the connection with.
    static constexpr std::size_t kOpeningCount = 5;
    std::array<Frame, kOpeningCount> opening();

    // The reply to one WILL/WONT/DO/DONT from the server; size 0 for none.
    Frame answer(EventKind verb, uint8_t option);

    // The server agreed to COM-PORT-OPTION (DO) or refused it (DONT).
    bool com_port_agreed() const { return us_[kOptionComPort].enabled; }
    bool com_port_refused() const { return com_port_refused_; }

   private:
    struct Side {
        bool enabled = false;
        bool requested = false;
    };
    static bool want_us(uint8_t option);
    static bool want_them(uint8_t option);
    Frame agree(Side& side, bool wanted, uint8_t yes_verb, uint8_t no_verb, uint8_t option);
    Frame disagree(Side& side, uint8_t no_verb, uint8_t option);

    std::array<Side, 256> us_{};    // options the client performs (WILL)
    std::array<Side, 256> them_{};  // options the server performs (its WILL)
    bool com_port_refused_ = false;
};

}  // namespace rfc2217
