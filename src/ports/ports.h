// Finding ports: the serial ports of the machine and what is known of each,
// and ports named by their USB identity (usb:VVVV:PPPP[:SERIAL]). The
// listing is a platform pair: sysfs on Linux (port_list_linux.cpp), the
// system's device enumeration on Windows (port_list_win32.cpp); usb: names,
// matching and the listing's lines are shared (usb_names.cpp), and so is the
// reading of Windows instance ids (instance_id.cpp). Nothing here opens a
// port: this folder sits on base alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PortInfo {
    std::string device;  // the name that opens it: /dev/ttyUSB0, COM3
    bool usb = false;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    std::string serial_number;  // empty when the device has none
    std::string manufacturer;
    std::string product;
    std::string by_id;  // the stable /dev/serial/by-id/... link to it, empty when none
};

// Where the Linux listing looks: sysfs and the device directory. The
// running machine's are /sys and /dev; the test hook TAMBORVINE_PORT_ROOT
// (read here and nowhere else) names a directory holding a fake machine's
// sys/ and dev/ instead.
struct PortRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
};
PortRoots machine_port_roots();

// The ports under the given roots, sorted by name (ttyS2 before ttyS10):
// every tty with a device behind it, except the placeholders the UART
// driver registers for ports that are not there (type 0). Linux only.
std::vector<PortInfo> list_ports_in(const PortRoots& roots);

// The ports of this machine.
std::vector<PortInfo> list_ports();

// The USB identity in a Windows device instance id: the ids, and the
// serial number where the id holds the device's own (USB\VID_v&PID_p\SERIAL;
// the FTDI driver's FTDIBUS\VID_v+PID_p+SERIALA\0000, whose last letter
// names the channel). A last part with '&' is one Windows made up: no
// serial number. false when the id names no USB device. Kept apart from
// the Windows listing so that it is tested on every platform.
bool usb_identity_in_instance_id(const std::string& id, PortInfo* port);
std::string serial_in_instance_id(const std::string& id);

// ---- ports by USB identity ---------------------------------------------------

struct UsbSelector {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    std::string serial_number;  // empty: any
};

// Whether a port name is a usb: name (any letter case), and its parts:
// usb:VVVV:PPPP or usb:VVVV:PPPP:SERIAL with one to four hex digits each
// (any letter case). false when the name is not one or does not parse.
bool is_usb_name(const char* name);
bool parse_usb_name(const char* name, UsbSelector* selector);

// The ports the selector matches, in the listing's order.
std::vector<PortInfo> matching_ports(const std::vector<PortInfo>& ports, const UsbSelector& selector);

// For a usb: name that matches none or several ports: which, and the
// candidates, one "\r\n"-ended line each; empty when it matches exactly one.
std::string usb_candidates(const UsbSelector& selector);

// One line per serial port of the machine on standard output, with what is
// known of it (device, USB identity as a usb: name, manufacturer, product,
// the stable by-id name).
void print_port_list();

// One line of the listing, without a line end:
//   /dev/ttyUSB0  usb:0403:6001:A50285BI  manufacturer="FTDI"  product="FT232R USB UART"  by-id=/dev/...
// The device's own strings are shown printable only.
std::string describe_port(const PortInfo& port);
