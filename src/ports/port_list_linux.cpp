// The serial ports of a Linux machine, read from sysfs: every tty class
// device with a device behind it; for a USB adapter the USB device's ids
// and strings, found by walking up from the tty's device; the by-id link
// that udev made for it. Reading the files directly (rather than through
// libudev) lets the listing run on a fake tree, and works where no udev
// daemon keeps a database (containers, early boot).
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <tuple>

#include "ports/ports.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kAttributeLimit = 256;  // sysfs attributes are short; read no more than this
constexpr int kUsbSearchDepth = 8;            // tty device to its USB device: two levels, a few more allowed
constexpr const char* kRootHook = "TAMBORVINE_PORT_ROOT";

// One sysfs attribute: its first line, trailing blanks removed; "" when
// it cannot be read.
std::string attribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    std::string text(kAttributeLimit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    std::size_t end = text.find('\n');
    if (end != std::string::npos) text.resize(end);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

bool present(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

bool hex_attribute(const fs::path& file, uint16_t* value) {
    std::string text = attribute(file);
    if (text.empty() || text.size() > 4) return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0') return false;
    *value = static_cast<uint16_t>(v);
    return true;
}

// The USB device a tty hangs off: the nearest directory above its device
// (within sysfs) that holds the USB ids.
bool find_usb_device(const fs::path& device, const fs::path& sys_root, fs::path* usb) {
    std::error_code error;
    fs::path dir = fs::canonical(device, error);
    fs::path root = fs::canonical(sys_root, error);
    if (error) return false;
    for (int depth = 0; depth < kUsbSearchDepth && dir != root && dir.has_relative_path(); ++depth) {
        if (present(dir / "idVendor") && present(dir / "idProduct")) {
            *usb = dir;
            return true;
        }
        dir = dir.parent_path();
    }
    return false;
}

void read_usb_identity(const fs::path& usb, PortInfo* port) {
    if (!hex_attribute(usb / "idVendor", &port->vendor_id) ||
        !hex_attribute(usb / "idProduct", &port->product_id))
        return;
    port->usb = true;
    port->serial_number = attribute(usb / "serial");
    port->manufacturer = attribute(usb / "manufacturer");
    port->product = attribute(usb / "product");
}

// The first by-id link (in name order) whose target is the tty.
std::string by_id_link(const fs::path& by_id_dir, const std::string& tty) {
    std::error_code error;
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(by_id_dir, error)) {
        fs::path target = fs::read_symlink(entry.path(), error);
        if (!error && target.filename() == tty) names.push_back(entry.path().filename().string());
    }
    if (names.empty()) return {};
    std::sort(names.begin(), names.end());
    return (by_id_dir / names.front()).string();
}

// The UART driver registers a tty for every port it might have; those
// whose type is 0 (unknown) are not there.
bool placeholder_uart(const fs::path& class_dir) {
    fs::path type = class_dir / "type";
    return present(type) && attribute(type) == "0";
}

// ttyS2 before ttyS10: the name's letters, then its number.
bool name_order(const PortInfo& a, const PortInfo& b) {
    auto split = [](const std::string& s) {
        std::size_t digits = s.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1]))) --digits;
        std::string number = s.substr(digits);
        return std::make_tuple(s.substr(0, digits), number.size(), number);
    };
    return split(a.device) < split(b.device);
}

}  // namespace

PortRoots machine_port_roots() {
    PortRoots roots;
    const char* hook = std::getenv(kRootHook);
    if (hook != nullptr && *hook != '\0') {
        roots.sys = std::string(hook) + "/sys";
        roots.dev = std::string(hook) + "/dev";
    }
    return roots;
}

std::vector<PortInfo> list_ports_in(const PortRoots& roots) {
    std::vector<PortInfo> ports;
    std::error_code error;
    fs::path by_id_dir = fs::path(roots.dev) / "serial" / "by-id";
    for (const fs::directory_entry& entry :
         fs::directory_iterator(fs::path(roots.sys) / "class" / "tty", error)) {
        fs::path class_dir = entry.path();
        std::string name = class_dir.filename().string();
        if (!present(class_dir / "device") || placeholder_uart(class_dir)) continue;
        PortInfo port;
        port.device = (fs::path(roots.dev) / name).string();
        fs::path usb;
        if (find_usb_device(class_dir / "device", roots.sys, &usb)) read_usb_identity(usb, &port);
        port.by_id = by_id_link(by_id_dir, name);
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(), name_order);
    return ports;
}

std::vector<PortInfo> list_ports() { return list_ports_in(machine_port_roots()); }
