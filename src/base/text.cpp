// What the target sends reaches a message only in a form that cannot drive
// the user's terminal.
#include "base/text.h"

namespace {

bool may_drive_the_terminal(unsigned char b) {
    if (b == '\r' || b == '\n' || b == '\t' || b == '\b') return false;
    return b < 0x20 || b == 0x7F || (b >= 0x80 && b <= 0x9F);
}

}  // namespace

std::string shown_target_bytes(std::string_view bytes) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(bytes.size());
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (!may_drive_the_terminal(b)) {
            shown += c;
            continue;
        }
        shown += '<';
        shown += kHexDigits[b >> 4];
        shown += kHexDigits[b & 0xF];
        shown += '>';
    }
    return shown;
}
