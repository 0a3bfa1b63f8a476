#include "device/libusb/usb_facts.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "device/libusb/hid_wire.h"

namespace tessun {

namespace {

namespace fs = std::filesystem;

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

int ReadNumber(const fs::path& file, int base) {
  try {
    return std::stoi(ReadLine(file), nullptr, base);
  } catch (...) {
    return -1;
  }
}

}  // namespace

InterfaceFacts UsbInterfaceFacts(const std::string& path, const std::string& sysfs_devices) {
  InterfaceFacts facts;
  const auto where = ParseUsbInterfacePath(path);
  if (!where) {
    return facts;
  }
  facts.location = "bus " + std::to_string(where->bus) + " device " +
                   std::to_string(where->address) + ", interface " +
                   std::to_string(where->interface);
  facts.node = UsbfsNodePath(where->bus, where->address);
  facts.may_open = access(facts.node.c_str(), R_OK | W_OK) == 0;

  // The device's directory is the one with this bus and device number; its interfaces are the
  // directories "<device>:<configuration>.<interface>" beside it.
  std::error_code error;
  for (const auto& device : fs::directory_iterator(sysfs_devices, error)) {
    if (ReadNumber(device.path() / "busnum", 10) != where->bus ||
        ReadNumber(device.path() / "devnum", 10) != where->address) {
      continue;
    }
    const std::string prefix = device.path().filename().string() + ":";
    for (const auto& entry : fs::directory_iterator(sysfs_devices, error)) {
      if (!entry.path().filename().string().starts_with(prefix) ||
          ReadNumber(entry.path() / "bInterfaceNumber", 16) != where->interface) {
        continue;
      }
      std::error_code no_link;
      const fs::path driver = fs::read_symlink(entry.path() / "driver", no_link);
      facts.driver = no_link ? "none" : driver.filename().string();
    }
  }
  return facts;
}

}  // namespace tessun
