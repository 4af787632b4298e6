// The USB identity in a Windows device instance id. Kept apart from the
// Windows listing that reads the ids, so that it is tested on every
// platform.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "ports/ports.h"

namespace {

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The four hex digits after a tag such as "VID_" in an instance id.
bool id_after(const std::string& id, const char* tag, uint16_t* value) {
    std::size_t at = upper(id).find(tag);
    if (at == std::string::npos) return false;
    std::string digits = id.substr(at + std::strlen(tag), 4);
    if (digits.size() != 4) return false;
    for (char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    *value = static_cast<uint16_t>(std::strtoul(digits.c_str(), nullptr, 16));
    return true;
}

}  // namespace

bool usb_identity_in_instance_id(const std::string& id, PortInfo* port) {
    if (!id_after(id, "VID_", &port->vendor_id) || !id_after(id, "PID_", &port->product_id)) return false;
    port->usb = true;
    port->serial_number = serial_in_instance_id(id);
    return true;
}

std::string serial_in_instance_id(const std::string& id) {
    std::string up = upper(id);
    if (up.rfind("FTDIBUS\\", 0) == 0) {
        std::size_t plus = id.find('+', id.find('+') + 1);
        std::size_t end = id.find('\\', plus);
        if (plus == std::string::npos || end == std::string::npos || end - plus < 3) return {};
        return id.substr(plus + 1, end - plus - 2);
    }
    std::size_t last = id.rfind('\\');
    if (up.rfind("USB\\", 0) != 0 || last == std::string::npos || last < 4) return {};
    std::string tail = id.substr(last + 1);
    return tail.find('&') == std::string::npos ? tail : std::string{};
}
