// The network line: a TCP connection, for rfc2217 with the Telnet codec on
// it. Received bytes are decoded as they are read; the server's answers to
// COM-PORT-OPTION commands are counted, so a setting can wait for its own
// answer. Output is gathered and sent at the next flush.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/fatal.h"
#include "base/text.h"
#include "net/net.h"

namespace {

constexpr const char* kRfc2217Scheme = "rfc2217://";
constexpr const char* kRawScheme = "socket://";
constexpr int64_t kMaxTcpPort = 65535;
constexpr std::size_t kReadChunk = 4096;
constexpr int kWriteSliceMs = 100;          // a write waits in slices, so a signal is seen between them
constexpr std::size_t kCommandValueAt = 4;  // IAC SB COM-PORT-OPTION command, then the value

bool has_scheme(const char* name, const char* scheme) {
    for (; *scheme != '\0'; ++scheme, ++name)
        if (std::tolower(static_cast<unsigned char>(*name)) != *scheme) return false;
    return true;
}

template <std::size_t N>
bool copy_part(std::array<char, N>& to, const char* from, std::size_t length) {
    if (length == 0 || length >= N) return false;
    std::memcpy(to.data(), from, length);
    to[length] = '\0';
    return true;
}

bool valid_host_text(const char* host, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(host[i]);
        if (c <= ' ' || c >= 127 || c == '/' || c == '[' || c == ']' || c == '@') return false;
    }
    return true;
}

bool valid_port_text(const char* port) {
    int64_t number = 0;
    return parse_decimal(port, 1, kMaxTcpPort, &number);
}

const char* control_name(uint8_t control) {
    switch (control) {
        case rfc2217::kControlDtrOn: return " (DTR on)";
        case rfc2217::kControlDtrOff: return " (DTR off)";
        case rfc2217::kControlRtsOn: return " (RTS on)";
        case rfc2217::kControlRtsOff: return " (RTS off)";
        case rfc2217::kControlNoFlowControl: return " (no flow control)";
        default: return "";
    }
}

const char* command_name(rfc2217::Command command) {
    switch (command) {
        case rfc2217::Command::set_baudrate: return "SET-BAUDRATE";
        case rfc2217::Command::set_datasize: return "SET-DATASIZE";
        case rfc2217::Command::set_parity: return "SET-PARITY";
        case rfc2217::Command::set_stopsize: return "SET-STOPSIZE";
        case rfc2217::Command::set_control: return "SET-CONTROL";
        case rfc2217::Command::purge_data: return "PURGE-DATA";
        default: return "COM-PORT-OPTION";
    }
}

std::size_t index_of(rfc2217::Command command) { return static_cast<std::size_t>(command); }

// What the line has said already: once per run, not once per connection.
struct Said {
    std::array<bool, rfc2217::kCommandCount> unanswered{};
    bool no_com_port = false;
    bool no_modem_lines = false;
};
Said said;

// Messages of the line go where the port's system texts go, on a line of
// their own.
void say(const char* format, const char* name, const char* detail) {
    end_open_line();
    std::fflush(stdout);
    std::fprintf(stderr, format, name, detail);
    std::fflush(stderr);
}

void say_unanswered(const char* name, rfc2217::Command command, uint8_t value) {
    std::size_t i = index_of(command);
    if (said.unanswered[i]) return;
    said.unanswered[i] = true;
    char what[128];
    std::snprintf(what, sizeof what, "%s%s within %d ms; going on without it", command_name(command),
                  command == rfc2217::Command::set_control ? control_name(value) : "", kAnswerWaitPolls);
    say("%s: the server did not answer %s\n", name, what);
}

}  // namespace

NetworkKind network_kind(const char* name) {
    if (has_scheme(name, kRfc2217Scheme)) return NetworkKind::rfc2217;
    if (has_scheme(name, kRawScheme)) return NetworkKind::raw;
    return NetworkKind::none;
}

bool parse_network_name(const char* name, NetworkAddress* address) {
    NetworkKind kind = network_kind(name);
    if (kind == NetworkKind::none) return false;
    const char* rest = name + std::strlen(kind == NetworkKind::rfc2217 ? kRfc2217Scheme : kRawScheme);
    const char* host = rest;
    const char* host_end = nullptr;
    const char* colon = nullptr;
    if (*rest == '[') {  // [IPv6]:PORT
        host = rest + 1;
        host_end = std::strchr(host, ']');
        if (host_end == nullptr || host_end[1] != ':') return false;
        colon = host_end + 1;
        // An IPv6 address, perhaps with a zone (fe80::1%eth0).
        for (const char* c = host; c < host_end; ++c)
            if (!std::isalnum(static_cast<unsigned char>(*c)) && std::strchr(":.%-_", *c) == nullptr)
                return false;
    } else {
        colon = std::strchr(rest, ':');
        if (colon == nullptr || std::strchr(colon + 1, ':') != nullptr) return false;
        host_end = colon;
        if (!valid_host_text(host, static_cast<std::size_t>(host_end - host))) return false;
    }
    if (!valid_port_text(colon + 1)) return false;
    if (!copy_part(address->host, host, static_cast<std::size_t>(host_end - host))) return false;
    if (!copy_part(address->port, colon + 1, std::strlen(colon + 1))) return false;
    address->kind = kind;
    return true;
}

// ---- the connection -----------------------------------------------------------

bool NetworkLine::open(const NetworkAddress& address, const char* name, int connect_wait_ms,
                       TcpError* error) {
    close();
    std::snprintf(name_.data(), name_.size(), "%s", name);
    kind_ = address.kind;
    decoder_ = {};
    negotiator_ = {};
    com_port_ = false;
    sent_ = {};
    answered_ = {};
    rx_head_ = rx_count_ = tx_size_ = 0;
    ended_ = false;
    end_error_ = {};
    connection_ = tcp_connect(address.host.data(), address.port.data(), connect_wait_ms, error);
    if (connection_ == kNoConnection) return false;
    if (kind_ == NetworkKind::rfc2217) {
        for (const rfc2217::Frame& frame : negotiator_.opening()) send_frame(frame);
        com_port_ = wait_for_com_port_agreement();
        if (com_port_) {
            configure_line();
        } else if (!said.no_com_port && !ended_) {
            said.no_com_port = true;
            say("%s: the server does not take the COM-PORT-OPTION (RFC 2217)%s\n", name_.data(),
                "; the line keeps the server's own settings");
        }
    }
    if (ended_ || !flush()) {
        *error = end_error_;
        close();
        return false;
    }
    return true;
}

// Destruction may come while the process exits (the port is a static):
// the last bytes (a final --send, a key typed just before Esc) go out, but
// no signal is looked for, as that would exit a second time.
NetworkLine::~NetworkLine() {
    if (is_open() && !ended_) send_gathered(false);
    tcp_release_wait_event(&wait_event_);
    tcp_close(connection_);
}

void NetworkLine::close() {
    if (connection_ == kNoConnection) return;
    if (!ended_) flush();
    tcp_release_wait_event(&wait_event_);
    tcp_close(connection_);
    connection_ = kNoConnection;
    rx_head_ = rx_count_ = tx_size_ = 0;
}

// 8-N-1 and no flow control, as a local port is set; the server's buffers
// purged, and whatever came before the purge's answer dropped. The
// commands go out together and their answers are awaited after, so that a
// distant server costs one round trip, not five.
void NetworkLine::configure_line() {
    using rfc2217::Command;
    struct Setting {
        rfc2217::Frame frame;
        Command command;
        unsigned long count = 0;
    };
    std::array<Setting, 5> settings = {{
        {rfc2217::encode_set_datasize(rfc2217::kDataSize8), Command::set_datasize},
        {rfc2217::encode_set_parity(rfc2217::kParityNone), Command::set_parity},
        {rfc2217::encode_set_stopsize(rfc2217::kStopSize1), Command::set_stopsize},
        {rfc2217::encode_set_control(rfc2217::kControlNoFlowControl), Command::set_control},
        {rfc2217::encode_purge_data(rfc2217::kPurgeBoth), Command::purge_data},
    }};
    for (Setting& setting : settings) setting.count = send_command(setting.frame, setting.command);
    bool purged = false;
    for (const Setting& setting : settings)
        purged = await_answer(setting.frame, setting.command, setting.count);
    if (purged) rx_head_ = rx_count_ = 0;
}

bool NetworkLine::wait_for_com_port_agreement() {
    flush();
    for (int poll = 0; poll < kAnswerWaitPolls; ++poll) {
        if (negotiator_.com_port_agreed()) return true;
        if (negotiator_.com_port_refused() || !pump()) return false;
        tcp_wait_readable(connection_, 1);
        check_pending_signal();
    }
    return negotiator_.com_port_agreed();
}

unsigned long NetworkLine::send_command(const rfc2217::Frame& frame, rfc2217::Command command) {
    send_frame(frame);
    return ++sent_[index_of(command)];
}

bool NetworkLine::await_answer(const rfc2217::Frame& frame, rfc2217::Command command, unsigned long count) {
    if (wait_for_answer(command, count)) return true;
    if (!ended_) say_unanswered(name_.data(), command, frame.bytes[kCommandValueAt]);
    return false;
}

bool NetworkLine::wait_for_answer(rfc2217::Command command, unsigned long count) {
    std::size_t i = index_of(command);
    flush();
    for (int poll = 0; poll < kAnswerWaitPolls; ++poll) {
        if (answered_[i] >= count) return true;
        if (!pump()) return false;
        if (answered_[i] >= count) return true;
        tcp_wait_readable(connection_, 1);
        check_pending_signal();
    }
    return answered_[i] >= count;
}

bool NetworkLine::set_rate(uint32_t rate) {
    if (!is_open()) return false;
    if (kind_ != NetworkKind::rfc2217 || !com_port_) return true;
    // The answer is waited for every time: the next byte must go at the
    // new rate, even from a server that was slow once.
    rfc2217::Frame frame = rfc2217::encode_set_baudrate(rate);
    if (!await_answer(frame, rfc2217::Command::set_baudrate,
                      send_command(frame, rfc2217::Command::set_baudrate)))
        return !ended_;
    if (answered_rate_ == rate) return true;
    char detail[64];
    std::snprintf(detail, sizeof detail, "%u baud instead of %u", answered_rate_, rate);
    say("%s: the server set %s\n", name_.data(), detail);
    return false;
}

bool NetworkLine::set_control(uint8_t control) {
    if (!is_open()) return false;
    // Dropping a line that does not exist changes nothing (the port drops
    // DTR whenever it opens): only a line asked to rise is missed.
    const bool raise = control == rfc2217::kControlDtrOn || control == rfc2217::kControlRtsOn;
    if (kind_ != NetworkKind::rfc2217) {
        if (!said.no_modem_lines && raise)
            say("tamborvine: %s on %s: the port has no modem lines (a raw TCP connection carries none)\n",
                control == rfc2217::kControlDtrOn ? "DTR" : "RTS", name_.data());
        said.no_modem_lines = said.no_modem_lines || raise;
        return true;
    }
    if (!com_port_) return true;  // said when the connection was made
    // A server that once left SET-CONTROL unanswered (ser2net on a device
    // without modem lines) is not waited for again.
    rfc2217::Frame frame = rfc2217::encode_set_control(control);
    unsigned long count = send_command(frame, rfc2217::Command::set_control);
    if (said.unanswered[index_of(rfc2217::Command::set_control)])
        flush();
    else
        await_answer(frame, rfc2217::Command::set_control, count);
    return !ended_;
}

// ---- bytes -------------------------------------------------------------------------

long NetworkLine::read(uint8_t* buffer, std::size_t capacity) {
    flush();
    if (rx_count_ == 0) pump();
    if (rx_count_ == 0) return ended_ || !is_open() ? -1 : 0;
    std::size_t n = 0;
    while (n < capacity && rx_count_ > 0) {
        buffer[n++] = rx_[rx_head_];
        rx_head_ = (rx_head_ + 1) % rx_.size();
        --rx_count_;
    }
    if (rx_count_ == 0) rx_head_ = 0;
    return static_cast<long>(n);
}

int NetworkLine::wait_source(WaitSource::Kind kind, WaitSource* source) {
    flush();
    if (ended_ || !is_open()) return 0;
    if (kind == WaitSource::Kind::readable && rx_count_ > 0) return 0;
    return tcp_wait_source(connection_, kind, &wait_event_, source);
}

bool NetworkLine::write(uint8_t byte) {
    if (kind_ == NetworkKind::rfc2217) {
        send_frame(rfc2217::encode_data(byte));
    } else {
        if (tx_size_ == tx_.size() && !flush()) return false;
        tx_[tx_size_++] = byte;
    }
    return !ended_ && is_open();
}

void NetworkLine::send_frame(const rfc2217::Frame& frame) {
    if (tx_size_ + frame.size > tx_.size()) flush();
    if (tx_size_ + frame.size > tx_.size()) return;  // the connection failed; nothing more goes out
    std::memcpy(tx_.data() + tx_size_, frame.bytes.data(), frame.size);
    tx_size_ += frame.size;
}

bool NetworkLine::flush() { return send_gathered(true); }

bool NetworkLine::send_gathered(bool watch_signals) {
    if (tx_size_ == 0) return !ended_;
    if (ended_ || !is_open()) {
        tx_size_ = 0;
        return false;
    }
    std::size_t sent = 0;
    Deadline stalled = Deadline::in_ms(kWriteStallMs);  // renewed at every byte taken
    while (sent < tx_size_) {
        TcpError error;
        long n = tcp_write(connection_, tx_.data() + sent, tx_size_ - sent, kWriteSliceMs, &error);
        if (n < 0) {
            remember_failure(error);
            break;
        }
        sent += static_cast<std::size_t>(n);
        if (n > 0) stalled = Deadline::in_ms(kWriteStallMs);
        if (stalled.passed()) {
            remember_failure(tcp_timed_out());  // the server took nothing for the whole stall limit
            break;
        }
        if (watch_signals) check_pending_signal();
    }
    tx_size_ = 0;
    return !ended_;
}

void NetworkLine::remember_failure(const TcpError& error) {
    ended_ = true;
    end_error_ = error;
}

bool NetworkLine::pump() {
    if (ended_ || !is_open()) return false;
    std::array<uint8_t, kReadChunk> chunk;
    // At most a receive buffer's worth per call: a server that sends only
    // protocol (an endless subnegotiation) fills no buffer, and must not
    // keep the caller here while the keys and the time limits wait.
    for (std::size_t taken = 0; taken < rx_.size() && rx_.size() - rx_count_ >= chunk.size();) {
        TcpError error;
        long n = tcp_read(connection_, chunk.data(), chunk.size(), &error);
        if (n < 0) {
            remember_failure(error);
            break;
        }
        taken += static_cast<std::size_t>(n);
        for (long i = 0; i < n; ++i) {
            if (kind_ == NetworkKind::rfc2217)
                handle(decoder_.take(chunk[static_cast<std::size_t>(i)]));
            else
                handle({rfc2217::EventKind::data, chunk[static_cast<std::size_t>(i)]});
        }
        if (static_cast<std::size_t>(n) < chunk.size()) break;
    }
    if (tx_size_ > 0) flush();  // the answers to the server's negotiation
    return !ended_;
}

void NetworkLine::handle(const rfc2217::Event& event) {
    using rfc2217::EventKind;
    switch (event.kind) {
        case EventKind::data:
            rx_[(rx_head_ + rx_count_) % rx_.size()] = event.byte;
            ++rx_count_;
            break;
        case EventKind::will:
        case EventKind::wont:
        case EventKind::do_:
        case EventKind::dont: send_frame(negotiator_.answer(event.kind, event.byte)); break;
        case EventKind::com_port: {
            rfc2217::Command command;
            if (!rfc2217::answered_command(event.byte, &command)) break;
            ++answered_[index_of(command)];
            if (command == rfc2217::Command::set_baudrate) answered_rate_ = decoder_.value_number();
            break;
        }
        default: break;
    }
}
