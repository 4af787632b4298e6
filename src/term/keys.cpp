// The keys beyond the specified key map: an exit key of one's choice,
// cursor and function keys as the sequences a VT100 or an xterm sends, and
// what a key sends mapped and echoed.
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "console/console.h"
#include "serial/serial.h"
#include "term/term.h"
#include "term/upload.h"

TerminalOptions terminal_options;

namespace {

struct KeySequence {
    int second_code;  // of the two-code form
    std::string_view sequence;
};

// The PC keyboard's second codes, as both consoles give them; F11 and F12
// come as 133 and 134 from a terminal's sequences and as their scan codes
// 87 and 88 from the Windows console.
// clang-format off
constexpr KeySequence kVt100Keys[] = {
    {72, "\x1b[A"},    {80, "\x1b[B"},    {77, "\x1b[C"},    {75, "\x1b[D"},    // Up, Down, Right, Left
    {71, "\x1b[H"},    {79, "\x1b[F"},    {82, "\x1b[2~"},   {83, "\x1b[3~"},   // Home, End, Insert, Delete
    {73, "\x1b[5~"},   {81, "\x1b[6~"},                                          // Page Up, Page Down
    {59, "\x1bOP"},    {60, "\x1bOQ"},    {61, "\x1bOR"},    {62, "\x1bOS"},    // F1 to F4
    {63, "\x1b[15~"},  {64, "\x1b[17~"},  {65, "\x1b[18~"},  {66, "\x1b[19~"},  // F5 to F8
    {67, "\x1b[20~"},  {68, "\x1b[21~"},  {133, "\x1b[23~"}, {134, "\x1b[24~"}, // F9 to F12
    {87, "\x1b[23~"},  {88, "\x1b[24~"},
};
// clang-format on

// The control chords an exit key may be: Ctrl-A to Ctrl-Z and Ctrl-[ to
// Ctrl-_ (Ctrl-@ is the first code of the two-code keys).
constexpr std::string_view kCtrlPrefix = "ctrl-";
constexpr std::string_view kEscName = "esc";
constexpr int kControlMask = 0x1F;

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void send_all(const uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) send_byte_checked(bytes[i]);
}

// A cursor or function key: its sequence, or the two-code form for a key
// that has none. It has no text to echo.
void send_extended_key(int second_code) {
    std::string_view sequence = vt100_key_sequence(second_code);
    if (!sequence.empty()) {
        send_all(reinterpret_cast<const uint8_t*>(sequence.data()), sequence.size());
        return;
    }
    const uint8_t two_codes[] = {0, static_cast<uint8_t>(second_code)};
    send_all(two_codes, sizeof two_codes);
}

}  // namespace

int exit_key_code(std::string_view name) {
    std::string given = lower(name);
    if (given == kEscName) return kKeyEsc;
    if (given.size() != kCtrlPrefix.size() + 1 || !given.starts_with(kCtrlPrefix)) return -1;
    char key = static_cast<char>(std::toupper(static_cast<unsigned char>(given.back())));
    if ((key >= 'A' && key <= 'Z') || (key >= '[' && key <= '_')) return key & kControlMask;
    return -1;
}

std::string_view vt100_key_sequence(int second_code) {
    for (const KeySequence& key : kVt100Keys)
        if (key.second_code == second_code) return key.sequence;
    return {};
}

bool is_exit_key(int code) {
    if (terminal_options.exit_key >= 0) return code == terminal_options.exit_key;
    return code == kKeyEsc || code == kKeyCtrlC;
}

void send_key(int code) {
    if (code >= kExtendedKey) {
        send_extended_key(code - kExtendedKey);
        return;
    }
    MappedBytes mapped = map_byte(terminal_options.map_out, static_cast<uint8_t>(code & 0xFF));
    send_all(mapped.bytes.data(), mapped.length);
    if (terminal_options.echo) show_echo(mapped.bytes.data(), mapped.length);
}
