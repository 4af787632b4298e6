// The TCP connection on POSIX: a non-blocking socket throughout; the waits
// are poll() with a bound.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "net/tcp.h"

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed connection is an error, not SIGPIPE
#else
constexpr int kSendFlags = 0;
#endif

// A server that vanishes without closing (its machine switched off) is
// found by keep-alive probes after about this long, instead of never.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;

void set_option(int fd, int level, int name, int value) { setsockopt(fd, level, name, &value, sizeof value); }

// Every byte goes out at once (the port layer gathers them itself), and a
// dead peer is noticed.
void tune(int fd) {
    set_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    set_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
#ifdef TCP_KEEPIDLE
    set_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
    set_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
    set_option(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
#endif
#ifdef SO_NOSIGPIPE
    set_option(fd, SOL_SOCKET, SO_NOSIGPIPE, 1);
#endif
}

// One address: 0 when connected within wait_ms, else the error.
int connect_one(int fd, const addrinfo* address, int wait_ms) {
    if (connect(fd, address->ai_addr, address->ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    pollfd p{fd, POLLOUT, 0};
    int ready = poll(&p, 1, wait_ms);
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0) return errno;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

}  // namespace

TcpConnection tcp_connect(const char* host, const char* port, int wait_ms, TcpError* error) {
    *error = {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int lookup = getaddrinfo(host, port, &hints, &found);
    if (lookup != 0) {
        *error = lookup == EAI_SYSTEM ? TcpError{errno, false} : TcpError{lookup, true};
        return kNoConnection;
    }
    const Deadline deadline = Deadline::in_ms(wait_ms);
    int last_error = ETIMEDOUT;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) {
            last_error = errno;
            continue;
        }
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        last_error = connect_one(fd, a, deadline.left_ms());
        if (last_error == 0) {
            freeaddrinfo(found);
            tune(fd);
            return fd;
        }
        close(fd);
        if (deadline.passed()) break;
    }
    freeaddrinfo(found);
    *error = {last_error, false};
    return kNoConnection;
}

long tcp_read(TcpConnection connection, uint8_t* buffer, std::size_t capacity, TcpError* error) {
    *error = {};
    for (;;) {
        ssize_t n = recv(static_cast<int>(connection), buffer, capacity, 0);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) return -1;  // closed by the other side
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        error->code = errno;
        return -1;
    }
}

long tcp_write(TcpConnection connection, const uint8_t* data, std::size_t size, int wait_ms,
               TcpError* error) {
    *error = {};
    int fd = static_cast<int>(connection);
    std::size_t written = 0;
    const Deadline deadline = Deadline::in_ms(wait_ms);
    while (written < size) {
        ssize_t n = send(fd, data + written, size - written, kSendFlags);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error->code = errno;
            return -1;
        }
        if (deadline.passed()) break;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, deadline.left_ms()) < 0 && errno == EINTR) break;  // let the caller see the signal
    }
    return static_cast<long>(written);
}

bool tcp_wait_readable(TcpConnection connection, int ms) {
    pollfd p{static_cast<int>(connection), POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

int tcp_wait_source(TcpConnection connection, WaitSource::Kind kind, std::intptr_t*, WaitSource* source) {
    *source = WaitSource{connection, kind};
    return kWaitForever;
}

void tcp_release_wait_event(std::intptr_t*) {}

void tcp_close(TcpConnection connection) {
    if (connection != kNoConnection) close(static_cast<int>(connection));
}

TcpError tcp_timed_out() { return {ETIMEDOUT, false}; }

void tcp_error_text(const TcpError& error, char* text, std::size_t capacity) {
    std::snprintf(text, capacity, "%s", error.lookup ? gai_strerror(error.code) : std::strerror(error.code));
}
