// The serial ports of a Windows machine: the devices of the Ports class
// (SetupAPI) that have a COM name, with the USB ids and serial number read
// from the device's instance id (or its parent's, for one interface of a
// composite device) and its strings from the device properties; then every
// COM name of the SERIALCOMM map that the class did not list (drivers that
// register no device of the class, and systems where that is all there
// is).
#include <windows.h>
// windows.h first
#include <cfgmgr32.h>
#include <initguid.h>
// initguid.h before the headers whose GUIDs and property keys are used
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string_view>

#include "base/text.h"
#include "ports/ports.h"

namespace {

constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr std::size_t kTextCapacity = 512;

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The number of a COM name ("COM12": 12); 0 for any other name.
int64_t com_number(const std::string& name) {
    int64_t number = 0;
    if (name.size() <= 3 || upper(name.substr(0, 3)) != "COM" ||
        !parse_decimal(std::string_view(name).substr(3), 1, INT32_MAX, &number))
        return 0;
    return number;
}

bool is_com_name(const std::string& name) { return com_number(name) != 0; }

// A registry string value, "" when there is none.
std::string registry_text(HKEY key, const char* value) {
    std::array<char, kTextCapacity> text{};
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(text.size() - 1);
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    text[std::min<std::size_t>(size, text.size() - 1)] = '\0';
    return text.data();
}

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
    std::array<char, kTextCapacity> text{};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, &type, reinterpret_cast<BYTE*>(text.data()),
                                           static_cast<DWORD>(text.size() - 1), nullptr) ||
        type != REG_SZ)
        return {};
    return text.data();
}

// The product string the USB device itself reports (Windows 7 and later);
// the driver's description where that is not known.
std::string product_text(HDEVINFO set, SP_DEVINFO_DATA* device) {
    std::array<wchar_t, kTextCapacity> wide{};
    DEVPROPTYPE type = 0;
    if (SetupDiGetDevicePropertyW(set, device, &DEVPKEY_Device_BusReportedDeviceDesc, &type,
                                  reinterpret_cast<BYTE*>(wide.data()),
                                  static_cast<DWORD>((wide.size() - 1) * sizeof(wchar_t)), nullptr, 0) &&
        type == DEVPROP_TYPE_STRING) {
        std::array<char, kTextCapacity> text{};
        if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, text.data(), static_cast<int>(text.size() - 1),
                                nullptr, nullptr) > 0)
            return text.data();
    }
    return device_property(set, device, SPDRP_DEVICEDESC);
}

std::string instance_id(DEVINST instance) {
    std::array<char, kTextCapacity> text{};
    if (CM_Get_Device_IDA(instance, text.data(), static_cast<ULONG>(text.size() - 1), 0) != CR_SUCCESS)
        return {};
    return text.data();
}

void read_usb_identity(const std::string& id, DEVINST instance, PortInfo* port) {
    if (!usb_identity_in_instance_id(id, port)) return;
    // One interface of a composite device (&MI_nn): the serial number is
    // the parent device's.
    DEVINST parent = 0;
    if (port->serial_number.empty() && upper(id).find("&MI_") != std::string::npos &&
        CM_Get_Parent(&parent, instance, 0) == CR_SUCCESS)
        port->serial_number = serial_in_instance_id(instance_id(parent));
}

void list_port_class(std::vector<PortInfo>& ports) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        PortInfo port;
        port.device = registry_text(key, "PortName");
        RegCloseKey(key);
        if (!is_com_name(port.device)) continue;  // a printer port of the same class
        read_usb_identity(instance_id(device.DevInst), device.DevInst, &port);
        port.manufacturer = device_property(set, &device, SPDRP_MFG);
        port.product = product_text(set, &device);
        ports.push_back(port);
    }
    SetupDiDestroyDeviceInfoList(set);
}

void list_serialcomm(std::vector<PortInfo>& ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    for (DWORD i = 0;; ++i) {
        std::array<char, kTextCapacity> name{};
        std::array<char, kTextCapacity> data{};
        DWORD name_size = static_cast<DWORD>(name.size() - 1);
        DWORD data_size = static_cast<DWORD>(data.size() - 1);
        DWORD type = 0;
        LONG result = RegEnumValueA(key, i, name.data(), &name_size, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data.data()), &data_size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        data[std::min<std::size_t>(data_size, data.size() - 1)] = '\0';
        std::string com = data.data();
        bool known = std::any_of(ports.begin(), ports.end(),
                                 [&](const PortInfo& p) { return upper(p.device) == upper(com); });
        if (is_com_name(com) && !known) {
            PortInfo port;
            port.device = com;
            ports.push_back(port);
        }
    }
    RegCloseKey(key);
}

bool com_order(const PortInfo& a, const PortInfo& b) { return com_number(a.device) < com_number(b.device); }

}  // namespace

PortRoots machine_port_roots() { return {}; }

std::vector<PortInfo> list_ports_in(const PortRoots&) { return list_ports(); }

std::vector<PortInfo> list_ports() {
    std::vector<PortInfo> ports;
    list_port_class(ports);
    list_serialcomm(ports);
    std::sort(ports.begin(), ports.end(), com_order);
    return ports;
}
