// The VT100 subset: a byte-at-a-time interpreter for the cursor, erase and
// line-feed controls that targets send. Characters go to standard output;
// cursor placement and clearing go through the console operations.
#include <cstdint>

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

void feed_ground(int b) {
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

void feed_control_sequence(int b) {
    if (b >= '0' && b <= '9') {
        add_digit(b - '0');
        return;
    }
    switch (b) {
        case ';': next_parameter(); break;
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
