// The port listing on a fake machine (tests/data/fake_machine: two FTDI
// adapters with the same ids, a USB CDC device, real UARTs, a UART
// placeholder, a virtual console), the usb: names and their matching, and
// the listing's lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ports/ports.h"

namespace {

const std::string kFake =
    (std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "data" / "fake_machine")
        .lexically_normal()
        .string();

std::vector<PortInfo> fake_ports() { return list_ports_in({kFake + "/sys", kFake + "/dev"}); }

std::vector<std::string> devices(const std::vector<PortInfo>& ports) {
    std::vector<std::string> out;
    for (const PortInfo& p : ports) out.push_back(p.device.substr(kFake.size()));
    return out;
}

TEST(PortList, FindsTheAdaptersTheCdcDeviceAndTheRealUartsWithWhatIsKnownOfEach) {
    std::vector<PortInfo> ports = fake_ports();
    EXPECT_EQ(devices(ports), (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS10",
                                                        "/dev/ttyUSB0", "/dev/ttyUSB1"}));
    ASSERT_EQ(ports.size(), 5u);
    const PortInfo& acm = ports[0];
    EXPECT_TRUE(acm.usb);
    EXPECT_EQ(acm.vendor_id, 0x2e8a);
    EXPECT_EQ(acm.product_id, 0x000a);
    EXPECT_EQ(acm.serial_number, "E66038B7133F3F2F");
    EXPECT_EQ(acm.manufacturer, "Raspberry Pi");
    EXPECT_EQ(acm.product, "Pico");
    EXPECT_EQ(acm.by_id, kFake + "/dev/serial/by-id/usb-Raspberry_Pi_Pico_E66038B7133F3F2F-if00");

    const PortInfo& uart = ports[1];
    EXPECT_FALSE(uart.usb);
    EXPECT_TRUE(uart.serial_number.empty() && uart.manufacturer.empty() && uart.by_id.empty());

    const PortInfo& ftdi = ports[3];
    EXPECT_TRUE(ftdi.usb);
    EXPECT_EQ(ftdi.vendor_id, 0x0403);
    EXPECT_EQ(ftdi.product_id, 0x6001);
    EXPECT_EQ(ftdi.serial_number, "A50285BI");
    EXPECT_EQ(ftdi.product, "FT232R USB UART");
    EXPECT_EQ(ftdi.by_id, kFake + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");

    // A machine without sysfs lists nothing.
    EXPECT_TRUE(list_ports_in({kFake + "/nothing", kFake + "/dev"}).empty());
}

TEST(PortList, ListingLinesShowTheUsbNameAndOnlyPrintableStrings) {
    std::vector<PortInfo> ports = fake_ports();
    ASSERT_EQ(ports.size(), 5u);
    EXPECT_EQ(describe_port(ports[3]), kFake +
                                           "/dev/ttyUSB0  usb:0403:6001:A50285BI  manufacturer=\"FTDI\"  "
                                           "product=\"FT232R USB UART\"  by-id=" +
                                           kFake +
                                           "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    // The second adapter's manufacturer holds an escape sequence and a quote.
    EXPECT_NE(describe_port(ports[4]).find("manufacturer=\"FTDI?[2J'\""), std::string::npos);
    EXPECT_EQ(describe_port(ports[1]), kFake + "/dev/ttyS0");
    PortInfo bare;
    bare.device = "COM3";
    bare.usb = true;
    bare.vendor_id = 0x2341;
    bare.product_id = 0x43;
    EXPECT_EQ(describe_port(bare), "COM3  usb:2341:0043");
}

TEST(UsbNames, ParseWithOneToFourHexDigitsInAnyCaseAndAnOptionalSerial) {
    UsbSelector s;
    ASSERT_TRUE(parse_usb_name("usb:0403:6001", &s));
    EXPECT_EQ(s.vendor_id, 0x0403);
    EXPECT_EQ(s.product_id, 0x6001);
    EXPECT_TRUE(s.serial_number.empty());
    ASSERT_TRUE(parse_usb_name("USB:2E8A:a:E66038B7133F3F2F", &s));
    EXPECT_EQ(s.vendor_id, 0x2e8a);
    EXPECT_EQ(s.product_id, 0x000a);
    EXPECT_EQ(s.serial_number, "E66038B7133F3F2F");
    for (const char* bad :
         {"usb:", "usb:0403", "usb:0403:", "usb:04031:6001", "usb:0403:60g1", "usb:0403:6001:", "usb::6001",
          "usb:0403:6001:two words", "/dev/ttyUSB0", "usb0403:6001"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parse_usb_name(bad, &s));
    }
    EXPECT_TRUE(is_usb_name("Usb:zz"));
    EXPECT_FALSE(is_usb_name("/dev/usb:1"));
}

TEST(UsbNames, MatchNoneOneOrSeveralPorts) {
    std::vector<PortInfo> ports = fake_ports();
    UsbSelector s;
    ASSERT_TRUE(parse_usb_name("usb:0403:6001", &s));
    EXPECT_EQ(devices(matching_ports(ports, s)), (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}));
    ASSERT_TRUE(parse_usb_name("usb:403:6001:A7004YUZ", &s));
    EXPECT_EQ(devices(matching_ports(ports, s)), (std::vector<std::string>{"/dev/ttyUSB1"}));
    ASSERT_TRUE(parse_usb_name("usb:0403:6001:a7004yuz", &s));  // serial numbers are compared exactly
    EXPECT_TRUE(matching_ports(ports, s).empty());
    ASSERT_TRUE(parse_usb_name("usb:0403:6015", &s));
    EXPECT_TRUE(matching_ports(ports, s).empty());
}

// What the Windows listing reads from a device's instance id.
TEST(WindowsInstanceIds, GiveTheUsbIdsAndTheDevicesOwnSerialNumber) {
    struct Case {
        const char* id;
        bool usb;
        uint16_t vendor, product;
        const char* serial;
    };
    for (const Case& c : {
             Case{"USB\\VID_0403&PID_6001\\A50285BI", true, 0x0403, 0x6001, "A50285BI"},
             Case{"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", true, 0x0403, 0x6001, "A50285BI"},
             Case{"USB\\VID_2E8A&PID_000A&MI_00\\6&2A3B1C&0&0000", true, 0x2e8a, 0x000a, ""},
             Case{"usb\\vid_2341&pid_0043\\75833353035351D0E1A1", true, 0x2341, 0x0043,
                  "75833353035351D0E1A1"},
             Case{"ACPI\\PNP0501\\1", false, 0, 0, ""},
             Case{"USB\\VID_04&PID_6001\\X", false, 0, 0, ""},
         }) {
        SCOPED_TRACE(c.id);
        PortInfo port;
        EXPECT_EQ(usb_identity_in_instance_id(c.id, &port), c.usb);
        if (!c.usb) continue;
        EXPECT_EQ(port.vendor_id, c.vendor);
        EXPECT_EQ(port.product_id, c.product);
        EXPECT_EQ(port.serial_number, c.serial);
    }
}

}  // namespace
