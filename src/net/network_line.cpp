// The network line: a TCP connection, for rfc2217 with the Telnet codec on
// it. Received bytes are decoded as they are read; the server's answers to
// COM-PORT-OPTION commands are counted, so that the settings sent together
// are confirmed by one wait. Output is queued and sent as the connection
// takes it: reading, and answering the server's negotiation, never wait
// on a server that reads nothing (the line stops reading while its output
// has no room for the answers); output that has not moved for
// kWriteStallMs has failed the connection, as a local port's byte fails.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/fatal.h"
#include "base/text.h"
#include "net/net.h"

namespace {

constexpr const char* kRfc2217Scheme = "rfc2217://";
constexpr const char* kRawScheme = "socket://";
constexpr int64_t kMaxTcpPort = 65535;
constexpr std::size_t kReadChunk = 4096;
constexpr int kWriteSliceMs = 100;  // a write waits in slices, so a signal is seen between them
// While output waits for the connection to take it, the line is looked at
// again this often by a caller that waits on it to read.
constexpr int kOutputRetryMs = 10;
// Bytes wait already but cannot be taken yet (the receive buffer is full):
// looked at again after this pause.
constexpr int kServerLookAgainMs = 1;

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
// A setting a server has left unanswered (by its command and value) is
// not awaited again, the rate excepted.
struct Said {
    std::array<std::array<bool, 256>, rfc2217::kCommandCount> unanswered{};
    bool no_com_port = false;
    bool no_modem_lines = false;
    bool other_rate = false;
    bool no_line_settings = false;
    bool other_setting = false;
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

// A setting by name, as the line that names the unanswered ones says it.
std::string setting_name(rfc2217::Command command, uint8_t value) {
    std::string name = command_name(command);
    if (command == rfc2217::Command::set_control) name += control_name(value);
    return name;
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

bool NetworkLine::open(const NetworkAddress& address, const char* name, int connect_wait_ms, uint32_t rate,
                       TcpError* error) {
    close();
    std::snprintf(name_.data(), name_.size(), "%s", name);
    kind_ = address.kind;
    decoder_ = {};
    negotiator_ = {};
    com_port_ = false;
    sent_ = {};
    answered_ = {};
    awaited_count_ = 0;
    purge_pending_ = false;
    asked_rate_ = answered_rate_ = confirmed_rate_ = 0;
    modem_sent_ = {-1, -1};
    rx_head_ = rx_count_ = tx_size_ = data_queued_ = 0;
    ended_ = false;
    end_error_ = {};
    connection_ = tcp_connect(address.host.data(), address.port.data(), connect_wait_ms, error);
    if (connection_ == kNoConnection) return false;
    if (kind_ == NetworkKind::rfc2217 && !negotiate(rate, error)) {
        close();
        return false;
    }
    send_some(0);
    return true;
}

// The options, then the line's settings sent together; a re-open (a rate
// given) awaits their answers here, with the wait interrupter.
bool NetworkLine::negotiate(uint32_t rate, TcpError* error) {
    for (const rfc2217::Frame& frame : negotiator_.opening()) queue_frame(frame);
    Agreement agreement = wait_for_com_port_agreement();
    if (agreement == Agreement::interrupted) {
        *error = TcpError{0, TcpError::Kind::interrupted};
        return false;
    }
    com_port_ = agreement == Agreement::agreed;
    if (!com_port_ && !said.no_com_port && !ended_) {
        said.no_com_port = true;
        say("%s: the server does not take the COM-PORT-OPTION (RFC 2217)%s\n", name_.data(),
            "; the line keeps the server's own settings");
    }
    if (com_port_) send_line_settings(rate);
    Confirmation confirmed = com_port_ && rate > 0 ? confirm_settings() : Confirmation::done;
    if (confirmed == Confirmation::interrupted) {
        *error = TcpError{0, TcpError::Kind::interrupted};
        return false;
    }
    if (ended_ || (com_port_ && rate > 0 && !rate_as_asked())) {
        *error = end_error_;
        return false;
    }
    return true;
}

// Destruction may come while the process exits: what was written last (a
// final --send, a key typed just before Esc) goes out within the let-go's
// second, and no signal is looked for. Answers to the server's negotiation
// queued after it are not waited for.
NetworkLine::~NetworkLine() { close(); }

void NetworkLine::close() {
    if (connection_ == kNoConnection) return;
    const Deadline let_go = Deadline::in_ms(kLetGoMs);
    while (data_queued_ > 0 && !has_ended() && !let_go.passed())
        send_some(shorter_wait(kWriteSliceMs, let_go.left_ms()));
    tcp_release_wait_event(&wait_event_);
    tcp_close(connection_);
    connection_ = kNoConnection;
    rx_head_ = rx_count_ = tx_size_ = data_queued_ = 0;
}

// 8-N-1, no flow control and the modem lines off, as a local port is set;
// the server's buffers purged, and whatever comes before the purge's answer
// dropped; the rate when one is given.
void NetworkLine::send_line_settings(uint32_t rate) {
    using rfc2217::Command;
    send_setting(rfc2217::encode_set_datasize(rfc2217::kDataSize8), Command::set_datasize,
                 rfc2217::kDataSize8);
    send_setting(rfc2217::encode_set_parity(rfc2217::kParityNone), Command::set_parity, rfc2217::kParityNone);
    send_setting(rfc2217::encode_set_stopsize(rfc2217::kStopSize1), Command::set_stopsize,
                 rfc2217::kStopSize1);
    send_setting(rfc2217::encode_set_control(rfc2217::kControlNoFlowControl), Command::set_control,
                 rfc2217::kControlNoFlowControl);
    send_setting(rfc2217::encode_purge_data(rfc2217::kPurgeBoth), Command::purge_data, rfc2217::kPurgeBoth);
    purge_pending_ = true;
    for (uint8_t control : {rfc2217::kControlRtsOff, rfc2217::kControlDtrOff})
        send_setting(rfc2217::encode_set_control(control), Command::set_control, control);
    modem_sent_ = {0, 0};
    if (rate > 0) {
        send_setting(rfc2217::encode_set_baudrate(rate), Command::set_baudrate, 0);
        asked_rate_ = rate;
    }
}

NetworkLine::Agreement NetworkLine::wait_for_com_port_agreement() {
    send_some(0);
    const Deadline deadline = Deadline::in_ms(kAnswerWaitMs);
    for (;;) {
        if (!pump() || negotiator_.com_port_refused()) return Agreement::refused;
        if (negotiator_.com_port_agreed()) return Agreement::agreed;
        if (deadline.passed()) return Agreement::refused;
        if (wait_for_server(deadline) == WaitEnd::interrupted) return Agreement::interrupted;
    }
}

// The command goes out with the next send; its answer is awaited by the
// next confirm_settings, unless a server has left it unanswered before.
void NetworkLine::send_setting(const rfc2217::Frame& frame, rfc2217::Command command, uint8_t value) {
    queue_frame(frame);
    std::size_t i = index_of(command);
    unsigned long count = ++sent_[i];
    bool given_up = command != rfc2217::Command::set_baudrate && said.unanswered[i][value];
    if (given_up || awaited_count_ == awaited_.size()) return;
    awaited_[awaited_count_++] = Awaited{command, value, count};
}

bool NetworkLine::all_answered() const {
    for (std::size_t i = 0; i < awaited_count_; ++i)
        if (answered_[index_of(awaited_[i].command)] < awaited_[i].count) return false;
    return true;
}

// One wait for the answers to every setting sent and not yet answered: one
// round trip however many there are. Those that did not come in time are
// named in one line.
NetworkLine::Confirmation NetworkLine::confirm_settings() {
    if (!send_all()) return Confirmation::ended;
    const Deadline deadline = Deadline::in_ms(kAnswerWaitMs);
    for (;;) {
        if (!pump()) return Confirmation::ended;
        if (all_answered() || deadline.passed()) break;
        if (wait_for_server(deadline) == WaitEnd::interrupted) return Confirmation::interrupted;
    }
    say_unanswered();
    return ended_ ? Confirmation::ended : Confirmation::done;
}

void NetworkLine::say_unanswered() {
    std::string names;
    for (std::size_t i = 0; i < awaited_count_; ++i) {
        const Awaited& setting = awaited_[i];
        std::size_t command = index_of(setting.command);
        if (answered_[command] >= setting.count) continue;
        if (setting.command == rfc2217::Command::purge_data) purge_pending_ = false;  // given up
        if (said.unanswered[command][setting.value] || ended_) continue;
        said.unanswered[command][setting.value] = true;
        names += (names.empty() ? "" : ", ") + setting_name(setting.command, setting.value);
    }
    awaited_count_ = 0;
    if (names.empty()) return;
    char within[64];
    std::snprintf(within, sizeof within, " within %d ms; going on without it", kAnswerWaitMs);
    say("%s: the server did not answer %s\n", name_.data(), (names + within).c_str());
}

// Whether the rate asked for is the server's now; one it set otherwise is
// said (once a run). A rate left unanswered has been said unanswered: the
// line goes on with it, and it is not asked for again until it changes.
bool NetworkLine::rate_as_asked() {
    std::size_t rate = index_of(rfc2217::Command::set_baudrate);
    if (answered_[rate] < sent_[rate] || answered_rate_ == asked_rate_) {
        confirmed_rate_ = asked_rate_;
        return true;
    }
    if (!said.other_rate) {
        said.other_rate = true;
        char detail[64];
        std::snprintf(detail, sizeof detail, "%u baud instead of %u", answered_rate_, asked_rate_);
        say("%s: the server set %s\n", name_.data(), detail);
    }
    return false;
}

bool NetworkLine::set_rate(uint32_t rate) {
    if (!is_open()) return false;
    if (kind_ != NetworkKind::rfc2217 || !com_port_) return true;
    if (rate == confirmed_rate_ && awaited_count_ == 0) return !ended_;  // the open set it
    send_setting(rfc2217::encode_set_baudrate(rate), rfc2217::Command::set_baudrate, 0);
    asked_rate_ = rate;
    return confirm_settings() == Confirmation::done && rate_as_asked();
}

bool NetworkLine::set_line(const LineCodes& codes) {
    if (!is_open()) return false;
    if (kind_ != NetworkKind::rfc2217) {
        if (!said.no_line_settings)
            say("%s: %s\n", name_.data(),
                "a raw TCP connection carries no line settings (data bits, parity, stop bits, flow "
                "control); the line keeps the server's");
        said.no_line_settings = true;
        return false;
    }
    if (!com_port_) return false;  // a server without the option was said at the connect
    using rfc2217::Command;
    const struct {
        rfc2217::Frame frame;
        Command command;
        uint8_t value;
    } settings[] = {
        {rfc2217::encode_set_datasize(codes.data_size), Command::set_datasize, codes.data_size},
        {rfc2217::encode_set_parity(codes.parity), Command::set_parity, codes.parity},
        {rfc2217::encode_set_stopsize(codes.stop_size), Command::set_stopsize, codes.stop_size},
        {rfc2217::encode_set_control(codes.control), Command::set_control, codes.control},
    };
    for (const auto& setting : settings) send_setting(setting.frame, setting.command, setting.value);
    if (confirm_settings() != Confirmation::done) return false;
    bool all_as_asked = true;
    for (const auto& setting : settings) {
        std::size_t i = index_of(setting.command);
        if (answered_[i] >= sent_[i]) all_as_asked &= answered_as_asked(setting.command, setting.value);
    }
    return all_as_asked;
}

// A server that set another value than asked (a pseudo-terminal behind it
// keeps 8 data bits) is said once.
bool NetworkLine::answered_as_asked(rfc2217::Command command, uint8_t value) {
    uint32_t answered = answered_values_[index_of(command)];
    if (answered == value) return true;
    if (!said.other_setting) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "%s with %u instead of %u", command_name(command),
                      static_cast<unsigned>(answered), static_cast<unsigned>(value));
        say("%s: the server answered %s\n", name_.data(), detail);
    }
    said.other_setting = true;
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
    bool dtr = control == rfc2217::kControlDtrOn || control == rfc2217::kControlDtrOff;
    int8_t on = control == rfc2217::kControlDtrOn || control == rfc2217::kControlRtsOn ? 1 : 0;
    int8_t& sent = modem_sent_[dtr ? 0 : 1];
    if (sent == on) return !ended_;  // the line is so already
    sent = on;
    send_setting(rfc2217::encode_set_control(control), rfc2217::Command::set_control, control);
    return confirm_settings() != Confirmation::ended;
}

// Waits for the server to send something (or, while the line cannot read,
// for its output to move), or the deadline: a source on the connection
// beside the interrupter. Bytes that wait already but cannot be taken yet
// are looked at again after a pause.
WaitEnd NetworkLine::wait_for_server(const Deadline& deadline) {
    WaitSource source;
    WaitSource::Kind kind = room_to_read() ? WaitSource::Kind::readable : WaitSource::Kind::writable;
    if (tcp_wait_source(connection_, kind, &wait_event_, &source) == 0)
        return wait_within(WaitSource{}, Deadline::in_ms(kServerLookAgainMs));
    // Output that waits is tried again soon.
    return wait_within(
        source, tx_size_ > 0 ? Deadline::in_ms(shorter_wait(deadline.left_ms(), kOutputRetryMs)) : deadline);
}

// Room for what one read may bring: its data, and the answers it may ask.
bool NetworkLine::room_to_read() const {
    return rx_.size() - rx_count_ >= kReadChunk && tx_.size() - tx_size_ >= kReadChunk;
}

// ---- bytes -------------------------------------------------------------------------

long NetworkLine::read(uint8_t* buffer, std::size_t capacity) {
    send_some(0);
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
    send_some(0);
    if (ended_ || !is_open()) return 0;
    if (kind == WaitSource::Kind::readable && rx_count_ > 0) return 0;
    if (kind == WaitSource::Kind::writable && tx_size_ < kDataRoom) return 0;
    // A line that cannot read now waits for its output to move instead.
    if (kind == WaitSource::Kind::readable && !room_to_read()) kind = WaitSource::Kind::writable;
    int limit = tcp_wait_source(connection_, kind, &wait_event_, source);
    // Output waiting for the connection is tried again soon, also by a
    // caller that waits only to read; a platform that cannot signal room
    // is asked again as soon.
    if (kind == WaitSource::Kind::writable && limit == 0) return kOutputRetryMs;
    return tx_size_ > 0 ? shorter_wait(limit, kOutputRetryMs) : limit;
}

long NetworkLine::write(const uint8_t* bytes, std::size_t count, int wait_ms) {
    if (has_ended()) return -1;
    send_some(0);
    std::size_t taken = queue_data(bytes, count);
    if (taken == 0 && count > 0 && wait_ms > 0) {
        send_some(wait_ms);
        taken = queue_data(bytes, count);
    }
    return has_ended() ? -1 : static_cast<long>(taken);
}

// Data into the output while it holds less than kDataRoom; sent as far as
// the connection takes it at once.
std::size_t NetworkLine::queue_data(const uint8_t* bytes, std::size_t count) {
    std::size_t taken = 0;
    for (; taken < count && tx_size_ < kDataRoom && !ended_; ++taken) {
        if (kind_ == NetworkKind::rfc2217)
            queue_frame(rfc2217::encode_data(bytes[taken]));
        else
            queue(bytes + taken, 1);
        data_queued_ = tx_size_;
    }
    send_some(0);
    return taken;
}

// Into the output; when even kTxCapacity does not hold it (a server that
// sends and reads nothing), the connection has failed.
bool NetworkLine::queue(const uint8_t* bytes, std::size_t size) {
    if (ended_) return false;
    if (tx_size_ == 0) output_stalled_ = Deadline::in_ms(kWriteStallMs);
    if (tx_size_ + size > tx_.size()) send_some(0);
    if (tx_size_ + size > tx_.size()) {
        remember_failure(tcp_timed_out());
        return false;
    }
    std::memcpy(tx_.data() + tx_size_, bytes, size);
    tx_size_ += size;
    return true;
}

// What the connection takes of the output, waiting up to wait_ms for it to
// take anything (0: only what it takes at once). Output that has not
// moved for kWriteStallMs has failed the connection.
void NetworkLine::send_some(int wait_ms) {
    if (tx_size_ == 0 || has_ended()) return;
    TcpError error;
    long n = tcp_write(connection_, tx_.data(), tx_size_, wait_ms, &error);
    if (n < 0) {
        remember_failure(error);
        return;
    }
    auto sent = static_cast<std::size_t>(n);
    std::memmove(tx_.data(), tx_.data() + sent, tx_size_ - sent);
    tx_size_ -= sent;
    data_queued_ -= std::min(data_queued_, sent);
    if (sent > 0) output_stalled_ = Deadline::in_ms(kWriteStallMs);
    if (tx_size_ > 0 && output_stalled_.passed()) remember_failure(tcp_timed_out());
}

// All the output, waiting for the connection to take it (a stop asked for
// meanwhile ends the run): false when it failed, its output not moving for
// kWriteStallMs.
bool NetworkLine::send_all() {
    while (tx_size_ > 0 && !has_ended()) {
        send_some(shorter_wait(kWriteSliceMs, output_stalled_.left_ms()));
        check_pending_signal();
    }
    return !ended_;
}

void NetworkLine::remember_failure(const TcpError& error) {
    ended_ = true;
    end_error_ = error;
    tx_size_ = data_queued_ = 0;
}

bool NetworkLine::pump() {
    if (ended_ || !is_open()) return false;
    std::array<uint8_t, kReadChunk> chunk;
    // At most a receive buffer's worth per call: a server that sends only
    // protocol (an endless subnegotiation) fills no buffer, and must not
    // keep the caller here while the keys and the time limits wait.
    for (std::size_t taken = 0; taken < rx_.size() && room_to_read();) {
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
    send_some(0);  // the answers to the server's negotiation, as far as it takes them
    return !ended_;
}

void NetworkLine::handle(const rfc2217::Event& event) {
    using rfc2217::EventKind;
    switch (event.kind) {
        case EventKind::data:
            if (purge_pending_) break;  // sent before the purge: purged
            rx_[(rx_head_ + rx_count_) % rx_.size()] = event.byte;
            ++rx_count_;
            break;
        case EventKind::will:
        case EventKind::wont:
        case EventKind::do_:
        case EventKind::dont: queue_frame(negotiator_.answer(event.kind, event.byte)); break;
        case EventKind::com_port: {
            rfc2217::Command command;
            if (!rfc2217::answered_command(event.byte, &command)) break;
            ++answered_[index_of(command)];
            answered_values_[index_of(command)] = decoder_.value_number();
            if (command == rfc2217::Command::set_baudrate) answered_rate_ = decoder_.value_number();
            if (command == rfc2217::Command::purge_data) purge_pending_ = false;
            break;
        }
        default: break;
    }
}
