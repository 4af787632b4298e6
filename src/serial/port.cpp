// The one port of the process, above the platform's devices: the name and
// rate it was given (a re-open applies them again), a receive buffer under
// receive_count and read_byte, the report of a failed read and the re-open
// that follows it, the gone flag, and the modem-line report said once.
#include <array>
#include <cstdio>
#include <memory>

#include "base/fatal.h"
#include "base/text.h"
#include "serial/device.h"
#include "serial/serial.h"

namespace {

struct SerialPort {
    std::unique_ptr<Device> device;
    std::array<char, kPathCapacity> name{};
    int32_t remembered_rate = 0;
    bool gone = false;            // the device vanished and the re-open failed
    DeviceError pending_failure;  // a failed read found by receive_count, reported by read_byte
    bool modem_lines_reported = false;
    int stalled_ms = 0;        // how long the byte on offer has waited without the line moving
    uint32_t last_queued = 0;  // what the device held to send at the last look
};

// A byte that could not go is offered again after this wait.
constexpr int kSendWaitMs = 10;

// The stall time: how long a port may take no byte and send nothing before
// it counts as stopped. A healthy port keeps a writer waiting at most as
// long as its full output queue (a few KiB) takes at the line rate.
constexpr int kStallFloorMs = 2000;
constexpr long kOutputQueueBytes = 4096;
constexpr long kBitsPerByte = 10;  // start, 8 data, stop
constexpr long kStallCeilingMs = 10L * 60 * 1000;

SerialPort port;

// Received bytes taken from the device and not yet handed out by read_byte.
// receive_count includes them, so callers see one queue.
std::array<uint8_t, 1 << 16> rx{};
std::size_t rx_head = 0;
std::size_t rx_count = 0;

// The device a port name stands for.
std::unique_ptr<Device> open_device(const char* name) {
    char path[kPathCapacity + 16];
    if (!port_device_path(name, path, sizeof path)) return nullptr;
    return open_local_device(path);
}

// The system's text for a failed call, on standard error.
void print_system_error(const DeviceError& error) {
    std::fflush(stdout);
    write_system_text(stderr, error);
    std::fflush(stderr);
}

// A device without modem lines (a pseudo-terminal) refuses every DTR
// change; say so once per run, not at every open and pulse.
void report_modem_line_failure(const DeviceError& error) {
    if (error.kind == DeviceError::Kind::no_modem_lines) {
        if (port.modem_lines_reported) return;
        port.modem_lines_reported = true;
    }
    print_system_error(error);
}

// On standard output: the system text carries its own line break, and the
// report adds one.
void report_read_failure(const DeviceError& error) {
    std::printf("Bad read result\n");
    write_system_text(stdout, error);
    std::printf("\n");
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

int stall_limit_ms() {
    long rate = port.remembered_rate > 0 ? port.remembered_rate : 9600;
    long queue_ms = 2 * kOutputQueueBytes * kBitsPerByte * 1000 / rate;
    if (queue_ms < kStallFloorMs) return kStallFloorMs;
    return static_cast<int>(queue_ms < kStallCeilingMs ? queue_ms : kStallCeilingMs);
}

// A byte that was not taken: has the line moved since the last look?
bool port_stalled(int waited_ms) {
    uint32_t queued = port.device->output_queued();
    if (queued < port.last_queued)
        port.stalled_ms = 0;
    else
        port.stalled_ms += waited_ms;
    port.last_queued = queued;
    return port.stalled_ms >= stall_limit_ms();
}

DeviceError apply_rate(int32_t rate) {
    if (!port.device) return DeviceError{DeviceError::Kind::not_open};
    if (rate <= 0) return DeviceError{DeviceError::Kind::bad_value};
    return port.device->set_rate(static_cast<uint32_t>(rate));
}

// The device let go (its settings put back) and the receive buffer
// emptied; what was found at the first open is kept for a re-open.
void let_go_of_device() {
    port.device.reset();
    rx_head = rx_count = 0;
    port.pending_failure = DeviceError{};
}

}  // namespace

int open_port(const char* name) {
    // A name that does not fit would open another device: refuse it. The
    // name may be the port's own (a re-open): it is copied before closing.
    std::array<char, kPathCapacity> given{};
    if (!copy_text(given, name)) return 0;
    let_go_of_device();  // a port opened again lets go of its old device and lock
    port.name = given;
    port.device = open_device(port.name.data());
    if (!port.device) return 0;
    set_dtr(0);
    port.gone = false;
    return 1;
}

void set_dtr(int level) {
    DeviceError error{DeviceError::Kind::not_open};
    if (port.device) error = port.device->set_modem_line(ModemLine::dtr, level != 0);
    if (error) report_modem_line_failure(error);
}

int set_baud_rate(int32_t rate) {
    port.remembered_rate = rate;
    DeviceError error = apply_rate(rate);
    if (!error) return 1;
    print_system_error(error);
    return 0;
}

Offer offer_byte(uint8_t byte, int wait_ms) {
    DeviceError error;
    if (!port.device) {
        error = DeviceError{DeviceError::Kind::not_open};
    } else if (port.device->write_some(&byte, 1, wait_ms, &error) == 1) {
        port.stalled_ms = 0;
        return Offer::taken;
    } else if (!error && !port_stalled(wait_ms)) {
        return Offer::waiting;
    }
    if (!error) error = DeviceError{DeviceError::Kind::timed_out};
    port.stalled_ms = 0;
    print_system_error(error);
    return Offer::failed;
}

int send_byte(uint8_t byte) {
    for (;;) {
        Offer offer = offer_byte(byte, kSendWaitMs);
        if (offer != Offer::waiting) return offer == Offer::taken ? 0 : 1;
        check_pending_signal();
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

void wait_for_byte_ms(int ms) {
    if (rx_count > 0) return;
    if (!port.device || port.gone)
        sleep_ms(ms);
    else
        port.device->wait_readable(ms);
    check_pending_signal();
}

bool port_is_gone() { return port.gone; }

int reopen_port() {
    std::array<char, kPathCapacity> name = port.name;
    int32_t rate = port.remembered_rate;
    if (open_port(name.data()) != 1) {
        port.gone = true;
        return 0;
    }
    set_baud_rate(rate);
    return 1;
}

const char* port_name() { return port.name.data(); }
