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
// gives up sooner. The name look-up before it gets as long again.
constexpr int kConnectWaitMs = 3000;
constexpr int kReconnectWaitMs = 500;
// How long the server has to answer the settings sent together: one wait
// for all of them, however many there are.
constexpr int kAnswerWaitMs = 1000;

class NetworkLine {
   public:
    NetworkLine() = default;
    NetworkLine(const NetworkLine&) = delete;
    NetworkLine& operator=(const NetworkLine&) = delete;
    // The port lets go of a line by destroying it (a re-open after a
    // dropped connection, the end of the run): close().
    ~NetworkLine();

    // Connects within connect_wait_ms; for rfc2217 also negotiates the
    // options and sends the line's settings together: 8-N-1, no flow
    // control, DTR and RTS off, the server's buffers purged, and the rate
    // when one is given (a re-open: their answers are then awaited before
    // the open ends, and a rate answered otherwise fails it; else the next
    // setting awaits them with its own). false when the connection cannot
    // be made (*error says why; kind interrupted for the wait interrupter).
    bool open(const NetworkAddress& address, const char* name, int connect_wait_ms, uint32_t rate,
              TcpError* error);
    // What was written still goes out, for a second at most (the answers
    // to the server's negotiation behind it are dropped); then the socket
    // is closed.
    void close();
    bool is_open() const { return connection_ != kNoConnection; }

    // Data bytes received: at most capacity into buffer; 0 when none
    // waits; -1 when the connection has ended or failed (end_error() says
    // why: code 0 when the server closed it). Never waits.
    long read(uint8_t* buffer, std::size_t capacity);
    bool has_ended() const { return ended_ || !is_open(); }
    const TcpError& end_error() const { return end_error_; }
    // Data bytes known to wait (without asking the network again).
    std::size_t waiting() const { return rx_count_; }
    // What to wait on for the line (Device::wait_source).
    int wait_source(WaitSource::Kind kind, WaitSource* source);

    // Data bytes to the line, as many of count as its output takes (what
    // the connection takes at once, and up to kDataRoom queued behind),
    // waiting up to wait_ms for room when it takes none: the count taken,
    // or -1 when the connection has failed.
    long write(const uint8_t* bytes, std::size_t count, int wait_ms);

    // rfc2217: SET-BAUDRATE, then one wait for the answers to it and to
    // every setting not yet answered, so that no byte goes out at the old
    // rate. false when the server set another rate (said once on standard
    // error), or the connection failed. raw: nothing to do.
    bool set_rate(uint32_t rate);
    // rfc2217: SET-DATASIZE, SET-PARITY, SET-STOPSIZE and SET-CONTROL for
    // the flow control, their answers awaited together. false when a
    // server set another value than asked (said once on standard error),
    // or the connection failed. raw: a raw connection carries no line
    // settings, said once on standard error; false.
    bool set_line(const LineCodes& codes);
    // rfc2217: SET-CONTROL for DTR or RTS, awaited as a rate is (not again
    // once a server has left it unanswered). raw: there are no modem lines
    // to drive, said once on standard error. false only when the
    // connection failed.
    bool set_dtr(bool on) { return set_control(on ? rfc2217::kControlDtrOn : rfc2217::kControlDtrOff); }
    bool set_rts(bool on) { return set_control(on ? rfc2217::kControlRtsOn : rfc2217::kControlRtsOff); }

   private:
    static constexpr std::size_t kRxCapacity = 1 << 16;
    // Output: data waits behind at most kDataRoom bytes; the answers to the
    // server's negotiation may queue up to kTxCapacity (the line reads no
    // more while they could not fit).
    static constexpr std::size_t kTxCapacity = 1 << 16;
    static constexpr std::size_t kDataRoom = 4096;
    // Output that has not moved for this long has failed the connection, as
    // a local port's byte fails.
    static constexpr int kWriteStallMs = 2000;
    static constexpr int kLetGoMs = 1000;
    static constexpr std::size_t kAwaitedLimit = 16;

    // A setting sent whose answer is awaited: the count of its command's
    // answers that answers it.
    struct Awaited {
        rfc2217::Command command;
        uint8_t value;
        unsigned long count;
    };
    enum class Confirmation : uint8_t { done, ended, interrupted };
    enum class Agreement : uint8_t { agreed, refused, interrupted };

    bool negotiate(uint32_t rate, TcpError* error);
    Agreement wait_for_com_port_agreement();
    void send_line_settings(uint32_t rate);
    void send_setting(const rfc2217::Frame& frame, rfc2217::Command command, uint8_t value);
    Confirmation confirm_settings();
    bool all_answered() const;
    void say_unanswered();
    bool rate_as_asked();
    bool answered_as_asked(rfc2217::Command command, uint8_t value);
    bool set_control(uint8_t control);
    WaitEnd wait_for_server(const Deadline& deadline);
    bool room_to_read() const;

    // Reads the socket and runs the bytes through the decoder; false when
    // the connection ended or failed.
    bool pump();
    void handle(const rfc2217::Event& event);
    bool queue(const uint8_t* bytes, std::size_t size);
    bool queue_frame(const rfc2217::Frame& frame) { return queue(frame.bytes.data(), frame.size); }
    std::size_t queue_data(const uint8_t* bytes, std::size_t count);
    void send_some(int wait_ms);
    bool send_all();
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
    std::array<Awaited, kAwaitedLimit> awaited_{};
    std::size_t awaited_count_ = 0;
    bool purge_pending_ = false;  // data before the purge's answer is dropped
    uint32_t asked_rate_ = 0;
    uint32_t answered_rate_ = 0;
    std::array<uint32_t, rfc2217::kCommandCount> answered_values_{};  // the value of each last answer
    uint32_t confirmed_rate_ = 0;
    std::array<int8_t, 2> modem_sent_{-1, -1};  // DTR, RTS: -1 not sent, 0 off, 1 on

    std::array<uint8_t, kRxCapacity> rx_{};
    std::size_t rx_head_ = 0;
    std::size_t rx_count_ = 0;
    std::array<uint8_t, kTxCapacity> tx_{};
    std::size_t tx_size_ = 0;
    std::size_t data_queued_ = 0;  // the output up to its last data byte
    Deadline output_stalled_;      // while output waits: when, not moving, it has failed
    bool ended_ = false;           // the connection ended or failed
    TcpError end_error_{};
};
