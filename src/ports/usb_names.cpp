// usb: names and the listing's lines: the same on every platform.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "ports/ports.h"

namespace {

constexpr const char* kUsbScheme = "usb:";
constexpr std::size_t kMaxIdDigits = 4;
constexpr std::size_t kMaxShownLength = 128;  // a device's string longer than this is cut in the listing

// One to four hex digits up to the next ':' or the end; p moves past them.
bool take_hex_id(const char*& p, uint16_t* id) {
    unsigned value = 0;
    std::size_t digits = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p, ++digits) {
        if (digits == kMaxIdDigits) return false;
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    if (digits == 0 || (*p != ':' && *p != '\0')) return false;
    *id = static_cast<uint16_t>(value);
    return true;
}

// A device's string as the listing shows it: printable ASCII only, no
// quote that would end the field early, and not longer than a line needs.
std::string shown(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (out.size() == kMaxShownLength) break;
        unsigned char u = static_cast<unsigned char>(c);
        out += u < 32 || u > 126 ? '?' : c == '"' ? '\'' : c;
    }
    return out;
}

}  // namespace

bool is_usb_name(const char* name) {
    for (std::size_t i = 0; kUsbScheme[i] != '\0'; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != kUsbScheme[i]) return false;
    return true;
}

bool parse_usb_name(const char* name, UsbSelector* selector) {
    if (!is_usb_name(name)) return false;
    const char* p = name + std::strlen(kUsbScheme);
    UsbSelector parsed;
    if (!take_hex_id(p, &parsed.vendor_id) || *p++ != ':') return false;
    if (!take_hex_id(p, &parsed.product_id)) return false;
    if (*p == ':') {
        parsed.serial_number = p + 1;
        if (parsed.serial_number.empty()) return false;
        for (char c : parsed.serial_number)
            if (static_cast<unsigned char>(c) <= ' ') return false;
    }
    *selector = parsed;
    return true;
}

std::vector<PortInfo> matching_ports(const std::vector<PortInfo>& ports, const UsbSelector& selector) {
    std::vector<PortInfo> out;
    for (const PortInfo& port : ports) {
        if (!port.usb || port.vendor_id != selector.vendor_id || port.product_id != selector.product_id)
            continue;
        if (!selector.serial_number.empty() && port.serial_number != selector.serial_number) continue;
        out.push_back(port);
    }
    return out;
}

std::string describe_port(const PortInfo& port) {
    std::string line = shown(port.device);
    if (port.usb) {
        char ids[32];
        std::snprintf(ids, sizeof ids, "  usb:%04x:%04x", port.vendor_id, port.product_id);
        line += ids;
        if (!port.serial_number.empty()) line.append(":").append(shown(port.serial_number));
    }
    if (!port.manufacturer.empty())
        line.append("  manufacturer=\"").append(shown(port.manufacturer)).append("\"");
    if (!port.product.empty()) line.append("  product=\"").append(shown(port.product)).append("\"");
    if (!port.by_id.empty()) line.append("  by-id=").append(shown(port.by_id));
    return line;
}

std::string usb_candidates(const UsbSelector& selector) {
    std::vector<PortInfo> ports = list_ports();
    std::vector<PortInfo> matches = matching_ports(ports, selector);
    if (matches.size() == 1) return {};
    std::string text;
    if (matches.empty()) {
        text = "No serial port matches it. Ports with a USB identity:\r\n";
        for (const PortInfo& port : ports)
            if (port.usb) matches.push_back(port);
        if (matches.empty()) text += "  (none)\r\n";
    } else {
        text = "Several ports match it; add the serial number (usb:VVVV:PPPP:SERIAL) or name one:\r\n";
    }
    for (const PortInfo& port : matches) text.append("  ").append(describe_port(port)).append("\r\n");
    return text;
}

void print_port_list() {
    for (const PortInfo& port : list_ports()) std::printf("%s\r\n", describe_port(port).c_str());
}
