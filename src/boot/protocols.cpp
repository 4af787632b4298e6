// Where a dialogue is chosen: one row per name --protocol takes, and what
// a dialogue answers to the questions it does not have.
#include <iterator>
#include <string>
#include <string_view>

#include "base/fatal.h"
#include "base/run_options.h"
#include "boot/protocol.h"
#include "console/console.h"

namespace {

// The program's own bootloader listens at the download rate after the
// application's wake-up (-t) or a reset the command line asks for.
constexpr ProtocolChoice kTamborvine{"tamborvine", 0, 0, true};

// The boards' bootloaders listen at 115200 baud (the Uno's and the 1284P
// boards'; older boards take -r), for a second after a reset that the
// adapter's DTR and RTS give through the board's auto-reset capacitor.
constexpr ProtocolChoice kStk500v1{"stk500v1", 115200, kResetDtr | kResetRts, false};

struct ProtocolRow {
    std::string_view name;  // as --protocol takes it
    const ProtocolChoice* choice;
    std::unique_ptr<BootProtocol> (*make)();
};

constexpr ProtocolRow kProtocols[] = {
    {"tamborvine", &kTamborvine, make_tamborvine_protocol},
    {"stk500v1", &kStk500v1, make_stk500v1_protocol},
    {"arduino", &kStk500v1, make_stk500v1_protocol},
};

const ProtocolRow* find_row(const char* name) {
    if (name == nullptr) name = kDefaultProtocol;
    for (const ProtocolRow& row : kProtocols)
        if (row.name == name) return &row;
    return nullptr;
}

}  // namespace

const ProtocolChoice* find_protocol(const char* name) {
    const ProtocolRow* row = find_row(name);
    return row == nullptr ? nullptr : row->choice;
}

const char* protocol_names() {
    static const std::string names = [] {
        std::string text;
        for (std::size_t i = 0; i < std::size(kProtocols); ++i) {
            if (i > 0) text += i + 1 == std::size(kProtocols) ? " or " : ", ";
            text += kProtocols[i].name;
        }
        return text;
    }();
    return names.c_str();
}

std::unique_ptr<BootProtocol> make_protocol(const char* name) {
    const ProtocolRow* row = find_row(name);
    return row == nullptr ? nullptr : row->make();
}

Answer BootProtocol::hash_pages(uint32_t, std::vector<uint32_t>&) { return Answer::not_supported; }

Answer BootProtocol::read_pages(uint32_t, uint32_t, std::vector<uint8_t>&) { return Answer::not_supported; }

PassResult BootProtocol::verify_pages(const std::vector<bool>&) { return PassResult{}; }

Answer BootProtocol::write_eeprom(uint32_t, std::span<const uint8_t>) { return Answer::not_supported; }

Answer BootProtocol::read_eeprom(uint32_t, uint32_t, std::vector<uint8_t>&) { return Answer::not_supported; }

const char* BootProtocol::no_eeprom_reason(bool) const {
    return "this bootloader's dialogue has no EEPROM commands";
}

bool BootProtocol::bootloader_answers() { return false; }

void BootProtocol::hold_application() {
    console_print("Verify failed: application not started, the board stays in its bootloader\r\n");
}

void BootProtocol::refuse_image(const TargetIdentity&) { report_error(kFlashAddressTooBig); }
