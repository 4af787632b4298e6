// A network connection as a device of the port: the network line behind
// the device calls. Its failures are the connection's system errors, or a
// hang-up when the server closed it.
#include <memory>

#include "net/net.h"
#include "serial/device.h"

namespace {

class NetworkDevice final : public Device {
   public:
    bool open(const NetworkAddress& address, const char* name, int connect_wait_ms) {
        TcpError error;
        // RTS dropped, as a local device's is; the port drops DTR next.
        return line_.open(address, name, connect_wait_ms, &error) && line_.set_rts(false);
    }

    std::size_t read_some(uint8_t* buffer, std::size_t capacity, DeviceError* error) override {
        long n = line_.read(buffer, capacity);
        if (n >= 0) return static_cast<std::size_t>(n);
        *error = ended();
        return 0;
    }

    uint32_t queued_count() override { return static_cast<uint32_t>(line_.waiting()); }

    int wait_source(WaitSource::Kind kind, WaitSource* source) override {
        return line_.wait_source(kind, source);
    }

    // The line gathers what is written and waits for room by itself when
    // its buffer is full, within its own bound (a server that takes nothing
    // for its stall time has failed), however short wait_ms is.
    std::size_t write_some(const uint8_t* bytes, std::size_t count, int, DeviceError* error) override {
        for (std::size_t i = 0; i < count; ++i) {
            if (line_.write(bytes[i])) continue;
            *error = ended();
            return i;
        }
        return count;
    }

    DeviceError set_rate(uint32_t rate) override {
        if (line_.set_rate(rate)) return DeviceError{};
        // The server set another rate, and said which on standard error.
        return line_.has_ended() ? ended() : DeviceError{DeviceError::Kind::reported};
    }

    DeviceError set_modem_line(ModemLine line, bool raised) override {
        bool ok = line == ModemLine::dtr ? line_.set_dtr(raised) : line_.set_rts(raised);
        return ok ? DeviceError{} : ended();
    }

   private:
    DeviceError ended() const {
        const TcpError& error = line_.end_error();
        if (error.code == 0) return DeviceError{DeviceError::Kind::hung_up};
        return DeviceError{DeviceError::Kind::failed, static_cast<unsigned long>(error.code)};
    }

    NetworkLine line_;
};

}  // namespace

std::unique_ptr<Device> open_network_device(const char* name, int connect_wait_ms) {
    NetworkAddress address;
    if (!parse_network_name(name, &address)) return nullptr;
    use_fine_timer();
    auto device = std::make_unique<NetworkDevice>();
    if (!device->open(address, name, connect_wait_ms)) return nullptr;
    return device;
}
