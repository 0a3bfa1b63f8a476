// The virtual timing console: runs inside the test's virtual machine and puts a USB device with
// the console's ids, interface and report descriptor on the kernel's virtual USB bus (a configfs
// gadget on the dummy device controller, its interface served from user space through
// FunctionFS). It answers command 141 with a stored printout, sends empty input reports while
// idle, prints live lines, records every feature and output report it receives, and plugs and
// unplugs itself on command. Commands come from a FIFO, events go to a log file and to stdout
// (see scenario.h).
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "scenario.h"

namespace tessun::usbvm {
namespace {

constexpr const char* kGadgetDir = "/sys/kernel/config/usb_gadget/console";
constexpr const char* kFfsMount = "/dev/ffs-console";
constexpr const char* kUdcName = "dummy_udc.0";

constexpr std::size_t kFeatureReportSize = 5;
// Where the descriptor gives the output report's Report Count.
constexpr std::size_t kOutputCountIndex = 23;
static_assert(kReportDescriptor[kOutputCountIndex - 1] == 0x95 &&
              kReportDescriptor[kOutputCountIndex + 1] == 0x91);

// HID class requests.
constexpr std::uint8_t kGetReport = 0x01;
constexpr std::uint8_t kGetIdle = 0x02;
constexpr std::uint8_t kGetProtocol = 0x03;
constexpr std::uint8_t kSetReport = 0x09;
constexpr std::uint8_t kSetIdle = 0x0A;
constexpr std::uint8_t kSetProtocol = 0x0B;
constexpr std::uint8_t kOutputReportType = 2;
constexpr std::uint8_t kGetDataCommand = 0x8D;

// The test loads the virtual bus at full speed, as the console's own.
constexpr std::chrono::milliseconds kPollInterval{kFullSpeedInterval};

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  char byte[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", bytes[i]);
    text += byte;
  }
  return text;
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
  }
}

class VirtualConsole {
 public:
  ~VirtualConsole() {
    for (int fd : {ep0_, ep_in_, ep_out_, log_}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }

  bool Setup() {
    log_ = open(kEventLog, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (log_ < 0) {
      return Fail("open event log");
    }
    const std::string gadget = kGadgetDir;
    const bool made =
        MakeDir(gadget) && WriteFile(gadget + "/idVendor", "0x04b4") &&
        WriteFile(gadget + "/idProduct", "0x5500") && WriteFile(gadget + "/bcdDevice", "0x0100") &&
        MakeDir(gadget + "/strings/0x409") &&
        WriteFile(gadget + "/strings/0x409/manufacturer", "Tessun test bench") &&
        WriteFile(gadget + "/strings/0x409/product", "Virtual timing console") &&
        WriteFile(gadget + "/strings/0x409/serialnumber", "0001") &&
        MakeDir(gadget + "/configs/c.1") && WriteFile(gadget + "/configs/c.1/MaxPower", "100") &&
        MakeDir(gadget + "/configs/c.1/strings/0x409") &&
        WriteFile(gadget + "/configs/c.1/strings/0x409/configuration", "console") &&
        MakeDir(gadget + "/functions/ffs.console");
    if (!made) {
      return false;
    }
    if (symlink((gadget + "/functions/ffs.console").c_str(),
                (gadget + "/configs/c.1/ffs.console").c_str()) != 0) {
      return Fail("link the function into the configuration");
    }
    if (!MakeDir(kFfsMount) || mount("console", kFfsMount, "functionfs", 0, nullptr) != 0) {
      return Fail("mount functionfs");
    }
    ep0_ = open((std::string(kFfsMount) + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (ep0_ < 0) {
      return Fail("open ep0");
    }
    // The descriptors must be in place before the gadget is bound to the controller.
    if (!WriteAll(ep0_, Descriptors()) || !WriteAll(ep0_, Strings())) {
      return Fail("write descriptors");
    }
    ep_in_ = open((std::string(kFfsMount) + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
    ep_out_ = open((std::string(kFfsMount) + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
    if (ep_in_ < 0 || ep_out_ < 0) {
      return Fail("open endpoints");
    }
    if (mkfifo(kCommandFifo, 0600) != 0 && errno != EEXIST) {
      return Fail("make command FIFO");
    }
    return true;
  }

  // Serves the control endpoint, the interrupt endpoints and the command FIFO until "quit".
  int Run() {
    std::thread(&VirtualConsole::ServeControl, this).detach();
    std::thread(&VirtualConsole::ServeInputReports, this).detach();
    std::thread(&VirtualConsole::ServeOutputReports, this).detach();
    Log("ready, unplugged");

    // Opened for reading and writing so that a writer closing it does not end the stream.
    const int fifo = open(kCommandFifo, O_RDWR | O_CLOEXEC);
    if (fifo < 0) {
      Fail("open command FIFO");
      return 1;
    }
    std::string pending;
    char chunk[256];
    while (true) {
      const ssize_t got = read(fifo, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        Fail("read command FIFO");
        return 1;
      }
      pending.append(chunk, static_cast<std::size_t>(got));
      std::size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        const std::string command = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!Command(command)) {
          return 0;
        }
      }
    }
  }

 private:
  // Carries out one command line; false after "quit".
  bool Command(const std::string& command) {
    Log("command: " + command);
    if (command == "plug") {
      Plug();
    } else if (command == "unplug") {
      Unplug();
    } else if (command.rfind("live ", 0) == 0) {
      const int total = std::atoi(command.c_str() + 5);
      std::string text;
      for (int i = 1; i <= total; ++i) {
        text += LiveLine(i, total) + "\r\n";
      }
      Queue(text, "live lines");
    } else if (command.rfind("cut ", 0) == 0) {
      char* rest = nullptr;
      const std::size_t reports = std::strtoul(command.c_str() + 4, &rest, 10);
      cut_pause_ = std::chrono::milliseconds(std::strtol(rest, nullptr, 10));
      cut_after_ = reports;
    } else if (command.rfind("zlp ", 0) == 0) {
      zero_length_packets_ = command == "zlp on";
    } else if (command.rfind("mute ", 0) == 0) {
      muted_ = command == "mute on";
    } else if (command.rfind("shape ", 0) == 0) {
      long_shape_ = command == "shape long";
    } else if (command == "quit") {
      Unplug();
      Log("quit");
      return false;
    } else {
      Log("unknown command");
    }
    return true;
  }

  void Plug() {
    if (WriteFile(std::string(kGadgetDir) + "/UDC", kUdcName)) {
      Log("plugged");
    }
  }

  void Unplug() {
    if (WriteFile(std::string(kGadgetDir) + "/UDC", "")) {
      Log("unplugged");
    }
  }

  // Queues text as input reports behind whatever is waiting.
  void Queue(std::string_view text, std::string_view what) {
    const std::vector<std::string> parts = SplitIntoReports(text);
    std::lock_guard lock(queue_mutex_);
    for (const std::string& part : parts) {
      queue_.push_back(WireReport(part, long_shape_ ? kLongInputSize : kWireReportSize));
    }
    sent_since_queued_ = 0;
    Log("queued " + std::string(what) + ": " + std::to_string(parts.size()) + " reports");
  }

  std::size_t DropQueue() {
    std::lock_guard lock(queue_mutex_);
    const std::size_t dropped = queue_.size();
    queue_.clear();
    return dropped;
  }

  // The interrupt IN endpoint: queued reports in order, an empty report whenever nothing is
  // queued, one per polling interval. Each write waits until the host has polled the report.
  void ServeInputReports() {
    const std::vector<std::uint8_t> empty(kWireReportSize, 0);
    while (true) {
      std::vector<std::uint8_t> report;
      {
        std::lock_guard lock(queue_mutex_);
        if (!queue_.empty()) {
          report = std::move(queue_.front());
          queue_.pop_front();
        }
      }
      const bool data = !report.empty();
      const std::size_t size = data ? report.size() : empty.size();
      const ssize_t written = write(ep_in_, data ? report.data() : empty.data(), size);
      if (written != static_cast<ssize_t>(size)) {
        // Unplugged or reset: the report did not reach the host. The write blocks again until
        // the interface is enabled after the next plug.
        if (data) {
          Log("input report lost: " + std::string(std::strerror(errno)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (data && zero_length_packets_) {
        // Some devices end every transfer that fills whole packets with a zero-length packet.
        [[maybe_unused]] const ssize_t none = write(ep_in_, empty.data(), 0);
      }
      // The host controller's virtual bus polls as fast as it can; a real full-speed device
      // sends at most one report per polling interval, and so does this one.
      std::this_thread::sleep_for(kPollInterval);
      if (!data) {
        continue;
      }
      bool drained = false;
      std::size_t sent = 0;
      {
        std::lock_guard lock(queue_mutex_);
        sent = ++sent_since_queued_;
        drained = queue_.empty();
      }
      if (cut_after_ != 0 && sent == cut_after_) {
        cut_after_ = 0;
        const std::size_t dropped = DropQueue();
        Log("cut after " + std::to_string(sent) + " data reports, " + std::to_string(dropped) +
            " dropped, unplug in " + std::to_string(cut_pause_.load().count()) + " ms");
        std::this_thread::sleep_for(cut_pause_.load());
        Unplug();
      } else if (drained) {
        Log("sent all " + std::to_string(sent) + " data reports");
      }
    }
  }

  // The interrupt OUT endpoint: each output report is recorded and, when it is command 141,
  // answered with the printout.
  void ServeOutputReports() {
    std::uint8_t report[kWireReportSize];
    while (true) {
      const ssize_t got = read(ep_out_, report, sizeof report);
      if (got < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      const std::span<const std::uint8_t> bytes(report, static_cast<std::size_t>(got));
      Log("OUT endpoint: " + Hex(bytes));
      OutputReport(bytes);
    }
  }

  void OutputReport(std::span<const std::uint8_t> report) {
    if (report.size() >= 2 && report[0] >= 1 && report[1] == kGetDataCommand) {
      Queue(kPrintout, "printout");
    }
  }

  // The control endpoint: FunctionFS hands over the lifecycle events and every request
  // addressed to the interface (HID descriptors and class requests).
  void ServeControl() {
    usb_functionfs_event events[4];
    while (true) {
      // A muted console leaves ep0 alone: a request it was given stays unanswered (reading ep0
      // again would stall it) until the host gives up on it.
      if (muted_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      const ssize_t got = read(ep0_, events, sizeof events);
      if (got < 0) {
        // EIDRM: the host gave up on a request that was left unanswered.
        if (errno == EINTR || errno == EIDRM) {
          continue;
        }
        Fail("read ep0");
        return;
      }
      for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof events[0]; ++i) {
        switch (events[i].type) {
          case FUNCTIONFS_BIND:
            Log("event: bind");
            break;
          case FUNCTIONFS_UNBIND:
            Log("event: unbind");
            break;
          case FUNCTIONFS_ENABLE:
            Log("event: enable");
            break;
          case FUNCTIONFS_DISABLE: {
            const std::size_t dropped = DropQueue();
            Log("event: disable, " + std::to_string(dropped) + " queued reports dropped");
            break;
          }
          case FUNCTIONFS_SETUP:
            if (muted_) {
              Log("muted: request left unanswered");
              break;
            }
            Setup(events[i].u.setup);
            break;
          default:
            break;
        }
      }
    }
  }

  void Setup(const usb_ctrlrequest& setup) {
    const std::uint8_t type = setup.bRequestType;
    const std::uint16_t value = le16toh(setup.wValue);
    const std::uint16_t index = le16toh(setup.wIndex);
    const std::uint16_t length = le16toh(setup.wLength);
    char head[96];
    std::snprintf(head, sizeof head, "wValue=%04x wIndex=%04x wLength=%u", value, index, length);

    if (type == (USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_INTERFACE) &&
        setup.bRequest == USB_REQ_GET_DESCRIPTOR) {
      if (value >> 8 == kReportDescriptorType) {
        Log(std::string("GET_DESCRIPTOR report ") + head);
        auto descriptor = kReportDescriptor;
        if (long_shape_) {
          descriptor[kOutputCountIndex] = static_cast<std::uint8_t>(kShortOutputSize);
        }
        Reply(descriptor, length);
      } else if (value >> 8 == kHidDescriptorType) {
        std::vector<std::uint8_t> hid = {9, kHidDescriptorType,   0x11, 0x01, 0,
                                         1, kReportDescriptorType};
        PutLe16(hid, static_cast<std::uint16_t>(kReportDescriptor.size()));
        Log(std::string("GET_DESCRIPTOR hid ") + head);
        Reply(hid, length);
      } else {
        Log(std::string("stalled GET_DESCRIPTOR ") + head);
        Stall(type);
      }
      return;
    }
    if (type == (USB_DIR_OUT | USB_TYPE_CLASS | USB_RECIP_INTERFACE)) {
      if (setup.bRequest == kSetReport) {
        std::vector<std::uint8_t> data(length);
        const ssize_t got = read(ep0_, data.data(), data.size());
        data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        Log(std::string("SET_REPORT ") + head + " data=" + Hex(data));
        if (value >> 8 == kOutputReportType) {
          OutputReport(data);
        }
      } else if (setup.bRequest == kSetIdle || setup.bRequest == kSetProtocol) {
        Log(std::string(setup.bRequest == kSetIdle ? "SET_IDLE " : "SET_PROTOCOL ") + head);
        std::uint8_t none[1];
        [[maybe_unused]] const ssize_t acked = read(ep0_, none, 0);
      } else {
        Log("stalled class request " + std::to_string(setup.bRequest) + " " + head);
        Stall(type);
      }
      return;
    }
    if (type == (USB_DIR_IN | USB_TYPE_CLASS | USB_RECIP_INTERFACE)) {
      if (setup.bRequest == kGetReport) {
        const std::size_t size = (value >> 8) == 3 ? kFeatureReportSize : kWireReportSize;
        Log(std::string("GET_REPORT ") + head);
        Reply(std::vector<std::uint8_t>(size, 0), length);
      } else if (setup.bRequest == kGetIdle || setup.bRequest == kGetProtocol) {
        const std::uint8_t answer =
            setup.bRequest == kGetProtocol ? 1 : 0;  // report protocol, no idle rate
        Reply(std::span(&answer, 1), length);
      } else {
        Log("stalled class request " + std::to_string(setup.bRequest) + " " + head);
        Stall(type);
      }
      return;
    }
    char request[32];
    std::snprintf(request, sizeof request, "%02x/%02x ", type, setup.bRequest);
    Log(std::string("stalled request ") + request + head);
    Stall(type);
  }

  void Reply(std::span<const std::uint8_t> data, std::uint16_t length) {
    const std::size_t size = std::min<std::size_t>(data.size(), length);
    if (write(ep0_, data.data(), size) != static_cast<ssize_t>(size)) {
      Log("control reply failed: " + std::string(std::strerror(errno)));
    }
  }

  // FunctionFS stalls a request when the data stage goes the wrong way.
  void Stall(std::uint8_t type) {
    std::uint8_t none[1];
    if (type & USB_DIR_IN) {
      [[maybe_unused]] const ssize_t got = read(ep0_, none, 0);
    } else {
      [[maybe_unused]] const ssize_t put = write(ep0_, none, 0);
    }
  }

  static std::vector<std::uint8_t> Descriptors() {
    std::vector<std::uint8_t> body;
    PutLe32(body, 4);  // full-speed descriptor count
    PutLe32(body, 4);  // high-speed descriptor count
    PutInterfaceDescriptors(body, kFullSpeedInterval);
    PutInterfaceDescriptors(body, kHighSpeedInterval);
    std::vector<std::uint8_t> out;
    PutLe32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    PutLe32(out, static_cast<std::uint32_t>(12 + body.size()));
    PutLe32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }

  static std::vector<std::uint8_t> Strings() {
    std::vector<std::uint8_t> out;
    PutLe32(out, FUNCTIONFS_STRINGS_MAGIC);
    PutLe32(out, 16);
    PutLe32(out, 0);  // strings
    PutLe32(out, 0);  // languages
    return out;
  }

  static bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  bool MakeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      return Fail("mkdir " + path);
    }
    return true;
  }

  bool WriteFile(const std::string& path, std::string_view text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const std::string line = std::string(text) + "\n";
    const bool written =
        fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const int error = errno;
    if (fd >= 0) {
      close(fd);
    }
    if (!written) {
      errno = error;
      return Fail("write " + path);
    }
    return true;
  }

  bool Fail(const std::string& what) {
    Log("error: " + what + ": " + std::strerror(errno));
    return false;
  }

  void Log(const std::string& event) {
    std::lock_guard lock(log_mutex_);
    const std::string line = event + "\n";
    if (log_ >= 0) {
      [[maybe_unused]] const ssize_t written = write(log_, line.data(), line.size());
    }
    std::printf("console: %s", line.c_str());
    std::fflush(stdout);
  }

  int ep0_ = -1;
  int ep_in_ = -1;
  int ep_out_ = -1;
  int log_ = -1;
  std::mutex log_mutex_;
  std::mutex queue_mutex_;
  std::deque<std::vector<std::uint8_t>> queue_;
  // Data reports written since the last text was queued.
  std::size_t sent_since_queued_ = 0;
  // When non-zero, the data report after which the console goes silent and unplugs.
  std::atomic<std::size_t> cut_after_ = 0;
  // A zero-length packet follows every data report.
  std::atomic<bool> zero_length_packets_ = false;
  // Requests to the interface go unanswered.
  std::atomic<bool> muted_ = false;
  // A 2-byte output report in the descriptor, and input packets of kLongInputSize bytes.
  std::atomic<bool> long_shape_ = false;
  // How long the console then stays silent before it unplugs.
  std::atomic<std::chrono::milliseconds> cut_pause_{std::chrono::milliseconds(0)};
};

}  // namespace
}  // namespace tessun::usbvm

int main() {
  tessun::usbvm::VirtualConsole console;
  if (!console.Setup()) {
    return 1;
  }
  const int result = console.Run();
  std::fflush(stdout);
  // The serving threads are blocked in FunctionFS calls; ending the process releases them and
  // closes ep0, which takes the function away.
  std::_Exit(result);
}
