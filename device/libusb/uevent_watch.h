// The cheap sign that USB devices may have changed: the kernel's device events (uevents), as
// the kernel broadcasts them over netlink whether or not a udev daemon runs. The libusb port
// looks at it on every listing and enumerates the devices only after a USB event.
#pragma once

#include <cstdint>

namespace tessun {

class UeventWatch {
 public:
  // Listens to the kernel's device events; listens to nothing when the socket cannot be made.
  static UeventWatch Kernel();
  // Listens on `socket`, a datagram socket that the watch then owns (tests feed it events);
  // nothing when it is negative.
  explicit UeventWatch(int socket) : socket_(socket) {}
  UeventWatch(UeventWatch&& other) noexcept;
  UeventWatch& operator=(UeventWatch&& other) noexcept;
  ~UeventWatch();

  bool Listening() const { return socket_ >= 0; }
  // An event of the USB subsystem came since the last look, or events were lost (the socket's
  // buffer ran over while no one looked): the devices may have changed. Reads what is queued and
  // never waits; one system call when nothing came. Always true when not listening.
  bool UsbChanged();
  // USB devices added or removed, in the events read so far (interfaces and drivers do not
  // count): libusb's hotplug events should follow each of them.
  std::uint64_t DevicesComeAndGone() const { return devices_come_and_gone_; }

 private:
  int socket_ = -1;
  std::uint64_t devices_come_and_gone_ = 0;
};

}  // namespace tessun
