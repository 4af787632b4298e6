// Making a TCP connection, the same on every platform: the name looked up
// on a thread of its own (a resolver may take many seconds, or never
// answer, and the run must stay stoppable and the keys live meanwhile),
// then each of its addresses tried within the connect's time.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/wait.h"
#include "net/tcp.h"

namespace {

// One look-up, shared by its thread and its waiters: written by the
// thread, read once done is set.
struct Lookup {
    std::string host;
    std::string port;
    std::vector<TcpAddress> addresses;
    TcpError error;
    bool found = false;
    std::atomic<bool> done{false};
};

// The last look-up begun: one still running (or answered after its waiter
// gave up) serves the next look-up of the same name.
std::shared_ptr<Lookup> last_lookup;

void look_up(void* argument) {
    std::unique_ptr<std::shared_ptr<Lookup>> held(static_cast<std::shared_ptr<Lookup>*>(argument));
    Lookup& lookup = **held;
    lookup.found = tcp_resolve(lookup.host.c_str(), lookup.port.c_str(), &lookup.addresses, &lookup.error);
    lookup.done.store(true);
    wake_waits();
}

std::shared_ptr<Lookup> begin_lookup(const char* host, const char* port) {
    if (last_lookup && last_lookup->host == host && last_lookup->port == port) return last_lookup;
    last_lookup = std::make_shared<Lookup>();
    last_lookup->host = host;
    last_lookup->port = port;
    auto* handed = new std::shared_ptr<Lookup>(last_lookup);
    if (!run_detached(look_up, handed)) look_up(handed);  // no thread: the look-up in line
    return last_lookup;
}

}  // namespace

bool tcp_lookup(const char* host, const char* port, int wait_ms, std::vector<TcpAddress>* addresses,
                TcpError* error) {
    std::shared_ptr<Lookup> lookup = begin_lookup(host, port);
    const Deadline deadline = Deadline::in_ms(wait_ms);
    while (!lookup->done.load()) {
        WaitEnd end = wait_within(WaitSource{}, deadline);
        if (lookup->done.load()) break;
        if (end == WaitEnd::interrupted) {
            *error = TcpError{0, TcpError::Kind::interrupted};
            return false;
        }
        if (end == WaitEnd::timed_out) {
            *error = TcpError{wait_ms, TcpError::Kind::lookup_timed_out};
            return false;
        }
    }
    last_lookup.reset();  // answered: the next look-up asks afresh
    if (!lookup->found) {
        *error = lookup->error;
        return false;
    }
    *addresses = lookup->addresses;
    return true;
}

TcpConnection tcp_connect(const char* host, const char* port, int wait_ms, TcpError* error) {
    *error = {};
    std::vector<TcpAddress> addresses;
    if (!tcp_lookup(host, port, wait_ms, &addresses, error)) return kNoConnection;
    const Deadline deadline = Deadline::in_ms(wait_ms);
    *error = TcpError{tcp_timed_out().code, TcpError::Kind::system};
    for (const TcpAddress& address : addresses) {
        TcpConnection connection = tcp_connect_to(address, deadline, error);
        if (connection != kNoConnection) return connection;
        if (error->kind == TcpError::Kind::interrupted || deadline.passed()) break;
    }
    return kNoConnection;
}

void tcp_error_text(const TcpError& error, char* text, std::size_t capacity) {
    switch (error.kind) {
        case TcpError::Kind::lookup_timed_out:
            std::snprintf(text, capacity, "no answer within %d ms", error.code);
            return;
        case TcpError::Kind::interrupted: std::snprintf(text, capacity, "given up for a key"); return;
        default: tcp_system_text(error, text, capacity);
    }
}
