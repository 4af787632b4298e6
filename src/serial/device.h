// The platform seam of the serial port. port.cpp keeps what every kind of
// port shares (the remembered name and rate, the receive buffer, the gone
// flag, the re-open after a failure, the reports said once); a Device is
// one open device of one kind: a local serial device (a tty on POSIX, a
// comm handle on Windows) or a network connection (network_device.cpp).
// Only the serial folder includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/wait.h"
#include "net/net.h"
#include "ports/ports.h"
#include "serial/serial.h"

// A failed device call: the system's code (errno on POSIX, the last-error
// code on Windows) and what the port makes of it.
struct DeviceError {
    enum class Kind : uint8_t {
        none,
        failed,          // the call failed; code says why
        no_modem_lines,  // the device has no modem lines (a pseudo-terminal)
        hung_up,         // the device ended (end of file, hang-up)
        not_open,        // there is no device to ask
        bad_value,       // a value no device takes (a rate of 0 or less)
        reported,        // the device has said why on standard error itself
        timed_out,       // the device took no byte for its stall time
    };
    Kind kind = Kind::none;
    unsigned long code = 0;

    explicit operator bool() const { return kind != Kind::none; }
};

enum class ModemLine : uint8_t { dtr, rts };

// One open device. Destroying it puts back the settings the device had when
// the port first opened it (line settings, modem lines) and closes it; what
// it still holds to send gets a bounded time to go out.
class Device {
   public:
    Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    virtual ~Device() = default;

    // Up to capacity received bytes into buffer, without waiting; 0 when
    // none are there. A failure (a hang-up too) goes into *error.
    virtual std::size_t read_some(uint8_t* buffer, std::size_t capacity, DeviceError* error) = 0;

    // Bytes the device holds that read_some has not taken yet; 0 when it
    // cannot say (the next read_some finds out why).
    virtual uint32_t queued_count() = 0;

    // Readies a wait for received data (readable) or for room for more
    // output (writable): *source is what becomes ready then, to be waited on
    // with wait_for_any beside other sources. Returns how long such a wait
    // may last before the device must be asked again: 0 when the data (or
    // a failure to find) is there already, kWaitForever when the source
    // tells, a few milliseconds for a device that cannot signal (it is then
    // polled).
    virtual int wait_source(WaitSource::Kind kind, WaitSource* source) = 0;

    // Writes what the device takes of count bytes, waiting at most wait_ms
    // for it to take the first; returns how many it took (0 when it took
    // none in that time). A failure goes into *error. A device that cannot
    // wait so finely may wait longer, within its own bound.
    virtual std::size_t write_some(const uint8_t* bytes, std::size_t count, int wait_ms,
                                   DeviceError* error) = 0;

    virtual DeviceError set_rate(uint32_t rate) = 0;

    virtual DeviceError set_modem_line(ModemLine line, bool raised) = 0;

    // The frame and flow control. A device that kept other settings than
    // asked, or cannot carry them, has said so itself (reported).
    virtual DeviceError set_line(const LineSettings& settings) = 0;
};

// What a device kept of the settings asked, said once a run on standard
// error: "PORT: the device keeps 8-N-1, not 7-E-1". Returns the error the
// device gives for it (reported).
DeviceError say_line_kept(const LineSettings& asked, const LineSettings& kept);

// A port name taken apart (port_name.cpp), once: the port keeps it, so a
// re-open means what the first open meant.
struct PortName {
    enum class Kind : uint8_t { device, usb, network };
    Kind kind = Kind::device;
    std::string device;      // device: the path that opens it (a COM name as the platform's path)
    UsbSelector usb;         // usb: the adapter's identity, looked up at every open
    NetworkAddress network;  // network: where to connect
};

// false when the name cannot name a port: a usb: or network name that is
// not well formed, or a path too long to be one.
bool parse_port_name(const char* name, PortName* parsed);

// Why a device did not open: the cause, and what the system said of it in
// words for the end of the line ("; the device belongs to group dialout,
// ...", " (pid 4242, picocom)", " (Access is denied.)"), empty when it
// said nothing more.
struct OpenError {
    OpenCause cause = OpenCause::none;
    std::string detail;

    explicit operator bool() const { return cause != OpenCause::none; }
};

// ---- one realization per platform (tty_device_posix.cpp, comm_device_win32.cpp) ----

// The path that COMn stands for on this platform.
std::string com_device_path(int64_t number);

// Opens the local serial device at path: raw 8-N-1, no flow control, reads
// that never wait, writes that wait only as long as write_some is told,
// RTS dropped. The settings the device had are kept from the first open of
// the path and put back when the device is let go. nullptr when it does not
// open, *error saying why.
std::unique_ptr<Device> open_local_device(const char* path, OpenError* error);

// Whether a device path is of the kind a USB adapter gets (its absence
// may mean the adapter was unplugged).
bool usb_adapter_path(const std::string& path);

// The port lets its device go for good (close_port): the settings found
// at the next open are that device's own again, even under the same path.
void forget_found_settings();

// The text of a timed_out error, the same on every platform.
constexpr const char* kTimedOutText =
    "Write time-out: the port took no byte for too long (output held, or nobody reading the other end)";

// The system's text for an error, without a line break.
std::string device_error_text(const DeviceError& error);

// Makes the 1 ms polls last 1 ms whatever kind of device is open: the
// default Windows timer tick is far coarser. Nothing to do on POSIX.
void use_fine_timer();

// ---- the same on every platform ----

// Connects to a network port (name is how the user wrote it, for the
// line's messages), giving up on the connection after connect_wait_ms; a
// rate (of a re-open) is set with the line's other settings. nullptr when
// the connection cannot be made, *error saying why.
std::unique_ptr<Device> open_network_device(const NetworkAddress& address, const char* name,
                                            int connect_wait_ms, uint32_t rate, OpenError* error);
