// The VT100 subset: a byte-at-a-time interpreter for the cursor, erase and
// line-feed controls that targets send. Characters go to standard output;
// cursor placement and clearing go through the console operations.
//
// Bytes from 0x80 on are filtered so that the target never drives the
// user's terminal with a C1 control (CSI, OSC, DCS...): a multi-byte UTF-8
// character is held until it is whole and then written at once, unless it is
// U+0080-U+009F; a byte 0x80-0x9F outside a whole character is dropped like
// the C0 controls; other bytes (single-byte text such as Latin-1) are written
// as they come. Every byte 0x80-0x9F that reaches the screen is therefore
// inside a well-formed character that is no control, and none can combine
// with what is written before or after it into one.
#include <array>
#include <cstdint>
#include <cstdlib>

#include "console/console.h"
#include "term/term.h"

namespace {

constexpr int kEsc = 27;
constexpr int kLastRow = 23;  // the tracked area is 80 columns by 24 rows
constexpr int kLastColumn = 79;
constexpr int kTabWidth = 8;
// Parameters saturate here: large enough for any screen, far from overflow,
// and never one of the erase selectors 0, 1 and 2.
constexpr int kParameterLimit = 65535;
constexpr int kParameterCount = 2;

enum class EscapeState : uint8_t { ground = 0, escape = 1 };

struct VtState {
    EscapeState escape_state = EscapeState::ground;
    int last_byte = 0;  // 27 while the byte right after ESC is due
    int row = 0;
    int column = 0;
    int parameters[kParameterCount] = {0, 0};
    int parameter_index = 0;
};

VtState vt;

// The parameters of the control sequence being read, kept under --colors
// for an SGR final: a longer one is no rendition a target sends, and is
// dropped whole.
constexpr std::size_t kRenditionCapacity = 48;
struct RenditionText {
    std::array<char, kRenditionCapacity> text{};
    std::size_t length = 0;
    bool overlong = false;

    void add(int b) {
        if (length == text.size())
            overlong = true;
        else
            text[length++] = static_cast<char>(b);
    }
};

RenditionText rendition;
bool colors_shown = false;  // the screen is not in its normal colours
bool reset_at_exit_registered = false;

// A UTF-8 character whose first bytes have come and whose rest is due.
struct Utf8Piece {
    std::array<char, 4> bytes{};
    uint8_t length = 0;    // bytes held; 0 when no character is open
    uint8_t expected = 0;  // bytes of the whole character
    uint8_t low = 0x80;    // the range the next byte must lie in
    uint8_t high = 0xBF;
};

Utf8Piece piece;

void write_byte(int byte) { console_put_byte(static_cast<char>(byte)); }

void goto_tracked_position() { console_goto(vt.column + 1, vt.row + 1); }

void vt_clamp_position() {
    if (vt.row < 0) vt.row = 0;
    if (vt.row > kLastRow) vt.row = kLastRow;
    if (vt.column < 0) vt.column = 0;
    if (vt.column > kLastColumn) vt.column = kLastColumn;
}

// The console's newline starts the next line at its left edge, so the
// tracked column follows it there.
void vt_line_feed() {
    write_byte('\n');
    ++vt.row;
    vt.column = 0;
    vt_clamp_position();
}

void vt_erase_display() {
    if (vt.parameters[0] == 2) console_clear();  // the tracked position stays
}

void vt_erase_line() {
    switch (vt.parameters[0]) {
        case 0:
            console_clear_eol();
            goto_tracked_position();
            break;
        case 1:
            for (int column = 1; column <= vt.column + 1; ++column) {
                console_goto(column, vt.row + 1);
                write_byte(' ');
            }
            goto_tracked_position();
            break;
        case 2:
            console_goto(1, vt.row + 1);
            console_clear_eol();
            goto_tracked_position();
            break;
        default: break;  // unknown: nothing, the cursor stays
    }
}

void start_escape() { vt.escape_state = EscapeState::escape; }

// A printed character or TAB moves the console cursor; the tracked column
// follows it up to the right edge of the tracked area.
void advance_column(int columns) {
    vt.column += columns;
    if (vt.column > kLastColumn) vt.column = kLastColumn;
}

// ---- bytes from 0x80 on ------------------------------------------------

constexpr int kFirstC1 = 0x80;
constexpr int kFirstAfterC1 = 0xA0;

// A byte that is no part of a whole character: text from 0xA0 on (a
// single-byte code), a C1 control below, which is dropped.
void write_stray_byte(int b) {
    if (b < kFirstAfterC1) return;
    write_byte(b);
    advance_column(1);
}

// Opens a character at a lead byte: its length and the range of its second
// byte (narrowed where a wider one would be an overlong form, a surrogate or
// beyond U+10FFFF). False for a byte that cannot begin one.
bool open_character(int b) {
    uint8_t expected = 0, low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        expected = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        expected = 3;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        expected = 4;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return false;
    }
    piece.bytes[0] = static_cast<char>(b);
    piece.length = 1;
    piece.expected = expected;
    piece.low = low;
    piece.high = high;
    return true;
}

// A whole character: written at once, unless it is a C1 control
// (U+0080-U+009F, encoded C2 80 to C2 9F).
void close_character() {
    auto second = static_cast<uint8_t>(piece.bytes[1]);
    bool c1 = static_cast<uint8_t>(piece.bytes[0]) == 0xC2 && second < kFirstAfterC1;
    if (!c1) {
        console_write(piece.bytes.data(), piece.length);
        advance_column(1);
    }
    piece.length = 0;
}

// A character that something else cut short: its bytes are strays.
void break_character() {
    for (uint8_t i = 0; i < piece.length; ++i) write_stray_byte(static_cast<uint8_t>(piece.bytes[i]));
    piece.length = 0;
}

void feed_high_byte(int b) {
    if (piece.length != 0) {
        if (b >= piece.low && b <= piece.high) {
            piece.bytes[piece.length++] = static_cast<char>(b);
            piece.low = 0x80;
            piece.high = 0xBF;
            if (piece.length == piece.expected) close_character();
            return;
        }
        break_character();
    }
    if (!open_character(b)) write_stray_byte(b);
}

void feed_ground(int b) {
    if (b >= kFirstC1) {
        feed_high_byte(b);
        return;
    }
    if (piece.length != 0) break_character();
    if (b >= 32) {
        write_byte(b);
        advance_column(1);
        return;
    }
    switch (b) {
        case 8:
            if (vt.column > 0) --vt.column;
            write_byte(b);
            break;
        case 9:
            write_byte(b);
            advance_column(kTabWidth - vt.column % kTabWidth);
            break;
        case 10:
        case 11:
        case 12: vt_line_feed(); break;
        case 13:
            vt.column = 0;
            write_byte(b);
            break;
        case kEsc: start_escape(); break;
        default: break;  // other control bytes show nothing
    }
}

void feed_after_escape(int b) {
    switch (b) {
        case 'D':
            vt_line_feed();
            vt.escape_state = EscapeState::ground;
            break;
        case 'E':
            vt.column = 0;
            vt_line_feed();
            vt.escape_state = EscapeState::ground;
            break;
        case '[':
            vt.parameter_index = 0;
            vt.parameters[0] = 0;
            vt.parameters[1] = 0;
            rendition.length = 0;
            rendition.overlong = false;
            break;  // still escaped; the last byte is no longer ESC
        default: vt.escape_state = EscapeState::ground; break;  // dropped, ESC included
    }
}

void add_digit(int digit) {
    int& p = vt.parameters[vt.parameter_index];
    p = p > (kParameterLimit - digit) / 10 ? kParameterLimit : p * 10 + digit;
}

// Of three or more parameters the first stays and the digits of all the
// rest run together into the second.
void next_parameter() {
    ++vt.parameter_index;
    if (vt.parameter_index < kParameterCount) {
        vt.parameters[vt.parameter_index] = 0;
    } else {
        vt.parameter_index = kParameterCount - 1;
    }
}

void place_cursor() {
    vt.row = vt.parameters[0] - 1;
    vt.column = vt.parameters[1] - 1;
    vt_clamp_position();
    goto_tracked_position();
}

// SGR (final 'm') under --colors: the colours, bold, underline and reset
// reach the screen; every other sequence the subset does not know stays
// dropped.
void select_rendition() {
    if (rendition.overlong) return;
    console_set_rendition(rendition.text.data(), rendition.length);
    colors_shown = true;
    // A fatal stop or a signal ends the run through exit: the screen gets
    // its colours back there.
    if (!reset_at_exit_registered) reset_at_exit_registered = std::atexit([] { vt_end_colors(); }) == 0;
}

void feed_control_sequence(int b) {
    if (b >= '0' && b <= '9') {
        add_digit(b - '0');
        if (terminal_options.colors) rendition.add(b);
        return;
    }
    switch (b) {
        case ';':
            next_parameter();
            if (terminal_options.colors) rendition.add(b);
            break;
        case 'm':
            vt.escape_state = EscapeState::ground;
            if (terminal_options.colors) select_rendition();
            break;
        case 'H':
        case 'f':
            place_cursor();
            vt.escape_state = EscapeState::ground;
            break;
        case 'J':
            vt.escape_state = EscapeState::ground;
            vt_erase_display();
            break;
        case 'K':
            vt.escape_state = EscapeState::ground;
            vt_erase_line();
            break;
        case kEsc: start_escape(); break;                       // abandon it; a new escape begins
        default: vt.escape_state = EscapeState::ground; break;  // the whole sequence is dropped
    }
}

}  // namespace

void vt_end_colors() {
    if (!colors_shown) return;
    console_set_rendition("", 0);
    colors_shown = false;
}

void vt_end_character() {
    if (piece.length != 0) break_character();
}

int vt_feed(int byte) {
    int b = byte & 0xFF;
    if (vt.escape_state == EscapeState::ground) {
        feed_ground(b);
    } else if (vt.last_byte == kEsc) {
        feed_after_escape(b);
    } else {
        feed_control_sequence(b);
    }
    vt.last_byte = b;
    return 1;
}
