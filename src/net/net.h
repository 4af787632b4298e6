// A serial line reached over the network: rfc2217://HOST:PORT (Telnet with
// the COM-PORT-OPTION: the rate, 8-N-1, no flow control, DTR and RTS travel
// to the server, which sets its own serial port) and socket://HOST:PORT (raw
// TCP: only the bytes travel). The serial port uses it as one of its kinds
// of device; this folder knows nothing of the port and sits on base alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "net/rfc2217.h"
#include "net/tcp.h"

enum class NetworkKind : uint8_t { none, rfc2217, raw };

struct NetworkAddress {
    NetworkKind kind = NetworkKind::none;
    std::array<char, 256> host{};  // a name, or an address (IPv6 without its brackets)
    std::array<char, 6> port{};    // 1 to 65535
};

// The kind of a port name by its scheme (any letter case); none for a
// device path or a COM name.
NetworkKind network_kind(const char* name);

// A network name taken apart: SCHEME://HOST:PORT, HOST may be [IPv6].
// false when the name is not one, or is one that does not parse.
bool parse_network_name(const char* name, NetworkAddress* address);

// A serial frame and its flow control, as the COM-PORT-OPTION names them.
struct LineCodes {
    uint8_t data_size = rfc2217::kDataSize8;
    uint8_t parity = rfc2217::kParityNone;
    uint8_t stop_size = rfc2217::kStopSize1;
    uint8_t control = rfc2217::kControlNoFlowControl;
};

// How long a connect may take: at the start, long enough for one lost
// connection request to be sent again; a re-open while the terminal runs
// gives up sooner, so that the keys stay live.
constexpr int kConnectWaitMs = 3000;
constexpr int kReconnectWaitMs = 500;
// How long the server has to answer an option, in 1 ms polls.
constexpr int kAnswerWaitPolls = 1000;

class NetworkLine {
   public:
    NetworkLine() = default;
    NetworkLine(const NetworkLine&) = delete;
    NetworkLine& operator=(const NetworkLine&) = delete;
    // The port lets go of a line by destroying it (a re-open after a
    // dropped connection, the end of the run): what was written last goes
    // out, and the socket is closed.
    ~NetworkLine();

    // Connects within connect_wait_ms; for rfc2217 also negotiates the
    // options, sets 8-N-1 and no flow control, and purges the server's
    // buffers. false when the connection cannot be made (*error says why).
    bool open(const NetworkAddress& address, const char* name, int connect_wait_ms, TcpError* error);
    void close();
    bool is_open() const { return connection_ != kNoConnection; }

    // Data bytes received: at most capacity into buffer; 0 when none
    // waits; -1 when the connection has ended or failed (end_error() says
    // why: code 0 when the server closed it).
    long read(uint8_t* buffer, std::size_t capacity);
    bool has_ended() const { return ended_ || !is_open(); }
    const TcpError& end_error() const { return end_error_; }
    // Data bytes known to wait (without asking the network again).
    std::size_t waiting() const { return rx_count_; }
    // Waits up to ms for data (or for the connection's end).
    // What to wait on for the line (Device::wait_source); output still
    // gathered goes out first.
    int wait_source(WaitSource::Kind kind, WaitSource* source);

    // One byte to the line; gathered and sent with the next flush (every
    // read, wait, setting and close flushes). false when the connection
    // has failed.
    bool write(uint8_t byte);
    bool flush();

    // rfc2217: SET-BAUDRATE, then a bounded wait for the server's answer so
    // that no byte goes out at the old rate. false when the server set
    // another rate (said on standard error) or the connection failed.
    // raw: nothing to do.
    bool set_rate(uint32_t rate);
    // rfc2217: SET-DATASIZE, SET-PARITY, SET-STOPSIZE and SET-CONTROL for
    // the flow control, their answers awaited together. false when a
    // server set another value than asked (said once on standard error),
    // or the connection failed. raw: a raw connection carries no line
    // settings, said once on standard error; false.
    bool set_line(const LineCodes& codes);
    // rfc2217: SET-CONTROL for DTR or RTS. raw: there are no modem lines
    // to drive, said once on standard error. false only when the
    // connection failed.
    bool set_dtr(bool on) { return set_control(on ? rfc2217::kControlDtrOn : rfc2217::kControlDtrOff); }
    bool set_rts(bool on) { return set_control(on ? rfc2217::kControlRtsOn : rfc2217::kControlRtsOff); }

   private:
    static constexpr std::size_t kRxCapacity = 1 << 16;
    static constexpr std::size_t kTxCapacity = 4096;
    static constexpr int kWriteStallMs = 10000;  // a server that takes nothing for this long has failed

    bool set_control(uint8_t control);
    // flush(), looking for a pending signal between its waits or not.
    bool send_gathered(bool watch_signals);
    // Reads the socket and runs the bytes through the decoder; false when
    // the connection ended or failed.
    bool pump();
    void handle(const rfc2217::Event& event);
    void send_frame(const rfc2217::Frame& frame);
    // Queues a command; returns how many of its kind have been sent, the
    // count its answer brings the answers to.
    unsigned long send_command(const rfc2217::Frame& frame, rfc2217::Command command);
    // Waits (bounded) for the answer; false, said once, when none came in
    // time.
    bool await_answer(const rfc2217::Frame& frame, rfc2217::Command command, unsigned long count);
    bool wait_for_answer(rfc2217::Command command, unsigned long count);
    bool wait_for_com_port_agreement();
    void configure_line();
    // Sends the settings (and a purge of the server's buffers) and awaits
    // the answers; false when one answered another value or none came.
    bool send_settings(const LineCodes& codes, bool purge);
    bool answered_as_asked(rfc2217::Command command, uint8_t value);
    void remember_failure(const TcpError& error);

    NetworkKind kind_ = NetworkKind::none;
    TcpConnection connection_ = kNoConnection;
    std::intptr_t wait_event_ = -1;  // what a wait on the connection waits on (Windows)
    std::array<char, 300> name_{};
    rfc2217::Decoder decoder_;
    rfc2217::Negotiator negotiator_;
    bool com_port_ = false;  // the server takes COM-PORT-OPTION commands
    std::array<unsigned long, rfc2217::kCommandCount> sent_{};
    std::array<unsigned long, rfc2217::kCommandCount> answered_{};
    std::array<uint32_t, rfc2217::kCommandCount> answered_values_{};  // the value of each last answer

    std::array<uint8_t, kRxCapacity> rx_{};
    std::size_t rx_head_ = 0;
    std::size_t rx_count_ = 0;
    std::array<uint8_t, kTxCapacity> tx_{};
    std::size_t tx_size_ = 0;
    bool ended_ = false;  // the connection ended or failed
    TcpError end_error_{};
};
