#include "device/libusb/uevent_watch.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

namespace tessun {

namespace {

// What a uevent tells: a header ("add@/devices/...") and KEY=value fields, each ended by a zero
// byte.
struct Uevent {
  bool usb = false;
  bool device = false;        // a USB device, not one of its interfaces
  bool come_or_gone = false;  // added or removed
};

Uevent Read(std::string_view message) {
  Uevent event;
  while (!message.empty()) {
    const std::string_view field = message.substr(0, message.find('\0'));
    event.usb = event.usb || field == "SUBSYSTEM=usb";
    event.device = event.device || field == "DEVTYPE=usb_device";
    event.come_or_gone = event.come_or_gone || field == "ACTION=add" || field == "ACTION=remove";
    message.remove_prefix(std::min(message.size(), field.size() + 1));
  }
  return event;
}

}  // namespace

UeventWatch UeventWatch::Kernel() {
  int socket =
      ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = 1;  // the kernel's own events (udev's go to another group)
  if (socket >= 0 &&
      bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(socket);
    socket = -1;
  }
  return UeventWatch(socket);
}

UeventWatch::UeventWatch(UeventWatch&& other) noexcept
    : socket_(std::exchange(other.socket_, -1)),
      devices_come_and_gone_(other.devices_come_and_gone_) {}

UeventWatch& UeventWatch::operator=(UeventWatch&& other) noexcept {
  std::swap(socket_, other.socket_);
  std::swap(devices_come_and_gone_, other.devices_come_and_gone_);
  return *this;
}

UeventWatch::~UeventWatch() {
  if (socket_ >= 0) {
    close(socket_);
  }
}

bool UeventWatch::UsbChanged() {
  if (socket_ < 0) {
    return true;
  }
  bool changed = false;
  char message[8192];
  while (true) {
    const ssize_t length = recv(socket_, message, sizeof message, MSG_DONTWAIT);
    if (length < 0 && errno == EINTR) {
      continue;
    }
    if (length <= 0) {
      // Nothing more queued; any failure but that (ENOBUFS: events were dropped) may hide one.
      return changed || (length < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    const Uevent event = Read({message, static_cast<std::size_t>(length)});
    changed = changed || event.usb;
    devices_come_and_gone_ += event.usb && event.device && event.come_or_gone ? 1 : 0;
  }
}

}  // namespace tessun
