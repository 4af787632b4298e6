// The TCP connection on Windows: Winsock, a non-blocking socket
// throughout; the waits have a bound, and a connect under way waits beside
// the interrupter.
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h
#include <mstcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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
        *error = {result, TcpError::Kind::system};
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

// A connect under way, waited for beside the interrupter on an event that
// its end signals: 0 when it is made, else why not (*error).
int wait_for_connection(SOCKET s, const Deadline& deadline, TcpError* error) {
    WSAEVENT connected = WSACreateEvent();
    if (connected == WSA_INVALID_EVENT || WSAEventSelect(s, connected, FD_CONNECT) != 0) {
        if (connected != WSA_INVALID_EVENT) WSACloseEvent(connected);
        *error = TcpError{WSAGetLastError(), TcpError::Kind::system};
        return error->code;
    }
    int result = WSAETIMEDOUT;
    WaitEnd end = WaitEnd::woken;
    while (end == WaitEnd::woken) {
        end = wait_within(WaitSource{reinterpret_cast<std::intptr_t>(connected), WaitSource::Kind::readable},
                          deadline);
        WSANETWORKEVENTS seen{};
        if (WSAEnumNetworkEvents(s, connected, &seen) == 0 && (seen.lNetworkEvents & FD_CONNECT) != 0) {
            result = seen.iErrorCode[FD_CONNECT_BIT];
            end = WaitEnd::ready;
        }
    }
    WSAEventSelect(s, nullptr, 0);  // the socket stays non-blocking
    WSACloseEvent(connected);
    *error = end == WaitEnd::interrupted ? TcpError{0, TcpError::Kind::interrupted}
                                         : TcpError{result, TcpError::Kind::system};
    return end == WaitEnd::interrupted ? -1 : result;
}

}  // namespace

bool tcp_resolve(const char* host, const char* port, std::vector<TcpAddress>* addresses, TcpError* error) {
    if (!start_winsock(error)) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int lookup = getaddrinfo(host, port, &hints, &found);
    if (lookup != 0) {
        *error = TcpError{lookup, TcpError::Kind::lookup};
        return false;
    }
    take_addresses(found, addresses);
    freeaddrinfo(found);
    return true;
}

TcpConnection tcp_connect_to(const TcpAddress& address, const Deadline& deadline, TcpError* error) {
    if (!start_winsock(error)) return kNoConnection;
    SOCKET s = socket(address.family, address.socket_type, address.protocol);
    if (s == INVALID_SOCKET) {
        *error = TcpError{WSAGetLastError(), TcpError::Kind::system};
        return kNoConnection;
    }
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    int result = 0;
    if (connect(s, reinterpret_cast<const sockaddr*>(address.bytes.data()),
                static_cast<int>(address.length)) != 0)
        result = WSAGetLastError();
    *error = TcpError{result, TcpError::Kind::system};
    if (result == WSAEWOULDBLOCK) result = wait_for_connection(s, deadline, error);
    if (result != 0) {
        closesocket(s);
        return kNoConnection;
    }
    tune(s);
    return static_cast<TcpConnection>(s);
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

TcpError tcp_timed_out() { return {WSAETIMEDOUT, TcpError::Kind::system}; }

void tcp_system_text(const TcpError& error, char* text, std::size_t capacity) {
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error.code), kNeutralLanguage, text,
                             static_cast<DWORD>(capacity), nullptr);
    // The system's texts end in a line break; the callers add their own.
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = '\0';
    if (n == 0) std::snprintf(text, capacity, "Network error %d", error.code);
}
