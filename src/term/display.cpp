// Received bytes on the console and in the log: hex only, text with hex
// escapes, or through the VT100 subset; time tags in front of received
// lines under -T.
#include <cstdio>
#include <cstring>

#include "base/run_options.h"
#include "console/console.h"
#include "term/term.h"

DisplayMode display_mode = DisplayMode::VT_MODE;

namespace {

constexpr int kCr = 13;
constexpr int kLf = 10;
constexpr char kHexDigits[] = "0123456789abcdef";

// Shared by ASCII_HEX and VT_MODE: set by a line end, cleared by a tag.
bool line_start = false;
int previous_byte = 0;

bool is_printable(int b) { return b >= 32 && b <= 126; }
bool is_line_byte(int b) { return is_printable(b) || b == kCr || b == kLf; }

void append(ByteText& text, char c) {
    if (text.length < text.bytes.size()) text.bytes[text.length++] = c;
}

void append_hex(ByteText& text, int byte) {
    append(text, kHexDigits[(byte >> 4) & 0xF]);
    append(text, kHexDigits[byte & 0xF]);
}

void to_console(const ByteText& text) { console_write(text.bytes.data(), text.length); }

void to_log(const ByteText& text) { log_write(text.bytes.data(), text.length); }

void to_log(const char* text) { log_write(text, std::strlen(text)); }

// One reading of the clock for both the console and the log; a log that
// tags its lines itself (--log-time) does not take the screen's tag.
void write_time_tag() {
    char tag[kTimeTagCapacity];
    std::size_t length = format_time_tag(time_of_day(), tag, sizeof tag, terminal_options.time_format);
    console_write(tag, length);
    if (!terminal_options.log_time) log_write(tag, length);
    line_start = false;
}

// Under --log-time the hex log ends a line after each received LF, so that
// its lines are tagged as the text modes' are.
void show_hex_only(int b) {
    ByteText text = hex_only_form(b);
    to_console(text);
    to_log(text);
    if (terminal_options.log_time && b == kLf) to_log("\r\n");
}

void show_ascii_hex(int b) {
    if (!is_line_byte(b)) {
        to_console(escaped_console_form(b));
        to_log(escaped_log_form(b));
        return;
    }
    if (line_start && run_options.time_tags) write_time_tag();
    console_put_byte(static_cast<char>(b));
    to_log(line_byte_log_form(b));
    if (b == kLf) line_start = true;
}

void show_vt(int b) {
    if (!is_line_byte(b)) {
        to_log(escaped_log_form(b));
        vt_feed(b);
        return;
    }
    if (run_options.time_tags) {
        vt_end_character();  // what came before the tag shows before it
        // A line ended by CR alone still starts a new line.
        if (b == kCr && previous_byte != kLf) {
            console_write("\r\n", 2);
            to_log("\r\n");
        }
        if (line_start && is_printable(b)) write_time_tag();
    }
    to_log(line_byte_log_form(b));
    if (b == kCr || b == kLf) line_start = true;
    vt_feed(b);
}

void show_one_byte(int b) {
    switch (display_mode) {
        case DisplayMode::HEX_ONLY: show_hex_only(b); break;
        case DisplayMode::ASCII_HEX: show_ascii_hex(b); break;
        case DisplayMode::VT_MODE: show_vt(b); break;
    }
    previous_byte = b;
}

// An echoed byte in VT_MODE: text (the user's own, from 0x80 on too), a
// line end as a new line (once for CR LF), both erase keys as a step
// back, and no other control.
void echo_as_text(uint8_t b) {
    static uint8_t previous = 0;
    constexpr uint8_t kBs = 8, kTab = 9, kDel = 127;
    if (b == kCr || (b == kLf && previous != kCr))
        console_write("\r\n", 2);
    else if (b == kBs || b == kDel)
        console_put_byte(kBs);
    else if (b == kTab || (b >= 32 && b != kDel))
        console_put_byte(static_cast<char>(b));
    previous = b;
}

// An echoed byte in the hex modes, in their console forms.
void echo_as_hex(uint8_t b) {
    if (display_mode == DisplayMode::HEX_ONLY)
        to_console(hex_only_form(b));
    else if (is_line_byte(b))
        console_put_byte(static_cast<char>(b));
    else
        to_console(escaped_console_form(b));
}

}  // namespace

void show_echo(const uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (display_mode == DisplayMode::VT_MODE)
            echo_as_text(bytes[i]);
        else
            echo_as_hex(bytes[i]);
    }
}

ByteText hex_only_form(int byte) {
    ByteText text;
    append(text, ' ');
    append_hex(text, byte);
    return text;
}

ByteText escaped_console_form(int byte) {
    ByteText text;
    append(text, ' ');
    append(text, '<');
    append_hex(text, byte);
    append(text, '>');
    return text;
}

ByteText escaped_log_form(int byte) {
    ByteText text = escaped_console_form(byte);
    append(text, '\r');
    append(text, '\n');
    return text;
}

ByteText line_byte_log_form(int byte) {
    ByteText text;
    if (byte == kLf) {
        append(text, '\r');
        append(text, '\n');
    } else if (byte != kCr) {
        append(text, static_cast<char>(byte));
    }
    return text;
}

std::size_t format_time_tag(const TimeOfDay& time, char* buffer, std::size_t capacity, TimeFormat format) {
    int n = format == TimeFormat::iso ? std::snprintf(buffer, capacity, "%04d-%02d-%02dT%02d:%02d:%02d.%03d ",
                                                      time.year, time.month, time.day, time.hours,
                                                      time.minutes, time.seconds, time.milliseconds)
                                      : std::snprintf(buffer, capacity, "%2d:%02d:%02d.%02d =", time.hours,
                                                      time.minutes, time.seconds, time.hundredths);
    if (n < 0) return 0;
    return static_cast<std::size_t>(n) < capacity ? static_cast<std::size_t>(n) : capacity - 1;
}

// --map-in converts what the text modes show; HEX_ONLY shows the line's
// bytes as they came.
int show_received_byte(int byte) {
    int b = byte & 0xFF;
    // Only line ends and the erase bytes are ever mapped.
    bool mappable = b == kCr || b == kLf || b == 8 || b == 127;
    if (!mappable || terminal_options.map_in == 0 || display_mode == DisplayMode::HEX_ONLY) {
        show_one_byte(b);
        return 0;
    }
    MappedBytes mapped = map_byte(terminal_options.map_in, static_cast<uint8_t>(b));
    for (std::size_t i = 0; i < mapped.length; ++i) show_one_byte(mapped.bytes[i]);
    return 0;
}
