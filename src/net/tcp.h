// A TCP connection for the network ports: a name look-up and a connect that
// give up after a bounded wait and end at once for a stop (a signal) or the
// wait interrupter (base/wait.h), reads that never wait, writes that wait a
// bounded time for room. The look-up runs on a thread of its own and the
// addresses are tried in turn the same way on every platform
// (tcp_connect.cpp); the socket calls are one file per platform
// (tcp_posix.cpp, tcp_win32.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/wait.h"

// A connected socket; kNoConnection when there is none.
using TcpConnection = std::intptr_t;
constexpr TcpConnection kNoConnection = -1;

// Why a call failed.
struct TcpError {
    enum class Kind : uint8_t {
        system,            // code: the system's error code (0 with a read: the other side closed)
        lookup,            // code: the host name look-up's own code
        lookup_timed_out,  // the look-up did not answer; code: the milliseconds waited
        interrupted,       // the wait interrupter ended the wait (a key during a re-open)
    };
    int code = 0;
    Kind kind = Kind::system;
};

// One address a name stands for, as the system's socket calls take it.
struct TcpAddress {
    int family = 0;
    int socket_type = 0;
    int protocol = 0;
    std::array<unsigned char, 128> bytes{};  // room for any socket address
    uint32_t length = 0;
};

// The addresses of the system's look-up list (an addrinfo chain, the same
// on every platform), in its order; one too long for a TcpAddress is
// passed over.
template <typename AddressInfo>
void take_addresses(const AddressInfo* found, std::vector<TcpAddress>* addresses) {
    for (const AddressInfo* a = found; a != nullptr; a = a->ai_next) {
        TcpAddress address;
        if (a->ai_addrlen > address.bytes.size()) continue;
        address.family = a->ai_family;
        address.socket_type = a->ai_socktype;
        address.protocol = a->ai_protocol;
        address.length = static_cast<uint32_t>(a->ai_addrlen);
        std::memcpy(address.bytes.data(), a->ai_addr, a->ai_addrlen);
        addresses->push_back(address);
    }
}

// The system's look-up of host (a name or an address) and port (a number),
// waiting as long as the resolver takes: the addresses in its order, or
// false with *error.
bool tcp_resolve(const char* host, const char* port, std::vector<TcpAddress>* addresses, TcpError* error);

// tcp_resolve on a thread of its own, waited for wait_ms at most. A
// look-up still running when its waiter gave up goes on; the next look-up
// of the same name takes its answer (or waits for it) instead of asking
// the resolver again.
bool tcp_lookup(const char* host, const char* port, int wait_ms, std::vector<TcpAddress>* addresses,
                TcpError* error);

// A connection to one address, made within the deadline.
TcpConnection tcp_connect_to(const TcpAddress& address, const Deadline& deadline, TcpError* error);

// Connects to host and port: the name looked up within wait_ms, then each
// of its addresses tried until one answers or wait_ms more have passed.
TcpConnection tcp_connect(const char* host, const char* port, int wait_ms, TcpError* error);

// Takes what has arrived, at most capacity bytes: the count (0 when nothing
// waits), or -1 when the connection has ended (error->code 0: the other
// side closed it) or failed.
long tcp_read(TcpConnection connection, uint8_t* buffer, std::size_t capacity, TcpError* error);

// Writes as much of data as the connection takes within wait_ms (0: what
// it takes at once): the count written (possibly short), or -1 when the
// connection failed.
long tcp_write(TcpConnection connection, const uint8_t* data, std::size_t size, int wait_ms, TcpError* error);

// What a wait beside other sources waits on for this connection: its
// descriptor on POSIX; on Windows an event that the socket's arrivals and
// its end signal, made at the first call and kept in *event (released by
// tcp_release_wait_event). Returns as Device::wait_source does: 0 when
// the wait need not wait, else kWaitForever.
int tcp_wait_source(TcpConnection connection, WaitSource::Kind kind, std::intptr_t* event,
                    WaitSource* source);

void tcp_release_wait_event(std::intptr_t* event);

void tcp_close(TcpConnection connection);

// The error of a connection that took nothing for too long.
TcpError tcp_timed_out();

// The text for an error, without a line end; at most capacity bytes with
// the NUL.
void tcp_error_text(const TcpError& error, char* text, std::size_t capacity);

// The system's text for an error of kind system or lookup (the platform's
// half of tcp_error_text).
void tcp_system_text(const TcpError& error, char* text, std::size_t capacity);
