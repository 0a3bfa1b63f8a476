// The cheap sign that USB devices may have changed: the kernel's device events (uevents), as
// the kernel broadcasts them over netlink whether or not a udev daemon runs. The libusb port
// looks at it on every listing and enumerates the devices only after a USB event.
#pragma once

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

 private:
  int socket_ = -1;
};

}  // namespace tessun
