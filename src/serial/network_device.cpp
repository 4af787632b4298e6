// A network connection as a device of the port: the network line behind
// the device calls. Its failures are the connection's system errors, or a
// hang-up when the server closed it.
#include <array>
#include <memory>
#include <string>

#include "net/net.h"
#include "serial/device.h"

namespace {

class NetworkDevice final : public Device {
   public:
    // DTR and RTS dropped, as a local device's are, with the line's other
    // settings (and the rate of a re-open) in one round trip.
    bool open(const NetworkAddress& address, const char* name, int connect_wait_ms, uint32_t rate,
              TcpError* error) {
        return line_.open(address, name, connect_wait_ms, rate, error) && line_.set_rts(false);
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

    std::size_t write_some(const uint8_t* bytes, std::size_t count, int wait_ms,
                           DeviceError* error) override {
        long taken = line_.write(bytes, count, wait_ms);
        if (taken >= 0) return static_cast<std::size_t>(taken);
        *error = ended();
        return 0;
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

    // What the server kept, or that a raw connection carries none of it,
    // the line has said.
    DeviceError set_line(const LineSettings& settings) override {
        static constexpr uint8_t kParityCodes[] = {rfc2217::kParityNone, rfc2217::kParityEven,
                                                   rfc2217::kParityOdd};
        static constexpr uint8_t kFlowCodes[] = {rfc2217::kControlNoFlowControl, rfc2217::kControlHardware,
                                                 rfc2217::kControlXonXoff};
        LineCodes codes{settings.data_bits, kParityCodes[static_cast<int>(settings.parity)],
                        settings.stop_bits == 2 ? rfc2217::kStopSize2 : rfc2217::kStopSize1,
                        kFlowCodes[static_cast<int>(settings.flow)]};
        if (line_.set_line(codes)) return DeviceError{};
        return line_.has_ended() ? ended() : DeviceError{DeviceError::Kind::reported};
    }

   private:
    DeviceError ended() const {
        const TcpError& error = line_.end_error();
        if (error.code == 0) return DeviceError{DeviceError::Kind::hung_up};
        return DeviceError{DeviceError::Kind::failed, static_cast<unsigned long>(error.code)};
    }

    NetworkLine line_;
};

// What became of the connection, for the end of the open's line.
std::string connection_failure(const NetworkAddress& address, const TcpError& failure) {
    bool lookup = failure.kind == TcpError::Kind::lookup || failure.kind == TcpError::Kind::lookup_timed_out;
    if (failure.code == 0 && !lookup) return " (the server closed the connection)";
    std::array<char, 256> text{};
    tcp_error_text(failure, text.data(), text.size());
    if (lookup) return std::string(" (looking up ") + address.host.data() + ": " + text.data() + ")";
    return std::string(" (") + text.data() + ")";
}

}  // namespace

std::unique_ptr<Device> open_network_device(const NetworkAddress& address, const char* name,
                                            int connect_wait_ms, uint32_t rate, OpenError* error) {
    use_fine_timer();
    auto device = std::make_unique<NetworkDevice>();
    TcpError failure;
    if (device->open(address, name, connect_wait_ms, rate, &failure)) return device;
    error->cause =
        failure.kind == TcpError::Kind::interrupted ? OpenCause::interrupted : OpenCause::no_connection;
    error->detail = connection_failure(address, failure);
    return nullptr;
}
