#include "device/libusb/libusb_port.h"

#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>

#include "device/libusb/hid_wire.h"
#include "device/libusb/input_report_queue.h"
#include "device/libusb/report_descriptor.h"

namespace tessun {

namespace {

// How long one control request or interrupt OUT write may take: a console that does not answer
// holds up the window's thread for at most this long per request. A search makes at most one
// such request of a console that does not answer, and the tick that makes it also pays for
// detaching and attaching the kernel's driver, so the tick stays well within 600 ms.
constexpr unsigned kTransferTimeoutMs = 400;
// A report descriptor longer than this is not read (the kernel's HID core has the same limit).
constexpr std::uint16_t kMaxReportDescriptor = 4096;
// Longest input transfer the reader asks for.
constexpr std::size_t kMaxInputTransfer = 4096;
// How long the reader waits for events before it looks at its flags again.
constexpr long kReaderPollMicroseconds = 100'000;
// How long the hotplug thread waits for events at a time; it is woken when the port ends.
constexpr long kHotplugWaitSeconds = 3600;
// Listings (3 s of ticks) after which hotplug events that have not followed a device the kernel
// added or removed are taken never to come.
constexpr int kHotplugGraceListings = 30;

// How libusb says an input transfer ended.
InputTransferEnd TransferEnd(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return InputTransferEnd::kCompleted;
    case LIBUSB_TRANSFER_CANCELLED:
      return InputTransferEnd::kCancelled;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return InputTransferEnd::kTimedOut;
    case LIBUSB_TRANSFER_OVERFLOW:
      return InputTransferEnd::kOverflow;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return InputTransferEnd::kNoDevice;
    case LIBUSB_TRANSFER_STALL:
      return InputTransferEnd::kStall;
    case LIBUSB_TRANSFER_ERROR:
    default:
      return InputTransferEnd::kError;
  }
}

// A libusb error code as the operator reads it, with libusb's name of it for the log:
// "Resource busy (LIBUSB_ERROR_BUSY)".
std::string UsbReason(int code) {
  return std::string(libusb_strerror(code)) + " (" + libusb_error_name(code) + ")";
}

// The kind of failure a libusb error code stands for.
PortFailure FailureOf(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return PortFailure::kNone;
    case LIBUSB_ERROR_ACCESS:
      return PortFailure::kAccessDenied;
    case LIBUSB_ERROR_BUSY:
      return PortFailure::kBusy;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return PortFailure::kNotPresent;
    case LIBUSB_ERROR_TIMEOUT:
      return PortFailure::kNoAnswer;
    default:
      return PortFailure::kOther;
  }
}

// The failure of `operation` on `path` for libusb's error `code`.
PortError UsbError(std::string_view operation, const std::string& path, int code) {
  return PortError::Of(operation, path, UsbReason(code), FailureOf(code));
}

// Why the usbfs node may not be opened for reading and writing, from access()'s errno.
std::string AccessReason(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "access denied";
    case ENOENT:
      return "not present";
    default:
      return std::generic_category().message(error);
  }
}

// Owners of what libusb hands out, each given back with its own call.
struct ContextExit {
  void operator()(libusb_context* context) const { libusb_exit(context); }
};
struct ConfigFree {
  void operator()(libusb_config_descriptor* config) const { libusb_free_config_descriptor(config); }
};
struct HandleClose {
  void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
// A device list together with the references it holds to its devices.
struct ListFree {
  void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using UsbContext = std::unique_ptr<libusb_context, ContextExit>;
using ConfigDescriptor = std::unique_ptr<libusb_config_descriptor, ConfigFree>;
using OpenedHandle = std::unique_ptr<libusb_device_handle, HandleClose>;
using DeviceList = std::unique_ptr<libusb_device*, ListFree>;

// The active configuration's descriptor; empty (with libusb's error code in `result`) when it
// cannot be read.
ConfigDescriptor ActiveConfig(libusb_device* device, int& result) {
  libusb_config_descriptor* config = nullptr;
  result = libusb_get_active_config_descriptor(device, &config);
  return ConfigDescriptor(result == LIBUSB_SUCCESS ? config : nullptr);
}

// An interface claimed on an open device. Letting go of one is written here once, for every
// path: releasing the claim gives the interface back to the kernel driver that was detached for
// it (auto-detach attaches it again on release; a no-op for a vanished device), then the device
// is closed.
struct ClaimRelease {
  std::uint8_t interface = 0;
  void operator()(libusb_device_handle* handle) const {
    libusb_release_interface(handle, interface);
    HandleClose()(handle);
  }
};
using ClaimedHandle = std::unique_ptr<libusb_device_handle, ClaimRelease>;

// Claims `interface` of an opened device, detaching whatever kernel driver holds it (for the
// console, the kernel's USB-serial driver). Where the platform cannot detach, the claim fails if
// a driver holds the interface. On failure the device is closed again and `result` tells why.
ClaimedHandle Claim(OpenedHandle opened, std::uint8_t interface, int& result) {
  libusb_set_auto_detach_kernel_driver(opened.get(), 1);
  result = libusb_claim_interface(opened.get(), interface);
  if (result != LIBUSB_SUCCESS) {
    return ClaimedHandle();
  }
  return ClaimedHandle(opened.release(), ClaimRelease{interface});
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
  UsbContext usb;
  // With hotplug events: the callback counts them, and the thread handles the context's events
  // (which runs the callback) until the context ends. It sleeps until an event comes.
  bool hotplug = false;
  std::atomic<std::uint64_t> hotplug_events{0};
  std::atomic<bool> stop{false};
  std::thread events;

  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  // The thread ends before the context (libusb_exit also drops the callback).
  ~Context() {
    if (events.joinable()) {
      stop = true;
      libusb_interrupt_event_handler(usb.get());
      events.join();
    }
  }

  static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event,
                                   void* context) {
    ++static_cast<Context*>(context)->hotplug_events;
    return 0;  // stay registered
  }

  // Registers the callback and starts the thread; false (and nothing done) when libusb refuses.
  bool ListenForHotplug() {
    hotplug = libusb_hotplug_register_callback(
                  usb.get(), LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                  0, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                  &Context::OnHotplug, this, nullptr) == LIBUSB_SUCCESS;
    if (hotplug) {
      events = std::thread([this] {
        while (!stop) {
          timeval wait{kHotplugWaitSeconds, 0};
          libusb_handle_events_timeout_completed(usb.get(), &wait, nullptr);
        }
      });
    }
    return hotplug;
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
  // The device's ids and its active configuration when it was listed, so that a search reads
  // nothing again.
  HidAttributes attributes;
  std::shared_ptr<const libusb_config_descriptor> config;
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

  // Set once the device is opened and the interface claimed; declared after `reference`, so that
  // the claim is given back before the context can end.
  ClaimedHandle usb;
  ReportDescriptorInfo reports;
  std::vector<std::uint8_t> report_descriptor;

  InputReportQueue queue;
  std::thread reader;
  std::atomic<bool> stop_reader{false};
  std::atomic<bool> in_flight{false};
  std::atomic<bool> halted{false};
  // Touched only by OnInput, which runs on one thread at a time.
  int input_errors = 0;
  std::mutex failure_mutex;
  std::string failure;

  explicit Device(Reference ref) : reference(std::move(ref)) {}
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  // The reader stops before the claim (a member) is given back.
  ~Device() { StopReader(); }

  libusb_context* Events() const { return reference.context->usb.get(); }

  // The device failed for `why` (as read failures tell it, after "read <path>: ").
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

  // The longest report ReadReport delivers, counted with its report-id byte: the descriptor's
  // input report, or a whole input transfer when that is longer.
  std::size_t InputReportLength() const {
    return std::max<std::size_t>(reports.input_length,
                                 InputTransferLength() + (reports.uses_report_ids ? 0 : 1));
  }

  // Bytes an input transfer asks for: the longest input report or packet on the wire.
  std::size_t InputTransferLength() const {
    return tessun::InputTransferLength(reports.input_length, reports.uses_report_ids, in_max_packet,
                                       kMaxInputTransfer);
  }

  static void LIBUSB_CALL InputDone(libusb_transfer* transfer) {
    static_cast<Device*>(transfer->user_data)->OnInput(*transfer);
  }

  // Runs on whichever thread handles the context's events: only flags and the queue are touched.
  void OnInput(const libusb_transfer& transfer) {
    const std::span<const std::uint8_t> received(
        transfer.buffer, static_cast<std::size_t>(std::max(transfer.actual_length, 0)));
    InputTransferVerdict verdict = TakeInputTransfer(TransferEnd(transfer.status), received,
                                                     reports.uses_report_ids, input_errors, queue);
    if (verdict.clear_halt) {
      halted = true;
    }
    if (!verdict.failure.empty()) {
      Fail(std::move(verdict.failure));
    }
    in_flight = false;
  }

  // The reader thread: keeps one interrupt IN transfer pending until told to stop or the device
  // fails, handling the context's events meanwhile.
  void ReadInput() {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
      Fail("no transfer for input: " + UsbReason(LIBUSB_ERROR_NO_MEM));
      return;
    }
    std::vector<std::uint8_t> buffer(InputTransferLength());
    libusb_fill_interrupt_transfer(transfer, usb.get(), in_endpoint, buffer.data(),
                                   static_cast<int>(buffer.size()), &Device::InputDone, this, 0);
    bool cancelled = false;
    for (;;) {
      if (!in_flight) {
        if (stop_reader || queue.Failed()) {
          break;
        }
        if (halted.exchange(false)) {
          libusb_clear_halt(usb.get(), in_endpoint);
        }
        in_flight = true;
        const int result = libusb_submit_transfer(transfer);
        if (result != LIBUSB_SUCCESS) {
          in_flight = false;
          Fail("input transfer: " + UsbReason(result));
          break;
        }
      }
      if (stop_reader && !cancelled) {
        libusb_cancel_transfer(transfer);
        cancelled = true;
      }
      timeval wait{0, kReaderPollMicroseconds};
      libusb_handle_events_timeout_completed(Events(), &wait, nullptr);
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
      libusb_interrupt_event_handler(Events());
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

LibusbPort::LibusbPort() : LibusbPort(ChangeSigns{UeventWatch::Kernel(), "/run/udev/control"}) {}

LibusbPort::LibusbPort(ChangeSigns signs) : signs_(std::move(signs)) {}

LibusbPort::~LibusbPort() {
  const std::lock_guard lock(mutex_);
  while (!handles_.empty()) {
    CloseLocked(handles_.begin()->first);
  }
  listed_.clear();
  context_.reset();
}

std::uint64_t LibusbPort::Enumerations() const {
  const std::lock_guard lock(mutex_);
  return enumerations_;
}

std::uint64_t LibusbPort::ContextsStarted() const {
  const std::lock_guard lock(mutex_);
  return contexts_started_;
}

bool LibusbPort::HotplugEvents() const {
  const std::lock_guard lock(mutex_);
  return context_ && context_->hotplug;
}

void LibusbPort::RefreshLocked() {
  // The signs are looked at before the enumeration, so that a device that comes during it is
  // looked for again at the next listing.
  const bool hotplug = context_ && context_->hotplug;
  bool changed = signs_.uevents.Listening() ? signs_.uevents.UsbChanged() : !hotplug;
  if (hotplug) {
    const std::uint64_t seen = std::exchange(hotplug_seen_, context_->hotplug_events);
    changed = changed || hotplug_seen_ != seen;
    // The kernel added or removed a device, and no hotplug event ever came.
    const bool behind =
        hotplug_seen_ == 0 && signs_.uevents.DevicesComeAndGone() > devices_at_start_;
    hotplug_behind_ = behind ? hotplug_behind_ + 1 : 0;
    if (hotplug_behind_ > kHotplugGraceListings) {
      hotplug_trusted_ = false;
      changed = true;
    }
  }
  if (std::exchange(enumerate_again_, changed) || changed) {
    list_failure_ = EnumerateLocked();
  }
}

std::string LibusbPort::EnumerateLocked() {
  ++enumerations_;
  std::string failure;
  // A context that takes hotplug events stays (while they come); any other never looks at the
  // bus again, so a new one is started. The new context is made before the old one ends, so
  // libusb's process-wide state (its hotplug monitor) is not torn down and built again.
  std::shared_ptr<Context> context = context_;
  if (!context || !context->hotplug || !hotplug_trusted_) {
    context = std::make_shared<Context>();
    libusb_context* usb = nullptr;
    const int init = libusb_init(&usb);
    if (init != LIBUSB_SUCCESS) {
      failure = "libusb unusable: " + UsbReason(init);
      context.reset();
    } else {
      ++contexts_started_;
      context->usb.reset(usb);
      if (hotplug_trusted_ && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
          access(signs_.udev_running.c_str(), F_OK) == 0 && context->ListenForHotplug()) {
        hotplug_seen_ = 0;
        devices_at_start_ = signs_.uevents.DevicesComeAndGone();
      }
    }
  }
  std::vector<Listed> listed;
  libusb_device** devices = nullptr;
  const ssize_t count = context ? libusb_get_device_list(context->usb.get(), &devices) : 0;
  if (count < 0) {
    failure = "device list unreadable: " + UsbReason(static_cast<int>(count));
  }
  const DeviceList list(count < 0 ? nullptr : devices);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device* device = list.get()[i];
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(device, &descriptor);  // cached: never fails
    int result = LIBUSB_SUCCESS;
    const std::shared_ptr<const libusb_config_descriptor> config = ActiveConfig(device, result);
    if (!config) {
      continue;  // not configured: no interfaces to offer
    }
    for (int n = 0; n < config->bNumInterfaces; ++n) {
      const libusb_interface& interface = config->interface[n];
      if (interface.num_altsetting > 0 &&
          interface.altsetting[0].bInterfaceClass == LIBUSB_CLASS_HID) {
        const UsbInterfacePath where{libusb_get_bus_number(device),
                                     libusb_get_device_address(device),
                                     interface.altsetting[0].bInterfaceNumber};
        listed.push_back(
            Listed{FormatUsbInterfacePath(where), Reference(context, device),
                   HidAttributes{descriptor.idVendor, descriptor.idProduct, descriptor.bcdDevice},
                   config});
      }
    }
  }
  // The old list's references go before its context (which ends unless a device holds it).
  listed_ = std::move(listed);
  context_ = std::move(context);
  return failure;
}

PortResult<std::vector<std::string>> LibusbPort::ListHidInterfaces() {
  const std::lock_guard lock(mutex_);
  RefreshLocked();
  PortResult<std::vector<std::string>> paths;
  if (!list_failure_.empty()) {
    paths.error = PortError::Of("list", "", list_failure_);
  }
  paths.value.reserve(listed_.size());
  for (const Listed& listed : listed_) {
    paths.value.push_back(listed.path);
  }
  return paths;
}

std::shared_ptr<LibusbPort::Device> LibusbPort::FindOrCreateDeviceLocked(const std::string& path,
                                                                         PortError& error) {
  if (const auto open = devices_.find(path); open != devices_.end()) {
    return open->second;
  }
  const auto where = ParseUsbInterfacePath(path);
  if (!where) {
    error = PortError::Of("open", path, "not a USB interface path");
    return nullptr;
  }
  auto find = [&] {
    return std::find_if(listed_.begin(), listed_.end(),
                        [&](const Listed& listed) { return listed.path == path; });
  };
  auto listed = find();
  if (listed == listed_.end()) {
    // Not in the last enumeration (or none was made): look at the devices present now, if they
    // may have changed.
    RefreshLocked();
    listed = find();
    if (listed == listed_.end()) {
      error = PortError::Of("open", path,
                            list_failure_.empty() ? "not present" : "not present; " + list_failure_,
                            PortFailure::kNotPresent);
      return nullptr;
    }
  }

  const libusb_interface_descriptor* interface = FindInterface(*listed->config, where->interface);
  if (interface == nullptr) {
    error = PortError::Of("open", path, "interface gone", PortFailure::kNotPresent);
    return nullptr;
  }

  auto device =
      std::make_shared<Device>(Reference(listed->reference.context, listed->reference.device));
  device->path = path;
  device->where = *where;
  device->attributes = listed->attributes;
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
  return device;
}

PortResult<PortHandle> LibusbPort::Open(const std::string& path, OpenMode mode) {
  const std::lock_guard lock(mutex_);
  PortResult<PortHandle> opened{kNoHandle, {}};
  std::shared_ptr<Device> device = FindOrCreateDeviceLocked(path, opened.error);
  if (!device) {
    return opened;
  }
  if (mode == OpenMode::kForReads) {
    opened.error = AcquireLocked(*device);
    if (!opened.error && device->in_endpoint == 0) {
      opened.error = PortError::Of("open", path, "no interrupt IN endpoint");
    }
    if (opened.error) {
      // A device without open handles is let go of again.
      if (device->handles == 0) {
        ReleaseLocked(*device);
      }
      return opened;
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
  opened.value = id;
  return opened;
}

PortError LibusbPort::AcquireLocked(Device& device) {
  if (device.usb) {
    return {};
  }
  // The caller must be allowed to open the device's usbfs node for reading and writing; without
  // the udev rule an ordinary user is not.
  const std::string node = UsbfsNodePath(device.where.bus, device.where.address);
  if (access(node.c_str(), R_OK | W_OK) != 0) {
    const int error = errno;
    return PortError::Of("open", device.path, AccessReason(error) + " (" + node + ")",
                         error == ENOENT ? PortFailure::kNotPresent : PortFailure::kAccessDenied);
  }
  libusb_device_handle* opened = nullptr;
  int result = libusb_open(device.reference.device, &opened);
  if (result != LIBUSB_SUCCESS) {
    return UsbError("open", device.path, result);
  }
  ClaimedHandle usb = Claim(OpenedHandle(opened), device.where.interface, result);
  if (!usb) {
    return UsbError("claim", device.path, result);
  }

  // The report descriptor, as long as the HID class descriptor announces it.
  const std::uint16_t length =
      std::min(ReportDescriptorLength(device.class_descriptors).value_or(kMaxReportDescriptor),
               kMaxReportDescriptor);
  std::vector<std::uint8_t> descriptor(length);
  const ControlSetup setup = GetReportDescriptorSetup(device.where.interface, length);
  result = length == 0 ? 0
                       : libusb_control_transfer(usb.get(), setup.request_type, setup.request,
                                                 setup.value, setup.index, descriptor.data(),
                                                 setup.length, kTransferTimeoutMs);
  if (result <= 0) {
    // Without its report descriptor a device is no usable HID device; the claim is given back.
    return result < 0 ? UsbError("GET_DESCRIPTOR", device.path, result)
                      : PortError::Of("GET_DESCRIPTOR", device.path, "empty report descriptor");
  }
  descriptor.resize(static_cast<std::size_t>(result));
  device.reports = ParseReportDescriptor(descriptor);
  device.report_descriptor = std::move(descriptor);
  device.usb = std::move(usb);
  return {};
}

void LibusbPort::ReleaseLocked(Device& device) {
  device.StopReader();
  device.usb.reset();
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

PortError LibusbPort::Close(PortHandle handle) {
  const std::lock_guard lock(mutex_);
  if (!FindLocked(handle)) {
    return PortError::NotOpen("close");
  }
  CloseLocked(handle);
  return {};
}

PortResult<HidAttributes> LibusbPort::GetAttributes(PortHandle handle) {
  const std::lock_guard lock(mutex_);
  const auto found = FindLocked(handle);
  if (!found) {
    return {{}, PortError::NotOpen("attributes")};
  }
  return {found->device->attributes, {}};
}

PortError LibusbPort::SetNumInputBuffers(PortHandle handle, int count) {
  const std::lock_guard lock(mutex_);
  const auto found = FindLocked(handle);
  if (!found) {
    return PortError::NotOpen("input buffers");
  }
  if (count <= 0 || !found->device->queue.SetCapacity(static_cast<std::size_t>(count))) {
    return PortError::Of("input buffers", found->device->path,
                         "count " + std::to_string(count) + " refused");
  }
  return {};
}

PortResult<std::optional<int>> LibusbPort::ReportLengthLocked(PortHandle handle, bool input) {
  const auto found = FindLocked(handle);
  if (!found) {
    return {std::nullopt, PortError::NotOpen("capabilities")};
  }
  Device& device = *found->device;
  if (PortError error = AcquireLocked(device)) {
    return {std::nullopt, std::move(error)};
  }
  const std::size_t length = input ? device.InputReportLength() : device.reports.output_length;
  if (length == 0) {
    return {};
  }
  return {static_cast<int>(std::min<std::size_t>(length, std::numeric_limits<int>::max())), {}};
}

PortResult<std::optional<int>> LibusbPort::OutputReportLength(PortHandle handle) {
  const std::lock_guard lock(mutex_);
  return ReportLengthLocked(handle, false);
}

PortResult<std::optional<int>> LibusbPort::InputReportLength(PortHandle handle) {
  const std::lock_guard lock(mutex_);
  return ReportLengthLocked(handle, true);
}

PortError LibusbPort::SendLocked(Device& device, bool feature,
                                 std::span<const std::uint8_t> report) {
  const std::string_view operation = feature ? "feature report" : "output report";
  if (report.empty()) {
    return PortError::Of(operation, device.path, "empty report");
  }
  if (PortError error = AcquireLocked(device)) {
    return error;
  }
  // Without report ids the only report id is 0; the platform HID driver refuses any other.
  if (!device.reports.uses_report_ids && report[0] != 0) {
    return PortError::Of(operation, device.path,
                         "report id " + std::to_string(report[0]) + " for a device without ids");
  }
  const std::span<const std::uint8_t> wire = ReportToWire(report, device.reports.uses_report_ids);
  if (wire.empty() || wire.size() > std::numeric_limits<std::uint16_t>::max()) {
    return PortError::Of(
        operation, device.path,
        "no report of " + std::to_string(report.size()) + " bytes goes on the wire");
  }
  std::vector<std::uint8_t> data(wire.begin(), wire.end());
  const int length = static_cast<int>(data.size());
  // All of the report, or the failure of the part that did not go.
  const auto sent = [&](int written) {
    return written == length ? PortError{}
                             : PortError::Of(operation, device.path,
                                             std::to_string(written) + " of " +
                                                 std::to_string(length) + " bytes sent");
  };

  if (!feature && device.out_endpoint != 0) {
    int written = 0;
    const int result = libusb_interrupt_transfer(device.usb.get(), device.out_endpoint, data.data(),
                                                 length, &written, kTransferTimeoutMs);
    if (result != LIBUSB_SUCCESS) {
      return UsbError(operation, device.path, result);
    }
    return sent(written);
  }
  const ControlSetup setup =
      SetReportSetup(feature ? HidReportType::kFeature : HidReportType::kOutput,
                     device.reports.uses_report_ids ? report[0] : 0, device.where.interface,
                     static_cast<std::uint16_t>(length));
  const int result =
      libusb_control_transfer(device.usb.get(), setup.request_type, setup.request, setup.value,
                              setup.index, data.data(), setup.length, kTransferTimeoutMs);
  if (result < 0) {
    return UsbError(operation, device.path, result);
  }
  return sent(result);
}

PortError LibusbPort::SetFeature(PortHandle handle, std::span<const std::uint8_t> report) {
  const std::lock_guard lock(mutex_);
  const auto found = FindLocked(handle);
  return found ? SendLocked(*found->device, true, report) : PortError::NotOpen("feature report");
}

PortError LibusbPort::WriteReport(PortHandle handle, std::span<const std::uint8_t> report) {
  const std::lock_guard lock(mutex_);
  const auto found = FindLocked(handle);
  return found ? SendLocked(*found->device, false, report) : PortError::NotOpen("output report");
}

ReadResult LibusbPort::ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                  std::chrono::milliseconds timeout) {
  std::shared_ptr<Handle> found;
  {
    const std::lock_guard lock(mutex_);
    found = FindLocked(handle);
    if (!found) {
      return ReadResult::Failed(PortError::NotOpen("read"));
    }
    if (found->mode != OpenMode::kForReads) {
      return ReadResult::Failed(PortError::Of("read", found->device->path, "not open for reads"));
    }
  }
  // Waits without the port's lock, so that Close can end the wait from another thread.
  ReadResult result = found->device->queue.Pop(buffer, timeout, found->closed);
  if (result.status == ReadStatus::kFailed) {
    const std::string why = found->device->Failure();
    result.error = PortError::Of("read", found->device->path, why.empty() ? "handle closed" : why);
  }
  return result;
}

std::optional<DroppedReports> LibusbPort::DroppedInputReports(PortHandle handle) {
  const std::lock_guard lock(mutex_);
  const auto found = handles_.find(handle);
  if (found == handles_.end() || found->second->mode != OpenMode::kForReads) {
    return DroppedReports{};
  }
  return found->second->device->queue.Dropped();
}

PortResult<RawDescriptors> LibusbPort::ReadRawDescriptors(PortHandle handle) {
  const std::lock_guard lock(mutex_);
  const auto found = FindLocked(handle);
  if (!found) {
    return {{}, PortError::NotOpen("descriptors")};
  }
  Device& device = *found->device;
  if (PortError error = AcquireLocked(device)) {
    return {{}, std::move(error)};
  }
  int failure = LIBUSB_SUCCESS;
  // One descriptor as the device sends it now (GET_DESCRIPTOR), at most `length` bytes.
  const auto get = [&](std::uint8_t type, std::uint8_t index, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    const int got = libusb_get_descriptor(device.usb.get(), type, index, bytes.data(),
                                          static_cast<int>(length));
    failure = got < 0 ? got : failure;
    bytes.resize(static_cast<std::size_t>(std::max(got, 0)));
    return bytes;
  };
  RawDescriptors raw;
  raw.report = device.report_descriptor;
  raw.device = get(LIBUSB_DT_DEVICE, 0, LIBUSB_DT_DEVICE_SIZE);
  int active = 0;
  libusb_get_configuration(device.usb.get(), &active);
  // The active configuration is the one whose bConfigurationValue (byte 5) is in use; its
  // descriptors are wTotalLength (bytes 2 and 3) long.
  const int configurations = raw.device.size() == LIBUSB_DT_DEVICE_SIZE ? raw.device.back() : 0;
  for (int index = 0; index < configurations && raw.configuration.empty(); ++index) {
    const auto head =
        get(LIBUSB_DT_CONFIG, static_cast<std::uint8_t>(index), LIBUSB_DT_CONFIG_SIZE);
    if (head.size() == LIBUSB_DT_CONFIG_SIZE && head[5] == active) {
      raw.configuration = get(LIBUSB_DT_CONFIG, static_cast<std::uint8_t>(index),
                              static_cast<std::size_t>(head[2] | head[3] << 8));
    }
  }
  if (failure != LIBUSB_SUCCESS) {
    return {{}, UsbError("GET_DESCRIPTOR", device.path, failure)};
  }
  return {std::move(raw), {}};
}

void LibusbPort::CancelRead(PortHandle) {
  // ReadReport never leaves a read outstanding: a report that arrives after its time-out stays
  // queued for the next read, so there is nothing to cancel.
}

}  // namespace tessun
