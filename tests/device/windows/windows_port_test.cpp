// The real Windows port, run under Wine against Wine's own HID devices (a mouse and a keyboard
// of another vendor): no timing console is present, so every search must end "USB Not Found "
// with every member examined and closed again.
#include "device/windows/windows_port.h"

// Without this the Windows SDK's <windows.h> defines min and max as macros.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/console_protocol.h"
#include "device/device_link.h"
#include "device/status_sink.h"
#include "tests/common/forwarding_port.h"
#include "tests/common/recording_status.h"

namespace tessun {
namespace {

// Handles this process has open, from the system's handle table. (GetProcessHandleCount is not
// used: Wine answers it with 0.)
struct SystemHandleEntry {
  USHORT process_id;  // the low 16 bits of the owner's id
  USHORT creator_back_trace_index;
  UCHAR object_type_index;
  UCHAR handle_attributes;
  USHORT handle_value;
  PVOID object;
  ULONG granted_access;
};
struct SystemHandleTable {
  ULONG count;
  SystemHandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

int ProcessHandles() {
  constexpr ULONG kSystemHandleInformation = 16;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) {
    ADD_FAILURE() << "NtQuerySystemInformation is missing";
    return -1;
  }
  std::vector<std::uint64_t> buffer(1 << 16);  // 8-byte aligned
  for (;;) {
    ULONG needed = 0;
    const auto size = static_cast<ULONG>(buffer.size() * sizeof(buffer[0]));
    const LONG status = query(kSystemHandleInformation, buffer.data(), size, &needed);
    if (status == kInfoLengthMismatch) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0) {
      ADD_FAILURE() << "handle table query failed: " << std::hex << status;
      return -1;
    }
    break;
  }
  const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
  const auto self = static_cast<USHORT>(GetCurrentProcessId());
  int count = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    count += table->entries[i].process_id == self ? 1 : 0;
  }
  return count;
}

// The system no longer knows the handle.
bool IsClosed(PortHandle handle) {
  DWORD flags = 0;
  return GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags) == 0;
}

using test::RecordingStatus;

// Passes every call on to the real port and counts the opens and closes.
class CountingPort final : public test::ForwardingPort {
 public:
  using ForwardingPort::ForwardingPort;

  PortResult<std::vector<std::string>> ListHidInterfaces() override {
    auto result = ForwardingPort::ListHidInterfaces();
    listed = result.value;
    return result;
  }
  PortResult<PortHandle> Open(const std::string& path, OpenMode mode) override {
    opened_paths.push_back(path);
    const auto opened = ForwardingPort::Open(path, mode);
    if (!opened.error) {
      ++successful_opens;
      open_now.insert(opened.value);
      ever_opened.push_back(opened.value);
    }
    return opened;
  }
  PortError Close(PortHandle handle) override {
    PortError error = ForwardingPort::Close(handle);
    if (!error) {
      ++successful_closes;
      open_now.erase(handle);
    } else {
      ++failed_closes;
    }
    return error;
  }
  PortResult<HidAttributes> GetAttributes(PortHandle handle) override {
    const auto attributes = ForwardingPort::GetAttributes(handle);
    if (!attributes.error) {
      seen_vendors.push_back(attributes.value.VendorID);
    }
    return attributes;
  }
  PortError SetNumInputBuffers(PortHandle handle, int count) override {
    ++configuring_calls;
    return ForwardingPort::SetNumInputBuffers(handle, count);
  }
  PortResult<std::optional<int>> OutputReportLength(PortHandle handle) override {
    ++configuring_calls;
    return ForwardingPort::OutputReportLength(handle);
  }
  PortError SetFeature(PortHandle handle, std::span<const std::uint8_t> report) override {
    ++configuring_calls;
    return ForwardingPort::SetFeature(handle, report);
  }

  std::vector<std::string> listed;
  std::vector<std::string> opened_paths;
  std::vector<std::uint16_t> seen_vendors;
  std::set<PortHandle> open_now;
  std::vector<PortHandle> ever_opened;
  int successful_opens = 0;
  int successful_closes = 0;
  int failed_closes = 0;
  int configuring_calls = 0;
};

// Wine starts its HID bus driver in the background with its services: waits (at most 10 s) until
// its devices are listed, so that a freshly started Wine does not look like an empty machine.
void WaitForHidDevices() {
  WindowsPort port;
  for (int attempt = 0; attempt < 100 && port.ListHidInterfaces().value.empty(); ++attempt) {
    Sleep(100);
  }
}

// The paths of Wine's HID devices that the port can open for reads.
std::vector<std::string> OpenableMembers() {
  WaitForHidDevices();
  WindowsPort port;
  std::vector<std::string> openable;
  for (const std::string& path : port.ListHidInterfaces().value) {
    const PortHandle handle = port.Open(path, OpenMode::kForReads).value;
    if (handle != kNoHandle) {
      openable.push_back(path);
      port.Close(handle);
    }
  }
  return openable;
}

TEST(WindowsPortSmoke, SearchAmongWineHidDevicesExaminesAndClosesEveryMember) {
  WaitForHidDevices();
  const int handles_before = ProcessHandles();
  {
    WindowsPort port;
    CountingPort counting(port);
    RecordingStatus status;
    DeviceLink link(counting, status);

    EXPECT_FALSE(link.OpenUsbDevice());
    EXPECT_FALSE(link.DeviceFound);
    EXPECT_EQ(status.texts, std::vector<std::string>{"USB Not Found "});

    // Wine's own HID devices are there to be searched.
    ASSERT_FALSE(counting.listed.empty());
    for (const std::string& path : counting.listed) {
      EXPECT_FALSE(path.empty());
    }
    // Every member was opened once, in the platform's order; none was kept.
    EXPECT_EQ(counting.opened_paths, counting.listed);
    EXPECT_GE(counting.successful_opens, 1);
    EXPECT_EQ(counting.successful_closes, counting.successful_opens);
    EXPECT_EQ(counting.failed_closes, 0);
    EXPECT_TRUE(counting.open_now.empty());
    EXPECT_EQ(port.OpenHandleCount(), 0u);
    EXPECT_EQ(link.DeviceHandle, kNoHandle);
    EXPECT_EQ(link.ReadHandle, kNoHandle);
    // Their attributes were read, and none is the console.
    EXPECT_EQ(counting.seen_vendors.size(), static_cast<std::size_t>(counting.successful_opens));
    EXPECT_EQ(
        std::count(counting.seen_vendors.begin(), counting.seen_vendors.end(), console::kVendorId),
        0);
    // Nothing of the open path ran: no input buffers, capabilities or feature report (and no
    // read handle, so no read event: every open was one of the search's).
    EXPECT_EQ(counting.configuring_calls, 0);

    // The exchanges search again, and find nothing again.
    link.ReadReports();
    link.SendCommand(kGetDataCommand);
    EXPECT_EQ(status.texts.back(), "USB Not Found ");
    EXPECT_EQ(counting.opened_paths.size(), 3 * counting.listed.size());
    EXPECT_TRUE(counting.open_now.empty());
    // The system's own view: every handle of the searches is closed, none is left behind.
    for (const PortHandle handle : counting.ever_opened) {
      EXPECT_TRUE(IsClosed(handle)) << handle;
    }
    EXPECT_EQ(ProcessHandles(), handles_before);
  }
  EXPECT_EQ(ProcessHandles(), handles_before);
}

// What is not there or not open fails, each call with its kind, the operation and the system's
// reason for it.
TEST(WindowsPort, RejectsWhatIsNotOpenAndTellsWhy) {
  WindowsPort port;
  constexpr PortHandle kStranger = 12345;
  std::array<std::uint8_t, console::kReportLength> buffer{};
  struct Case {
    const char* name;
    std::function<PortError()> failing;
    std::string reason;  // what the error's text starts with
  };
  const Case cases[] = {
      {"absent device",
       [&] { return port.Open("\\\\.\\NoSuchHidDevice", OpenMode::kSynchronous).error; },
       "open \\\\.\\NoSuchHidDevice: "},
      {"empty path", [&] { return port.Open("", OpenMode::kForReads).error; }, "open: "},
      {"close", [&] { return port.Close(kStranger); }, "close: not an open handle"},
      {"attributes", [&] { return port.GetAttributes(kStranger).error; },
       "attributes: not an open handle"},
      {"capabilities", [&] { return port.OutputReportLength(kStranger).error; },
       "capabilities: not an open handle"},
      {"output report", [&] { return port.WriteReport(kStranger, console::kLineConfiguration); },
       "output report: not an open handle"},
      {"read",
       [&] { return port.ReadReport(kStranger, buffer, std::chrono::milliseconds(10)).error; },
       "read: not an open handle"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PortError error = c.failing();
    const std::string& reason = error.text;
    EXPECT_TRUE(error) << reason;
    EXPECT_EQ(reason.substr(0, c.reason.size()), c.reason) << reason;
    // Where the system gave the reason, its message follows: one line without its full stop.
    if (c.reason.ends_with(": ")) {
      EXPECT_GT(reason.size(), c.reason.size()) << reason;
    }
    EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << reason;
    EXPECT_NE(reason.back(), '.') << reason;
  }
  EXPECT_EQ(port.OpenHandleCount(), 0u);
}

TEST(WindowsPort, ReadsTimeOutAndAreCancelledOnAWineHidDevice) {
  const std::vector<std::string> members = OpenableMembers();
  ASSERT_FALSE(members.empty());
  const int handles_before = ProcessHandles();
  {
    WindowsPort port;
    const PortHandle reads = port.Open(members.front(), OpenMode::kForReads).value;
    ASSERT_NE(reads, kNoHandle);
    // The open file and the read event, made by the open.
    EXPECT_EQ(ProcessHandles(), handles_before + 2);

    // A synchronous write needs the synchronous handle.
    const std::array<std::uint8_t, 3> report = {0, 1, kGetDataCommand};
    EXPECT_NE(port.WriteReport(reads, report).text.find("not a synchronous handle"),
              std::string::npos);

    // Nobody moves Wine's mouse: the read times out and the caller's buffer stays untouched
    // while the read is outstanding, also when the wait is taken up again.
    std::array<std::uint8_t, 9> buffer;
    buffer.fill(0xAA);
    for (int attempt = 0; attempt < 2; ++attempt) {
      const ReadResult result = port.ReadReport(reads, buffer, std::chrono::milliseconds(30));
      ASSERT_EQ(result.status, ReadStatus::kTimedOut);
      EXPECT_EQ(result.error.text, "");  // a time-out is no failure
      EXPECT_EQ(result.bytes, 0u);
      EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](auto b) { return b == 0xAA; }));
    }
    port.CancelRead(reads);
    // After the cancel a new read starts and times out the same way.
    EXPECT_EQ(port.ReadReport(reads, buffer, std::chrono::milliseconds(30)).status,
              ReadStatus::kTimedOut);
    // A zero time-out takes only a report queued now: there is none, and the read (the one left
    // outstanding above, then a new one) is taken back at once, the buffer untouched.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const ReadResult result = port.ReadReport(reads, buffer, std::chrono::milliseconds(0));
      EXPECT_EQ(result.status, ReadStatus::kTimedOut);
      EXPECT_EQ(result.error.text, "");
    }
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](auto b) { return b == 0xAA; }));
    // Close cancels the outstanding read itself and waits for it.
    EXPECT_EQ(port.Close(reads).text, "");
    EXPECT_TRUE(port.Close(reads));
    EXPECT_TRUE(IsClosed(reads));
    // The read event stays.
    EXPECT_EQ(ProcessHandles(), handles_before + 1);

    // A second read handle reuses the event: no new one is created.
    const PortHandle again = port.Open(members.back(), OpenMode::kForReads).value;
    ASSERT_NE(again, kNoHandle);
    EXPECT_EQ(ProcessHandles(), handles_before + 2);
    EXPECT_EQ(port.ReadReport(again, buffer, std::chrono::milliseconds(30)).status,
              ReadStatus::kTimedOut);
    // The port's end closes the handle with its outstanding read, and the event.
  }
  EXPECT_EQ(ProcessHandles(), handles_before);
}

TEST(WindowsPort, ReadsAttributesAndCapabilitiesOfWineHidDevices) {
  WindowsPort port;
  WaitForHidDevices();
  int examined = 0;
  for (const std::string& path : port.ListHidInterfaces().value) {
    const PortHandle handle = port.Open(path, OpenMode::kSynchronous).value;
    if (handle == kNoHandle) {
      continue;
    }
    ++examined;
    const PortResult<HidAttributes> attributes = port.GetAttributes(handle);
    EXPECT_EQ(attributes.error.text, "") << path;
    EXPECT_NE(attributes.value.VendorID, 0) << path;
    // A length, or none for a device without output reports: never a failure.
    const PortResult<std::optional<int>> output = port.OutputReportLength(handle);
    EXPECT_EQ(output.error.text, "") << path;
    EXPECT_GT(output.value.value_or(1), 0) << path;
    EXPECT_EQ(port.Close(handle).text, "");
  }
  EXPECT_GE(examined, 1);
  EXPECT_EQ(port.OpenHandleCount(), 0u);
}

TEST(WindowsPort, InputBuffersAskedForADeviceReachItsReadHandle) {
  WindowsPort port;
  WaitForHidDevices();
  const std::vector<std::string> paths = port.ListHidInterfaces().value;
  ASSERT_FALSE(paths.empty());
  const PortHandle device = port.Open(paths.front(), OpenMode::kSynchronous).value;
  ASSERT_NE(device, kNoHandle);
  const PortHandle before = port.Open(paths.front(), OpenMode::kForReads).value;
  ASSERT_NE(before, kNoHandle);
  const int default_count = port.InputBuffers(before);
  ASSERT_GT(default_count, 0);
  const int asked = default_count == 200 ? 150 : 200;

  ASSERT_EQ(port.SetNumInputBuffers(device, asked).text, "");
  const PortHandle reads = port.Open(paths.front(), OpenMode::kForReads).value;
  ASSERT_NE(reads, kNoHandle);

  EXPECT_EQ(port.InputBuffers(device), asked);
  EXPECT_EQ(port.InputBuffers(reads), asked);
  EXPECT_EQ(port.Close(reads).text + port.Close(before).text + port.Close(device).text, "");
}

}  // namespace
}  // namespace tessun
