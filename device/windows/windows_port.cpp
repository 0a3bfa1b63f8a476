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
#include <utility>

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
std::string SystemReason(DWORD code = GetLastError()) {
  char message[512] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message, sizeof message, nullptr);
  return windows_detail::TidySystemMessage(std::string_view(message, length), code);
}

// The failure of `operation` on `path` for the call that failed just before: the system's reason
// and the kind of its error code. Called first thing after the failed call.
PortError SystemError(std::string_view operation, const std::string& path) {
  const DWORD code = GetLastError();
  return PortError::Of(operation, path, SystemReason(code),
                       windows_detail::FailureOfSystemError(code));
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

PortResult<std::vector<std::string>> WindowsPort::ListHidInterfaces() {
  PortResult<std::vector<std::string>> listed;
  std::vector<std::string>& paths = listed.value;
  GUID hid_guid;
  HidD_GetHidGuid(&hid_guid);
  const HDEVINFO set =
      SetupDiGetClassDevsA(&hid_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    listed.error = PortError::Of("list", "", SystemReason());
    return listed;
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
  return listed;
}

PortResult<PortHandle> WindowsPort::Open(const std::string& path, OpenMode mode) {
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
    return {kNoHandle, SystemError("open", path)};
  }
  // Every read of a read handle waits on the port's read event: without one it cannot be read.
  if (mode == OpenMode::kForReads && ReadEvent() == nullptr) {
    PortError error = PortError::Of("open", path, "read event: " + SystemReason());
    CloseHandle(handle);
    return {kNoHandle, std::move(error)};
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
  return {id, {}};
}

WindowsPort::OpenHandle* WindowsPort::Find(PortHandle handle) {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : it->second.get();
}

PortError WindowsPort::Close(PortHandle handle) {
  OpenHandle* open = Find(handle);
  if (open == nullptr) {
    return PortError::NotOpen("close");
  }
  if (open->read && open->read->outstanding) {
    FinishRead(*open);
  }
  PortError error;
  if (CloseHandle(open->handle) == 0) {
    error = PortError::Of("close", open->path, SystemReason());
  }
  handles_.erase(handle);
  return error;
}

PortResult<HidAttributes> WindowsPort::GetAttributes(PortHandle handle) {
  const OpenHandle* open = Find(handle);
  if (open == nullptr) {
    return {{}, PortError::NotOpen("attributes")};
  }
  HIDD_ATTRIBUTES hid{};
  hid.Size = sizeof(HIDD_ATTRIBUTES);
  if (!HidD_GetAttributes(open->handle, &hid)) {
    return {{}, SystemError("attributes", open->path)};
  }
  return {{hid.VendorID, hid.ProductID, hid.VersionNumber}, {}};
}

PortError WindowsPort::SetNumInputBuffers(PortHandle handle, int count) {
  const OpenHandle* open = Find(handle);
  if (open == nullptr) {
    return PortError::NotOpen("input buffers");
  }
  if (count < 0) {
    return PortError::Of("input buffers", open->path,
                         "count " + std::to_string(count) + " refused");
  }
  if (!HidD_SetNumInputBuffers(open->handle, static_cast<ULONG>(count))) {
    return PortError::Of("input buffers", open->path, SystemReason());
  }
  input_buffers_[open->path] = count;
  return {};
}

int WindowsPort::InputBuffers(PortHandle handle) {
  const OpenHandle* open = Find(handle);
  ULONG count = 0;
  if (open == nullptr || !HidD_GetNumInputBuffers(open->handle, &count)) {
    return 0;
  }
  return static_cast<int>(count);
}

PortResult<std::optional<int>> WindowsPort::CapsLength(PortHandle handle, bool input) {
  const OpenHandle* open = Find(handle);
  if (open == nullptr) {
    return {std::nullopt, PortError::NotOpen("capabilities")};
  }
  HIDP_CAPS caps{};
  if (!ReadCaps(open->handle, caps)) {
    return {std::nullopt, PortError::Of("capabilities", open->path, "HID capabilities unreadable")};
  }
  // The capabilities count 0 for a report the device does not have.
  const int length = input ? caps.InputReportByteLength : caps.OutputReportByteLength;
  return {length > 0 ? std::optional<int>(length) : std::nullopt, {}};
}

PortResult<std::optional<int>> WindowsPort::OutputReportLength(PortHandle handle) {
  return CapsLength(handle, false);
}

PortResult<std::optional<int>> WindowsPort::InputReportLength(PortHandle handle) {
  return CapsLength(handle, true);
}

void* WindowsPort::ReadEvent() {
  if (read_event_ == nullptr) {
    // Manual reset, initially signalled, unnamed (a name would let other programs share it).
    read_event_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  }
  return read_event_;
}

PortError WindowsPort::SetFeature(PortHandle handle, std::span<const std::uint8_t> report) {
  const OpenHandle* open = Find(handle);
  if (open == nullptr) {
    return PortError::NotOpen("feature report");
  }
  if (report.empty()) {
    return PortError::Of("feature report", open->path, "empty report");
  }
  // HidD_SetFeature takes a writable buffer.
  std::vector<std::uint8_t> copy(report.begin(), report.end());
  if (!HidD_SetFeature(open->handle, copy.data(), static_cast<ULONG>(copy.size()))) {
    return SystemError("feature report", open->path);
  }
  return {};
}

PortError WindowsPort::WriteReport(PortHandle handle, std::span<const std::uint8_t> report) {
  const OpenHandle* open = Find(handle);
  if (open == nullptr) {
    return PortError::NotOpen("output report");
  }
  // A synchronous write without a read record needs the synchronous handle.
  if (open->mode != OpenMode::kSynchronous) {
    return PortError::Of("output report", open->path, "not a synchronous handle");
  }
  if (report.empty()) {
    return PortError::Of("output report", open->path, "empty report");
  }
  DWORD written = 0;
  if (!WriteFile(open->handle, report.data(), static_cast<DWORD>(report.size()), &written,
                 nullptr)) {
    return SystemError("output report", open->path);
  }
  if (written != report.size()) {
    return PortError::Of(
        "output report", open->path,
        std::to_string(written) + " of " + std::to_string(report.size()) + " bytes written");
  }
  return {};
}

ReadResult WindowsPort::ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds timeout) {
  OpenHandle* open = Find(handle);
  if (open == nullptr) {
    return ReadResult::Failed(PortError::NotOpen("read"));
  }
  // Open made the read event with the read handle.
  const HANDLE event = read_event_;
  if (!open->read || event == nullptr) {
    return ReadResult::Failed(PortError::Of("read", open->path, "not open for reads"));
  }
  ReadRecord& read = *open->read;

  if (!read.outstanding) {
    read.buffer.assign(windows_detail::ReadBufferLength(buffer.size(), open->input_report_length),
                       0);
    if (read.buffer.empty()) {
      return ReadResult::Failed(PortError::Of("read", open->path, "no room for a report"));
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
      return ReadResult::Failed(PortError::Of("read", open->path, SystemReason()));
    }
    read.outstanding = true;
  }

  const DWORD wait = WaitForSingleObject(event, WaitMilliseconds(timeout));
  if (wait == WAIT_TIMEOUT && timeout.count() <= 0) {
    // Only a report queued now was asked for: the read is taken back, and if a report completed
    // it before it could be cancelled, that report is delivered.
    const std::optional<unsigned long> completed = FinishRead(*open);
    if (!completed) {
      return ReadResult::TimedOut();
    }
    return ReadResult::Completed(
        windows_detail::DeliverReport(open->read->buffer, *completed, buffer));
  }
  // The reason of a failed wait, taken before any other call.
  std::string why = wait == WAIT_FAILED ? SystemReason() : std::string();
  DWORD transferred = 0;
  bool transfer_ok = false;
  if (wait == WAIT_OBJECT_0) {
    transfer_ok = GetOverlappedResult(open->handle, &read.overlap, &transferred, FALSE) != 0;
    if (!transfer_ok) {
      why = SystemReason();
    }
    read.outstanding = !HasOverlappedIoCompleted(&read.overlap);
  }
  const ReadStatus status = windows_detail::StatusOfWait(wait, transfer_ok && !read.outstanding);
  // A timed-out or failed read stays outstanding until CancelRead or Close takes it back.
  if (status == ReadStatus::kFailed) {
    return ReadResult::Failed(
        PortError::Of("read", open->path, why.empty() ? "wait ended without a report" : why));
  }
  if (status == ReadStatus::kTimedOut) {
    return ReadResult::TimedOut();
  }
  return ReadResult::Completed(windows_detail::DeliverReport(read.buffer, transferred, buffer));
}

void WindowsPort::CancelRead(PortHandle handle) {
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
