// Byte maps of the terminal (--map-in, --map-out): line ends and the erase
// keys converted as other serial terminals name the conversions.
#include <cctype>
#include <string>
#include <string_view>

#include "term/term.h"

namespace {

constexpr uint8_t kBs = 8;
constexpr uint8_t kLf = 10;
constexpr uint8_t kCr = 13;
constexpr uint8_t kDel = 127;

// Who may use a name: both directions, or the one its name says (the
// termios-like names: I... for received bytes, O... for typed ones).
enum class Use : uint8_t { both, in, out };

struct MapName {
    const char* name;
    uint16_t map;
    Use use;
};

// clang-format off
constexpr MapName kMapNames[] = {
    {"crlf", kMapCrLf, Use::both},     {"crcrlf", kMapCrCrLf, Use::both}, {"igncr", kMapIgnCr, Use::both},
    {"lfcr", kMapLfCr, Use::both},     {"lfcrlf", kMapLfCrLf, Use::both}, {"ignlf", kMapIgnLf, Use::both},
    {"bsdel", kMapBsDel, Use::both},   {"delbs", kMapDelBs, Use::both},
    {"icrnl", kMapCrLf, Use::in},      {"inlcr", kMapLfCr, Use::in},      {"inlcrnl", kMapLfCrLf, Use::in},
    {"ocrnl", kMapCrLf, Use::out},     {"onlcrnl", kMapLfCrLf, Use::out}, {"odelbs", kMapDelBs, Use::out},
};
// clang-format on

// The maps that convert one byte: at most one of each group.
constexpr uint16_t kCrMaps = kMapCrLf | kMapCrCrLf | kMapIgnCr;
constexpr uint16_t kLfMaps = kMapLfCr | kMapLfCrLf | kMapIgnLf;

bool same_name(std::string_view given, const char* name) {
    std::string_view known(name);
    if (given.size() != known.size()) return false;
    for (std::size_t i = 0; i < given.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(given[i])) != known[i]) return false;
    return true;
}

const MapName* find_map(std::string_view given, MapDirection direction) {
    Use refused = direction == MapDirection::in ? Use::out : Use::in;
    for (const MapName& row : kMapNames)
        if (row.use != refused && same_name(given, row.name)) return &row;
    return nullptr;
}

bool more_than_one(uint16_t maps) { return (maps & (maps - 1)) != 0; }

MappedBytes one(uint8_t byte) { return MappedBytes{{byte, 0}, 1}; }

MappedBytes two(uint8_t first, uint8_t second) { return MappedBytes{{first, second}, 2}; }

}  // namespace

bool parse_byte_maps(std::string_view names, MapDirection direction, uint16_t* maps, std::string* error) {
    uint16_t taken = 0;
    while (!names.empty()) {
        std::size_t comma = names.find(',');
        std::string_view name = names.substr(0, comma);
        const MapName* row = find_map(name, direction);
        if (row == nullptr) {
            *error = "no map \"" + std::string(name) +
                     "\" (crlf, crcrlf, igncr, lfcr, lfcrlf, ignlf, bsdel, delbs)";
            return false;
        }
        taken |= row->map;
        names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
    }
    if (more_than_one(taken & kCrMaps) || more_than_one(taken & kLfMaps)) {
        *error = "two maps convert the same byte";
        return false;
    }
    *maps = taken;
    return true;
}

MappedBytes map_byte(uint16_t maps, uint8_t byte) {
    switch (byte) {
        case kCr:
            if ((maps & kMapCrLf) != 0) return one(kLf);
            if ((maps & kMapCrCrLf) != 0) return two(kCr, kLf);
            if ((maps & kMapIgnCr) != 0) return MappedBytes{};
            break;
        case kLf:
            if ((maps & kMapLfCr) != 0) return one(kCr);
            if ((maps & kMapLfCrLf) != 0) return two(kCr, kLf);
            if ((maps & kMapIgnLf) != 0) return MappedBytes{};
            break;
        case kBs:
            if ((maps & kMapBsDel) != 0) return one(kDel);
            break;
        case kDel:
            if ((maps & kMapDelBs) != 0) return one(kBs);
            break;
        default: break;
    }
    return one(byte);
}
