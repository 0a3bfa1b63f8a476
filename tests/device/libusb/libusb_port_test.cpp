// The libusb port on whatever USB the machine has (in the USB test's virtual machine, the virtual
// console's bus): what it lists opens without claiming, unknown paths and handles fail with their
// reason, and it enumerates the devices only after a USB device event. (With no console on the
// bus the link over it reports "USB Not Found ": the first step of the VM link test.)
#include "device/libusb/libusb_port.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "device/console_protocol.h"
#include "device/libusb/hid_wire.h"
#include "device/libusb/uevent_watch.h"
#include "tests/common/temp_folder.h"

namespace tessun {
namespace {

TEST(LibusbPortTest, ListedPathsNameAUsbInterfaceAndOpenWithoutClaiming) {
  LibusbPort port;
  const auto [paths, error] = port.ListHidInterfaces();
  if (paths.empty()) {
    // No USB here (no usbfs, or no HID interface): nothing to check. The USB test in a virtual
    // machine runs this test where there is a HID interface.
    GTEST_SKIP() << "no USB HID interface to list: " << (error ? error.text : "none present");
  }
  for (const std::string& path : paths) {
    EXPECT_TRUE(ParseUsbInterfacePath(path).has_value()) << path;
    const PortHandle first = port.Open(path, OpenMode::kSynchronous).value;
    if (first == kNoHandle) {
      continue;  // gone since it was listed
    }
    // A second handle on the same path shares the device; attributes need no I/O.
    const PortHandle second = port.Open(path, OpenMode::kSynchronous).value;
    ASSERT_NE(second, kNoHandle);
    EXPECT_NE(first, second);
    const PortResult<HidAttributes> one = port.GetAttributes(first);
    const PortResult<HidAttributes> two = port.GetAttributes(second);
    EXPECT_EQ(one.error.text + two.error.text, "");
    EXPECT_EQ(one.value.VendorID, two.value.VendorID);
    EXPECT_EQ(one.value.ProductID, two.value.ProductID);
    EXPECT_EQ(port.Close(first).text, "");
    EXPECT_EQ(port.Close(second).text, "");
    EXPECT_TRUE(port.Close(second));
  }
}

// Paths that name no present interface and handles the port never opened fail cleanly, each
// call with its kind and reason, and touch nothing.
TEST(LibusbPortTest, UnknownPathsAndHandlesFailWithTheirReason) {
  constexpr PortHandle kStranger = 4711;
  std::array<std::uint8_t, console::kReportLength> buffer{};
  struct Case {
    const char* name;
    std::function<PortError(LibusbPort&)> failing;
    PortFailure kind;
    std::string reason;  // what the error's text starts with
  };
  const Case cases[] = {
      {"not a USB path",
       [](LibusbPort& p) { return p.Open("/dev/hidraw0", OpenMode::kSynchronous).error; },
       PortFailure::kOther, "open /dev/hidraw0: not a USB interface path"},
      {"a device that is not present",
       [](LibusbPort& p) { return p.Open("usb:255:255:0", OpenMode::kForReads).error; },
       PortFailure::kNotPresent, "open usb:255:255:0: not present"},
      {"close", [](LibusbPort& p) { return p.Close(kNoHandle); }, PortFailure::kOther,
       "close: not an open handle"},
      {"attributes", [](LibusbPort& p) { return p.GetAttributes(kStranger).error; },
       PortFailure::kOther, "attributes: not an open handle"},
      {"input buffers", [](LibusbPort& p) { return p.SetNumInputBuffers(kStranger, 200); },
       PortFailure::kOther, "input buffers: not an open handle"},
      {"capabilities", [](LibusbPort& p) { return p.OutputReportLength(kStranger).error; },
       PortFailure::kOther, "capabilities: not an open handle"},
      {"feature report",
       [](LibusbPort& p) { return p.SetFeature(kStranger, console::kLineConfiguration); },
       PortFailure::kOther, "feature report: not an open handle"},
      {"output report",
       [](LibusbPort& p) { return p.WriteReport(kStranger, console::kLineConfiguration); },
       PortFailure::kOther, "output report: not an open handle"},
      {"read",
       [&](LibusbPort& p) {
         return p.ReadReport(kStranger, buffer, std::chrono::milliseconds(500)).error;
       },
       PortFailure::kOther, "read: not an open handle"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LibusbPort port;
    const PortError error = c.failing(port);
    EXPECT_EQ(error.kind, c.kind);
    EXPECT_EQ(error.text.substr(0, c.reason.size()), c.reason) << error.text;
  }
  EXPECT_EQ(buffer, (std::array<std::uint8_t, console::kReportLength>{}));
}

// Device events as the kernel sends them: a header, then KEY=value fields, each ended by a zero
// byte.
std::string Uevent(std::string_view action, std::string_view subsystem,
                   std::string_view devtype = "usb_interface") {
  using namespace std::string_literals;
  return std::string(action) + "@/devices/pci0000:00/usb1/1-1\0ACTION="s + std::string(action) +
         "\0DEVPATH=/devices/pci0000:00/usb1/1-1\0SUBSYSTEM="s + std::string(subsystem) +
         "\0DEVTYPE="s + std::string(devtype) + "\0SEQNUM=4711\0"s;
}

// The port enumerates at its first listing and then only after a USB event (and once more at
// the listing after it); nothing else makes it look at the bus. Run on each of its two paths:
// without hotplug events a context is started for each enumeration, with them one context serves
// them all (checked where libusb can start a context: the USB test's virtual machine).
TEST(LibusbPortTest, EnumeratesOnlyAfterAUsbEvent) {
  for (const bool udev_running : {false, true}) {
    SCOPED_TRACE(udev_running ? "udev running: hotplug events" : "no udev: device events only");
    test::TempFolder folder;
    if (udev_running) {
      std::ofstream(folder.path / "control");
    }
    // The port's watch is fed through a socket pair; the test's end (closed with `fed`) sends.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
    const UeventWatch fed(pair[0]);
    const auto send_event = [&pair](const std::string& event) {
      ASSERT_EQ(send(pair[0], event.data(), event.size(), 0), static_cast<ssize_t>(event.size()));
    };
    LibusbPort port({UeventWatch(pair[1]), (folder.path / "control").string()});
    const auto list = [&port](int times) {
      for (int i = 0; i < times; ++i) {
        port.ListHidInterfaces();
      }
    };

    list(5);
    EXPECT_EQ(port.Enumerations(), 1u) << "the first listing enumerates, no other";
    EXPECT_EQ(port.Open("usb:255:255:0", OpenMode::kSynchronous).error.kind,
              PortFailure::kNotPresent);
    EXPECT_EQ(port.Enumerations(), 1u) << "an unknown path is no reason to enumerate";

    send_event(Uevent("change", "power_supply"));
    send_event(Uevent("add", "usbmisc"));  // a node of a USB driver, not a USB device
    list(3);
    EXPECT_EQ(port.Enumerations(), 1u) << "events of other subsystems";

    send_event(Uevent("add", "usb"));
    list(1);
    EXPECT_EQ(port.Enumerations(), 2u) << "the listing after a USB event";
    list(4);
    EXPECT_EQ(port.Enumerations(), 3u) << "once more at the next listing, then no more";

    if (port.ContextsStarted() == 0) {
      continue;  // libusb cannot start here (no usbfs): the contexts cannot be looked at
    }
    EXPECT_EQ(port.HotplugEvents(), udev_running);
    EXPECT_EQ(port.ContextsStarted(), udev_running ? 1u : 3u);
    // A device the kernel added, of which no hotplug event tells within 3 s (no udev daemon sends
    // them here): the port stops waiting for them and starts a context for each enumeration.
    send_event(Uevent("add", "usb", "usb_device"));
    list(40);
    EXPECT_FALSE(port.HotplugEvents());
    EXPECT_EQ(port.ContextsStarted(), udev_running ? 3u : 5u);
  }
  // Without a watch, and so without a sign of a change, every listing enumerates.
  test::TempFolder folder;
  LibusbPort deaf({UeventWatch(-1), (folder.path / "control").string()});
  deaf.ListHidInterfaces();
  deaf.ListHidInterfaces();
  EXPECT_EQ(deaf.Enumerations(), 2u);
}

}  // namespace
}  // namespace tessun
