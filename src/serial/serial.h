// Serial link: the one port of the process and the timed exchange on it.
// The exchange's reply limits are counts of 1 ms polls, as the dialogue
// fixes them; the port's own limits (how long a stuck line may hold a
// send, how soon a re-opened line may fail again) are deadlines on the
// monotonic clock. The port's shared core is port.cpp; below it one device
// per kind (device.h): the tty (tty_device_posix.cpp) or the comm handle
// (comm_device_win32.cpp) of the platform, and the network device on the
// net library (network_device.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/wait.h"

// ---- the port ----------------------------------------------------------

// Why a port did not open.
enum class OpenCause : uint8_t {
    none,
    no_such_device,       // nothing by that name (an adapter unplugged)
    permission_denied,    // this user may not open it
    in_use,               // another program holds it
    not_a_port,           // it opens, but it is no serial port
    no_usb_match,         // no port has the usb: name's identity
    several_usb_matches,  // more than one has it
    no_connection,        // the network connection could not be made
    interrupted,          // the wait interrupter (a key) ended the open
    other,                // the system's reason says what
};

// What open_port found when it did not open the port.
struct OpenFailure {
    OpenCause cause = OpenCause::none;
    // The cause in one line a user can act on, without a line end:
    // "Cannot open /dev/ttyUSB0: in use by another program (pid 4242, picocom)".
    std::string line;
    // For a usb: name that matched none or several ports: the candidates,
    // one "\r\n"-ended line each.
    std::string candidates;
};

// Open the named port (a device path, COMn / Comn:, a usb: name, a network
// name), raw 8-N-1, no flow control, reads that never wait, DTR dropped.
// 1 = opened, 0 = not: nothing is printed, *why (when given) says why.
int open_port(const char* name, OpenFailure* why = nullptr);

// The device a port name leads to now, for the files of a run that must
// not be the port: its path (a COM name's, a usb: name's adapter as found
// now); empty for a network name, or a usb: name that matches no single
// adapter.
std::string port_device_path(const char* name);

// Whether a name can name a port at all: a usb: name and a network name
// must be well formed (usb:VVVV:PPPP[:SERIAL], rfc2217://HOST:PORT,
// socket://HOST:PORT); anything else is a device path or a COM name, which
// must fit in a path.
bool port_name_valid(const char* name);

// How bytes are framed on the line, and its flow control. The port opens
// 8-N-1 without flow control, as the bootloader needs; the terminal may
// ask for another.
enum class Parity : uint8_t { none, even, odd };
enum class FlowControl : uint8_t { none, rts_cts, xon_xoff };

struct LineSettings {
    uint8_t data_bits = 8;  // 5 to 8
    Parity parity = Parity::none;
    uint8_t stop_bits = 1;  // 1 or 2
    FlowControl flow = FlowControl::none;

    bool operator==(const LineSettings&) const = default;
};

// "7-E-2" and the flow control when there is one ("8-N-1, rts-cts"), for
// messages.
std::string line_settings_text(const LineSettings& settings);

// Sets the frame and the flow control, remembered for a re-open as the
// rate is. 1 = set; 0 = the device refused them (the system's text on
// standard error). A device that keeps another frame than asked (a
// pseudo-terminal has no data bits or parity of its own; an adapter that
// knows no 5-bit bytes) or cannot carry one at all (a raw TCP connection)
// says so once on standard error, and that counts as set.
int set_line_settings(const LineSettings& settings);

// Non-zero raises DTR, zero drops it; the same for RTS. On a network port
// they travel to the server (rfc2217://); a device without modem lines
// says so once.
void set_dtr(int level);
void set_rts(int level);

// 1 = set, 0 = refused (system text on standard error). The rate is
// remembered whether or not the device takes it; a re-open applies it.
int set_baud_rate(int32_t rate);

// 0 = written, 1 = failed (system text on standard error). A port that
// takes no byte for its stall time (2 s, or twice the time a full output
// queue needs at the line rate when that is longer: output held, nobody
// reading the other end) fails with a time-out.
int send_byte(uint8_t byte);

// Several bytes in one write, in order, as send_byte would send them one
// by one: 0 = all written, 1 = failed (system text on standard error).
int send_bytes(const uint8_t* bytes, std::size_t count);

// What became of a byte that send_byte_unless offered.
enum class SendOutcome { sent, failed, watched_ready };

// send_byte, but while the port has no room it waits on watched as well
// (the keyboard) and gives up, sending nothing, when that becomes ready or
// watched_limit passes; the caller looks and tries again.
SendOutcome send_byte_unless(uint8_t byte, const WaitSource& watched, int watched_limit);

// Number of received bytes waiting. A failed read that is waiting to be
// reported counts as one: the read_byte that follows reports it (and gives
// no byte).
uint32_t receive_count();

// receive_count() > 0, for the loops that only ask whether anything waits
// (a waiting failure included): it need not ask the device how much more it
// holds, which would cost a system call for every byte of a flood.
bool byte_waiting();

// 1 = a byte was stored in *out, -1 = no byte (out untouched). A failed read
// reports itself and re-opens the port in place.
int read_byte(uint8_t* out);

// Close the port, its device's settings put back as they were found;
// harmless when it is not open.
void close_port();

// Sleep up to ms milliseconds, waking early when a received byte is
// waiting. Used where a poll loop sleeps only because nothing has come.
void wait_for_byte_ms(int ms);

// For a wait on the port beside other things (the terminal waits on the
// port and the keyboard together): *source is what becomes ready when a
// byte or a failure comes (readable) or when the port takes more output
// (writable); nothing while the port is gone. Returns the longest such a
// wait may last before the port must be asked again: 0 when a byte or a
// failure waits already, kWaitForever, or a few milliseconds for a device
// that cannot signal.
int port_wait_source(WaitSource::Kind kind, WaitSource* source);

// Repeat polls times: drop one waiting byte if any, then sleep 1 ms.
void drain_input(int polls);

// Drops what arrives until nothing has come for quiet_ms, or limit_ms have
// passed in all, whatever still comes. Says how many bytes went and whether
// the line fell quiet.
struct QuietDrain {
    unsigned dropped = 0;
    bool quiet = false;
};
QuietDrain drain_until_quiet(int quiet_ms, int limit_ms);

// True while the port is gone (its device vanished and the re-open failed).
bool port_is_gone();

// Try once to open the port again by its remembered name at its remembered
// rate. 1 = back, 0 = still gone.
int reopen_port();

// The name given to the last open_port.
const char* port_name();

// ---- timed exchange ------------------------------------------------------

// Poll budgets of a reply: 200, and 4000 for the erase reply, which names
// its budget. reply_poll_limit is the budget of a read that names none.
constexpr int32_t kReplyPollLimit = 200;
constexpr int32_t kEraseReplyPollLimit = 4000;
extern int32_t reply_poll_limit;
constexpr int kByteWaitPolls = 1000;

// Send each byte of a NUL-terminated text; failures are reported by
// send_byte and the next byte is sent anyway.
void send_text(const char* text);

// Send one byte; a failure ends the run with "Serial Write failure".
void send_byte_checked(uint8_t byte);

// Read up to n bytes (buffer holds n + 1) within poll_limit polls,
// sleeping before every check, at most one byte per poll. NUL-terminates.
int read_bytes(int n, char* buffer, int32_t poll_limit = reply_poll_limit);

// read_bytes, then "nothing\r\n" when nothing came, or under -V the first
// byte echoed with " %c\r\n" (a control byte as <hh>, see
// shown_target_bytes).
int read_reply(int n, char* buffer, int32_t poll_limit = reply_poll_limit);

// Reads count bytes as fast as they come, the first within first_ms and
// each further one within gap_ms of the one before (a bulk answer: a page
// read back, a framed reply); returns how many came.
std::size_t read_bytes_within(uint8_t* out, std::size_t count, int first_ms, int gap_ms);

// Wait up to 1000 polls for one byte, checking before sleeping.
// 1 = stored in *out, 0 = none.
int read_byte_timeout(uint8_t* out);
