// The port list read from a tree laid out as sysfs and /dev/serial/by-id are on Linux: a USB
// serial adapter, a USB modem-class board, a UART behind the newer kernels' serial-base
// devices, UART slots with and without hardware, and terminals that are no serial ports.

#include "driver/port_report.h"
#include "system/port_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

class PortListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/upgrade-port-list-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    void file(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(root + "/" + path).parent_path());
        std::ofstream(root + "/" + path) << text;
    }
    // A relative link, as sysfs and udev make them, so that the tree resolves where it lies.
    void link(const std::string& path, const std::string& target) {
        fs::create_directories(fs::path(root + "/" + path).parent_path());
        fs::create_symlink(target, root + "/" + path);
    }
    // A class entry NAME for the device directory DEVICE (below sys/devices), with the tty's
    // own directory below it as the kernel makes it.
    void tty(const std::string& name, const std::string& device, const std::string& type = "") {
        const std::string dir = "sys/devices/" + device + "/tty/" + name;
        file(dir + "/uevent", "MAJOR=4\nMINOR=64\nDEVNAME=" + name + "\n");
        link(dir + "/device", "../../../" + fs::path(device).filename().string());
        if (!type.empty())
            file(dir + "/type", type + "\n");
        link("sys/class/tty/" + name, "../../devices/" + device + "/tty/" + name);
    }
    void driver(const std::string& device, const std::string& bus, const std::string& name) {
        link("sys/devices/" + device + "/driver", "/sys/bus/" + bus + "/drivers/" + name);
    }

    // A USB serial adapter with its serial number, its tty below the interface's port.
    void ftdi_adapter() {
        const std::string usb = "pci0000:00/0000:00:14.0/usb1/1-2";
        file("sys/devices/" + usb + "/idVendor", "0403\n");
        file("sys/devices/" + usb + "/idProduct", "6001\n");
        file("sys/devices/" + usb + "/serial", "A50285BI\n");
        file("sys/devices/" + usb + "/product", "FT232R USB UART\n");
        tty("ttyUSB0", usb + "/1-2:1.0/ttyUSB0");
        driver(usb + "/1-2:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
        link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
    }

    std::vector<std::string> lines() {
        static PortList list;
        list_ports(root.c_str(), list);
        std::vector<std::string> result;
        for (int i = 0; i < list.count; ++i) {
            char line[1024];
            port_line(list.ports[i], line, sizeof line);
            result.push_back(line);
        }
        return result;
    }

    std::string root;
};

TEST_F(PortListTest, DescribesEachSerialPortAndEndsWithItsArgument) {
    ftdi_adapter();

    // A board without a serial number; its tty hangs off the interface itself.
    const std::string board = "pci0000:00/0000:00:14.0/usb1/1-3";
    file("sys/devices/" + board + "/idVendor", "2341\n");
    file("sys/devices/" + board + "/idProduct", "0043\n");
    file("sys/devices/" + board + "/product", "Arduino Uno\n");
    tty("ttyACM0", board + "/1-3:1.0");
    driver(board + "/1-3:1.0", "usb", "cdc_acm");
    link("dev/serial/by-id/usb-Arduino_Uno_7533-if00", "../../ttyACM0");
    link("dev/serial/by-id/usb-gone-adapter-if00-port0", "../../ttyUSB7"); // left behind

    // The UART the firmware announced, behind the serial-base port and controller.
    tty("ttyS0", "pnp0/00:00/00:00:0/00:00:0.0", "4");
    driver("pnp0/00:00/00:00:0/00:00:0.0", "serial-base", "port");
    driver("pnp0/00:00/00:00:0", "serial-base", "ctrl");
    driver("pnp0/00:00", "pnp", "serial");
    // Slots of the legacy driver: two with a UART (counted as people count), one without.
    for (const char* name : {"ttyS10", "ttyS2", "ttyS3"}) {
        tty(name, "platform/serial8250." + std::string(name),
            name == std::string("ttyS3") ? "0" : "4");
        driver("platform/serial8250." + std::string(name), "platform", "serial8250");
    }
    // Terminals with no device: a virtual console and the pseudo-terminal multiplexer.
    file("sys/devices/virtual/tty/tty1/uevent", "DEVNAME=tty1\n");
    link("sys/class/tty/tty1", "../../devices/virtual/tty/tty1");
    file("sys/devices/virtual/tty/ptmx/uevent", "DEVNAME=ptmx\n");
    link("sys/class/tty/ptmx", "../../devices/virtual/tty/ptmx");

    const std::vector<std::string> expected = {
        "/dev/ttyACM0  cdc_acm  USB 2341:0043  \"Arduino Uno\"  socket 1-3  no serial number  "
        "/com1=/dev/serial/by-id/usb-Arduino_Uno_7533-if00",
        "/dev/ttyS0  serial  /com1=/dev/ttyS0",
        "/dev/ttyS2  serial8250  /com1=/dev/ttyS2",
        "/dev/ttyS10  serial8250  /com1=/dev/ttyS10",
        "/dev/ttyUSB0  ftdi_sio  USB 0403:6001  \"FT232R USB UART\"  serial A50285BI  socket 1-2  "
        "/com1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
    };
    EXPECT_EQ(lines(), expected);
}

// A bench set up by socket: udev's by-path names follow the USB socket, whatever adapter is in
// it. Two adapters with one serial number share one by-id name (udev keeps one link, to either
// of them), and an adapter without a serial number has none of its own: for those the socket's
// name is the one to give. Two ports of one adapter share its serial number but not its
// interface.
TEST_F(PortListTest, OffersTheSocketsNameWhereTheAdaptersNameIsAmbiguous) {
    const std::string hub = "pci0000:00/0000:00:14.0/usb1/1-2";
    const auto adapter = [&](const std::string& usb, const std::string& tty_name,
                             const std::string& serial, const std::string& path_name,
                             const std::string& interface = "1.0") {
        file("sys/devices/" + usb + "/idVendor", "0403\n");
        file("sys/devices/" + usb + "/idProduct", "6001\n");
        if (!serial.empty())
            file("sys/devices/" + usb + "/serial", serial + "\n");
        const std::string port_dir =
            usb + "/" + fs::path(usb).filename().string() + ":" + interface + "/" + tty_name;
        tty(tty_name, port_dir);
        driver(port_dir, "usb-serial", "ftdi_sio");
        link("dev/serial/by-path/" + path_name, "../../" + tty_name);
    };
    adapter(hub + "/1-2.1", "ttyUSB0", "SAME0001", "pci-0000:00:14.0-usb-0:2.1:1.0-port0");
    adapter(hub + "/1-2.2", "ttyUSB1", "SAME0001", "pci-0000:00:14.0-usb-0:2.2:1.0-port0");
    // udev kept one by-id link for the two.
    link("dev/serial/by-id/usb-FTDI_FT232R_SAME0001-if00-port0", "../../ttyUSB1");
    adapter(hub + "/1-2.3", "ttyUSB2", "", "pci-0000:00:14.0-usb-0:2.3:1.0-port0");
    adapter(hub + "/1-2.4", "ttyUSB3", "QUAD", "pci-0000:00:14.0-usb-0:2.4:1.0-port0", "1.0");
    adapter(hub + "/1-2.4", "ttyUSB4", "QUAD", "pci-0000:00:14.0-usb-0:2.4:1.1-port0", "1.1");
    link("dev/serial/by-id/usb-FTDI_QUAD-if00-port0", "../../ttyUSB3");
    link("dev/serial/by-id/usb-FTDI_QUAD-if01-port0", "../../ttyUSB4");

    const std::string by_path = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:";
    const std::vector<std::string> expected = {
        "/dev/ttyUSB0  ftdi_sio  USB 0403:6001  serial SAME0001  socket 1-2.1  same serial number "
        "as /dev/ttyUSB1  /com1=" +
            by_path + "2.1:1.0-port0",
        "/dev/ttyUSB1  ftdi_sio  USB 0403:6001  serial SAME0001  socket 1-2.2  same serial number "
        "as /dev/ttyUSB0  /com1=" +
            by_path + "2.2:1.0-port0",
        "/dev/ttyUSB2  ftdi_sio  USB 0403:6001  socket 1-2.3  no serial number  /com1=" + by_path +
            "2.3:1.0-port0",
        "/dev/ttyUSB3  ftdi_sio  USB 0403:6001  serial QUAD  socket 1-2.4  "
        "/com1=/dev/serial/by-id/usb-FTDI_QUAD-if00-port0  by-path " +
            by_path + "2.4:1.0-port0",
        "/dev/ttyUSB4  ftdi_sio  USB 0403:6001  serial QUAD  socket 1-2.4  "
        "/com1=/dev/serial/by-id/usb-FTDI_QUAD-if01-port0  by-path " +
            by_path + "2.4:1.1-port0",
    };
    EXPECT_EQ(lines(), expected);
}

// One device, as a download's record names its adapter: by its node or by a link to it, the
// same description /list gives; a port with no USB identity, a pseudo-terminal or a name the
// system does not know is no adapter.
TEST_F(PortListTest, DescribesOneDeviceByItsNodeOrByALinkToIt) {
    ftdi_adapter();
    tty("ttyS2", "platform/serial8250.2", "4");
    link("home/bench/line", "../../dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    struct Case {
        const char* device;
        bool known;
        const char* vid_pid_serial_product;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0", true, "0403 6001 A50285BI FT232R USB UART"},
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", true,
         "0403 6001 A50285BI FT232R USB UART"},
        {"/home/bench/line", true, "0403 6001 A50285BI FT232R USB UART"}, // a link to the link
        {"/dev/ttyS2", true, "   "},
        {"/dev/pts/3", false, "   "},
        {"/dev/ttyUSB7", false, "   "}, // unplugged
        {"/dev/..", false, "   "},
    };
    for (const Case& c : cases) {
        PortInfo port;
        std::snprintf(port.vid, sizeof port.vid, "left");
        EXPECT_EQ(describe_device(root.c_str(), c.device, port), c.known) << c.device;
        EXPECT_EQ(std::string(port.vid) + " " + port.pid + " " + port.serial + " " + port.product,
                  c.vid_pid_serial_product)
            << c.device;
        EXPECT_EQ(is_usb_adapter(port), c.vid_pid_serial_product[0] != ' ') << c.device;
    }
}

// An attribute that is no regular file (here a FIFO no one writes to) is not read: opening it
// for reading would wait for a writer for good.
TEST_F(PortListTest, AFifoInTheTreeDoesNotHoldTheListUp) {
    tty("ttyS1", "platform/serial8250.1", "4");
    fs::remove(root + "/sys/devices/platform/serial8250.1/tty/ttyS1/uevent");
    ASSERT_EQ(mkfifo((root + "/sys/devices/platform/serial8250.1/tty/ttyS1/uevent").c_str(), 0600),
              0);
    EXPECT_EQ(lines(), std::vector<std::string>{"/dev/ttyS1  /com1=/dev/ttyS1"});
}

TEST_F(PortListTest, NoTreeNoPorts) {
    EXPECT_TRUE(lines().empty());
}

// /list=station: a station's command line for the adapters plugged in, in the order of their
// sockets as people count them (port 9 of a hub before its port 10), each named by its socket,
// which stays with the bench position when an adapter is swapped; a port that is no USB adapter
// has no place in it.
TEST_F(PortListTest, AStationsCommandLineInSocketOrder) {
    const std::string root_hub = "pci0000:00/0000:00:14.0/usb1";
    const auto adapter = [&](const std::string& socket, const std::string& tty_name,
                             const std::string& serial) {
        const std::string usb = root_hub + "/" + socket;
        file("sys/devices/" + usb + "/idVendor", "0403\n");
        file("sys/devices/" + usb + "/idProduct", "6001\n");
        file("sys/devices/" + usb + "/serial", serial + "\n");
        tty(tty_name, usb + "/" + socket + ":1.0/" + tty_name);
        link("dev/serial/by-id/usb-FTDI_" + serial + "-if00-port0", "../../" + tty_name);
        link("dev/serial/by-path/pci-0000:00:14.0-usb-0:" + socket.substr(2) + ":1.0-port0",
             "../../" + tty_name);
    };
    adapter("1-2.10", "ttyUSB0", "TEN");
    adapter("1-2.9", "ttyUSB1", "NINE");
    adapter("1-1", "ttyUSB2", "ONE");
    tty("ttyS0", "platform/serial8250.0", "4");
    testing::internal::CaptureStdout();
    print_station_command(root.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "upgrade /station /com1=/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0 "
              "/com2=/dev/serial/by-path/pci-0000:00:14.0-usb-0:2.9:1.0-port0 "
              "/com3=/dev/serial/by-path/pci-0000:00:14.0-usb-0:2.10:1.0-port0\n");
}

// A long product name is cut, never written past the line.
TEST(PortLine, FitsTheSpaceGiven) {
    PortInfo port;
    std::snprintf(port.device, sizeof port.device, "/dev/ttyUSB0");
    std::snprintf(port.product, sizeof port.product, "%s", std::string(120, 'x').c_str());
    char line[40];
    port_line(port, line, sizeof line);
    EXPECT_EQ(std::string(line), "/dev/ttyUSB0  \"" + std::string(24, 'x'));
}

} // namespace
