// The libusb port on a machine without a console: whatever USB there is (or none at all), the
// port lists no console, the device link reports "USB Not Found " and nothing fails.
#include "device/libusb/libusb_port.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

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
        attributes.VendorID == DeviceLink::kVendorId &&
        attributes.ProductID == DeviceLink::kProductId) {
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
    // No USB here (no usbfs, or no HID interface): the reason is on record, nothing failed.
    RecordProperty("usb", port.LastError());
  }
  for (const std::string& path : paths) {
    EXPECT_TRUE(ParseUsbInterfacePath(path).has_value()) << path;
    const PortHandle first = port.Open(path, OpenMode::kSynchronous);
    if (first == kNoHandle) {
      continue;  // no access without the udev rule: a failed open, as it should be
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

TEST(LibusbPortTest, UnknownPathsAndHandlesFailCleanly) {
  LibusbPort port;
  EXPECT_EQ(port.Open("/dev/hidraw0", OpenMode::kSynchronous), kNoHandle);
  EXPECT_NE(port.LastError(), "");
  EXPECT_EQ(port.Open("usb:255:255:0", OpenMode::kForReads), kNoHandle);
  EXPECT_NE(port.LastError().find("usb:255:255:0"), std::string::npos);

  constexpr PortHandle kStranger = 4711;
  std::array<std::uint8_t, 9> buffer{};
  const std::array<std::uint8_t, 6> feature = {0x00, 0x80, 0x25, 0x00, 0x00, 0x03};
  HidAttributes attributes;
  EXPECT_FALSE(port.Close(kStranger));
  EXPECT_FALSE(port.Close(kNoHandle));
  EXPECT_FALSE(port.GetAttributes(kStranger, attributes));
  EXPECT_FALSE(port.SetNumInputBuffers(kStranger, 200));
  EXPECT_EQ(port.OutputReportLength(kStranger), 0);
  EXPECT_FALSE(port.SetFeature(kStranger, feature));
  EXPECT_FALSE(port.WriteReport(kStranger, feature));
  const ReadResult read = port.ReadReport(kStranger, buffer, std::chrono::milliseconds(500));
  EXPECT_EQ(read.status, ReadStatus::kFailed);
  EXPECT_EQ(buffer, (std::array<std::uint8_t, 9>{}));
  port.PrepareReads(kStranger);
  port.CancelRead(kStranger);
}

}  // namespace
}  // namespace tessun
