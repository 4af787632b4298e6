// The TCP connection on Windows: Winsock, a non-blocking socket
// throughout; the waits are select() with a bound.
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h
#include <mstcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "net/tcp.h"

namespace {

constexpr DWORD kNeutralLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// A server that vanishes without closing (its machine switched off) is
// found by keep-alive probes after about this long, instead of never.
constexpr ULONG kKeepAliveIdleMs = 10000;
constexpr ULONG kKeepAliveIntervalMs = 5000;

bool winsock_started = false;

bool start_winsock(TcpError* error) {
    if (winsock_started) return true;
    WSADATA data{};
    int result = WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
        *error = {result, false};
        return false;
    }
    winsock_started = true;
    std::atexit([] { WSACleanup(); });
    return true;
}

SOCKET as_socket(TcpConnection connection) { return static_cast<SOCKET>(connection); }

void tune(SOCKET s) {
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive keepalive{1, kKeepAliveIdleMs, kKeepAliveIntervalMs};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned, nullptr, nullptr);
}

// Waits up to ms for the socket to become readable or writable.
int wait_for(SOCKET s, bool write, int ms) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &limit);
    if (n > 0 && FD_ISSET(s, &failed) && !FD_ISSET(s, &ready)) return -1;
    return n;
}

// One address: 0 when connected within wait_ms, else the error.
int connect_one(SOCKET s, const addrinfo* address, int wait_ms) {
    if (connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0) return 0;
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return error;
    int ready = wait_for(s, true, wait_ms < 0 ? 0 : wait_ms);
    if (ready == 0) return WSAETIMEDOUT;
    int status = 0;
    int length = sizeof status;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &length) != 0)
        return WSAGetLastError();
    if (ready < 0 && status == 0) status = WSAECONNREFUSED;
    return status;
}

}  // namespace

TcpConnection tcp_connect(const char* host, const char* port, int wait_ms, TcpError* error) {
    *error = {};
    if (!start_winsock(error)) return kNoConnection;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int lookup = getaddrinfo(host, port, &hints, &found);
    if (lookup != 0) {
        *error = {lookup, false};
        return kNoConnection;
    }
    const Deadline deadline = Deadline::in_ms(wait_ms);
    int last_error = WSAETIMEDOUT;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            last_error = WSAGetLastError();
            continue;
        }
        u_long non_blocking = 1;
        ioctlsocket(s, FIONBIO, &non_blocking);
        last_error = connect_one(s, a, deadline.left_ms());
        if (last_error == 0) {
            freeaddrinfo(found);
            tune(s);
            return static_cast<TcpConnection>(s);
        }
        closesocket(s);
        if (deadline.passed()) break;
    }
    freeaddrinfo(found);
    *error = {last_error, false};
    return kNoConnection;
}

long tcp_read(TcpConnection connection, uint8_t* buffer, std::size_t capacity, TcpError* error) {
    *error = {};
    int want = capacity > 65536 ? 65536 : static_cast<int>(capacity);
    int n = recv(as_socket(connection), reinterpret_cast<char*>(buffer), want, 0);
    if (n > 0) return n;
    if (n == 0) return -1;  // closed by the other side
    int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) return 0;
    error->code = code;
    return -1;
}

long tcp_write(TcpConnection connection, const uint8_t* data, std::size_t size, int wait_ms,
               TcpError* error) {
    *error = {};
    SOCKET s = as_socket(connection);
    std::size_t written = 0;
    const Deadline deadline = Deadline::in_ms(wait_ms);
    while (written < size) {
        std::size_t chunk = size - written > 65536 ? 65536 : size - written;
        int n = send(s, reinterpret_cast<const char*>(data + written), static_cast<int>(chunk), 0);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        int code = WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            error->code = code;
            return -1;
        }
        if (deadline.passed()) break;
        wait_for(s, true, deadline.left_ms());
    }
    return static_cast<long>(written);
}

bool tcp_wait_readable(TcpConnection connection, int ms) {
    return wait_for(as_socket(connection), false, ms) != 0;
}

int tcp_wait_source(TcpConnection connection, WaitSource::Kind kind, std::intptr_t* event,
                    WaitSource* source) {
    // Room for output is not signalled again until a write has been
    // refused; the write waits for room itself, with its own bound.
    if (kind != WaitSource::Kind::readable) return 0;
    SOCKET s = as_socket(connection);
    if (*event == -1) {
        WSAEVENT made = WSACreateEvent();
        if (made == WSA_INVALID_EVENT) return 1;  // no event: looked at again in a millisecond
        if (WSAEventSelect(s, made, FD_READ | FD_CLOSE) != 0) {
            WSACloseEvent(made);
            return 1;
        }
        *event = reinterpret_cast<std::intptr_t>(made);
    }
    // What was signalled before is forgotten (this resets the event); what
    // is already there ends the wait at once.
    WSANETWORKEVENTS seen{};
    WSAEnumNetworkEvents(s, reinterpret_cast<WSAEVENT>(*event), &seen);
    if ((seen.lNetworkEvents & FD_CLOSE) != 0) return 0;
    u_long waiting = 0;
    if (ioctlsocket(s, FIONREAD, &waiting) != 0 || waiting > 0) return 0;
    *source = WaitSource{*event, kind};
    return kWaitForever;
}

void tcp_release_wait_event(std::intptr_t* event) {
    if (*event != -1) WSACloseEvent(reinterpret_cast<WSAEVENT>(*event));
    *event = -1;
}

void tcp_close(TcpConnection connection) {
    if (connection != kNoConnection) closesocket(as_socket(connection));
}

TcpError tcp_timed_out() { return {WSAETIMEDOUT, false}; }

void tcp_error_text(const TcpError& error, char* text, std::size_t capacity) {
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error.code), kNeutralLanguage, text,
                             static_cast<DWORD>(capacity), nullptr);
    // The system's texts end in a line break; the callers add their own.
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = '\0';
    if (n == 0) std::snprintf(text, capacity, "Network error %d", error.code);
}
