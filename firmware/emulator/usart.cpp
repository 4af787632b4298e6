// USART0 of the emulated chip with the line's timing (see emulator.h).
#include <sim_avr.h>
#include <sim_cycle_timers.h>

#include "emulator.h"

namespace emulator {

namespace {

// UCSR0A
constexpr uint8_t kReceiveComplete = 1 << 7;   // RXC
constexpr uint8_t kTransmitComplete = 1 << 6;  // TXC
constexpr uint8_t kDataEmpty = 1 << 5;         // UDRE
constexpr uint8_t kDataOverrun = 1 << 3;       // DOR
constexpr uint8_t kDoubleSpeed = 1 << 1;       // U2X
constexpr uint8_t kMultiProcessor = 1 << 0;    // MPCM
// UCSR0B
constexpr uint8_t kReceiverOn = 1 << 4;
constexpr uint8_t kTransmitterOn = 1 << 3;

constexpr double kBitsPerFrame = 10;       // start, 8 data, stop
constexpr std::size_t kReceiveBuffer = 2;  // bytes the receiver holds besides the one it shifts in
constexpr uint32_t kUnsetRate = 9600;      // frames of a host whose rate is unknown, with the USART off

Usart& usart(void* param) { return *static_cast<Usart*>(param); }

}  // namespace

// The status register is kept up to date in data space whenever the USART's
// state changes, so that the firmware's polling reads it as plain memory.
void Usart::attach(avr_t* avr, const UsartRegisters& registers, uint32_t clock) {
    avr_ = avr;
    registers_ = registers;
    clock_ = clock;
    auto& data = avr->io[AVR_DATA_TO_IO(registers.data)];
    data.r.c = read_data;
    data.r.param = this;
    data.w.c = write_data;
    data.w.param = this;
    auto& status = avr->io[AVR_DATA_TO_IO(registers.status)];
    status.r.c = nullptr;
    status.r.param = nullptr;
    status.w.c = write_status;
    status.w.param = this;
    auto& control = avr->io[AVR_DATA_TO_IO(registers.control)];
    control.w.c = write_control;
    control.w.param = this;
    reset();
}

void Usart::reset() {
    avr_cycle_timer_cancel(avr_, receive_done, this);
    avr_cycle_timer_cancel(avr_, send_done, this);
    settings_ = 0;
    receiving_ = false;
    received_.clear();
    held_ = false;
    overrun_ = false;
    sending_ = false;
    buffer_full_ = false;
    sent_ = false;
    publish_status();
    // The line goes on: what the host sent meanwhile reaches the restarted
    // chip (the byte that was half through is lost with the reset).
    if (!waiting_.empty()) avr_cycle_timer_register(avr_, put_on_line(), receive_done, this);
}

double Usart::rate() const {
    const uint8_t* d = avr_->data;
    if ((d[registers_.control] & (kReceiverOn | kTransmitterOn)) == 0) return 0;
    unsigned ubrr = ((d[registers_.rate_high] & 0x0F) << 8) | d[registers_.rate_low];
    unsigned divider = (settings_ & kDoubleSpeed) != 0 ? 8 : 16;
    return static_cast<double>(clock_) / (divider * (ubrr + 1));
}

void Usart::set_host(bool present, uint32_t rate) {
    host_present_ = present;
    host_rate_ = rate;
}

Usart::Losses Usart::take_losses() {
    Losses taken = losses_;
    losses_ = Losses{};
    return taken;
}

uint64_t Usart::frame_cycles(double rate) const {
    return static_cast<uint64_t>(kBitsPerFrame * clock_ / rate + 0.5);
}

void Usart::publish_status() {
    uint8_t value = settings_;
    if (!received_.empty()) value |= kReceiveComplete;
    if (sent_) value |= kTransmitComplete;
    if (!buffer_full_) value |= kDataEmpty;
    if (overrun_) value |= kDataOverrun;
    avr_->data[registers_.status] = value;
}

void Usart::record(uint64_t cycle, bool from_host, uint8_t byte) {
    if (trace_) trace_entries_.push_back({cycle, from_host, byte});
}

// ---- host to chip -------------------------------------------------------------

void Usart::send(uint8_t byte) {
    waiting_.push_back(byte);
    if (receiving_) return;
    avr_cycle_timer_register(avr_, put_on_line(), receive_done, this);
    publish_status();
}

// The next waiting byte starts on the line now; returns the length of its
// frame, which the host's rate sets.
uint64_t Usart::put_on_line() {
    settle_held_byte();
    on_line_ = waiting_.front();
    waiting_.pop_front();
    on_line_garbled_ = !rates_match(host_rate_, rate());
    receiving_ = true;
    return frame_cycles(host_rate_ != 0 ? host_rate_ : rate() > 0 ? rate() : kUnsetRate);
}

uint64_t Usart::receive_done(avr_t*, uint64_t when, void* param) { return usart(param).next_from_host(when); }

// The byte on the line is through; the next one follows at once.
uint64_t Usart::next_from_host(uint64_t when) {
    record(when, true, on_line_);
    if (on_line_garbled_)
        ++losses_.from_host;
    else if ((avr_->data[registers_.control] & kReceiverOn) != 0)
        take_received(on_line_);
    receiving_ = false;
    uint64_t next = waiting_.empty() ? 0 : when + put_on_line();
    publish_status();
    return next;
}

void Usart::take_received(uint8_t byte) {
    if (received_.size() < kReceiveBuffer) {
        received_.push_back(byte);
        return;
    }
    held_ = true;  // waits in the shift register until the next start bit
    held_byte_ = byte;
}

// A start bit: the byte in the shift register moves into the buffer, or is
// lost when the buffer is still full.
void Usart::settle_held_byte() {
    if (!held_) return;
    held_ = false;
    if (received_.size() < kReceiveBuffer) {
        received_.push_back(held_byte_);
    } else {
        ++losses_.overrun;
        overrun_ = true;
    }
}

uint8_t Usart::read_data(avr_t*, uint16_t, void* param) {
    Usart& u = usart(param);
    if (u.received_.empty()) return u.last_read_;
    u.last_read_ = u.received_.front();
    u.received_.pop_front();
    u.overrun_ = false;
    if (u.held_) {
        u.held_ = false;
        u.received_.push_back(u.held_byte_);
    }
    u.publish_status();
    return u.last_read_;
}

// ---- chip to host -------------------------------------------------------------

void Usart::write_data(avr_t* avr, uint16_t, uint8_t value, void* param) {
    Usart& u = usart(param);
    if ((avr->data[u.registers_.control] & kTransmitterOn) == 0) return;
    if (!u.sending_) {
        avr_cycle_timer_register(avr, u.start_sending(value), send_done, param);
    } else if (!u.buffer_full_) {
        u.buffer_full_ = true;
        u.buffer_ = value;
    }
    // Written while UDRE was clear: the chip ignores it too.
    u.publish_status();
}

// The byte goes into the shift register; returns the length of its frame.
uint64_t Usart::start_sending(uint8_t byte) {
    sending_ = true;
    sent_ = false;
    shifting_ = byte;
    // A host that is not there loses nothing it could count; one at another
    // rate reads garbage.
    shifting_lost_ = !host_present_ || !rates_match(host_rate_, rate());
    if (host_present_ && shifting_lost_) ++losses_.to_host;
    return frame_cycles(rate());
}

uint64_t Usart::send_done(avr_t*, uint64_t when, void* param) { return usart(param).next_to_host(when); }

// The byte in the shift register is wholly on the line; the one waiting in
// UDR0 follows at once.
uint64_t Usart::next_to_host(uint64_t when) {
    record(when, false, shifting_);
    if (!shifting_lost_) delivered_.push_back(shifting_);
    uint64_t next = 0;
    if (buffer_full_) {
        buffer_full_ = false;
        next = when + start_sending(buffer_);
    } else {
        sending_ = false;
        sent_ = true;
    }
    publish_status();
    return next;
}

// ---- status and control -------------------------------------------------------

// U2X and MPCM are settings; TXC is cleared by writing a one to it; the
// other bits are the USART's own.
void Usart::write_status(avr_t*, uint16_t, uint8_t value, void* param) {
    Usart& u = usart(param);
    u.settings_ = value & (kDoubleSpeed | kMultiProcessor);
    if ((value & kTransmitComplete) != 0) u.sent_ = false;
    u.publish_status();
}

// Turning the receiver off empties its buffer.
void Usart::write_control(avr_t* avr, uint16_t addr, uint8_t value, void* param) {
    Usart& u = usart(param);
    avr->data[addr] = value;
    if ((value & kReceiverOn) == 0) {
        u.received_.clear();
        u.held_ = false;
        u.overrun_ = false;
    }
    u.publish_status();
}

}  // namespace emulator
