// The one port of the process, above the platform's devices: the name and
// rate it was given (a re-open applies them again), a receive buffer under
// receive_count and read_byte, the report of a failed read and the re-open
// that follows it, the gone flag, and the modem-line report said once.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/fatal.h"
#include "base/text.h"
#include "net/net.h"
#include "ports/ports.h"
#include "serial/device.h"
#include "serial/serial.h"

namespace {

struct SerialPort {
    std::unique_ptr<Device> device;
    std::array<char, kPathCapacity> name{};  // as the user gave it
    PortName parsed;
    int32_t remembered_rate = 0;
    LineSettings remembered_line;  // 8-N-1 without flow control unless the terminal asked for more
    bool gone = false;             // the device vanished and the re-open failed
    DeviceError pending_failure;   // a failed read found by receive_count, reported by read_byte
    bool modem_lines_reported = false;
    bool gone_said = false;        // a use of the port while it is gone has said so
    Deadline steady_after_reopen;  // until then a failure is one of a line that fails as soon as it opens
};

SerialPort port;

// A line that fails again sooner than this after it was opened again is
// not opened again at once (see read_byte).
constexpr int kSteadyAfterReopenMs = 1000;

// A byte that does not go at once is tried again after this wait.
constexpr int kSendWaitMs = 10;

// The stall time: how long a port may take no byte before a send fails. A
// healthy port keeps a writer waiting at most as long as its full output
// queue (a few KiB) takes at the line rate.
constexpr int kStallFloorMs = 2000;
constexpr long kOutputQueueBytes = 4096;
constexpr long kBitsPerByte = 10;  // start, 8 data, stop
constexpr long kStallCeilingMs = 10L * 60 * 1000;

// Received bytes taken from the device and not yet handed out by read_byte.
// receive_count includes them, so callers see one queue.
std::array<uint8_t, 1 << 16> rx{};
std::size_t rx_head = 0;
std::size_t rx_count = 0;

// The device a port name stands for: a network connection, the one
// adapter that has a USB identity now (looked up at every open, so an
// adapter that comes back under another name is found again), or a local
// device by its path. A re-open while the port is in use gives a network
// connection less time, so that the keys stay live.
std::unique_ptr<Device> open_device(const PortName& name, bool again, std::string* device, OpenError* error) {
    switch (name.kind) {
        case PortName::Kind::network:
            return open_network_device(
                name.network, port.name.data(), again ? kReconnectWaitMs : kConnectWaitMs,
                port.remembered_rate > 0 ? static_cast<uint32_t>(port.remembered_rate) : 0, error);
        case PortName::Kind::usb: {
            std::vector<PortInfo> matches = matching_ports(list_ports(), name.usb);
            if (matches.size() != 1) {
                error->cause = matches.empty() ? OpenCause::no_usb_match : OpenCause::several_usb_matches;
                return nullptr;
            }
            *device = matches.front().device;
            return open_local_device(device->c_str(), error);
        }
        case PortName::Kind::device: break;
    }
    *device = name.device;
    return open_local_device(device->c_str(), error);
}

// The cause in words, after "Cannot open NAME: ", before what the system
// said of it. A device that is missing may be an adapter that was pulled
// out, when its name is an adapter's.
std::string cause_words(OpenCause cause, const std::string& device) {
    switch (cause) {
        case OpenCause::no_such_device:
            return usb_adapter_path(device) ? "no such device (is the USB adapter plugged in?)"
                                            : "no such device";
        case OpenCause::permission_denied: return "permission denied";
        case OpenCause::in_use: return "in use by another program";
        case OpenCause::not_a_port: return "not a serial port";
        case OpenCause::no_usb_match:
            return "no serial port has this USB identity (is the adapter plugged in?)";
        case OpenCause::several_usb_matches: return "several serial ports have this USB identity";
        case OpenCause::no_connection: return "no connection";
        default: return {};  // the system's reason alone
    }
}

// Whether the device's path says more than the name it was given by: a
// usb: name's adapter, a COM name's /dev/ttyS path, but not the same COM
// name with the prefix that opens it.
bool says_more(const std::string& device, std::string_view name) {
    if (name.ends_with(':')) name.remove_suffix(1);
    auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    return !device.empty() &&
           std::search(device.begin(), device.end(), name.begin(), name.end(), same) == device.end();
}

// "Cannot open NAME: CAUSE", naming the device the name led to where that
// says more.
void explain(const std::string& device, const OpenError& error, OpenFailure* why) {
    if (why == nullptr) return;
    why->cause = error.cause;
    why->line = std::string("Cannot open ") + port.name.data();
    if (says_more(device, port.name.data())) why->line += " (" + device + ")";
    why->line += ": " + cause_words(error.cause, device) + error.detail;
    if (error.cause == OpenCause::no_usb_match || error.cause == OpenCause::several_usb_matches)
        why->candidates = usb_candidates(port.parsed.usb);
}

// One line on standard error, on a line of its own: the program, what it
// was doing and on which port, then why ("tamborvine: DTR on /dev/pts/3:
// ..."), the system's text kept as it is.
void say_port_failure(const char* doing, const std::string& why) {
    end_open_line();
    std::fflush(stdout);
    std::fprintf(stderr, "tamborvine: %s on %s: %s\n", doing, shown_target_bytes(port.name.data()).c_str(),
                 shown_target_bytes(why).c_str());
    std::fflush(stderr);
}

// The system's text for a failed call; a device that explained the failure
// itself has said it already. A port that is gone (its device vanished, the
// re-open failed) is said to be, once until it is back, not as the system's
// text for a closed descriptor.
void print_system_error(const DeviceError& error, const char* doing) {
    if (error.kind == DeviceError::Kind::reported) return;
    if (error.kind != DeviceError::Kind::not_open || !port.gone)
        return say_port_failure(doing, device_error_text(error));
    if (port.gone_said) return;
    port.gone_said = true;
    end_open_line();
    std::fflush(stdout);
    std::fprintf(stderr, "Port %s is gone\n", shown_target_bytes(port.name.data()).c_str());
    std::fflush(stderr);
}

// A device without modem lines (a pseudo-terminal) refuses every DTR and
// RTS change. Dropping a line it does not have changes nothing (the port
// drops DTR whenever it opens): only a line asked to rise is missed, said
// once per run, not at every pulse.
void report_modem_line_failure(const DeviceError& error, ModemLine line, bool raised) {
    const char* name = line == ModemLine::dtr ? "DTR" : "RTS";
    if (error.kind != DeviceError::Kind::no_modem_lines) return print_system_error(error, name);
    if (!raised || port.modem_lines_reported) return;
    port.modem_lines_reported = true;
    say_port_failure(name, "the port has no modem lines (" + device_error_text(error) + ")");
}

// On standard output, on a line of its own: the system text and a blank
// line after it.
void report_read_failure(const DeviceError& error) {
    end_open_line();
    std::printf("Bad read result\n%s\n\n", device_error_text(error).c_str());
    std::fflush(stdout);
}

// Take what the device has into the receive buffer; note a failure for
// read_byte to report.
void fill_rx() {
    if (!port.device || port.gone || port.pending_failure || rx_count == rx.size()) return;
    std::size_t tail = (rx_head + rx_count) % rx.size();
    std::size_t room = rx_head + rx_count < rx.size() ? rx.size() - tail : rx_head - tail;
    DeviceError error;
    rx_count += port.device->read_some(rx.data() + tail, room, &error);
    if (error) port.pending_failure = error;
}

int stall_time_ms() {
    long rate = port.remembered_rate > 0 ? port.remembered_rate : 9600;
    long queue_ms = 2 * kOutputQueueBytes * kBitsPerByte * 1000 / rate;
    if (queue_ms < kStallFloorMs) return kStallFloorMs;
    return static_cast<int>(queue_ms < kStallCeilingMs ? queue_ms : kStallCeilingMs);
}

// A send that failed: the system's text (or the time-out's) on standard
// error.
int send_failed(const DeviceError& error) {
    print_system_error(error, "writing");
    return 1;
}

// The device let go (its settings put back) and the receive buffer
// emptied; what was found at its first open is kept for a re-open.
void let_go_of_device() {
    port.device.reset();
    rx_head = rx_count = 0;
    port.pending_failure = DeviceError{};
}

// Opens the port's own name (a re-open too) as it was parsed.
int open_parsed(bool again, OpenFailure* why) {
    let_go_of_device();  // a port opened again lets go of its old device and lock
    std::string device;
    OpenError error;
    port.device = open_device(port.parsed, again, &device, &error);
    if (!port.device) {
        explain(device, error, why);
        return 0;
    }
    // The way out lets the port go (its settings put back, within a
    // second), whatever way the run ends.
    let_go_at_exit(close_port);
    set_dtr(0);
    port.gone = false;
    port.gone_said = false;
    return 1;
}

void set_modem_line(ModemLine line, int level) {
    DeviceError error{DeviceError::Kind::not_open};
    if (port.device) error = port.device->set_modem_line(line, level != 0);
    if (error) report_modem_line_failure(error, line, level != 0);
}

DeviceError apply_line(const LineSettings& settings) {
    if (!port.device) return DeviceError{DeviceError::Kind::not_open};
    return port.device->set_line(settings);
}

DeviceError apply_rate(int32_t rate) {
    if (!port.device) return DeviceError{DeviceError::Kind::not_open};
    if (rate <= 0) return DeviceError{DeviceError::Kind::bad_value};
    return port.device->set_rate(static_cast<uint32_t>(rate));
}

}  // namespace

int open_port(const char* name, OpenFailure* why) {
    // A name that does not fit would open another device: refuse it.
    std::array<char, kPathCapacity> given{};
    PortName parsed;
    if (!copy_text(given, name) || !parse_port_name(name, &parsed)) {
        if (why != nullptr)
            *why =
                OpenFailure{OpenCause::other, std::string("Cannot open ") + name + ": not a port name", {}};
        return 0;
    }
    port.name = given;
    port.parsed = std::move(parsed);
    return open_parsed(false, why);
}

std::string port_device_path(const char* name) {
    PortName parsed;
    if (!parse_port_name(name, &parsed)) return {};
    if (parsed.kind == PortName::Kind::device) return parsed.device;
    if (parsed.kind == PortName::Kind::network) return {};
    std::vector<PortInfo> matches = matching_ports(list_ports(), parsed.usb);
    return matches.size() == 1 ? matches.front().device : std::string();
}

void set_dtr(int level) { set_modem_line(ModemLine::dtr, level); }

void set_rts(int level) { set_modem_line(ModemLine::rts, level); }

int set_baud_rate(int32_t rate) {
    port.remembered_rate = rate;
    DeviceError error = apply_rate(rate);
    if (!error) return 1;
    const std::string doing = "setting " + std::to_string(rate) + " baud";
    print_system_error(error, doing.c_str());
    return 0;
}

std::string line_settings_text(const LineSettings& settings) {
    static constexpr char kParityLetters[] = {'N', 'E', 'O'};
    static constexpr const char* kFlowNames[] = {"", ", rts-cts", ", xon-xoff"};
    std::string text = std::to_string(settings.data_bits) + "-" +
                       kParityLetters[static_cast<int>(settings.parity)] + "-" +
                       std::to_string(settings.stop_bits);
    return text + kFlowNames[static_cast<int>(settings.flow)];
}

int set_line_settings(const LineSettings& settings) {
    port.remembered_line = settings;
    DeviceError error = apply_line(settings);
    if (!error || error.kind == DeviceError::Kind::reported) return 1;
    print_system_error(error, ("setting the line to " + line_settings_text(settings)).c_str());
    return 0;
}

DeviceError say_line_kept(const LineSettings& asked, const LineSettings& kept) {
    static bool said = false;
    if (!said) {
        said = true;
        std::fflush(stdout);
        std::fprintf(stderr, "%s: the device keeps %s, not %s\n", port.name.data(),
                     line_settings_text(kept).c_str(), line_settings_text(asked).c_str());
        std::fflush(stderr);
    }
    return DeviceError{DeviceError::Kind::reported};
}

int send_byte(uint8_t byte) { return send_bytes(&byte, 1); }

// A port that takes no byte for its stall time (output held, nobody reading
// the other end) fails the send instead of holding the run.
int send_bytes(const uint8_t* bytes, std::size_t count) {
    if (!port.device && count > 0) return send_failed(DeviceError{DeviceError::Kind::not_open});
    Deadline stalled = Deadline::in_ms(stall_time_ms());
    while (count > 0) {
        DeviceError error;
        std::size_t taken = port.device->write_some(bytes, count, kSendWaitMs, &error);
        if (error) return send_failed(error);
        if (taken > 0) {
            bytes += taken;
            count -= taken;
            stalled = Deadline::in_ms(stall_time_ms());
            continue;
        }
        check_pending_signal();
        if (stalled.passed()) return send_failed(DeviceError{DeviceError::Kind::timed_out});
    }
    return 0;
}

SendOutcome send_byte_unless(uint8_t byte, const WaitSource& watched, int watched_limit) {
    if (!port.device) {
        send_failed(DeviceError{DeviceError::Kind::not_open});
        return SendOutcome::failed;
    }
    const Deadline stalled = Deadline::in_ms(stall_time_ms());
    for (;;) {
        DeviceError error;
        if (port.device->write_some(&byte, 1, 0, &error) == 1) return SendOutcome::sent;
        if (error) {
            send_failed(error);
            return SendOutcome::failed;
        }
        int left = stalled.left_ms();
        if (left <= 0) {
            send_failed(DeviceError{DeviceError::Kind::timed_out});
            return SendOutcome::failed;
        }
        // Room on the port, or the watched source, whichever comes first; a
        // device whose write waits by itself (0) is only tried again.
        std::array<WaitSource, 2> sources{};
        int port_limit = port_wait_source(WaitSource::Kind::writable, &sources[0]);
        sources[1] = watched;
        int limit = shorter_wait(shorter_wait(port_limit, watched_limit), left);
        int ready = wait_for_any(sources, limit);
        check_pending_signal();
        if (ready == 1 || (ready < 0 && limit == watched_limit)) return SendOutcome::watched_ready;
    }
}

uint32_t receive_count() {
    if (rx_count == 0) fill_rx();
    // A pending failure counts as something to read: read_byte reports it.
    if (rx_count == 0) return port.pending_failure ? 1u : 0u;
    // Bytes the device holds beyond the buffer count too, so that a caller
    // waiting for a number of bytes sees them arrive.
    return static_cast<uint32_t>(rx_count) + port.device->queued_count();
}

bool byte_waiting() {
    if (rx_count == 0) fill_rx();
    return rx_count > 0 || port.pending_failure;
}

int read_byte(uint8_t* out) {
    if (rx_count == 0) fill_rx();
    if (rx_count > 0) {
        *out = rx[rx_head];
        rx_head = (rx_head + 1) % rx.size();
        --rx_count;
        if (rx_count == 0) rx_head = 0;
        return 1;
    }
    if (port.pending_failure) {
        DeviceError error = port.pending_failure;
        port.pending_failure = DeviceError{};
        // A line that fails again as soon as it is open again (a network
        // server that takes the connection and closes it at once, as ser2net
        // does while its device is unplugged) would be a storm of
        // connections and reports if opened again at once: it is gone, said
        // once by the terminal, which tries it about once a second.
        if (!port.steady_after_reopen.passed()) {
            let_go_of_device();
            port.gone = true;
            return -1;
        }
        // The device ended or failed: report it, then open it again in
        // place by its name at its rate.
        report_read_failure(error);
        reopen_port();
    }
    return -1;
}

void close_port() {
    let_go_of_device();
    forget_found_settings();
}

int port_wait_source(WaitSource::Kind kind, WaitSource* source) {
    *source = WaitSource{};
    if (kind == WaitSource::Kind::readable && (rx_count > 0 || port.pending_failure)) return 0;
    if (!port.device || port.gone) return kWaitForever;  // nothing will come from it
    return port.device->wait_source(kind, source);
}

void wait_for_byte_ms(int ms) {
    WaitSource source;
    int limit = port_wait_source(WaitSource::Kind::readable, &source);
    if (limit == 0) return;
    wait_for_any({&source, 1}, shorter_wait(ms, limit));
    check_pending_signal();
}

bool port_is_gone() { return port.gone; }

int reopen_port() {
    int32_t rate = port.remembered_rate;
    if (open_parsed(true, nullptr) != 1) {
        port.gone = true;
        return 0;
    }
    set_baud_rate(rate);
    if (port.remembered_line != LineSettings{}) set_line_settings(port.remembered_line);
    port.steady_after_reopen = Deadline::in_ms(kSteadyAfterReopenMs);
    return 1;
}

const char* port_name() { return port.name.data(); }
