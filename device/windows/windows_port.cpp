#include "device/windows/windows_port.h"

// Without this the Windows SDK's <windows.h> defines min and max as macros.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <setupapi.h>

// MinGW's HID headers lack the C++ guards that the Windows SDK's have; a second extern "C"
// around the SDK's is harmless.
extern "C" {
#include <hidsdi.h>

#include <hidpi.h>
}

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>

#include "device/windows/windows_port_detail.h"

#ifndef HIDP_STATUS_SUCCESS
#define HIDP_STATUS_SUCCESS (static_cast<NTSTATUS>(0x00110000))
#endif

namespace tessun {

namespace {

PortHandle AsPortHandle(HANDLE handle) {
  return reinterpret_cast<PortHandle>(handle);
}

bool ReadCaps(HANDLE handle, HIDP_CAPS& caps) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(handle, &preparsed)) {
    return false;
  }
  const bool ok = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
  HidD_FreePreparsedData(preparsed);
  return ok;
}

// The reason of the call that failed just before, as the system words it. Called first thing
// after the failed call, before anything else can change the thread's last error.
std::string SystemError() {
  const DWORD code = GetLastError();
  char message[512] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message, sizeof message, nullptr);
  return windows_detail::TidySystemMessage(std::string_view(message, length), code);
}

DWORD WaitMilliseconds(std::chrono::milliseconds timeout) {
  // INFINITE itself is excluded: every wait of the port ends.
  return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(
      timeout.count(), 0, std::chrono::milliseconds::rep{INFINITE - 1}));
}

}  // namespace

struct WindowsPort::ReadRecord {
  OVERLAPPED overlap{};
  std::vector<std::uint8_t> buffer;
  // A read was started into `buffer` and the system has not given the record back yet.
  bool outstanding = false;
};

struct WindowsPort::OpenHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  OpenMode mode = OpenMode::kSynchronous;
  std::string path;
  // The device's input report length (read handles only; 0 when unknown).
  int input_report_length = 0;
  std::unique_ptr<ReadRecord> read;  // read handles only
};

WindowsPort::WindowsPort() = default;

WindowsPort::~WindowsPort() {
  while (!handles_.empty()) {
    Close(handles_.begin()->first);
  }
  if (read_event_ != nullptr) {
    CloseHandle(read_event_);
  }
  // A parked read may still be written by the system until the process ends: its memory is
  // deliberately never given back.
  for (auto& parked : parked_reads_) {
    static_cast<void>(parked.release());
  }
}

void WindowsPort::FailWithSystemError(std::string_view operation, const std::string& path) {
  const DWORD code = GetLastError();
  const std::string reason = SystemError();
  Fail(operation, path, reason, windows_detail::FailureOfSystemError(code));
}

void WindowsPort::Fail(std::string_view operation, const std::string& path,
                       const std::string& reason, PortFailure kind) {
  last_failure_ = kind;
  last_error_ = PortErrorText(operation, path, reason);
}

std::vector<std::string> WindowsPort::ListHidInterfaces() {
  last_error_.clear();
  last_failure_ = PortFailure::kNone;
  std::vector<std::string> paths;
  GUID hid_guid;
  HidD_GetHidGuid(&hid_guid);
  const HDEVINFO set =
      SetupDiGetClassDevsA(&hid_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    Fail("list", "", SystemError());
    return paths;
  }

  // Record sizes come from the platform's structures, not from fixed numbers: cbSize is 28 for
  // the interface-data record and 5 for the detail record in a 32-bit program, but 32 and 8 in a
  // 64-bit one (pointer size and packing), and the calls reject any other value.
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hid_guid, index, &interface_data)) {
      break;
    }
    // The first call only reports the size the detail record needs; it fails by design.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required, nullptr);
    std::vector<std::uint8_t> detail(
        std::max<std::size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) + 1, 0);
    const DWORD detail_size = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    std::memcpy(detail.data(), &detail_size, sizeof detail_size);
    // A member whose detail cannot be read keeps its place in the list with an empty path,
    // which no open accepts.
    if (SetupDiGetDeviceInterfaceDetailA(
            set, &interface_data,
            reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail.data()),
            static_cast<DWORD>(detail.size()), &required, nullptr)) {
      paths.push_back(windows_detail::DevicePathFromDetail(
          detail, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)));
    } else {
      paths.emplace_back();
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

PortHandle WindowsPort::Open(const std::string& path, OpenMode mode) {
  last_error_.clear();
  last_failure_ = PortFailure::kNone;
  // nLength is 12 in a 32-bit program and 24 in a 64-bit one: taken from the structure.
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(SECURITY_ATTRIBUTES);
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  const DWORD flags = mode == OpenMode::kForReads ? FILE_FLAG_OVERLAPPED : 0;
  const HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &security, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    FailWithSystemError("open", path);
    return kNoHandle;
  }
  // Every read of a read handle waits on the port's read event: without one it cannot be read.
  if (mode == OpenMode::kForReads && ReadEvent() == nullptr) {
    Fail("open", path, "read event: " + SystemError());
    CloseHandle(handle);
    return kNoHandle;
  }

  auto open = std::make_unique<OpenHandle>();
  open->handle = handle;
  open->mode = mode;
  open->path = path;
  if (const auto asked = input_buffers_.find(path); asked != input_buffers_.end()) {
    HidD_SetNumInputBuffers(handle, static_cast<ULONG>(asked->second));
  }
  if (mode == OpenMode::kForReads) {
    HIDP_CAPS caps{};
    if (ReadCaps(handle, caps)) {
      open->input_report_length = caps.InputReportByteLength;
    }
    open->read = std::make_unique<ReadRecord>();
  }
  const PortHandle id = AsPortHandle(handle);
  handles_[id] = std::move(open);
  return id;
}

WindowsPort::OpenHandle* WindowsPort::Find(PortHandle handle) {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : it->second.get();
}

WindowsPort::OpenHandle* WindowsPort::Begin(PortHandle handle, std::string_view operation) {
  last_error_.clear();
  last_failure_ = PortFailure::kNone;
  OpenHandle* open = Find(handle);
  if (open == nullptr) {
    Fail(operation, "", "not an open handle");
  }
  return open;
}

bool WindowsPort::Close(PortHandle handle) {
  OpenHandle* open = Begin(handle, "close");
  if (open == nullptr) {
    return false;
  }
  if (open->read && open->read->outstanding) {
    FinishRead(*open);
  }
  const bool closed = CloseHandle(open->handle) != 0;
  if (!closed) {
    Fail("close", open->path, SystemError());
  }
  handles_.erase(handle);
  return closed;
}

bool WindowsPort::GetAttributes(PortHandle handle, HidAttributes& attributes) {
  const OpenHandle* open = Begin(handle, "attributes");
  if (open == nullptr) {
    return false;
  }
  HIDD_ATTRIBUTES hid{};
  hid.Size = sizeof(HIDD_ATTRIBUTES);
  if (!HidD_GetAttributes(open->handle, &hid)) {
    FailWithSystemError("attributes", open->path);
    return false;
  }
  attributes.VendorID = hid.VendorID;
  attributes.ProductID = hid.ProductID;
  attributes.VersionNumber = hid.VersionNumber;
  return true;
}

bool WindowsPort::SetNumInputBuffers(PortHandle handle, int count) {
  const OpenHandle* open = Begin(handle, "input buffers");
  if (open == nullptr) {
    return false;
  }
  if (count < 0) {
    Fail("input buffers", open->path, "count " + std::to_string(count) + " refused");
    return false;
  }
  if (!HidD_SetNumInputBuffers(open->handle, static_cast<ULONG>(count))) {
    Fail("input buffers", open->path, SystemError());
    return false;
  }
  input_buffers_[open->path] = count;
  return true;
}

int WindowsPort::InputBuffers(PortHandle handle) {
  const OpenHandle* open = Find(handle);
  ULONG count = 0;
  if (open == nullptr || !HidD_GetNumInputBuffers(open->handle, &count)) {
    return 0;
  }
  return static_cast<int>(count);
}

std::optional<WindowsPort::ReportLengths> WindowsPort::Capabilities(PortHandle handle) {
  const OpenHandle* open = Begin(handle, "capabilities");
  if (open == nullptr) {
    return std::nullopt;
  }
  HIDP_CAPS caps{};
  if (!ReadCaps(open->handle, caps)) {
    Fail("capabilities", open->path, "HID capabilities unreadable");
    return std::nullopt;
  }
  return ReportLengths{caps.OutputReportByteLength, caps.InputReportByteLength};
}

int WindowsPort::OutputReportLength(PortHandle handle) {
  const auto lengths = Capabilities(handle);
  return lengths ? lengths->output : 0;
}

int WindowsPort::InputReportLength(PortHandle handle) {
  const auto lengths = Capabilities(handle);
  return lengths ? lengths->input : 0;
}

void* WindowsPort::ReadEvent() {
  if (read_event_ == nullptr) {
    // Manual reset, initially signalled, unnamed (a name would let other programs share it).
    read_event_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  }
  return read_event_;
}

bool WindowsPort::SetFeature(PortHandle handle, std::span<const std::uint8_t> report) {
  const OpenHandle* open = Begin(handle, "feature report");
  if (open == nullptr) {
    return false;
  }
  if (report.empty()) {
    Fail("feature report", open->path, "empty report");
    return false;
  }
  // HidD_SetFeature takes a writable buffer.
  std::vector<std::uint8_t> copy(report.begin(), report.end());
  if (!HidD_SetFeature(open->handle, copy.data(), static_cast<ULONG>(copy.size()))) {
    FailWithSystemError("feature report", open->path);
    return false;
  }
  return true;
}

bool WindowsPort::WriteReport(PortHandle handle, std::span<const std::uint8_t> report) {
  const OpenHandle* open = Begin(handle, "output report");
  if (open == nullptr) {
    return false;
  }
  // A synchronous write without a read record needs the synchronous handle.
  if (open->mode != OpenMode::kSynchronous) {
    Fail("output report", open->path, "not a synchronous handle");
    return false;
  }
  if (report.empty()) {
    Fail("output report", open->path, "empty report");
    return false;
  }
  DWORD written = 0;
  if (!WriteFile(open->handle, report.data(), static_cast<DWORD>(report.size()), &written,
                 nullptr)) {
    FailWithSystemError("output report", open->path);
    return false;
  }
  if (written != report.size()) {
    Fail("output report", open->path,
         std::to_string(written) + " of " + std::to_string(report.size()) + " bytes written");
    return false;
  }
  return true;
}

ReadResult WindowsPort::ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds timeout) {
  OpenHandle* open = Begin(handle, "read");
  if (open == nullptr) {
    return {ReadStatus::kFailed, 0};
  }
  // Open made the read event with the read handle.
  const HANDLE event = read_event_;
  if (!open->read || event == nullptr) {
    Fail("read", open->path, "not open for reads");
    return {ReadStatus::kFailed, 0};
  }
  ReadRecord& read = *open->read;

  if (!read.outstanding) {
    read.buffer.assign(windows_detail::ReadBufferLength(buffer.size(), open->input_report_length),
                       0);
    if (read.buffer.empty()) {
      Fail("read", open->path, "no room for a report");
      return {ReadStatus::kFailed, 0};
    }
    read.overlap = OVERLAPPED{};
    read.overlap.hEvent = event;
    // ReadFile resets the event itself when it starts; resetting it here as well keeps a
    // completion signalled by an earlier read from being taken for this one.
    ResetEvent(event);
    if (!ReadFile(open->handle, read.buffer.data(), static_cast<DWORD>(read.buffer.size()), nullptr,
                  &read.overlap) &&
        GetLastError() != ERROR_IO_PENDING) {
      // The read never started, so nothing is outstanding.
      Fail("read", open->path, SystemError());
      return {ReadStatus::kFailed, 0};
    }
    read.outstanding = true;
  }

  const DWORD wait = WaitForSingleObject(event, WaitMilliseconds(timeout));
  if (wait == WAIT_TIMEOUT && timeout.count() <= 0) {
    // Only a report queued now was asked for: the read is taken back, and if a report completed
    // it before it could be cancelled, that report is delivered.
    const std::optional<unsigned long> completed = FinishRead(*open);
    if (!completed) {
      return {ReadStatus::kTimedOut, 0};
    }
    return {ReadStatus::kCompleted,
            windows_detail::DeliverReport(open->read->buffer, *completed, buffer)};
  }
  // The reason of a failed wait, taken before any other call.
  std::string why = wait == WAIT_FAILED ? SystemError() : std::string();
  DWORD transferred = 0;
  bool transfer_ok = false;
  if (wait == WAIT_OBJECT_0) {
    transfer_ok = GetOverlappedResult(open->handle, &read.overlap, &transferred, FALSE) != 0;
    if (!transfer_ok) {
      why = SystemError();
    }
    read.outstanding = !HasOverlappedIoCompleted(&read.overlap);
  }
  const ReadStatus status = windows_detail::StatusOfWait(wait, transfer_ok && !read.outstanding);
  if (status == ReadStatus::kFailed) {
    Fail("read", open->path, why.empty() ? "wait ended without a report" : why);
  }
  if (status != ReadStatus::kCompleted) {
    // A timed-out or failed read stays outstanding until CancelRead or Close takes it back.
    return {status, 0};
  }
  return {status, windows_detail::DeliverReport(read.buffer, transferred, buffer)};
}

void WindowsPort::CancelRead(PortHandle handle) {
  last_error_.clear();
  last_failure_ = PortFailure::kNone;
  OpenHandle* open = Find(handle);
  if (open != nullptr && open->read && open->read->outstanding) {
    FinishRead(*open);
  }
}

std::optional<unsigned long> WindowsPort::FinishRead(OpenHandle& open) {
  ReadRecord& read = *open.read;
  CancelIo(open.handle);
  // Wait until the system has finished with the record and the buffer: a cancelled read
  // completes (with ERROR_OPERATION_ABORTED, or with data that arrived just before).
  DWORD transferred = 0;
  const bool delivered = GetOverlappedResult(open.handle, &read.overlap, &transferred, TRUE) != 0;
  if (HasOverlappedIoCompleted(&read.overlap)) {
    read.outstanding = false;
    return delivered ? std::optional<unsigned long>(transferred) : std::nullopt;
  }
  // The system still holds the record: it is kept alive for good and the handle gets a new one.
  parked_reads_.push_back(std::move(open.read));
  open.read = std::make_unique<ReadRecord>();
  return std::nullopt;
}

}  // namespace tessun
