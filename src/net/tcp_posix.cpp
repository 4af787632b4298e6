// The TCP connection on POSIX: a non-blocking socket throughout; the waits
// have a bound, and a connect under way waits beside the interrupter.
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
#include <vector>

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

// A connect under way, waited for beside the interrupter: 0 when it is
// made, else why not (*error).
int wait_for_connection(int fd, const Deadline& deadline, TcpError* error) {
    for (;;) {
        WaitEnd end = wait_within(WaitSource{fd, WaitSource::Kind::writable}, deadline);
        if (end == WaitEnd::woken) continue;
        int result = ETIMEDOUT;
        socklen_t length = sizeof result;
        if (end == WaitEnd::ready && getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0)
            result = errno;
        *error = end == WaitEnd::interrupted ? TcpError{0, TcpError::Kind::interrupted}
                                             : TcpError{result, TcpError::Kind::system};
        return end == WaitEnd::interrupted ? -1 : result;
    }
}

}  // namespace

bool tcp_resolve(const char* host, const char* port, std::vector<TcpAddress>* addresses, TcpError* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int lookup = getaddrinfo(host, port, &hints, &found);
    if (lookup != 0) {
        *error = lookup == EAI_SYSTEM ? TcpError{errno, TcpError::Kind::system}
                                      : TcpError{lookup, TcpError::Kind::lookup};
        return false;
    }
    take_addresses(found, addresses);
    freeaddrinfo(found);
    return true;
}

TcpConnection tcp_connect_to(const TcpAddress& address, const Deadline& deadline, TcpError* error) {
    int fd = socket(address.family, address.socket_type, address.protocol);
    if (fd < 0) {
        *error = TcpError{errno, TcpError::Kind::system};
        return kNoConnection;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int result = connect(fd, reinterpret_cast<const sockaddr*>(address.bytes.data()), address.length);
    if (result != 0) result = errno;
    *error = TcpError{result, TcpError::Kind::system};
    if (result == EINPROGRESS || result == EINTR) result = wait_for_connection(fd, deadline, error);
    if (result != 0) {
        close(fd);
        return kNoConnection;
    }
    tune(fd);
    return fd;
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

int tcp_wait_source(TcpConnection connection, WaitSource::Kind kind, std::intptr_t*, WaitSource* source) {
    *source = WaitSource{connection, kind};
    return kWaitForever;
}

void tcp_release_wait_event(std::intptr_t*) {}

void tcp_close(TcpConnection connection) {
    if (connection != kNoConnection) close(static_cast<int>(connection));
}

TcpError tcp_timed_out() { return {ETIMEDOUT, TcpError::Kind::system}; }

void tcp_system_text(const TcpError& error, char* text, std::size_t capacity) {
    bool lookup = error.kind == TcpError::Kind::lookup;
    std::snprintf(text, capacity, "%s", lookup ? gai_strerror(error.code) : std::strerror(error.code));
}
