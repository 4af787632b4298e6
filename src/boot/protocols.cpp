// Where a dialogue is chosen: one row per dialogue, and what a dialogue
// answers to the questions it does not have.
#include <string_view>

#include "boot/protocol.h"

namespace {

struct ProtocolRow {
    std::string_view name;
    std::unique_ptr<BootProtocol> (*make)();
};

constexpr ProtocolRow kProtocols[] = {
    {"tamborvine", make_tamborvine_protocol},
};

}  // namespace

std::unique_ptr<BootProtocol> make_protocol(const char* name) {
    for (const ProtocolRow& row : kProtocols)
        if (row.name == name) return row.make();
    return nullptr;
}

Answer BootProtocol::hash_pages(uint32_t, std::vector<uint32_t>&) { return Answer::not_supported; }

Answer BootProtocol::read_pages(uint32_t, uint32_t, std::vector<uint8_t>&) { return Answer::not_supported; }

Answer BootProtocol::verify_pages(const std::vector<bool>&) { return Answer::not_supported; }

Answer BootProtocol::write_eeprom(uint32_t, const std::vector<uint8_t>&) { return Answer::not_supported; }

Answer BootProtocol::read_eeprom(uint32_t, uint32_t, std::vector<uint8_t>&) { return Answer::not_supported; }
