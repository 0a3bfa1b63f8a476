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

std::vector<std::string> WindowsPort::ListHidInterfaces() {
  std::vector<std::string> paths;
  GUID hid_guid;
  HidD_GetHidGuid(&hid_guid);
  const HDEVINFO set =
      SetupDiGetClassDevsA(&hid_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
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

bool WindowsPort::Close(PortHandle handle) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) {
    return false;
  }
  OpenHandle& open = *it->second;
  if (open.read && open.read->outstanding) {
    FinishRead(open);
  }
  const bool closed = CloseHandle(open.handle) != 0;
  handles_.erase(it);
  return closed;
}

bool WindowsPort::GetAttributes(PortHandle handle, HidAttributes& attributes) {
  const OpenHandle* open = Find(handle);
  if (open == nullptr) {
    return false;
  }
  HIDD_ATTRIBUTES hid{};
  hid.Size = sizeof(HIDD_ATTRIBUTES);
  if (!HidD_GetAttributes(open->handle, &hid)) {
    return false;
  }
  attributes.VendorID = hid.VendorID;
  attributes.ProductID = hid.ProductID;
  attributes.VersionNumber = hid.VersionNumber;
  return true;
}

bool WindowsPort::SetNumInputBuffers(PortHandle handle, int count) {
  const OpenHandle* open = Find(handle);
  if (open == nullptr || count < 0) {
    return false;
  }
  if (!HidD_SetNumInputBuffers(open->handle, static_cast<ULONG>(count))) {
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

int WindowsPort::OutputReportLength(PortHandle handle) {
  const OpenHandle* open = Find(handle);
  HIDP_CAPS caps{};
  if (open == nullptr || !ReadCaps(open->handle, caps)) {
    return 0;
  }
  return caps.OutputReportByteLength;
}

void* WindowsPort::ReadEvent() {
  if (read_event_ == nullptr) {
    // Manual reset, initially signalled, unnamed (a name would let other programs share it).
    read_event_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  }
  return read_event_;
}

void WindowsPort::PrepareReads(PortHandle handle) {
  const HANDLE event = ReadEvent();
  OpenHandle* open = Find(handle);
  if (open == nullptr || !open->read || open->read->outstanding) {
    return;
  }
  open->read->overlap = OVERLAPPED{};
  open->read->overlap.Offset = 0;
  open->read->overlap.OffsetHigh = 0;
  open->read->overlap.hEvent = event;
}

bool WindowsPort::SetFeature(PortHandle handle, std::span<const std::uint8_t> report) {
  const OpenHandle* open = Find(handle);
  if (open == nullptr || report.empty()) {
    return false;
  }
  // HidD_SetFeature takes a writable buffer.
  std::vector<std::uint8_t> copy(report.begin(), report.end());
  return HidD_SetFeature(open->handle, copy.data(), static_cast<ULONG>(copy.size())) != 0;
}

bool WindowsPort::WriteReport(PortHandle handle, std::span<const std::uint8_t> report) {
  const OpenHandle* open = Find(handle);
  // A synchronous write without a read record needs the synchronous handle.
  if (open == nullptr || open->mode != OpenMode::kSynchronous || report.empty()) {
    return false;
  }
  DWORD written = 0;
  const BOOL ok =
      WriteFile(open->handle, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
  return ok != 0 && written == report.size();
}

ReadResult WindowsPort::ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds timeout) {
  OpenHandle* open = Find(handle);
  const HANDLE event = ReadEvent();
  if (open == nullptr || !open->read || event == nullptr) {
    return {ReadStatus::kFailed, 0};
  }
  ReadRecord& read = *open->read;

  if (!read.outstanding) {
    read.buffer.assign(windows_detail::ReadBufferLength(buffer.size(), open->input_report_length),
                       0);
    if (read.buffer.empty()) {
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
      return {ReadStatus::kFailed, 0};
    }
    read.outstanding = true;
  }

  const DWORD wait = WaitForSingleObject(event, WaitMilliseconds(timeout));
  DWORD transferred = 0;
  bool transfer_ok = false;
  if (wait == WAIT_OBJECT_0) {
    transfer_ok = GetOverlappedResult(open->handle, &read.overlap, &transferred, FALSE) != 0;
    read.outstanding = !HasOverlappedIoCompleted(&read.overlap);
  }
  const ReadStatus status = windows_detail::StatusOfWait(wait, transfer_ok && !read.outstanding);
  if (status != ReadStatus::kCompleted) {
    // A timed-out or failed read stays outstanding until CancelRead or Close takes it back.
    return {status, 0};
  }
  return {status, windows_detail::DeliverReport(read.buffer, transferred, buffer)};
}

void WindowsPort::CancelRead(PortHandle handle) {
  OpenHandle* open = Find(handle);
  if (open != nullptr && open->read && open->read->outstanding) {
    FinishRead(*open);
  }
}

void WindowsPort::FinishRead(OpenHandle& open) {
  ReadRecord& read = *open.read;
  CancelIo(open.handle);
  // Wait until the system has finished with the record and the buffer: a cancelled read
  // completes (with ERROR_OPERATION_ABORTED, or with data that arrived just before).
  DWORD transferred = 0;
  GetOverlappedResult(open.handle, &read.overlap, &transferred, TRUE);
  if (HasOverlappedIoCompleted(&read.overlap)) {
    read.outstanding = false;
    return;
  }
  // The system still holds the record: it is kept alive for good and the handle gets a new one.
  parked_reads_.push_back(std::move(open.read));
  open.read = std::make_unique<ReadRecord>();
}

}  // namespace tessun
