#include "device/libusb/uevent_watch.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

namespace tessun {

namespace {

// A uevent is a header ("add@/devices/...") and KEY=value fields, each ended by a zero byte.
bool IsUsbEvent(std::string_view message) {
  while (!message.empty()) {
    const std::size_t end = message.find('\0');
    if (message.substr(0, end) == "SUBSYSTEM=usb") {
      return true;
    }
    message.remove_prefix(end == std::string_view::npos ? message.size() : end + 1);
  }
  return false;
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
    : socket_(std::exchange(other.socket_, -1)) {}

UeventWatch& UeventWatch::operator=(UeventWatch&& other) noexcept {
  std::swap(socket_, other.socket_);
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
    changed = changed || IsUsbEvent({message, static_cast<std::size_t>(length)});
  }
}

}  // namespace tessun
