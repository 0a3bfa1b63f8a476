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
#include "store/line_store.h"
#include "tests/common/recording_status.h"

namespace tessun {
namespace {

using test::RecordingStatus;

// True when a console is attached and openable (then the no-console checks do not apply).
bool ConsoleAttached(LibusbPort& port) {
  bool found = false;
  for (const std::string& path : port.ListHidInterfaces()) {
    const PortHandle handle = port.Open(path, OpenMode::kSynchronous);
    HidAttributes attributes;
    if (handle != kNoHandle && port.GetAttributes(handle, attributes) &&
        attributes.VendorID == console::kVendorId && attributes.ProductID == console::kProductId) {
      found = true;
    }
    if (handle != kNoHandle) {
      EXPECT_TRUE(port.Close(handle));
    }
  }
  return found;
}

TEST(LibusbPortTest, ListedPathsNameAUsbInterfaceAndOpenWithoutClaiming) {
  LibusbPort port;
  const std::vector<std::string> paths = port.ListHidInterfaces();
  if (paths.empty()) {
    // No USB here (no usbfs, or no HID interface): nothing to check. The USB test in a virtual
    // machine runs this test where there is a HID interface.
    GTEST_SKIP() << "no USB HID interface to list: "
                 << (port.LastError().empty() ? "none present" : port.LastError());
  }
  for (const std::string& path : paths) {
    EXPECT_TRUE(ParseUsbInterfacePath(path).has_value()) << path;
    const PortHandle first = port.Open(path, OpenMode::kSynchronous);
    if (first == kNoHandle) {
      continue;  // gone since it was listed
    }
    // A second handle on the same path shares the device; attributes need no I/O.
    const PortHandle second = port.Open(path, OpenMode::kSynchronous);
    ASSERT_NE(second, kNoHandle);
    EXPECT_NE(first, second);
    HidAttributes one;
    HidAttributes two;
    EXPECT_TRUE(port.GetAttributes(first, one));
    EXPECT_TRUE(port.GetAttributes(second, two));
    EXPECT_EQ(one.VendorID, two.VendorID);
    EXPECT_EQ(one.ProductID, two.ProductID);
    EXPECT_TRUE(port.Close(first));
    EXPECT_TRUE(port.Close(second));
    EXPECT_FALSE(port.Close(second));
  }
}

TEST(LibusbPortTest, WithoutAConsoleTheLinkReportsUsbNotFound) {
  LibusbPort port;
  if (ConsoleAttached(port)) {
    GTEST_SKIP() << "a console is attached to this machine";
  }
  LineStore store;
  RecordingStatus status;
  DeviceLink link(port, store, status);

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

// Paths that name no present interface and handles the port never opened fail cleanly, each with
// its reason, and touch nothing; the next operation that succeeds empties the reason.
TEST(LibusbPortTest, UnknownPathsAndHandlesFailWithTheirReason) {
  constexpr PortHandle kStranger = 4711;
  std::array<std::uint8_t, console::kReportLength> buffer{};
  HidAttributes attributes;
  struct Case {
    const char* name;
    std::function<bool(LibusbPort&)> fails;  // whether the call reported its failure
    std::string reason;                      // what LastError starts with
  };
  const Case cases[] = {
      {"not a USB path",
       [](LibusbPort& p) { return p.Open("/dev/hidraw0", OpenMode::kSynchronous) == kNoHandle; },
       "open /dev/hidraw0: not a USB interface path"},
      {"a device that is not present",
       [](LibusbPort& p) { return p.Open("usb:255:255:0", OpenMode::kForReads) == kNoHandle; },
       "open usb:255:255:0: not present"},
      {"close", [](LibusbPort& p) { return !p.Close(kStranger) && !p.Close(kNoHandle); },
       "close: not an open handle"},
      {"attributes", [&](LibusbPort& p) { return !p.GetAttributes(kStranger, attributes); },
       "attributes: not an open handle"},
      {"input buffers", [](LibusbPort& p) { return !p.SetNumInputBuffers(kStranger, 200); },
       "input buffers: not an open handle"},
      {"capabilities", [](LibusbPort& p) { return p.OutputReportLength(kStranger) == 0; },
       "capabilities: not an open handle"},
      {"feature report",
       [](LibusbPort& p) { return !p.SetFeature(kStranger, console::kLineConfiguration); },
       "feature report: not an open handle"},
      {"output report",
       [](LibusbPort& p) { return !p.WriteReport(kStranger, console::kLineConfiguration); },
       "output report: not an open handle"},
      {"read",
       [&](LibusbPort& p) {
         return p.ReadReport(kStranger, buffer, std::chrono::milliseconds(500)).status ==
                ReadStatus::kFailed;
       },
       "read: not an open handle"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LibusbPort port;
    ASSERT_TRUE(c.fails(port));
    EXPECT_EQ(port.LastError().substr(0, c.reason.size()), c.reason) << port.LastError();
    port.CancelRead(kStranger);  // nothing to cancel: a success
    EXPECT_EQ(port.LastError(), "");
  }
  EXPECT_EQ(buffer, (std::array<std::uint8_t, console::kReportLength>{}));
}

}  // namespace
}  // namespace tessun
