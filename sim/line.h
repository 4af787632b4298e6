// The line between the program and the target: the pseudo-terminal, or a
// network client that holds it for a while, and the wire model that paces
// the bytes on it like a UART.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "pty/pty_pair.h"
#include "sim/sim.h"

// Where the target's bytes go, and the rate the other end set.
class Line {
   public:
    virtual ~Line() = default;
    virtual uint32_t rate() const = 0;  // 0 when unknown
    virtual void write_bytes(const uint8_t* data, std::size_t count) = 0;
    void write_bytes(const Bytes& data) { write_bytes(data.data(), data.size()); }
};

// The master side of a pseudo-terminal pair. The simulator keeps a slave
// descriptor of its own open so the line outlives the program's re-opens.
//
// A pseudo-terminal holds about 20 KiB for a program that does not read,
// 0.2 s at 1,000,000 baud; a real port's driver holds more, and a program
// the machine starved for a moment catches up without a byte lost. Bytes
// that do not fit are held here and go out as the program reads; when the
// program has taken none of them for a second they are gone, as a port
// nobody reads loses what comes in.
class PtyLine : public Line {
   public:
    bool open_pair();
    void close_pair();
    int master() const { return pair_.master; }
    const std::string& slave_path() const { return pair_.slave_path; }
    uint32_t rate() const override { return pty_rate(pair_.master); }
    void write_bytes(const uint8_t* data, std::size_t count) override;
    using Line::write_bytes;
    // Bytes wait for room on the line: poll the master for POLLOUT.
    bool holding() const { return !held_.empty(); }
    // Writes what the line has room for now, or drops what waited too long.
    void write_held(double now);

   private:
    static constexpr double kHeldSeconds = 1.0;
    PtyPair pair_;
    std::deque<uint8_t> held_;
    double held_since_ = 0;  // when held bytes began to wait, or the program last took some
};

// Points link at target (atomically replacing an old link); true without a link.
bool link_to(const std::string& link, const std::string& target);

double now_seconds();

// The wire as a UART would make it: a byte arrives 10 bit times after the
// previous one ended (or after it was written, when the line was idle), and
// a byte the target sends reaches the program 10 bit times after it starts.
// Times are absolute, so a late wake-up never shifts the bytes after it.
// Without pacing every time is "now".
class Wire {
   public:
    Wire(Line& line, bool pace) : line_(line), pace_(pace) {}

    // When the byte read now finishes arriving.
    double arrival(uint32_t rate, double now);
    void queue(const Bytes& bytes, double not_before);
    // Bytes queued and not yet on the line are gone (the target was reset).
    void drop_unsent() { tx_.clear(); }
    // Another line took over: what comes on it does not queue behind the
    // bytes of the one before (a client at 50 baud, say).
    void new_line() { rx_free_ = 0; }
    // Writes every byte whose transmission has ended by now; returns when
    // the next one will have (or a second from now when none waits).
    double flush(double now);
    // Bytes each way; the program's reaction time (from a reply written to
    // its next byte read); how late the simulator wrote its replies, in
    // total and at worst, in microseconds.
    std::string stats() const;

   private:
    struct Pending {
        uint8_t byte;
        double not_before;
        double byte_time;
    };
    double byte_time(uint32_t rate) const { return pace_ && rate > 0 ? 10.0 / rate : 0.0; }

    // A byte goes out this much before its stop bit ends at most, so that
    // bytes due together leave in one write: never more than half a byte.
    static constexpr double kEarlySeconds = 20e-6;
    Line& line_;
    bool pace_;
    std::deque<Pending> tx_;
    double rx_free_ = 0;
    double tx_free_ = 0;
    unsigned long received_ = 0;
    unsigned long sent_ = 0;
    double last_write_ = 0;
    bool answered_ = false;
    double host_seconds_ = 0;
    unsigned long turns_ = 0;
    double late_seconds_ = 0;
    double late_max_seconds_ = 0;
};
