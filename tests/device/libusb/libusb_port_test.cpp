// The libusb port on a machine without a console: whatever USB there is (or none at all), the
// port lists no console, the device link reports "USB Not Found " and nothing fails.
#include "device/libusb/libusb_port.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "device/console_protocol.h"
#include "device/device_link.h"
#include "device/libusb/hid_wire.h"
#include "tests/common/recording_status.h"

namespace tessun {
namespace {

using test::RecordingStatus;

// True when a console is attached and openable (then the no-console checks do not apply).
bool ConsoleAttached(LibusbPort& port) {
  bool found = false;
  for (const std::string& path : port.ListHidInterfaces().value) {
    const PortHandle handle = port.Open(path, OpenMode::kSynchronous).value;
    if (handle == kNoHandle) {
      continue;
    }
    const HidAttributes attributes = port.GetAttributes(handle).value;
    found = found || (attributes.VendorID == console::kVendorId &&
                      attributes.ProductID == console::kProductId);
    EXPECT_EQ(port.Close(handle).text, "");
  }
  return found;
}

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

TEST(LibusbPortTest, WithoutAConsoleTheLinkReportsUsbNotFound) {
  LibusbPort port;
  if (ConsoleAttached(port)) {
    GTEST_SKIP() << "a console is attached to this machine";
  }
  RecordingStatus status;
  DeviceLink link(port, status);

  EXPECT_FALSE(link.OpenUsbDevice());
  EXPECT_FALSE(link.DeviceFound);
  EXPECT_EQ(link.DeviceHandle, kNoHandle);
  EXPECT_EQ(link.ReadHandle, kNoHandle);
  ASSERT_EQ(status.texts, std::vector<std::string>{"USB Not Found "});

  // The exchanges search again, find nothing and say so.
  link.ReadReports();
  link.SendCommand(kGetDataCommand);
  EXPECT_FALSE(link.DeviceFound);
  ASSERT_FALSE(status.texts.empty());
  EXPECT_EQ(status.texts.back(), "USB Not Found ");
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

}  // namespace
}  // namespace tessun
