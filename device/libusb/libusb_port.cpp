#include "device/libusb/libusb_port.h"

#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>
#include <utility>

#include "device/libusb/hid_wire.h"
#include "device/libusb/report_descriptor.h"

namespace tessun {

namespace {

// How long one control request or interrupt OUT write may take.
constexpr unsigned kTransferTimeoutMs = 1000;
// A report descriptor longer than this is not read (the kernel's HID core has the same limit).
constexpr std::uint16_t kMaxReportDescriptor = 4096;
// Longest input transfer the reader asks for.
constexpr std::size_t kMaxInputTransfer = 4096;
// Input transfers failing in a row before the device counts as gone.
constexpr int kMaxInputErrors = 3;
// How long the reader waits for events before it looks at its flags again.
constexpr long kReaderPollMicroseconds = 100'000;

std::string UsbError(const char* call, const std::string& path, int code) {
  return std::string(call) + " " + path + ": " + libusb_error_name(code);
}

// The first altsetting of an interface, or nullptr.
const libusb_interface_descriptor* FindInterface(const libusb_config_descriptor& config,
                                                 std::uint8_t number) {
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& interface = config.interface[i];
    if (interface.num_altsetting > 0 && interface.altsetting[0].bInterfaceNumber == number) {
      return &interface.altsetting[0];
    }
  }
  return nullptr;
}

}  // namespace

// One libusb context; contexts are shared by the enumeration that made them and by the devices
// opened from it, and end with the last of these.
struct LibusbPort::Context {
  libusb_context* usb = nullptr;

  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() {
    if (usb != nullptr) {
      libusb_exit(usb);
    }
  }
};

// A libusb device reference that keeps its context alive.
struct LibusbPort::Reference {
  std::shared_ptr<Context> context;  // declared first: released after the device
  libusb_device* device = nullptr;

  Reference(std::shared_ptr<Context> owner, libusb_device* usb_device)
      : context(std::move(owner)), device(libusb_ref_device(usb_device)) {}
  Reference(Reference&& other) noexcept
      : context(std::move(other.context)), device(std::exchange(other.device, nullptr)) {}
  Reference& operator=(Reference&&) = delete;
  ~Reference() {
    if (device != nullptr) {
      libusb_unref_device(device);
    }
  }
};

struct LibusbPort::Listed {
  std::string path;
  Reference reference;
};

// One HID interface of a device with open handles: the shared libusb handle, the claim, and the
// input reports read from it.
struct LibusbPort::Device {
  std::string path;
  UsbInterfacePath where;
  Reference reference;
  HidAttributes attributes;
  std::uint8_t in_endpoint = 0;   // 0: none
  std::uint8_t out_endpoint = 0;  // 0: none
  std::uint16_t in_max_packet = 0;
  std::vector<std::uint8_t> class_descriptors;  // the bytes after the interface descriptor

  int handles = 0;
  int read_handles = 0;

  // Set once the device is opened and the interface claimed.
  libusb_device_handle* usb = nullptr;
  ReportDescriptorInfo reports;

  InputReportQueue queue;
  std::thread reader;
  std::atomic<bool> stop_reader{false};
  std::atomic<bool> in_flight{false};
  std::atomic<bool> halted{false};
  std::atomic<int> input_errors{0};
  std::mutex failure_mutex;
  std::string failure;

  explicit Device(Reference ref) : reference(std::move(ref)) {}
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  // The port releases a device before it lets go of it; this only guards against a path that
  // forgot to.
  ~Device() {
    StopReader();
    if (usb != nullptr) {
      libusb_release_interface(usb, where.interface);
      libusb_close(usb);
    }
  }

  libusb_context* UsbContext() const { return reference.context->usb; }

  void Fail(std::string why) {
    {
      const std::lock_guard lock(failure_mutex);
      if (failure.empty()) {
        failure = std::move(why);
      }
    }
    queue.Fail();
  }

  std::string Failure() {
    const std::lock_guard lock(failure_mutex);
    return failure;
  }

  // Bytes of the longest input report as it comes over the wire.
  std::size_t InputTransferLength() const {
    std::size_t length = reports.input_length;
    if (length > 0 && !reports.uses_report_ids) {
      --length;  // the report-id byte counted by the capabilities is not sent
    }
    if (length == 0) {
      length = in_max_packet;
    }
    return std::clamp<std::size_t>(length, 1, kMaxInputTransfer);
  }

  static void LIBUSB_CALL InputDone(libusb_transfer* transfer) {
    static_cast<Device*>(transfer->user_data)->OnInput(*transfer);
  }

  // Runs on whichever thread handles the context's events: only flags and the queue are touched.
  void OnInput(const libusb_transfer& transfer) {
    switch (transfer.status) {
      case LIBUSB_TRANSFER_COMPLETED:
        input_errors = 0;
        // A zero-length transfer carries no report.
        queue.Push(ReportFromWire(
            std::span<const std::uint8_t>(
                transfer.buffer, static_cast<std::size_t>(std::max(transfer.actual_length, 0))),
            reports.uses_report_ids));
        break;
      case LIBUSB_TRANSFER_CANCELLED:
      case LIBUSB_TRANSFER_TIMED_OUT:
        break;
      case LIBUSB_TRANSFER_OVERFLOW:
        break;  // a report longer than the descriptor says: dropped
      case LIBUSB_TRANSFER_NO_DEVICE:
        Fail("input from " + path + ": device gone");
        break;
      case LIBUSB_TRANSFER_STALL:
        halted = true;
        [[fallthrough]];
      case LIBUSB_TRANSFER_ERROR:
      default:
        // After an unplug the pending transfer often ends with an I/O error instead.
        if (++input_errors >= kMaxInputErrors) {
          Fail("input from " + path + ": repeated transfer errors");
        }
        break;
    }
    in_flight = false;
  }

  // The reader thread: keeps one interrupt IN transfer pending until told to stop or the device
  // fails, handling the context's events meanwhile.
  void ReadInput() {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
      Fail("input from " + path + ": no transfer");
      return;
    }
    std::vector<std::uint8_t> buffer(InputTransferLength());
    libusb_fill_interrupt_transfer(transfer, usb, in_endpoint, buffer.data(),
                                   static_cast<int>(buffer.size()), &Device::InputDone, this, 0);
    bool cancelled = false;
    for (;;) {
      if (!in_flight) {
        if (stop_reader || queue.Failed()) {
          break;
        }
        if (halted.exchange(false)) {
          libusb_clear_halt(usb, in_endpoint);
        }
        in_flight = true;
        const int result = libusb_submit_transfer(transfer);
        if (result != LIBUSB_SUCCESS) {
          in_flight = false;
          Fail(UsbError("libusb_submit_transfer", path, result));
          break;
        }
      }
      if (stop_reader && !cancelled) {
        libusb_cancel_transfer(transfer);
        cancelled = true;
      }
      timeval wait{0, kReaderPollMicroseconds};
      libusb_handle_events_timeout_completed(UsbContext(), &wait, nullptr);
    }
    libusb_free_transfer(transfer);
  }

  void StartReader() {
    stop_reader = false;
    reader = std::thread([this] { ReadInput(); });
  }

  void StopReader() {
    if (reader.joinable()) {
      stop_reader = true;
      libusb_interrupt_event_handler(UsbContext());
      reader.join();
    }
  }
};

struct LibusbPort::Handle {
  std::shared_ptr<Device> device;
  OpenMode mode = OpenMode::kSynchronous;
  // Set by Close: a read still waiting on this handle ends without touching its buffer.
  std::atomic<bool> closed{false};
};

LibusbPort::LibusbPort() = default;

LibusbPort::~LibusbPort() {
  const std::lock_guard lock(mutex_);
  while (!handles_.empty()) {
    CloseLocked(handles_.begin()->first);
  }
  listed_.clear();
  context_.reset();
}

void LibusbPort::FailLocked(std::string what) {
  last_error_ = std::move(what);
}

std::string LibusbPort::LastError() const {
  const std::lock_guard lock(mutex_);
  return last_error_;
}

void LibusbPort::EnumerateLocked() {
  // The new context is made before the old one ends, so libusb's process-wide state (its
  // hotplug monitor) is not torn down and built again on every search.
  auto context = std::make_shared<Context>();
  std::vector<Listed> listed;
  const int init = libusb_init(&context->usb);
  if (init != LIBUSB_SUCCESS) {
    context->usb = nullptr;
    FailLocked(UsbError("libusb_init", "", init));
  } else {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context->usb, &list);
    if (count < 0) {
      FailLocked(UsbError("libusb_get_device_list", "", static_cast<int>(count)));
    }
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device* device = list[i];
      libusb_config_descriptor* config = nullptr;
      if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) {
        continue;  // not configured: no interfaces to offer
      }
      for (int n = 0; n < config->bNumInterfaces; ++n) {
        const libusb_interface& interface = config->interface[n];
        if (interface.num_altsetting > 0 &&
            interface.altsetting[0].bInterfaceClass == LIBUSB_CLASS_HID) {
          const UsbInterfacePath where{libusb_get_bus_number(device),
                                       libusb_get_device_address(device),
                                       interface.altsetting[0].bInterfaceNumber};
          listed.push_back(Listed{FormatUsbInterfacePath(where), Reference(context, device)});
        }
      }
      libusb_free_config_descriptor(config);
    }
    if (count >= 0) {
      libusb_free_device_list(list, 1);
    }
  }
  // The old list's references go before its context (which ends unless a device holds it).
  listed_ = std::move(listed);
  context_ = std::move(context);
}

std::vector<std::string> LibusbPort::ListHidInterfaces() {
  const std::lock_guard lock(mutex_);
  EnumerateLocked();
  std::vector<std::string> paths;
  paths.reserve(listed_.size());
  for (const Listed& listed : listed_) {
    paths.push_back(listed.path);
  }
  return paths;
}

std::shared_ptr<LibusbPort::Device> LibusbPort::FindOrCreateDeviceLocked(const std::string& path) {
  if (const auto open = devices_.find(path); open != devices_.end()) {
    return open->second;
  }
  const auto where = ParseUsbInterfacePath(path);
  if (!where) {
    FailLocked("not a USB interface path: " + path);
    return nullptr;
  }
  auto find = [&] {
    return std::find_if(listed_.begin(), listed_.end(),
                        [&](const Listed& listed) { return listed.path == path; });
  };
  auto listed = find();
  if (listed == listed_.end()) {
    // Not in the last enumeration (or none was made): look at the devices present now.
    EnumerateLocked();
    listed = find();
    if (listed == listed_.end()) {
      FailLocked("no such USB interface: " + path);
      return nullptr;
    }
  }

  libusb_device* usb_device = listed->reference.device;
  libusb_device_descriptor descriptor{};
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_device_descriptor(usb_device, &descriptor) != LIBUSB_SUCCESS ||
      libusb_get_active_config_descriptor(usb_device, &config) != LIBUSB_SUCCESS) {
    FailLocked("descriptors unreadable: " + path);
    return nullptr;
  }
  const libusb_interface_descriptor* interface = FindInterface(*config, where->interface);
  if (interface == nullptr) {
    libusb_free_config_descriptor(config);
    FailLocked("interface gone: " + path);
    return nullptr;
  }

  auto device =
      std::make_shared<Device>(Reference(listed->reference.context, listed->reference.device));
  device->path = path;
  device->where = *where;
  device->attributes =
      HidAttributes{descriptor.idVendor, descriptor.idProduct, descriptor.bcdDevice};
  for (int e = 0; e < interface->bNumEndpoints; ++e) {
    const libusb_endpoint_descriptor& endpoint = interface->endpoint[e];
    if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_INTERRUPT) {
      continue;
    }
    if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
      if (device->in_endpoint == 0) {
        device->in_endpoint = endpoint.bEndpointAddress;
        device->in_max_packet = endpoint.wMaxPacketSize & 0x7FF;
      }
    } else if (device->out_endpoint == 0) {
      device->out_endpoint = endpoint.bEndpointAddress;
    }
  }
  if (interface->extra != nullptr && interface->extra_length > 0) {
    device->class_descriptors.assign(interface->extra, interface->extra + interface->extra_length);
  }
  libusb_free_config_descriptor(config);
  return device;
}

PortHandle LibusbPort::Open(const std::string& path, OpenMode mode) {
  const std::lock_guard lock(mutex_);
  std::shared_ptr<Device> device = FindOrCreateDeviceLocked(path);
  if (!device) {
    return kNoHandle;
  }
  // The device must still be there and the caller must be allowed to open it for reading and
  // writing; without the udev rule an ordinary user is not, and the search goes on without it.
  const std::string node = UsbfsNodePath(device->where.bus, device->where.address);
  if (access(node.c_str(), R_OK | W_OK) != 0) {
    FailLocked("no read and write access to " + node + " (" + path + ")");
    if (device->handles == 0) {
      ReleaseLocked(*device);
    }
    return kNoHandle;
  }
  if (mode == OpenMode::kForReads) {
    if (!AcquireLocked(*device)) {
      if (device->handles == 0) {
        ReleaseLocked(*device);
      }
      return kNoHandle;
    }
    if (device->in_endpoint == 0) {
      FailLocked("no interrupt IN endpoint: " + path);
      if (device->handles == 0) {
        ReleaseLocked(*device);
      }
      return kNoHandle;
    }
    if (device->read_handles == 0 && !device->reader.joinable()) {
      device->StartReader();
    }
    ++device->read_handles;
  }
  ++device->handles;
  devices_[path] = device;
  const PortHandle id = next_handle_++;
  auto handle = std::make_shared<Handle>();
  handle->device = std::move(device);
  handle->mode = mode;
  handles_.emplace(id, std::move(handle));
  return id;
}

bool LibusbPort::AcquireLocked(Device& device) {
  if (device.usb != nullptr) {
    return true;
  }
  libusb_device_handle* usb = nullptr;
  int result = libusb_open(device.reference.device, &usb);
  if (result != LIBUSB_SUCCESS) {
    FailLocked(UsbError("libusb_open", device.path, result));
    return false;
  }
  // Whatever kernel driver holds the interface (for the console, the kernel's USB-serial driver)
  // is detached on claim and attached again on release. Where the platform cannot detach, the
  // claim below fails if a driver holds the interface.
  libusb_set_auto_detach_kernel_driver(usb, 1);
  result = libusb_claim_interface(usb, device.where.interface);
  if (result != LIBUSB_SUCCESS) {
    FailLocked(UsbError("libusb_claim_interface", device.path, result));
    libusb_close(usb);
    return false;
  }

  // The report descriptor, as long as the HID class descriptor announces it.
  const std::uint16_t length =
      std::min(ReportDescriptorLength(device.class_descriptors).value_or(kMaxReportDescriptor),
               kMaxReportDescriptor);
  std::vector<std::uint8_t> descriptor(length);
  const ControlSetup setup = GetReportDescriptorSetup(device.where.interface, length);
  result = length == 0 ? 0
                       : libusb_control_transfer(usb, setup.request_type, setup.request,
                                                 setup.value, setup.index, descriptor.data(),
                                                 setup.length, kTransferTimeoutMs);
  if (result <= 0) {
    // Without its report descriptor a device is no usable HID device.
    FailLocked(result < 0 ? UsbError("report descriptor", device.path, result)
                          : "empty report descriptor: " + device.path);
    libusb_release_interface(usb, device.where.interface);
    libusb_close(usb);
    return false;
  }
  descriptor.resize(static_cast<std::size_t>(result));
  device.reports = ParseReportDescriptor(descriptor);
  device.usb = usb;
  return true;
}

void LibusbPort::ReleaseLocked(Device& device) {
  device.StopReader();
  if (device.usb != nullptr) {
    // Releasing the claim attaches the kernel driver again (a no-op for a vanished device).
    libusb_release_interface(device.usb, device.where.interface);
    libusb_close(device.usb);
    device.usb = nullptr;
  }
}

std::shared_ptr<LibusbPort::Handle> LibusbPort::FindLocked(PortHandle handle) const {
  const auto found = handles_.find(handle);
  return found == handles_.end() ? nullptr : found->second;
}

void LibusbPort::CloseLocked(PortHandle id) {
  const auto found = handles_.find(id);
  const std::shared_ptr<Handle> handle = found->second;
  handles_.erase(found);
  Device& device = *handle->device;
  // A read waiting on this handle ends now, without delivering anything.
  handle->closed = true;
  device.queue.WakeAll();
  if (handle->mode == OpenMode::kForReads && --device.read_handles == 0) {
    device.StopReader();
  }
  if (--device.handles == 0) {
    ReleaseLocked(device);
    devices_.erase(device.path);
  }
}

bool LibusbPort::Close(PortHandle handle) {
  const std::lock_guard lock(mutex_);
  if (!handles_.contains(handle)) {
    return false;
  }
  CloseLocked(handle);
  return true;
}

bool LibusbPort::GetAttributes(PortHandle handle, HidAttributes& attributes) {
  const std::lock_guard lock(mutex_);
  const auto found = FindLocked(handle);
  if (!found) {
    return false;
  }
  attributes = found->device->attributes;
  return true;
}

bool LibusbPort::SetNumInputBuffers(PortHandle handle, int count) {
  const std::lock_guard lock(mutex_);
  const auto found = FindLocked(handle);
  return found && count > 0 && found->device->queue.SetCapacity(static_cast<std::size_t>(count));
}

int LibusbPort::OutputReportLength(PortHandle handle) {
  const std::lock_guard lock(mutex_);
  const auto found = FindLocked(handle);
  if (!found || !AcquireLocked(*found->device)) {
    return 0;
  }
  return static_cast<int>(
      std::min<std::size_t>(found->device->reports.output_length, std::numeric_limits<int>::max()));
}

void LibusbPort::PrepareReads(PortHandle) {
  // Reads need no preparation: the reader thread started when the read handle was opened.
}

bool LibusbPort::SendLocked(Device& device, bool feature, std::span<const std::uint8_t> report) {
  if (report.empty() || !AcquireLocked(device)) {
    return false;
  }
  // Without report ids the only report id is 0; the platform HID driver refuses any other.
  if (!device.reports.uses_report_ids && report[0] != 0) {
    FailLocked("report id " + std::to_string(report[0]) +
               " for a device without ids: " + device.path);
    return false;
  }
  const std::span<const std::uint8_t> wire = ReportToWire(report, device.reports.uses_report_ids);
  if (wire.empty() || wire.size() > std::numeric_limits<std::uint16_t>::max()) {
    return false;
  }
  std::vector<std::uint8_t> data(wire.begin(), wire.end());
  const int length = static_cast<int>(data.size());

  if (!feature && device.out_endpoint != 0) {
    int written = 0;
    const int result = libusb_interrupt_transfer(device.usb, device.out_endpoint, data.data(),
                                                 length, &written, kTransferTimeoutMs);
    if (result != LIBUSB_SUCCESS) {
      FailLocked(UsbError("output report", device.path, result));
      return false;
    }
    return written == length;
  }
  const ControlSetup setup =
      SetReportSetup(feature ? HidReportType::kFeature : HidReportType::kOutput,
                     device.reports.uses_report_ids ? report[0] : 0, device.where.interface,
                     static_cast<std::uint16_t>(length));
  const int result =
      libusb_control_transfer(device.usb, setup.request_type, setup.request, setup.value,
                              setup.index, data.data(), setup.length, kTransferTimeoutMs);
  if (result < 0) {
    FailLocked(UsbError(feature ? "feature report" : "output report", device.path, result));
    return false;
  }
  return result == length;
}

bool LibusbPort::SetFeature(PortHandle handle, std::span<const std::uint8_t> report) {
  const std::lock_guard lock(mutex_);
  const auto found = FindLocked(handle);
  return found && SendLocked(*found->device, true, report);
}

bool LibusbPort::WriteReport(PortHandle handle, std::span<const std::uint8_t> report) {
  const std::lock_guard lock(mutex_);
  const auto found = FindLocked(handle);
  return found && SendLocked(*found->device, false, report);
}

ReadResult LibusbPort::ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                  std::chrono::milliseconds timeout) {
  std::shared_ptr<Handle> found;
  {
    const std::lock_guard lock(mutex_);
    found = FindLocked(handle);
    if (!found || found->mode != OpenMode::kForReads) {
      FailLocked("read on a handle not open for reads");
      return ReadResult{ReadStatus::kFailed, 0};
    }
  }
  // Waits without the port's lock, so that Close can end the wait from another thread.
  const ReadResult result = found->device->queue.Pop(buffer, timeout, found->closed);
  if (result.status == ReadStatus::kFailed) {
    const std::lock_guard lock(mutex_);
    const std::string why = found->device->Failure();
    FailLocked(why.empty() ? "read on a closed handle" : why);
  }
  return result;
}

void LibusbPort::CancelRead(PortHandle) {
  // ReadReport never leaves a read outstanding: a report that arrives after its time-out stays
  // queued for the next read, so there is nothing to cancel.
}

}  // namespace tessun
