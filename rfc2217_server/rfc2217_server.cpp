// The RFC 2217 server of a target's line: the Telnet dialogue of one
// client, and the sockets.
#include "rfc2217_server/rfc2217_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Telnet commands and options.
constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;
constexpr uint8_t kBinary = 0;
constexpr uint8_t kEcho = 1;  // agreed, as serial servers do: the target echoes, not the client
constexpr uint8_t kSuppressGoAhead = 3;
constexpr uint8_t kComPort = 44;

// COM-PORT-OPTION requests of the client; the server answers each with
// its code + 100.
enum ComPortRequest : uint8_t {
    kSignature = 0,
    kSetBaudrate = 1,
    kSetDatasize = 2,
    kSetParity = 3,
    kSetStopsize = 4,
    kSetControl = 5,
    kNotifyLinestate = 6,
    kNotifyModemstate = 7,
    kFlowcontrolSuspend = 8,
    kFlowcontrolResume = 9,
    kSetLinestateMask = 10,
    kSetModemstateMask = 11,
    kPurgeData = 12,
};
constexpr uint8_t kServerCode = 100;
constexpr const char* kRequestNames[] = {
    "signature",    "baudrate",    "datasize",         "parity",
    "stopsize",     "control",     "notify-linestate", "notify-modemstate",
    "flow-suspend", "flow-resume", "linestate-mask",   "modemstate-mask",
    "purge"};
// A signature text is the longest request; anything longer is cut here.
constexpr std::size_t kSubnegotiationLimit = 256;
constexpr uint8_t kModemState = 0;  // no modem line comes back from the board

// SET-CONTROL values.
constexpr uint8_t kFlowQuery = 0, kFlowHardware = 3;
constexpr uint8_t kBreakQuery = 4, kBreakOn = 5, kBreakOff = 6;
constexpr uint8_t kDtrQuery = 7, kDtrOn = 8, kDtrOff = 9;
constexpr uint8_t kRtsQuery = 10, kRtsOn = 11, kRtsOff = 12;
constexpr uint8_t kInboundQuery = 13, kInboundFirst = 14, kInboundLast = 19;

uint32_t rate_value(const Bytes& value) {
    if (value.size() < 4) return 0;
    return (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) | (uint32_t{value[2]} << 8) | value[3];
}

// "rfc2217 NAME VALUE" for a request of the client.
std::string request_report(uint8_t code, const Bytes& value) {
    std::string text = "rfc2217 ";
    text += kRequestNames[code];
    if (value.empty()) return text;
    text += ' ';
    if (code == kSetBaudrate)
        text += std::to_string(rate_value(value));
    else if (code == kSignature)
        text.append(value.begin(), value.end());
    else
        text += std::to_string(value[0]);
    return text;
}

bool server_performs(uint8_t option) {
    return option == kBinary || option == kEcho || option == kSuppressGoAhead || option == kComPort;
}

bool client_may_perform(uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

}  // namespace

// ---- the dialogue -----------------------------------------------------------

Bytes Rfc2217Session::opening() {
    offer(kWill, kSuppressGoAhead);
    offer(kDo, kSuppressGoAhead);
    offer(kWill, kEcho);
    offer(kDo, kBinary);
    offer(kWill, kBinary);
    offer(kDo, kComPort);
    return take_answers();
}

void Rfc2217Session::offer(uint8_t verb, uint8_t option) {
    (verb == kWill ? ours_ : theirs_)[option] = Side::asked;
    answers_.insert(answers_.end(), {kIac, verb, option});
}

Bytes Rfc2217Session::take_answers() {
    Bytes out;
    out.swap(answers_);
    return out;
}

void Rfc2217Session::receive(const uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        uint8_t byte = data[i];
        switch (state_) {
            case State::data:
                if (byte == kIac) {
                    state_ = State::command;
                } else if (!(after_cr_ && byte == 0 && theirs_[kBinary] != Side::on)) {
                    data_.push_back(byte);  // a NUL after CR is the NVT's bare CR: dropped
                }
                after_cr_ = byte == '\r';
                break;
            case State::command: command(byte); break;
            case State::option:
                negotiate(verb_, byte);
                state_ = State::data;
                break;
            case State::subnegotiation:
                if (byte == kIac)
                    state_ = State::subnegotiation_command;
                else if (subnegotiation_.size() < kSubnegotiationLimit)
                    subnegotiation_.push_back(byte);
                break;
            case State::subnegotiation_command:
                if (byte == kIac) {
                    if (subnegotiation_.size() < kSubnegotiationLimit) subnegotiation_.push_back(kIac);
                    state_ = State::subnegotiation;
                    break;
                }
                // SE ends it; anything else ends it too, and is a command.
                end_subnegotiation();
                if (byte != kSe) command(byte);
                break;
        }
    }
    pass_data();
}

// The byte after IAC outside a subnegotiation.
void Rfc2217Session::command(uint8_t byte) {
    state_ = State::data;
    switch (byte) {
        case kIac:
            data_.push_back(kIac);
            after_cr_ = false;
            return;
        case kWill:
        case kWont:
        case kDo:
        case kDont:
            verb_ = byte;
            state_ = State::option;
            return;
        case kSb:
            subnegotiation_.clear();
            state_ = State::subnegotiation;
            return;
        default: return;  // NOP, GA, a stray SE and the rest mean nothing on a serial line
    }
}

void Rfc2217Session::negotiate(uint8_t verb, uint8_t option) {
    bool about_ours = verb == kDo || verb == kDont;
    bool wanted = verb == kWill || verb == kDo;
    Side& side = (about_ours ? ours_ : theirs_)[option];
    bool supported = about_ours ? server_performs(option) : client_may_perform(option);
    uint8_t yes = about_ours ? kWill : kDo;
    uint8_t no = about_ours ? kWont : kDont;
    if (wanted && !supported) {
        answers_.insert(answers_.end(), {kIac, no, option});
        return;
    }
    Side now = wanted ? Side::on : Side::off;
    if (side == now) return;  // already so: no answer, or the two sides would loop
    bool was_asked = side == Side::asked;
    side = now;
    if (!was_asked) answers_.insert(answers_.end(), {kIac, wanted ? yes : no, option});
}

void Rfc2217Session::end_subnegotiation() {
    state_ = State::data;
    if (subnegotiation_.size() < 2 || subnegotiation_[0] != kComPort) return;  // not ours: ignored
    pass_data();  // what came before a setting reaches the target under the old one
    com_port(subnegotiation_[1], Bytes(subnegotiation_.begin() + 2, subnegotiation_.end()));
}

void Rfc2217Session::pass_data() {
    if (data_.empty()) return;
    Bytes out;
    out.swap(data_);
    if (events_.data) events_.data(out);
}

void Rfc2217Session::answer(uint8_t code, const Bytes& value) {
    answers_.insert(answers_.end(), {kIac, kSb, kComPort, static_cast<uint8_t>(code + kServerCode)});
    for (uint8_t b : value) {
        answers_.push_back(b);
        if (b == kIac) answers_.push_back(kIac);
    }
    answers_.insert(answers_.end(), {kIac, kSe});
}

void Rfc2217Session::com_port(uint8_t code, const Bytes& value) {
    if (code > kPurgeData) return;  // server-to-client codes and unknown ones: nothing to do
    uint8_t v = value.empty() ? 0 : value[0];
    if (events_.report) events_.report(request_report(code, value));
    auto keep_if = [&](uint8_t& setting, bool valid) {
        if (valid) setting = v;
        answer(code, Bytes{setting});
    };
    switch (code) {
        case kSignature:
            if (value.empty()) answer(code, Bytes(signature_.begin(), signature_.end()));
            return;
        case kSetBaudrate: {
            uint32_t asked = rate_value(value);  // 0 asks for the rate in force
            if (asked != 0) {
                rate_ = asked;
                if (events_.rate) events_.rate(rate_);
            }
            answer(code, Bytes{static_cast<uint8_t>(rate_ >> 24), static_cast<uint8_t>(rate_ >> 16),
                               static_cast<uint8_t>(rate_ >> 8), static_cast<uint8_t>(rate_)});
            return;
        }
        case kSetDatasize: keep_if(data_size_, v >= 5 && v <= 8); return;
        case kSetParity: keep_if(parity_, v >= 1 && v <= 5); return;
        case kSetStopsize: keep_if(stop_size_, v >= 1 && v <= 3); return;
        case kSetControl: set_control(v); return;
        case kNotifyLinestate: answer(code, Bytes{0}); return;
        case kNotifyModemstate: answer(code, Bytes{kModemState}); return;
        case kFlowcontrolSuspend:
        case kFlowcontrolResume: return;  // the target's output is slower than any network
        case kSetLinestateMask: keep_if(linestate_mask_, true); return;
        case kSetModemstateMask: keep_if(modemstate_mask_, true); return;
        case kPurgeData:
            // Nothing waits in this server: bytes are on the wire or delivered.
            if (v >= 1 && v <= 3) answer(code, Bytes{v});
            return;
        default: return;
    }
}

void Rfc2217Session::set_control(uint8_t v) {
    uint8_t state = v;
    if (v == kFlowQuery)
        state = flow_;
    else if (v <= kFlowHardware)
        flow_ = v;
    else if (v == kBreakQuery)
        state = break_on_ ? kBreakOn : kBreakOff;
    else if (v == kBreakOn || v == kBreakOff)
        break_on_ = v == kBreakOn;
    else if (v == kDtrQuery)
        state = dtr_ ? kDtrOn : kDtrOff;
    else if (v == kDtrOn || v == kDtrOff)
        modem_line(dtr_, v == kDtrOn, "dtr");
    else if (v == kRtsQuery)
        state = rts_ ? kRtsOn : kRtsOff;
    else if (v == kRtsOn || v == kRtsOff)
        modem_line(rts_, v == kRtsOn, "rts");
    else if (v == kInboundQuery)
        state = inbound_flow_;
    else if (v >= kInboundFirst && v <= kInboundLast)
        inbound_flow_ = v;
    else
        return;  // not a SET-CONTROL value
    answer(kSetControl, Bytes{state});
}

// What came before a change of a modem line reaches the target first.
void Rfc2217Session::modem_line(bool& asserted, bool on, const char* name) {
    bool raised = !asserted && on;
    bool released = asserted && !on;
    asserted = on;
    if (raised || released) pass_data();
    if (raised && events_.asserted) events_.asserted(name);
    if (released && events_.pulse) events_.pulse(name);
}

Bytes Rfc2217Session::encode(const uint8_t* data, std::size_t count) const {
    bool binary = ours_[kBinary] == Side::on;
    Bytes out;
    out.reserve(count + count / 8);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac) out.push_back(kIac);
        // Outside BINARY a bare CR goes as CR NUL.
        if (!binary && data[i] == '\r' && (i + 1 == count || data[i + 1] != '\n')) out.push_back(0);
    }
    return out;
}

// ---- the sockets ------------------------------------------------------------

Rfc2217Server::~Rfc2217Server() {
    drop_client();
    if (listen_fd_ >= 0) close(listen_fd_);
}

bool Rfc2217Server::listen_on(int port) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) return false;
    int on = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 4) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    port_ = ntohs(address.sin_port);
    return true;
}

bool Rfc2217Server::accept_client() {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return false;
    if (client_fd_ >= 0) {  // one client at a time
        close(fd);
        return false;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    client_fd_ = fd;
    return true;
}

bool Rfc2217Server::read_client(Bytes& into) {
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = recv(client_fd_, buf, sizeof buf, 0);
        if (n > 0) {
            into.insert(into.end(), buf, buf + n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        drop_client();
        return false;
    }
}

void Rfc2217Server::send(const Bytes& bytes) {
    constexpr int kFullConnectionWaitMs = 100;  // a client that does not read: give up on the rest
    const uint8_t* data = bytes.data();
    std::size_t count = bytes.size();
    while (count > 0 && client_fd_ >= 0) {
        ssize_t n = ::send(client_fd_, data, count, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            pollfd p{client_fd_, POLLOUT, 0};
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && poll(&p, 1, kFullConnectionWaitMs) > 0) continue;
            return;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
}

void Rfc2217Server::drop_client() {
    if (client_fd_ >= 0) close(client_fd_);
    client_fd_ = -1;
}
