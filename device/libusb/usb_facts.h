// What Linux tells about a USB interface of the libusb port beyond the port's operations, for
// `tessun --diagnose`: where it sits, which driver is bound to it (from sysfs), and whether this
// user may open its usbfs node.
#pragma once

#include <string>

#include "device/console_diagnosis.h"

namespace tessun {

// Facts of the interface at a libusb port path ("usb:001:004:0"); empty facts for any other
// path. `sysfs_devices` is where the USB devices are listed.
InterfaceFacts UsbInterfaceFacts(const std::string& path,
                                 const std::string& sysfs_devices = "/sys/bus/usb/devices");

}  // namespace tessun
