// The Linux device port: talks to USB HID devices through libusb-1.0, doing for the device link
// what the platform HID driver does elsewhere. It is needed because the kernel's HID core ignores
// the console's vendor and product ids (a kernel USB-serial driver takes them), so the console
// never shows up as a hidraw device.
//
// How the port works:
// - ListHidInterfaces lists every interface whose class is HID as "usb:BBB:AAA:I" (bus, address,
//   interface number), from libusb's device list and the cached descriptors: nothing is opened.
//   It enumerates the devices again only when they may have changed since the last enumeration,
//   and otherwise answers from the list it keeps, so a search costs a few system calls while
//   nothing happens on the bus. Two signs of a change are watched:
//   - the kernel's device events (uevents, see UeventWatch), looked at on every listing. They
//     come with or without a udev daemon, so they are watched on every machine;
//   - libusb's hotplug events, where libusb has them and the udev daemon runs to send them (a
//     context of libusb on Linux takes its events from the udev daemon; without it, as in
//     containers and the USB test's virtual machine, none ever arrive although libusb claims
//     the capability). A thread of the port handles the context's events, and a hotplug callback
//     counts them.
//   After a change the devices are enumerated once more at the next listing, for a device whose
//   event came while its files were still being made or removed. With hotplug events, one libusb
//   context serves the port's whole life: its device list follows the events. Without them a
//   context never looks at the bus again after it started, so each enumeration starts a new
//   context (the old one ends with the last device opened from it). The port does that too
//   when no hotplug event has come 3 s after the kernel added or removed a device: they do not
//   reach it.
//   Where neither sign can be had, every listing enumerates.
// - Open(kSynchronous) finds the path among the listed interfaces. It opens nothing and reads
//   nothing: vendor, product and version come from the descriptors read when it was listed.
//   Keyboards and mice met during a search are therefore never opened or detached from their
//   drivers.
// - The device is really opened (libusb_open, the kernel driver of the interface detached, the
//   interface claimed, the report descriptor read with GET_DESCRIPTOR) the first time a handle
//   needs it: OutputReportLength, InputReportLength, SetFeature, WriteReport, or
//   Open(kForReads); the first thing it checks is that the caller may open the device's usbfs
//   node for reading and writing (without the udev rule an ordinary user may not). The device
//   link does these only for the console, so it can tell the operator that it is the console
//   that may not be opened. Both handles of one path share that one libusb handle and
//   the one claim of the interface; when the last handle closes, the claim is released, the
//   kernel driver is attached again and the device is closed.
// - While a kForReads handle is open, a reader thread keeps an interrupt IN transfer pending and
//   queues every report (report id in front) in an InputReportQueue, as the platform HID driver
//   keeps its input buffers: SetNumInputBuffers sets its size (32 until then), the oldest report
//   is dropped when it is full. ReadReport takes the oldest report or waits for one at most its
//   time-out; it copies into the caller's buffer only within the call, so once ReadReport,
//   CancelRead or Close has returned nothing is ever written into that buffer.
// - Feature reports go as SET_REPORT control requests; output reports through the interrupt OUT
//   endpoint when the interface has one, else as SET_REPORT. For a device without report ids the
//   report-id byte (which must be 0) is not sent.
// - What libusb hands out (contexts, device lists, configuration descriptors, device handles) is
//   owned by a type that gives it back; a claimed interface is one owner whose end releases the
//   claim, lets the kernel driver have the interface again and closes the device, whichever path
//   (a close, a failed open, the port's end) lets go of it.
//
// All members are thread-safe; the device link calls them from one thread only.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/device_port.h"
#include "device/libusb/uevent_watch.h"

namespace tessun {

class LibusbPort final : public DevicePort {
 public:
  // Where the signs of a change of the USB devices come from; tests give their own.
  struct ChangeSigns {
    UeventWatch uevents;
    // Present while the udev daemon runs (libusb's hotplug events come from it).
    std::string udev_running;
  };

  LibusbPort();
  explicit LibusbPort(ChangeSigns signs);
  // Closes every handle still open (stopping readers, releasing claims).
  ~LibusbPort() override;
  LibusbPort(const LibusbPort&) = delete;
  LibusbPort& operator=(const LibusbPort&) = delete;

  // The reasons of the failures come from libusb's error codes (its description and its name,
  // and the kind from the code) and, for the access check of the usbfs node, from errno:
  // "claim usb:001:004:0: Resource busy (LIBUSB_ERROR_BUSY)", "open usb:001:004:0: access denied
  // (/dev/bus/usb/001/004)", "open usb:001:009:0: not present", "read usb:001:004:0: device
  // gone".
  PortResult<std::vector<std::string>> ListHidInterfaces() override;
  PortResult<PortHandle> Open(const std::string& path, OpenMode mode) override;
  PortError Close(PortHandle handle) override;
  PortResult<HidAttributes> GetAttributes(PortHandle handle) override;
  PortError SetNumInputBuffers(PortHandle handle, int count) override;
  PortResult<std::optional<int>> OutputReportLength(PortHandle handle) override;
  PortResult<std::optional<int>> InputReportLength(PortHandle handle) override;
  PortError SetFeature(PortHandle handle, std::span<const std::uint8_t> report) override;
  PortError WriteReport(PortHandle handle, std::span<const std::uint8_t> report) override;
  ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds timeout) override;
  void CancelRead(PortHandle handle) override;
  std::optional<DroppedReports> DroppedInputReports(PortHandle handle) override;
  // The device and active configuration descriptors read from the device now, and the report
  // descriptor read when the device was opened.
  PortResult<RawDescriptors> ReadRawDescriptors(PortHandle handle) override;

  // Full enumerations of the USB devices so far (for tests: a search while nothing changed
  // makes none).
  std::uint64_t Enumerations() const;
  // libusb contexts started so far.
  std::uint64_t ContextsStarted() const;
  // The port's context learns of changes from libusb's hotplug events.
  bool HotplugEvents() const;

 private:
  struct Context;
  struct Reference;
  struct Device;
  struct Listed;
  struct Handle;

  // A new enumeration; returns why it failed ("" when it did not).
  std::string EnumerateLocked();
  // Enumerates when the devices may have changed since the last enumeration.
  void RefreshLocked();
  // The device open (or listed) at `path`; nullptr with the reason in `error`.
  std::shared_ptr<Device> FindOrCreateDeviceLocked(const std::string& path, PortError& error);
  std::shared_ptr<Handle> FindLocked(PortHandle handle) const;
  // Opens the device and claims its interface, unless that is done already.
  PortError AcquireLocked(Device& device);
  void ReleaseLocked(Device& device);
  PortError SendLocked(Device& device, bool feature, std::span<const std::uint8_t> report);
  PortResult<std::optional<int>> ReportLengthLocked(PortHandle handle, bool input);
  void CloseLocked(PortHandle handle);

  mutable std::mutex mutex_;
  // The newest enumeration: its context and its HID interfaces, kept until the next one so that
  // Open finds the devices it listed, and why it failed ("" when it did not).
  std::shared_ptr<Context> context_;
  std::vector<Listed> listed_;
  std::string list_failure_;
  // The signs of a change; the number of hotplug events at the last enumeration; whether the
  // next listing enumerates once more after a change.
  ChangeSigns signs_;
  std::uint64_t hotplug_seen_ = 0;
  bool enumerate_again_ = true;
  // libusb's hotplug events are taken until the kernel's events show that they do not come (the
  // udev daemon's events do not reach this process, as in a container given the host's
  // /run/udev): the kernel's count of devices added or removed when the context started, and
  // for how many listings a device has come or gone without any hotplug event.
  bool hotplug_trusted_ = true;
  std::uint64_t devices_at_start_ = 0;
  int hotplug_behind_ = 0;
  std::uint64_t enumerations_ = 0;
  std::uint64_t contexts_started_ = 0;
  // Devices with at least one open handle, by path.
  std::map<std::string, std::shared_ptr<Device>> devices_;
  std::map<PortHandle, std::shared_ptr<Handle>> handles_;
  PortHandle next_handle_ = 1;
};

}  // namespace tessun
