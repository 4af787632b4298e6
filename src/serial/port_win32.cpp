// The serial port on Windows: the Win32 communications interface, one byte
// per call, reads that never wait. This file owns the port's device-control
// record and time-outs; nothing else touches them.
#include <windows.h>

#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "serial/serial.h"

namespace {

// The device-control record the port is configured with is the 28-byte one
// every Win32 version knows.
constexpr DWORD kDcbLength = 28;
static_assert(sizeof(DCB) == kDcbLength, "DCB layout");

constexpr DWORD kNeutralLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);  // 0x400
constexpr std::size_t kSystemTextCapacity = 512;

// A WriteFile that succeeds without writing waited out the driver's write
// time-out; the byte is tried again this many times before the write is
// reported as failed, so that no byte is ever dropped silently.
constexpr int kWriteRetryLimit = 100;

// The "device prefix" that lets CreateFileA open any COM number (COM10 and
// above are not found by their bare names).
constexpr const char* kDevicePrefix = "\\\\.\\";

struct SerialPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::array<char, PATH_MAX> name{};
    DCB control{};
    int32_t remembered_rate = 0;
    DWORD error_word = 0;
    COMSTAT queue_status{};
    BOOL last_result = FALSE;
    bool gone = false;             // the device vanished and the re-open failed
    DWORD pending_read_error = 0;  // a failure found by receive_count, reported by read_byte
    bool modem_lines_reported = false;
    bool timer_raised = false;
};

SerialPort port;

// The text the system has for an error code, "" when it has none. Writes
// at most capacity bytes including the NUL.
void system_text(DWORD code, char* text, std::size_t capacity) {
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             kNeutralLanguage, text, static_cast<DWORD>(capacity), nullptr);
    if (n == 0) text[0] = '\0';
}

// The system's text for a failed call, unchanged, on standard error (the
// texts end in a line break of their own). A code without a text is shown
// by its number.
void print_system_error_code(DWORD code) {
    char text[kSystemTextCapacity];
    system_text(code, text, sizeof text);
    std::fflush(stdout);
    if (text[0] != '\0')
        std::fputs(text, stderr);
    else
        std::fprintf(stderr, "System error %lu\n", static_cast<unsigned long>(code));
    std::fflush(stderr);
}

void print_system_error() { print_system_error_code(GetLastError()); }

bool is_com_name(const char* name) {
    if (std::strlen(name) < 4) return false;
    if (std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M')
        return false;
    const char* p = name + 3;
    if (!std::isdigit(static_cast<unsigned char>(*p)) || *p == '0') return false;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    if (*p == ':') ++p;
    return *p == '\0';
}

// Reads that return at once with what has come; writes keep the driver's
// time-outs. Each step ends the set-up quietly if its call fails.
void configure_line(HANDLE handle) {
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(handle, &timeouts)) return;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &timeouts)) return;

    DCB control{};
    control.DCBlength = kDcbLength;
    if (!GetCommState(handle, &control)) return;
    control.ByteSize = 8;
    control.Parity = NOPARITY;
    control.StopBits = ONESTOPBIT;
    control.fParity = 0;
    control.fOutxCtsFlow = 0;
    control.fOutxDsrFlow = 0;
    control.fDtrControl = DTR_CONTROL_DISABLE;
    control.fDsrSensitivity = 0;
    control.fOutX = 0;
    control.fInX = 0;
    control.fErrorChar = 0;
    control.fNull = 0;
    control.fRtsControl = RTS_CONTROL_DISABLE;
    control.fAbortOnError = 0;
    SetCommState(handle, &control);
}

// A device without modem lines refuses every DTR change; say so once per
// run, not at every open and pulse.
void report_modem_line_failure(DWORD code) {
    bool unsupported = code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION;
    if (unsupported && port.modem_lines_reported) return;
    if (unsupported) port.modem_lines_reported = true;
    print_system_error_code(code);
}

// The read-failure report: on standard output, the system text released
// as it was delivered.
void report_read_failure(DWORD code) {
    std::printf("Bad read result\n");
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, kNeutralLanguage, reinterpret_cast<char*>(&text), 0, nullptr);
    if (n != 0 && text != nullptr)
        std::printf("%s\n", text);
    else
        std::printf("System error %lu\n", static_cast<unsigned long>(code));
    if (text != nullptr) LocalFree(text);
    std::fflush(stdout);
}

// After a failed read: close, open again by the stored name, apply the
// remembered rate. A port that cannot be opened again is gone until
// reopen_port brings it back.
void reopen_after_failure() {
    close_port();
    char name[PATH_MAX];
    std::snprintf(name, sizeof name, "%s", port.name.data());
    if (open_port(name) == 1)
        set_baud_rate(port.remembered_rate);
    else
        port.gone = true;
}

// The 1 ms polls need a 1 ms system timer; the default tick is far coarser.
void raise_timer_resolution() {
    if (port.timer_raised) return;
    port.timer_raised = timeBeginPeriod(1) == TIMERR_NOERROR;
    if (port.timer_raised) std::atexit([] { timeEndPeriod(1); });
}

}  // namespace

// COMn and Comn: (any case, colon optional) open as \\.\COMn, which finds
// every COM number (COM10 and above are not found by their bare names); any
// other name is handed over as it stands.
bool port_device_path(const char* name, char* path, std::size_t capacity) {
    int written = 0;
    if (is_com_name(name)) {
        std::size_t digits_end = 3;
        while (std::isdigit(static_cast<unsigned char>(name[digits_end]))) ++digits_end;
        written = std::snprintf(path, capacity, "%sCOM%.*s", kDevicePrefix, static_cast<int>(digits_end - 3),
                                name + 3);
    } else {
        written = std::snprintf(path, capacity, "%s", name);
    }
    return written >= 0 && static_cast<std::size_t>(written) < capacity;
}

int open_port(const char* name) {
    // A name that does not fit would open another device: refuse it.
    char path[PATH_MAX + 8];
    if (std::strlen(name) >= port.name.size() || !port_device_path(name, path, sizeof path)) return 0;
    // The name may be the port's own (a re-open): keep it before closing.
    std::array<char, PATH_MAX> given{};
    std::memcpy(given.data(), name, std::strlen(name) + 1);
    close_port();  // a port opened again lets go of its old handle
    port.name = given;
    raise_timer_resolution();
    port.handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (port.handle == INVALID_HANDLE_VALUE) return 0;
    configure_line(port.handle);
    set_dtr(0);
    port.gone = false;
    return 1;
}

void set_dtr(int level) {
    if (!EscapeCommFunction(port.handle, level != 0 ? SETDTR : CLRDTR))
        report_modem_line_failure(GetLastError());
}

int set_baud_rate(int32_t rate) {
    port.control.DCBlength = kDcbLength;
    GetCommState(port.handle, &port.control);
    port.remembered_rate = rate;
    if (rate <= 0) {
        print_system_error_code(ERROR_INVALID_PARAMETER);
        return 0;
    }
    port.control.BaudRate = static_cast<DWORD>(rate);
    if (!SetCommState(port.handle, &port.control)) {
        print_system_error();
        return 0;
    }
    return 1;
}

int send_byte(uint8_t byte) {
    for (int attempt = 0; attempt < kWriteRetryLimit; ++attempt) {
        DWORD written = 0;
        if (!WriteFile(port.handle, &byte, 1, &written, nullptr)) {
            print_system_error();
            return 1;
        }
        if (written == 1) return 0;
        check_pending_signal();
    }
    print_system_error_code(ERROR_TIMEOUT);
    return 1;
}

uint32_t receive_count() {
    if (port.handle == INVALID_HANDLE_VALUE || port.gone) return 0;
    if (port.pending_read_error != 0) return 1;
    port.last_result = ClearCommError(port.handle, &port.error_word, &port.queue_status);
    if (!port.last_result) {
        // A port that cannot say what it holds has failed (an unplugged
        // adapter): count it as something to read so read_byte reports it
        // and re-opens the port, instead of returning a stale count.
        port.pending_read_error = GetLastError();
        return 1;
    }
    return port.queue_status.cbInQue;
}

bool byte_waiting() { return receive_count() > 0; }

int read_byte(uint8_t* out) {
    if (port.gone) return -1;
    DWORD failure = port.pending_read_error;
    port.pending_read_error = 0;
    DWORD count = 0;
    if (failure == 0) {
        uint8_t byte = 0;
        port.last_result = ReadFile(port.handle, &byte, 1, &count, nullptr);
        if (port.last_result && count > 0) {
            *out = byte;
            return 1;
        }
        if (!port.last_result) failure = GetLastError();
    }
    if (failure != 0) {
        report_read_failure(failure);
        reopen_after_failure();
    }
    return -1;
}

void close_port() {
    if (port.handle != INVALID_HANDLE_VALUE && port.handle != nullptr) CloseHandle(port.handle);
    port.handle = INVALID_HANDLE_VALUE;
    port.pending_read_error = 0;
}

void sleep_ms(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
    check_pending_signal();
}

void wait_for_byte_ms(int ms) {
    for (int i = 0; i < ms; ++i) {
        if (receive_count() > 0) return;
        sleep_ms(1);
    }
}

bool port_is_gone() { return port.gone; }

int reopen_port() {
    char name[PATH_MAX];
    std::snprintf(name, sizeof name, "%s", port.name.data());
    int32_t rate = port.remembered_rate;
    close_port();
    if (open_port(name) != 1) {
        port.gone = true;
        return 0;
    }
    set_baud_rate(rate);
    return 1;
}

const char* port_name() { return port.name.data(); }
