// The serial device on Windows: the Win32 communications interface, reads
// that never wait. This file owns the device's control record and
// time-outs; nothing else touches them.
#include <windows.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "base/text.h"
#include "serial/device.h"
#include "serial/serial.h"

namespace {

// The device-control record the port is configured with is the 28-byte one
// every Win32 version knows.
constexpr DWORD kDcbLength = 28;
static_assert(sizeof(DCB) == kDcbLength, "DCB layout");

constexpr DWORD kNeutralLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);  // 0x400

// A write waits this long for the driver to take its bytes (the driver's
// write time-out); write_some tries again until its own wait is used up.
constexpr DWORD kWriteSliceMs = 10;

// When the port lets the device go, what it still holds to send gets this
// long to go out; the rest is dropped.
constexpr int kLetGoWaitMs = 1000;
constexpr int kLetGoLookMs = 5;

// What the device had when the port first opened it (its control record,
// with the DTR and RTS modes, and its time-outs): put back whenever the
// port lets it go, also after a re-open of the same path, as other serial
// programs leave a port. Plain data only: the port is let go at exit.
struct FoundSettings {
    std::array<char, kPathCapacity> path{};
    bool control_known = false;
    DCB control{};
    bool timeouts_known = false;
    COMMTIMEOUTS timeouts{};
};

FoundSettings found;

// The "device prefix" that lets CreateFileA open any COM number (COM10 and
// above are not found by their bare names).
constexpr const char* kDevicePrefix = "\\\\.\\";

// A device that cannot signal received bytes is asked this often while
// the program waits on it.
constexpr int kPolledWaitMs = 10;
// Comm event waits in a row that end without an event before the device
// counts as one that cannot signal.
constexpr int kEmptyEventLimit = 3;
// How long closing a device waits for its comm event wait to end.
constexpr DWORD kCloseWaitMs = 1000;

bool timer_raised = false;

// The system's text for an error code as it gives it (with its line end);
// a code without a text by its number.
std::string system_text(DWORD code) {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, kNeutralLanguage, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string said = n != 0 && text != nullptr ? std::string(text) : "System error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    return said;
}

// The same without its line end, for the middle of a line.
std::string system_words(DWORD code) {
    std::string text = system_text(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Why CreateFileA refused a port: a port another program has open is
// refused with "access denied" (a driver lets one program have a port).
OpenError open_refusal(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_BAD_UNIT: return {OpenCause::no_such_device, {}};
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY: return {OpenCause::in_use, " (" + system_words(code) + ")"};
        default: return {OpenCause::other, system_words(code)};
    }
}

DeviceError failure(DWORD code) { return DeviceError{DeviceError::Kind::failed, code}; }

DeviceError last_failure() { return failure(GetLastError()); }

bool output_queue(HANDLE handle, DWORD* queued) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status)) return false;
    *queued = status.cbOutQue;
    return true;
}

void take_found_settings(HANDLE handle, const char* path) {
    if (found.path[0] != '\0' && std::strcmp(found.path.data(), path) == 0) return;
    if (!copy_text(found.path, path)) found.path[0] = '\0';
    found.control = DCB{};
    found.control.DCBlength = kDcbLength;
    found.control_known = GetCommState(handle, &found.control) != 0;
    found.timeouts_known = GetCommTimeouts(handle, &found.timeouts) != 0;
}

// Runs at exit too: no stop check here, only bounded waits.
void put_found_settings(HANDLE handle) {
    bool drained = false;
    for (int waited = 0; waited < kLetGoWaitMs && !drained; waited += kLetGoLookMs) {
        DWORD queued = 0;
        drained = !output_queue(handle, &queued) || queued == 0;
        if (!drained) Sleep(kLetGoLookMs);
    }
    // Stuck: what is left is dropped, so that the close does not wait on it.
    if (!drained) PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
    if (found.timeouts_known) SetCommTimeouts(handle, &found.timeouts);
    if (found.control_known) SetCommState(handle, &found.control);
}

// XON and XOFF, and how full the driver's receive buffer may get before it
// sends XOFF (and how empty before XON), in bytes.
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
constexpr WORD kXonLimit = 512;
constexpr WORD kXoffLimit = 512;

// The frame and flow control in the control record. RTS follows the
// driver's handshake under rts-cts; otherwise the port drives it.
void put_line_settings(DCB& control, const LineSettings& settings) {
    static constexpr BYTE kParityCodes[] = {NOPARITY, EVENPARITY, ODDPARITY};
    control.ByteSize = settings.data_bits;
    control.Parity = kParityCodes[static_cast<int>(settings.parity)];
    control.fParity = settings.parity != Parity::none;
    control.StopBits = settings.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    bool hardware = settings.flow == FlowControl::rts_cts;
    control.fOutxCtsFlow = hardware;
    control.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    bool software = settings.flow == FlowControl::xon_xoff;
    control.fOutX = software;
    control.fInX = software;
    control.XonChar = kXon;
    control.XoffChar = kXoff;
    control.XonLim = kXonLimit;
    control.XoffLim = kXoffLimit;
}

// Reads that return at once with what has come; writes that wait at most
// kWriteSliceMs for the driver to take them. Each step ends the set-up
// quietly if its call fails.
void configure_line(HANDLE handle) {
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(handle, &timeouts)) return;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteSliceMs;
    if (!SetCommTimeouts(handle, &timeouts)) return;

    DCB control{};
    control.DCBlength = kDcbLength;
    if (!GetCommState(handle, &control)) return;
    put_line_settings(control, LineSettings{});  // 8-N-1, no flow control, RTS off
    control.fOutxDsrFlow = 0;
    control.fDtrControl = DTR_CONTROL_DISABLE;
    control.fDsrSensitivity = 0;
    control.fErrorChar = 0;
    control.fNull = 0;
    control.fAbortOnError = 0;
    SetCommState(handle, &control);
}

// One overlapped operation's record and its event (manual reset, as
// GetOverlappedResult wants).
struct Overlapped {
    OVERLAPPED record{};
    Overlapped() { record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        if (record.hEvent != nullptr) CloseHandle(record.hEvent);
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    OVERLAPPED* fresh() {
        HANDLE event = record.hEvent;
        record = OVERLAPPED{};
        record.hEvent = event;
        ResetEvent(event);
        return &record;
    }
};

// A comm handle: a serial adapter, a built-in port, a virtual port. It is
// opened for overlapped I/O so that a wait for received bytes (a comm event
// wait) can be waited on beside the console; reads and writes still finish
// before they return, as on a handle without it.
class CommDevice final : public Device {
   public:
    explicit CommDevice(HANDLE handle) : handle_(handle) {
        // Received bytes signal an event; a device without comm events is
        // polled instead.
        comm_events_ = comm_event_.record.hEvent != nullptr && SetCommMask(handle_, EV_RXCHAR) != 0;
    }

    ~CommDevice() override {
        put_found_settings(handle_);
        if (event_wait_pending_) {
            // The pending wait ends when the mask changes; its record must
            // outlive it.
            SetCommMask(handle_, 0);
            CancelIo(handle_);
            WaitForSingleObject(comm_event_.record.hEvent, kCloseWaitMs);
        }
        CloseHandle(handle_);  // cancels what is still pending
        if (event_wait_pending_) WaitForSingleObject(comm_event_.record.hEvent, kCloseWaitMs);
    }

    std::size_t read_some(uint8_t* buffer, std::size_t capacity, DeviceError* error) override {
        DWORD queued = 0;
        // A port that cannot say what it holds has failed (an unplugged
        // adapter): a failure, not a stale count.
        if (!input_queue(&queued)) {
            *error = last_failure();
            return 0;
        }
        if (queued == 0) return 0;
        DWORD wanted = queued < capacity ? queued : static_cast<DWORD>(capacity);
        DWORD count = 0;
        // The read time-outs make it return at once with what has come.
        if (!finish(ReadFile(handle_, buffer, wanted, nullptr, read_.fresh()), read_, &count))
            *error = last_failure();
        return count;
    }

    uint32_t queued_count() override {
        DWORD queued = 0;
        return input_queue(&queued) ? queued : 0;
    }

    int wait_source(WaitSource::Kind kind, WaitSource* source) override {
        // Output: the write itself waits for room.
        if (kind != WaitSource::Kind::readable) return 0;
        if (event_wait_pending_) {
            if (!HasOverlappedIoCompleted(&comm_event_.record)) return event_source(source);
            DWORD ignored = 0;
            GetOverlappedResult(handle_, &comm_event_.record, &ignored, FALSE);
            event_wait_pending_ = false;
            note_event();
        }
        DWORD queued = 0;
        if (!input_queue(&queued) || queued > 0) return 0;
        if (!comm_events_) return kPolledWaitMs;
        // A byte that came since the check above was noted by the driver:
        // the wait then ends at once.
        event_mask_ = 0;
        if (WaitCommEvent(handle_, &event_mask_, comm_event_.fresh())) {
            note_event();
            return 0;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            comm_events_ = false;  // it refused: poll it from now on
            return kPolledWaitMs;
        }
        event_wait_pending_ = true;
        return event_source(source);
    }

    // A write that ends without writing waited out the driver's write
    // time-out (kWriteSliceMs) without room.
    std::size_t write_some(const uint8_t* bytes, std::size_t count, int wait_ms,
                           DeviceError* error) override {
        for (int waited = 0;; waited += static_cast<int>(kWriteSliceMs)) {
            DWORD written = 0;
            if (!finish(WriteFile(handle_, bytes, static_cast<DWORD>(count), nullptr, write_.fresh()), write_,
                        &written)) {
                *error = last_failure();
                return 0;
            }
            if (written > 0 || waited + static_cast<int>(kWriteSliceMs) >= wait_ms) return written;
            check_pending_signal();
        }
    }

    DeviceError set_rate(uint32_t rate) override {
        DCB control{};
        control.DCBlength = kDcbLength;
        GetCommState(handle_, &control);
        control.BaudRate = rate;
        if (!SetCommState(handle_, &control)) return last_failure();
        return DeviceError{};
    }

    DeviceError set_modem_line(ModemLine line, bool raised) override {
        DWORD function = line == ModemLine::dtr ? (raised ? SETDTR : CLRDTR) : (raised ? SETRTS : CLRRTS);
        if (EscapeCommFunction(handle_, function)) return DeviceError{};
        DWORD code = GetLastError();
        if (code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION)
            return DeviceError{DeviceError::Kind::no_modem_lines, code};
        return failure(code);
    }

    DeviceError set_line(const LineSettings& settings) override {
        DCB control{};
        control.DCBlength = kDcbLength;
        if (!GetCommState(handle_, &control)) return last_failure();
        put_line_settings(control, settings);
        if (!SetCommState(handle_, &control)) return last_failure();
        return DeviceError{};
    }

   private:
    // Waits for an overlapped read or write that was started to end; true
    // when it succeeded, with the bytes it moved in *count.
    bool finish(BOOL started, Overlapped& operation, DWORD* count) {
        if (!started && GetLastError() != ERROR_IO_PENDING) return false;
        return GetOverlappedResult(handle_, &operation.record, count, TRUE) != 0;
    }

    // A comm event wait that ends with no event is a driver that cannot
    // watch the line (a pseudo-terminal behind a compatibility layer ends
    // every such wait at once): after a few in a row the device is polled.
    void note_event() {
        if (event_mask_ != 0)
            empty_events_ = 0;
        else if (++empty_events_ >= kEmptyEventLimit)
            comm_events_ = false;
    }

    int event_source(WaitSource* source) {
        *source = WaitSource{reinterpret_cast<std::intptr_t>(comm_event_.record.hEvent),
                             WaitSource::Kind::readable};
        return kWaitForever;
    }

    bool input_queue(DWORD* queued) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle_, &errors, &status)) return false;
        *queued = status.cbInQue;
        return true;
    }

    HANDLE handle_;
    Overlapped read_;
    Overlapped write_;
    Overlapped comm_event_;
    DWORD event_mask_ = 0;  // what the comm event wait saw; not looked at
    bool comm_events_ = false;
    int empty_events_ = 0;  // comm event waits in a row that ended without an event
    bool event_wait_pending_ = false;
};

}  // namespace

// COMn opens as \\.\COMn, which finds every COM number (COM10 and above
// are not found by their bare names).
std::string com_device_path(int64_t number) {
    return std::string(kDevicePrefix) + "COM" + std::to_string(number);
}

// Most COM ports beyond the built-in ones are USB adapters'.
bool usb_adapter_path(const std::string& path) { return path.rfind(kDevicePrefix, 0) == 0; }

void forget_found_settings() { found.path[0] = '\0'; }

// The 1 ms polls need a 1 ms system timer; the default tick is far coarser.
void use_fine_timer() {
    if (timer_raised) return;
    timer_raised = timeBeginPeriod(1) == TIMERR_NOERROR;
    if (timer_raised) std::atexit([] { timeEndPeriod(1); });
}

std::unique_ptr<Device> open_local_device(const char* path, OpenError* error) {
    use_fine_timer();
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = open_refusal(GetLastError());
        return nullptr;
    }
    // A file or a pipe opens as well; only a device with a comm state is a
    // serial port.
    DCB control{};
    control.DCBlength = kDcbLength;
    if (!GetCommState(handle, &control)) {
        *error = OpenError{OpenCause::not_a_port, " (" + system_words(GetLastError()) + ")"};
        CloseHandle(handle);
        return nullptr;
    }
    take_found_settings(handle, path);
    configure_line(handle);  // RTS is off in the control record
    // What came in while no program had the port (a virtual port whose
    // other end keeps it) is not this run's: a serial port starts empty.
    PurgeComm(handle, PURGE_RXCLEAR);
    return std::make_unique<CommDevice>(handle);
}

// The system's text unchanged but for the line break it ends in; a code
// without a text is shown by its number.
std::string device_error_text(const DeviceError& error) {
    DWORD code = static_cast<DWORD>(error.code);
    switch (error.kind) {
        case DeviceError::Kind::hung_up: code = ERROR_HANDLE_EOF; break;
        case DeviceError::Kind::timed_out: return kTimedOutText;
        case DeviceError::Kind::not_open: code = ERROR_INVALID_HANDLE; break;
        case DeviceError::Kind::bad_value: code = ERROR_INVALID_PARAMETER; break;
        default: break;
    }
    std::string text = system_text(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}
