// What a port name is, decided in this one place: a network name by its
// scheme, a usb: name, a Windows COM name, or else a device path as it
// stands.
#include <cctype>
#include <string_view>

#include "base/text.h"
#include "serial/device.h"

namespace {

// COM1 to COM99999.
constexpr int64_t kMaxComNumber = 99999;
constexpr std::string_view kComPrefix = "com";

// COMn or COMn: (any letter case, n from 1): n; 0 for any other name.
int64_t com_number(std::string_view name) {
    if (name.size() <= kComPrefix.size()) return 0;
    for (std::size_t i = 0; i < kComPrefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != kComPrefix[i]) return 0;
    std::string_view digits = name.substr(kComPrefix.size());
    if (digits.back() == ':') digits.remove_suffix(1);
    int64_t number = 0;
    return parse_decimal(digits, 1, kMaxComNumber, &number) ? number : 0;
}

}  // namespace

bool parse_port_name(const char* name, PortName* parsed) {
    PortName taken;
    if (network_kind(name) != NetworkKind::none) {
        taken.kind = PortName::Kind::network;
        if (!parse_network_name(name, &taken.network)) return false;
    } else if (is_usb_name(name)) {
        taken.kind = PortName::Kind::usb;
        if (!parse_usb_name(name, &taken.usb)) return false;
    } else {
        int64_t com = com_number(name);
        taken.device = com > 0 ? com_device_path(com) : std::string(name);
        // A name that does not fit would open another device.
        if (taken.device.size() >= kPathCapacity) return false;
    }
    *parsed = std::move(taken);
    return true;
}

bool port_name_valid(const char* name) {
    PortName parsed;
    return parse_port_name(name, &parsed);
}
