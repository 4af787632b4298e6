// A TCP connection for the network ports: a connect that gives up after a
// bounded wait, reads that never wait, writes that wait a bounded time for
// room. One file per platform (tcp_posix.cpp, tcp_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/wait.h"

// A connected socket; kNoConnection when there is none.
using TcpConnection = std::intptr_t;
constexpr TcpConnection kNoConnection = -1;

// Why a call failed: the system's error code, or the name lookup's.
struct TcpError {
    int code = 0;
    bool lookup = false;  // code comes from the host name lookup
};

// Connects to host (a name or an address, IPv4 or IPv6) and port (a
// number), trying each address the name has until one answers or wait_ms
// have passed in all.
TcpConnection tcp_connect(const char* host, const char* port, int wait_ms, TcpError* error);

// Takes what has arrived, at most capacity bytes: the count (0 when nothing
// waits), or -1 when the connection has ended (error->code 0: the other
// side closed it) or failed.
long tcp_read(TcpConnection connection, uint8_t* buffer, std::size_t capacity, TcpError* error);

// Writes as much of data as the connection takes within wait_ms: the count
// written (possibly short), or -1 when the connection failed.
long tcp_write(TcpConnection connection, const uint8_t* data, std::size_t size, int wait_ms, TcpError* error);

// Waits up to ms for something to read (or for the connection's end).
bool tcp_wait_readable(TcpConnection connection, int ms);

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

// The system's text for an error, without a line end; at most capacity
// bytes with the NUL.
void tcp_error_text(const TcpError& error, char* text, std::size_t capacity);
