// A target's network port, shared by the simulated target and the emulated
// chip: a Telnet COM-PORT-OPTION server (RFC 2217) for one client at a
// time. The client's data goes to the target at the rate the client set;
// the modem lines it sets reach the target as the events below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// What a client's dialogue does to the target's line.
struct Rfc2217Events {
    std::function<void(const Bytes&)> data;          // bytes for the target, in order
    std::function<void(uint32_t)> rate;              // SET-BAUDRATE applied
    std::function<void(const char* line)> asserted;  // "dtr" or "rts" went from released to asserted
    std::function<void(const char* line)> pulse;     // "dtr" or "rts" asserted, then released
    std::function<void(const std::string&)> report;  // one line per COM-PORT request
};

// One client's dialogue, without the socket: bytes from the client (split
// anywhere) in; data for the target and answers for the client out.
class Rfc2217Session {
   public:
    static constexpr uint32_t kOpeningRate = 9600;  // a freshly opened port: 9600 8-N-1

    // signature: what the server answers when the client asks what it is.
    Rfc2217Session(Rfc2217Events events, std::string signature)
        : events_(std::move(events)), signature_(std::move(signature)) {}
    // What the server offers as the client connects.
    Bytes opening();
    void receive(const uint8_t* data, std::size_t count);
    // Answers to the client's requests since the last call.
    Bytes take_answers();
    // The target's bytes as they go on the connection.
    Bytes encode(const uint8_t* data, std::size_t count) const;
    uint32_t rate() const { return rate_; }

   private:
    enum class State { data, command, option, subnegotiation, subnegotiation_command };
    // One side of an option (RFC 1143, without queueing): off, on, or asked
    // for by this side and not yet answered.
    enum class Side : uint8_t { off, on, asked };

    void command(uint8_t byte);
    void negotiate(uint8_t verb, uint8_t option);
    void end_subnegotiation();
    void com_port(uint8_t code, const Bytes& value);
    void set_control(uint8_t value);
    void modem_line(bool& asserted, bool on, const char* name);
    void offer(uint8_t verb, uint8_t option);
    void answer(uint8_t code, const Bytes& value);
    void pass_data();

    Rfc2217Events events_;
    std::string signature_;
    State state_ = State::data;
    uint8_t verb_ = 0;
    Bytes subnegotiation_;
    bool after_cr_ = false;  // the client's last data byte was CR (for CR NUL)
    Bytes data_;
    Bytes answers_;
    std::array<Side, 256> ours_{};    // options the server performs (WILL/WONT)
    std::array<Side, 256> theirs_{};  // options the client performs (DO/DONT)

    uint32_t rate_ = kOpeningRate;
    uint8_t data_size_ = 8;
    uint8_t parity_ = 1;     // none
    uint8_t stop_size_ = 1;  // one
    uint8_t flow_ = 1;       // none
    uint8_t inbound_flow_ = 14;
    uint8_t linestate_mask_ = 0;
    uint8_t modemstate_mask_ = 0;
    bool break_on_ = false;
    bool dtr_ = false;
    bool rts_ = false;
};

// The listening socket on 127.0.0.1 and the one client connected to it.
class Rfc2217Server {
   public:
    ~Rfc2217Server();
    // port 0 takes any free port; false with errno set when it cannot listen.
    bool listen_on(int port);
    uint16_t port() const { return port_; }
    int listen_fd() const { return listen_fd_; }
    int client_fd() const { return client_fd_; }
    bool connected() const { return client_fd_ >= 0; }
    // Takes a waiting connection when none is open (true); one that comes
    // while a client is connected is closed at once.
    bool accept_client();
    // What the client sent; false when it left (the connection is closed).
    bool read_client(Bytes& into);
    void send(const Bytes& bytes);
    void drop_client();

   private:
    int listen_fd_ = -1;
    int client_fd_ = -1;
    uint16_t port_ = 0;
};
