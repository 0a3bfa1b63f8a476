// The link test inside the virtual machine: the program's own acquisition core over the real
// libusb port, talking to the virtual console on the kernel's virtual USB bus.
// It takes the steps the program takes (open at start-up, the acquisition tick, "Get Data",
// "Clear Data", close at exit) and checks what arrives on both sides: statuses and lines here,
// feature and output reports on the console (through its event log). It prints every step and
// check and ends with one result line that the host script looks for.
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/acquisition.h"
#include "core/capture_log.h"
#include "core/close_signals.h"
#include "datafile/data_file.h"
#include "device/clock.h"
#include "device/console_diagnosis.h"
#include "device/console_raw_facts.h"
#include "device/libusb/libusb_port.h"
#include "device/libusb/uevent_watch.h"
#include "device/libusb/usb_facts.h"
#include "device/report_trace.h"
#include "device/status_sink.h"
#include "scenario.h"
#include "tests/common/recording_log.h"
#include "tests/common/recording_status.h"
#include "tests/common/screen_doubles.h"
#include "tests/common/traced_core.h"

namespace tessun::usbvm {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kTimerInterval{100};
constexpr milliseconds kEventWait{5000};
constexpr milliseconds kEnumerationWait{10000};
constexpr int kMaxTicks = 60;
constexpr std::string_view kFeatureOnDevice =
    "SET_REPORT wValue=0300 wIndex=0000 wLength=5 data=80 25 00 00 03";
constexpr std::string_view kGetDataOnEndpoint = "OUT endpoint: 01 8d 00 00 00 00 00 00";
constexpr std::string_view kGetDataAsSetReport =
    "SET_REPORT wValue=0200 wIndex=0000 wLength=8 data=01 8d 00 00 00 00 00 00";
// The second program says here that it has opened the console, with the status it shows.
constexpr const char* kHolderReady = "/run/holder.ready";
// Longest a tick may take with a console that answers no request.
constexpr milliseconds kLongestTick{600};
// A request the console leaves unanswered holds the tick about this long (the port gives up on
// it after 400 ms).
constexpr milliseconds kTransferWait{350};
// Ticks in a row without an enumeration that count as nothing happening on the bus.
constexpr int kQuietTicks = 20;
// How soon the kernel's USB-serial driver must hold the interface again after a SIGTERM.
constexpr milliseconds kDriverBackAfterSignal{1000};

// The link's log: kept for the checks and shown as it comes.
class PrintingLog : public test::RecordingLog {
 public:
  void Write(LogLevel level, std::string_view message) override {
    test::RecordingLog::Write(level, message);
    std::printf("  log: %.*s\n", static_cast<int>(message.size()), message.data());
  }
};

// The second program (this test started again with "hold"): the acquisition core as the
// program runs it, ending on SIGTERM through its close path. It opens the console, says so in
// kHolderReady, and ticks every 100 ms until a close signal comes.
int Hold() {
  CloseSignals::Install();
  LibusbPort port;
  SteadyClock clock;
  test::WindowDoubles window;
  Acquisition core(port, clock, window.timer, window.status, window.canvas, window.bar);
  core.StartUp();
  std::ofstream(kHolderReady) << window.status.Last() << "\n";
  while (true) {
    pollfd signals{CloseSignals::ReadFd(), POLLIN, 0};
    poll(&signals, 1, static_cast<int>(kTimerInterval.count()));
    if (const int signal = CloseSignals::Take(); signal != 0) {
      core.CloseDevice();
      std::printf("  second program: closed the console on signal %d\n", signal);
      return 0;
    }
    core.Tick();
  }
}

// Talks to the virtual console: commands into its FIFO, events out of its log.
class Console {
 public:
  bool Send(const std::string& command) {
    const int fd = open(kCommandFifo, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      return false;
    }
    const std::string line = command + "\n";
    const bool sent = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    return sent;
  }

  std::vector<std::string> Events() const {
    std::vector<std::string> lines;
    std::ifstream log(kEventLog);
    for (std::string line; std::getline(log, line);) {
      lines.push_back(line);
    }
    return lines;
  }

  // Number of events so far; later searches look only at events after it.
  std::size_t Mark() const { return Events().size(); }

  // The first event after `mark` that contains `text`, waiting up to `timeout` for it.
  std::optional<std::string> WaitFor(std::string_view text, std::size_t mark,
                                     milliseconds timeout = kEventWait) const {
    const auto deadline = Clock::now() + timeout;
    while (true) {
      const std::vector<std::string> events = Events();
      for (std::size_t i = mark; i < events.size(); ++i) {
        if (events[i].find(text) != std::string::npos) {
          return events[i];
        }
      }
      if (Clock::now() >= deadline) {
        return std::nullopt;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
  }
};

// The console's USB device and interface as sysfs shows them.
class Sysfs {
 public:
  // The device directory of 04b4:5500, if it is present.
  static std::optional<fs::path> ConsoleDevice() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/bus/usb/devices", error)) {
      if (Read(entry.path() / "idVendor") == "04b4" && Read(entry.path() / "idProduct") == "5500") {
        return entry.path();
      }
    }
    return std::nullopt;
  }

  // Name of the driver bound to the console's interface 0; empty when none is bound.
  static std::string InterfaceDriver(const fs::path& device) {
    std::error_code error;
    const fs::path link = fs::read_symlink(Interface(device) / "driver", error);
    return error ? std::string() : link.filename().string();
  }

  // The interface has a USB-serial port (the kernel's USB-serial driver made a tty of it).
  static bool HasSerialPort(const fs::path& device) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(Interface(device), error)) {
      if (entry.path().filename().string().rfind("ttyUSB", 0) == 0) {
        return true;
      }
    }
    return false;
  }

  static std::string Speed(const fs::path& device) { return Read(device / "speed"); }

  // The console is on the bus and configured: its interface is there.
  static bool ConsoleConfigured() {
    const std::optional<fs::path> device = ConsoleDevice();
    std::error_code error;
    return device && fs::exists(Interface(*device), error);
  }

  static bool AnyHidraw() {
    std::error_code error;
    return fs::exists("/sys/class/hidraw", error) && !fs::is_empty("/sys/class/hidraw", error);
  }

 private:
  static fs::path Interface(const fs::path& device) {
    return device / (device.filename().string() + ":1.0");
  }
  static std::string Read(const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    return text;
  }
};

class Scenario {
 public:
  explicit Scenario(char* program) : program_(program) {}

  // The whole scenario; with `plug_checks`, only the plug checks, leaving the console unplugged:
  // the run before the main one, with the other of the port's two ways to learn of changes.
  int Run(bool plug_checks) {
    const auto start = Clock::now();
    Absent();
    link_.SetLog(log_);
    CheckChangePath();
    if (plug_checks) {
      if (Plug() && Open()) {
        PlugUnplugPlug();
        Close();
      }
      console_.Send("unplug");
      return Result("usb-vm plug checks result", start);
    }
    if (Plug() && (DiagnoseUsable(), DiagnoseRaw(), true) && Open()) {
      IdleTick();
      LiveLines();
      RestoreWhileConsolePrints();
      GetData("Get Data: the stored printout");
      Unplug("Unplugged in the middle of a printout, while the link waits for a report", 23,
             milliseconds(150), false);
      Replug();
      GetData("Get Data after the replug: the whole printout again");
      Unplug("Unplugged in the middle of a printout that waits on the host for the next tick", 37,
             milliseconds(0), true);
      Replug();
      GetData("Get Data after the second replug");
      console_.Send("zlp on");
      GetData("Get Data from a console that sends a zero-length packet after each report");
      console_.Send("zlp off");
      SecondProgram();
      Unanswering();
      LongInput();
      TraceAndReplay();
      PlugUnplugPlug();
      Close();
    }
    console_.Send("quit");
    return Result("usb-vm result", start);
  }

 private:
  // The port takes libusb's hotplug events exactly when the udev daemon runs; then the test hears
  // the daemon's events too (it sends them to group 2), as libusb does.
  void CheckChangePath() {
    if (access("/run/udev/control", F_OK) == 0) {
      const int socket =
          ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
      sockaddr_nl address{};
      address.nl_family = AF_NETLINK;
      address.nl_groups = 2;
      udev_watch_.emplace(socket);
      Check(bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
            "the test hears the udev daemon's events");
    }
    Check(port_.HotplugEvents() == udev_watch_.has_value(),
          udev_watch_ ? "the udev daemon runs: the port takes libusb's hotplug events"
                      : "no udev daemon: the port takes the kernel's device events only");
  }

  int Result(const char* label, Clock::time_point start) {
    const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("\nusb-vm: %d checks, %d failed, %.1f s of guest time\n", checks_, failures_,
                seconds);
    if (failures_ == 0) {
      std::printf("%s: PASS\n", label);
      return 0;
    }
    std::printf("%s: FAIL (%d of %d checks failed; first: %s)\n", label, failures_, checks_,
                first_failure_.c_str());
    return 1;
  }

  void Step(std::string_view title) {
    std::printf("\n[step %d] %.*s\n", ++step_, static_cast<int>(title.size()), title.data());
    std::fflush(stdout);
  }

  bool Check(bool ok, const std::string& what, const std::string& detail = {}) {
    ++checks_;
    std::printf("  %s %s%s%s\n", ok ? "ok  " : "FAIL", what.c_str(), detail.empty() ? "" : ": ",
                detail.c_str());
    std::fflush(stdout);
    if (!ok && failures_++ == 0) {
      first_failure_ = what;
    }
    return ok;
  }

  static std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }
  static long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  }
  // Where and why a trace was refused; empty when it was read.
  static std::string ParseFault(const TraceParse& parse) {
    return parse.trace ? "" : "line " + std::to_string(parse.line) + ": " + parse.error;
  }

  // One acquisition tick as the main window's timer runs it, then the rest of the interval.
  void Tick() {
    core_.Tick();
    std::this_thread::sleep_for(kTimerInterval);
  }

  // The "Get Data" button: the timer pauses, 0.1 s passes, command 141 goes out.
  void PressGetData() { core_.GetData(); }

  bool HandlesClosed() const {
    return link_.DeviceHandle == kNoHandle && link_.ReadHandle == kNoHandle;
  }

  // Lines 0..LineIndex of the store, the collected text.
  static std::vector<std::string> Collected(const LineStore& store) {
    return {store.Lines.begin(), store.Lines.begin() + store.LineIndex + 1};
  }
  // The lines a store collects from `bytes`.
  static std::vector<std::string> LinesOf(std::string_view bytes) {
    LineStore store;
    for (const char c : bytes) {
      store.StoreByte(static_cast<std::uint8_t>(c));
      store.AssembleLines();
    }
    return Collected(store);
  }

  std::string Describe(const std::vector<std::string>& lines) const {
    std::string text;
    for (const std::string& line : lines) {
      text += (text.empty() ? "" : " | ") + line;
    }
    return text;
  }

  void Absent() {
    Step("Start-up with no console on the bus");
    const bool found = link_.OpenUsbDevice();
    Check(!found && !link_.DeviceFound, "OpenUsbDevice returns False");
    Check(status_.Last() == kUsbNotFound, "status " + Quoted(kUsbNotFound), Quoted(status_.Last()));
    Check(HandlesClosed(), "no handle is left open");
  }

  // The link closed, as after "Exit"; the next tick searches afresh. True once the kernel's
  // USB-serial driver holds the interface again (within 3 s).
  bool CloseLink() {
    link_.CloseDevice();
    link_.DeviceFound = false;
    return DriverBackWithin(milliseconds(3000));
  }

  // The kernel's USB-serial driver holds the interface again within `limit`.
  bool DriverBackWithin(milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (true) {
      device_ = Sysfs::ConsoleDevice();
      if (device_ && Sysfs::InterfaceDriver(*device_) == serial_driver_) {
        return true;
      }
      if (Clock::now() >= deadline) {
        return false;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
  }

  // Ticks until the link is open again (a backed-off console included); false after 10 s.
  bool TickUntilFound() {
    const auto start = Clock::now();
    while (!link_.DeviceFound && Clock::now() - start < kEnumerationWait) {
      Tick();
    }
    return link_.DeviceFound;
  }

  Diagnosis Diagnose(std::string_view when) {
    const Diagnosis diagnosis =
        DiagnoseConsoles(port_, [](const std::string& path) { return UsbInterfaceFacts(path); });
    std::printf("  tessun --diagnose %.*s (exit code %d):\n", static_cast<int>(when.size()),
                when.data(), diagnosis.exit_code);
    Show(diagnosis.text);
    return diagnosis;
  }

  // Shows the lines of a report, indented.
  static void Show(std::string_view text) {
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::printf("    | %.*s\n", static_cast<int>(end - start), text.data() + start);
    }
  }

  void DiagnoseUsable() {
    Step("tessun --diagnose with the console plugged in and free");
    const Diagnosis diagnosis = Diagnose("with a free console");
    Check(diagnosis.exit_code == 0, "exit code 0: a usable console is present");
    Check(diagnosis.text.find("usable: yes") != std::string::npos &&
              diagnosis.text.find("output 9 bytes") != std::string::npos &&
              diagnosis.text.find("this user may open it: yes") != std::string::npos,
          "the console, its report lengths and its access are reported");
    Check(DriverBackWithin(milliseconds(3000)),
          "the kernel's USB-serial driver has the interface back afterwards");
  }

  // --diagnose --raw shows the descriptors as the virtual console declares them, and a trace of
  // what it sends while idle.
  void DiagnoseRaw() {
    Step("tessun --diagnose --raw: the console's descriptors and its first 2 s");
    const std::string text = RawConsoleFacts(port_, clock_);
    const std::size_t trace_at = text.find(kTraceHeader);
    Show(std::string_view(text).substr(0, trace_at));
    const auto has = [&text](const std::string& part) {
      return text.find(part) != std::string::npos;
    };
    Check(has("  HID report descriptor: " + HexBytes(kReportDescriptor) + "\n"),
          "the report descriptor is the one the console declares");
    Check(has("  device descriptor: 12 01 ") && has(" b4 04 00 55 00 01 "),
          "the device descriptor: ids 04b4:5500, version 1.00");
    std::vector<std::uint8_t> interface;
    PutInterfaceDescriptors(interface, kFullSpeedInterval);
    Check(has("  configuration descriptor: 09 02 ") && has(" " + HexBytes(interface)),
          "the configuration holds the console's interface, HID and endpoint descriptors");
    Check(has("  endpoint 0x81: in, interrupt, max packet 16 bytes, bInterval 10\n") &&
              has("  endpoint 0x02: out, interrupt, max packet 8 bytes, bInterval 10\n"),
          "both endpoints with the sizes and intervals the console declares");
    const TraceParse parse =
        ParseReportTrace(trace_at == std::string::npos ? "" : text.substr(trace_at));
    std::size_t reports = 0;
    bool sent = false;
    for (const TraceRecord& record :
         parse.trace ? parse.trace->records : std::vector<TraceRecord>()) {
      reports += record.kind == TraceKind::kIn ? 1 : 0;
      sent = sent || record.kind == TraceKind::kOut;
    }
    Check(parse.trace && !sent && reports >= 100,
          "the trace shows the idle console's reports, and no \"Get Data\"",
          std::to_string(reports) + " input reports in 2 s" + (parse.trace ? "" : "; ") +
              ParseFault(parse));
    Check(DriverBackWithin(milliseconds(3000)),
          "the kernel's USB-serial driver has the interface back afterwards");
  }

  // Prints a file for the host script, which keeps it beside the build as a test fixture.
  static void PrintFixture(std::string_view name, std::string_view text, std::string_view end) {
    for (std::size_t at = 0, next; at < text.size(); at = next + end.size()) {
      next = std::min(text.find(end, at), text.size());
      std::printf("usb-vm fixture %.*s|%.*s\n", static_cast<int>(name.size()), name.data(),
                  static_cast<int>(next - at), text.data() + at);
    }
  }

  // A run traced as with tessun --trace, its data file, and the replay of the trace through the
  // simulated console in virtual time, as with tessun --simulate=TRACE: the same data file.
  void TraceAndReplay() {
    Step("A traced run (tessun --trace) and its replay (tessun --simulate=TRACE)");
    CloseLink();
    test::TracedCore traced(port_, clock_);
    traced.core.StartUp();
    console_.Send("live 2");
    traced.Tick(5);
    const std::size_t mark = console_.Mark();
    traced.core.GetData();
    for (int tick = 0, after = 0; tick < kMaxTicks && after < 3; ++tick) {
      after += console_.WaitFor("sent all", mark, milliseconds(0)) ? 1 : 0;
      traced.Tick();
    }
    traced.core.CloseDevice();
    std::vector<std::string> expected = {LiveLine(1, 2), LiveLine(2, 2)};
    expected.insert(expected.end(), kPrintoutLines.begin(), kPrintoutLines.end());
    Check(Collected(traced.core.Store()) == expected, "the live lines and the printout arrived",
          Describe(Collected(traced.core.Store())));
    const std::string data = traced.DataFile();

    TraceParse parse = ParseReportTrace(traced.text);
    if (!Check(parse.trace.has_value(), "the trace reads back", ParseFault(parse))) {
      return;
    }
    const std::optional<std::string> again = test::ReplayedDataFile(std::move(*parse.trace));
    const auto lines = std::count(traced.text.begin(), traced.text.end(), '\n');
    Check(again == data,
          "the replay writes a byte-identical data file (same name, date and time given)",
          std::to_string(data.size()) + " bytes; the trace " + std::to_string(traced.text.size()) +
              " bytes in " + std::to_string(lines) + " lines for " +
              std::to_string(traced.core.Store().LineIndex + 1) + " text lines");
    PrintFixture(test::kTraceFixture, traced.text, "\n");
    PrintFixture(test::kTraceFixtureDataFile, data, "\r\n");
    // The link of the other steps is open again for Close.
    TickUntilFound();
  }

  // A second program (a second instance of the program) holds the console; then it is ended by
  // SIGTERM and must give the console back to the kernel's USB-serial driver.
  void SecondProgram() {
    Step("A second program holds the console");
    Check(CloseLink(), "the console is free before the second program");
    std::remove(kHolderReady);
    char hold[] = "hold";
    char* arguments[] = {program_, hold, nullptr};
    pid_t holder = -1;
    if (!Check(posix_spawn(&holder, "/proc/self/exe", nullptr, nullptr, arguments, environ) == 0,
               "the second program started")) {
      return;
    }
    std::string shown;
    const auto deadline = Clock::now() + kEventWait;
    while (shown.empty() && Clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(50));
      std::ifstream ready(kHolderReady);
      std::getline(ready, shown);
    }
    Check(shown == kUsbConnected, "the second program has the console", Quoted(shown));

    const auto start = Clock::now();
    const bool found = link_.OpenUsbDevice();
    const auto took = MsSince(start);
    Check(!found && status_.Last() == kUsbNotFound,
          "OpenUsbDevice: " + Quoted(kUsbNotFound) + ", the busy console counts as not found",
          Quoted(status_.Last()) + ", " + std::to_string(took) + " ms");
    Check(HandlesClosed(), "nothing is left open");
    Tick();
    Check(status_.Last() == kUsbNotFound, "a tick shows " + Quoted(kUsbNotFound),
          Quoted(status_.Last()));
    Check(log_.Count("another program holds the console") == 1,
          "the log says once that another program holds it",
          std::to_string(log_.Count("another program holds the console")) + " times");
    const Diagnosis diagnosis = Diagnose("while the second program holds the console");
    Check(diagnosis.exit_code == 1 && diagnosis.text.find("usbfs") != std::string::npos &&
              diagnosis.text.find("another program holds the console") != std::string::npos,
          "exit code 1; the claim by a program and the advice are reported");

    Step("The second program is ended by SIGTERM with the console open");
    kill(holder, SIGTERM);
    const auto signalled = Clock::now();
    const bool back = DriverBackWithin(kDriverBackAfterSignal);
    const auto after = MsSince(signalled);
    Check(back, "the kernel's USB-serial driver holds the interface again within 1 s",
          std::to_string(after) + " ms");
    int status = 0;
    waitpid(holder, &status, 0);
    Check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "the second program ended through its close path (exit code 0)",
          WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                              : "exit code " + std::to_string(WEXITSTATUS(status)));
  }

  // The console stops answering the requests sent to its interface: the ticks go on, each
  // within kLongestTick, and "Exit" takes effect at once.
  void Unanswering() {
    Step("A console that stops answering control requests");
    CloseLink();
    const std::size_t mark = console_.Mark();
    console_.Send("mute on");
    long longest = 0;
    int ticks = 0;
    const auto start = Clock::now();
    // 7 s: long enough for the console to sit out a back-off (from the failed set-up before, or
    // from this one) while nothing on the bus changes, and to be tried again all the same (such a
    // tick waits for the answer to its first request), and then some.
    int quiet = 0;
    int tried_after_quiet = -1;
    while (Clock::now() - start < std::chrono::seconds(7)) {
      const auto begin = Clock::now();
      const std::uint64_t enumerations = port_.Enumerations();
      core_.Tick();
      const long took = MsSince(begin);
      longest = std::max(longest, took);
      ++ticks;
      std::this_thread::sleep_for(kTimerInterval);
      if (took >= kTransferWait.count() && quiet >= kQuietTicks && tried_after_quiet < 0) {
        tried_after_quiet = quiet;
      }
      quiet = port_.Enumerations() == enumerations ? quiet + 1 : 0;
    }
    Check(console_.WaitFor("muted: request left unanswered", mark, milliseconds(0)).has_value(),
          "the link sent the console a request that it left unanswered");
    Check(tried_after_quiet >= kQuietTicks,
          "the console was tried again after its back-off, with nothing changed on the bus",
          tried_after_quiet < 0
              ? "not tried after " + std::to_string(kQuietTicks) + " quiet ticks"
              : "after " + std::to_string(tried_after_quiet) + " ticks without an enumeration");
    Check(longest < kLongestTick.count(), "every tick returned within 600 ms",
          std::to_string(ticks) + " ticks, longest " + std::to_string(longest) + " ms");
    Check(status_.Last() == kUsbNotFound, "status " + Quoted(kUsbNotFound), Quoted(status_.Last()));
    Check(log_.Count("does not answer") == 1, "the log says once that the console does not answer",
          std::to_string(log_.Count("does not answer")) + " times");
    const auto exit_start = Clock::now();
    core_.CloseDevice();
    const auto exit_took = MsSince(exit_start);
    Check(exit_took < kTimerInterval.count() && DriverBackWithin(milliseconds(1000)),
          "Exit takes effect at once and the kernel's USB-serial driver holds the interface",
          std::to_string(exit_took) + " ms");

    Step("The console answers again: the ticks find it by themselves");
    console_.Send("mute off");
    const bool found = TickUntilFound();
    Check(found, "the link is open again", Quoted(status_.Last()));
  }

  // A console whose input report is longer than its output report (and whose input packets are
  // longer than its descriptor's input report).
  void LongInput() {
    Step("A console with a 2-byte output report and 16-byte input packets");
    CloseLink();
    console_.Send("shape long");
    const bool found = TickUntilFound();
    Check(found && link_.ReportLength == 3, "the link is open, ReportLength 3",
          std::to_string(link_.ReportLength));
    GetData("Get Data from it: the whole printout", "OUT endpoint: 01 8d");

    console_.Send("shape 8");
    CloseLink();
    const bool back = TickUntilFound();
    Check(back && link_.ReportLength == 9, "back to the usual console, ReportLength 9",
          std::to_string(link_.ReportLength));
  }

  bool Plug() {
    Step("The console is plugged in; the kernel's USB-serial driver takes it");
    const std::size_t mark = console_.Mark();
    console_.Send("plug");
    Check(console_.WaitFor("event: enable", mark).has_value(), "the host configured the console");
    const auto deadline = Clock::now() + kEnumerationWait;
    while (Clock::now() < deadline) {
      device_ = Sysfs::ConsoleDevice();
      if (device_ && !Sysfs::InterfaceDriver(*device_).empty()) {
        break;
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
    if (!Check(device_.has_value(), "04b4:5500 enumerated",
               device_ ? device_->string() + ", " + Sysfs::Speed(*device_) + " Mbit/s" : "")) {
      return false;
    }
    serial_driver_ = Sysfs::InterfaceDriver(*device_);
    Check(!serial_driver_.empty() && Sysfs::HasSerialPort(*device_),
          "the kernel's USB-serial driver holds the interface");
    Check(!Sysfs::AnyHidraw(), "the HID core left the device alone (no hidraw node)");
    return true;
  }

  bool Open() {
    Step("OpenUsbDevice at start-up");
    const std::size_t mark = console_.Mark();
    const auto start = Clock::now();
    const bool found = link_.OpenUsbDevice();
    const auto took = MsSince(start);
    Check(found && link_.DeviceFound, "OpenUsbDevice returns True",
          std::to_string(took) + " ms, path " + link_.DevicePath);
    Check(status_.Last() == kUsbConnected, "status " + Quoted(kUsbConnected),
          Quoted(status_.Last()));
    Check(link_.DeviceHandle != kNoHandle && link_.ReadHandle != kNoHandle,
          "both handles are open");
    Check(link_.DeviceAttributes.VendorID == 0x04B4 && link_.DeviceAttributes.ProductID == 0x5500,
          "attributes 04b4:5500");
    Check(link_.ReportLength == 9, "ReportLength 9 from the device's report descriptor",
          std::to_string(link_.ReportLength));
    Check(console_.WaitFor("GET_DESCRIPTOR report", mark).has_value(),
          "the report descriptor was read from the device");
    const auto feature = console_.WaitFor("SET_REPORT", mark);
    Check(feature && feature->find(kFeatureOnDevice) != std::string::npos,
          "the feature report arrived as 80 25 00 00 03 (Feature, report id 0)",
          feature.value_or("none"));
    const std::string driver = device_ ? Sysfs::InterfaceDriver(*device_) : "";
    Check(driver != serial_driver_, "the kernel's USB-serial driver was detached",
          driver.empty() ? "no driver" : "now bound to " + driver);
    return link_.DeviceFound;
  }

  void IdleTick() {
    Step("An acquisition tick while the console is idle");
    const auto start = Clock::now();
    Tick();
    const auto took = MsSince(start);
    Check(status_.Last() == kUsbCommunicationOk, "status " + Quoted(kUsbCommunicationOk),
          Quoted(status_.Last()) + ", " + std::to_string(took) + " ms");
    Check(store_.NewData == 0 && store_.LineIndex == 0 && store_.Lines[0].empty(),
          "empty reports store nothing");
  }

  // Ticks as the timer does until everything the console queued after `mark` is in the store:
  // the console has sent it all, and after the ticks that took data one took none. (The port
  // queues the empty reports of idle times like the platform's input buffers, so the data can
  // sit behind a few ticks' worth of them.) False when a tick ended without
  // "USB Communication OK" or the data never came.
  bool TickUntilSent(std::size_t mark) {
    bool all_ok = true;
    bool sent = false;
    bool took_data = false;
    for (int tick = 0; tick < kMaxTicks; ++tick) {
      sent = sent || console_.WaitFor("sent all", mark, milliseconds(0)).has_value();
      // The core refreshes the view (blanking the canvas first) only when a tick took a byte.
      const int refreshes = canvas_.clears;
      Tick();
      all_ok = all_ok && status_.Last() == kUsbCommunicationOk;
      if (canvas_.clears != refreshes) {
        took_data = true;
      } else if (sent && took_data) {
        return all_ok;
      }
    }
    return false;
  }

  void LiveLines() {
    Step("Live lines printed by the console");
    const std::size_t mark = console_.Mark();
    console_.Send("live 3");
    Check(TickUntilSent(mark), "every tick ends with " + Quoted(kUsbCommunicationOk),
          Quoted(status_.Last()));
    const std::vector<std::string> expected = {LiveLine(1, 3), LiveLine(2, 3), LiveLine(3, 3), ""};
    Check(Collected(store_) == expected, "the three lines are shown", Describe(Collected(store_)));
    core_.ClearData();
  }

  // The program's restore question stays open for 5 s while the console prints 60 lines (the
  // window's ticks go on, as here), then Yes: the previous run's unwritten bytes and after them
  // every byte printed meanwhile are in the capture, in the store and in the data file, in
  // order, and no report was lost.
  void RestoreWhileConsolePrints() {
    Step("The restore question is open for 5 s while the console prints 60 lines, then Yes");
    const fs::path folder = "/run/captures";
    const std::string previous = "\r\nPREVIOUS RUN\r\nHEAT 1  LANE 4  0:31.07\r\nHEAT 1  LA";
    // The two runs' files are named by 00:00:00 and 00:00:01 of a zeroed date.
    const auto second_of = [](int second) {
      return [second] {
        std::tm time{};
        time.tm_sec = second;
        return time;
      };
    };
    {
      CaptureLog last_run(clock_, nullptr);
      last_run.Open(folder, second_of(0));
      last_run.TickEnded(
          std::span(reinterpret_cast<const std::uint8_t*>(previous.data()), previous.size()));
    }
    std::string problems;
    CaptureLog log(clock_, [&](CaptureLog::Problem, const std::string& why) { problems += why; });
    log.Open(folder, second_of(1));
    core_.SetCaptureLog(&log);
    Check(core_.PendingRestore().has_value() && problems.empty(),
          "the previous run's unwritten bytes are offered", problems);
    const std::size_t mark = console_.Mark();
    const long lost = log_.Count("input reports lost");
    console_.Send("live 60");
    const auto asked = Clock::now();
    while (Clock::now() - asked < std::chrono::seconds(5)) {
      Tick();
    }
    Check(console_.WaitFor("sent all", mark, milliseconds(0)).has_value() &&
              store_.LineIndex == 0 && store_.Lines[0].empty(),
          "the console sent everything while asked; nothing is shown before the answer");
    core_.AnswerRestore(true);
    core_.SetCaptureLog(nullptr);

    std::string printed = previous;
    for (int i = 1; i <= 60; ++i) {
      printed += LiveLine(i, 60) + "\r\n";
    }
    std::ifstream file(log.FilePath(), std::ios::binary);
    const std::string captured{std::istreambuf_iterator<char>(file), {}};
    Check(captured == printed, "the capture holds the previous bytes, then the 60 lines",
          std::to_string(captured.size()) + " of " + std::to_string(printed.size()) + " bytes");
    const std::vector<std::string> expected = LinesOf(printed);
    const bool in_order = Collected(store_) == expected;
    Check(in_order, "the store holds them in order",
          in_order ? std::to_string(store_.LineIndex + 1) + " lines" : Describe(Collected(store_)));
    std::string lines;
    for (const std::string& line : expected) {
      lines += std::string(kLineIndent) + line + "\r\n";
    }
    const std::string data_file = FormatDataFile("restored.txt", "01-01-2027", "12:00:00", store_);
    Check(data_file.find(lines) != std::string::npos, "the data file holds every line, in order");
    Check(log_.Count("input reports lost") == lost, "no input report was lost");
    store_.EmptyLines();
  }

  // "Get Data": command 141 arrives as `as` (any of the two forms of the 8-byte report when
  // none is given) and the printout comes whole, every tick "USB Communication OK".
  void GetData(std::string_view title, std::string_view as = {}) {
    Step(title);
    const std::size_t mark = console_.Mark();
    PressGetData();
    const auto command = console_.WaitFor("01 8d", mark);
    const auto arrived_as = [&command](std::string_view form) {
      return command && command->find(form) != std::string::npos;
    };
    Check(as.empty() ? arrived_as(kGetDataOnEndpoint) || arrived_as(kGetDataAsSetReport)
                     : arrived_as(as),
          "command 141 arrived as " + std::string(as.empty() ? "01 8d 00 00 00 00 00 00" : as),
          command.value_or("none"));
    const auto start = Clock::now();
    Check(TickUntilSent(mark), "every tick ends with " + Quoted(kUsbCommunicationOk),
          Quoted(status_.Last()));
    const auto took = MsSince(start);
    const std::vector<std::string> lines = Collected(store_);
    Check(lines == kPrintoutLines,
          "the printout is assembled into exactly the expected " +
              std::to_string(kPrintoutLines.size()) + " lines",
          std::to_string(lines.size()) + " lines in " + std::to_string(took) + " ms" +
              (lines == kPrintoutLines ? "" : ": " + Describe(lines)));
    store_.EmptyLines();
  }

  // The console stops in the middle of the printout after `cut_after` reports (mid-line), stays
  // silent for `pause` and unplugs itself. With `busy`, no tick runs until it is gone (as when
  // the window is busy), so the reports wait in the port's queue when the device vanishes.
  void Unplug(std::string_view title, std::size_t cut_after, milliseconds pause, bool busy) {
    Step(title);
    const std::size_t mark = console_.Mark();
    console_.Send("cut " + std::to_string(cut_after) + " " + std::to_string(pause.count()));
    PressGetData();
    if (busy) {
      Check(console_.WaitFor("unplugged", mark).has_value(), "the console is gone before a tick");
    }
    std::vector<std::string> statuses;
    for (int tick = 0; tick < kMaxTicks && link_.DeviceFound; ++tick) {
      Tick();
      statuses.push_back(status_.Last());
    }
    const std::string last = statuses.empty() ? "" : statuses.back();
    Check(
        last == kReadfileTimeout || last == kReadfileUndefinedError,
        "the tick ends with " + Quoted(kReadfileTimeout) + " or " + Quoted(kReadfileUndefinedError),
        Quoted(last) + " after " + std::to_string(statuses.size()) + " ticks");
    // The last one did not (see above): all the others did.
    Check(std::count(statuses.begin(), statuses.end(), kUsbCommunicationOk) + 1 ==
              static_cast<std::ptrdiff_t>(statuses.size()),
          "the ticks before it ended with " + Quoted(kUsbCommunicationOk));
    Check(!link_.DeviceFound, "DeviceFound is False");
    Check(HandlesClosed(), "DeviceHandle and ReadHandle are closed");
    const auto cut = console_.WaitFor("cut after", mark);
    Check(cut && cut->find("cut after " + std::to_string(cut_after) + " ") != std::string::npos,
          "the console sent " + std::to_string(cut_after) + " reports before the unplug",
          cut.value_or("none"));
    Check(console_.WaitFor("unplugged", mark).has_value(), "the console is unplugged");

    // What the store must hold: exactly the text of the reports that completed.
    const std::vector<std::string> parts = SplitIntoReports(kPrintout);
    std::string completed;
    for (std::size_t i = 0; i < cut_after && i < parts.size(); ++i) {
      completed += parts[i];
    }
    Check(Collected(store_) == LinesOf(completed),
          "no data lost: the " + std::to_string(completed.size()) +
              " bytes of the completed reports are in the store, nothing more",
          Describe(Collected(store_)));
    core_.ClearData();

    Step("A tick while the console is unplugged");
    Tick();
    Check(status_.Last() == kUsbNotFound, "status " + Quoted(kUsbNotFound), Quoted(status_.Last()));
    Check(!link_.DeviceFound && HandlesClosed(), "still closed");
  }

  void Replug() {
    Step("Replugged: the ticks find the console again by themselves");
    const std::size_t mark = console_.Mark();
    std::exchange(status_.texts, {});
    console_.Send("plug");
    const auto start = Clock::now();
    Check(TickUntilFound(), "the link is open again", std::to_string(MsSince(start)) + " ms");
    CheckConnectedThenOk();
    Check(link_.ReportLength == 9, "ReportLength 9", std::to_string(link_.ReportLength));
    const auto feature = console_.WaitFor("SET_REPORT", mark);
    Check(feature && feature->find(kFeatureOnDevice) != std::string::npos,
          "the feature report arrived again", feature.value_or("none"));
  }

  // The statuses shown since they were last taken away: "USB Connected " among them, and
  // "USB Communication OK" last. Takes them away again.
  void CheckConnectedThenOk() {
    const std::vector<std::string> texts = std::exchange(status_.texts, {});
    Check(std::find(texts.begin(), texts.end(), kUsbConnected) != texts.end() &&
              status_.Last() == kUsbCommunicationOk,
          "statuses " + Quoted(kUsbConnected) + " then " + Quoted(kUsbCommunicationOk),
          Quoted(status_.Last()));
  }

  // Ticks as the timer does until `done` holds after a tick (at most 10 s). Returns how many of
  // those ticks started once `shown` held (the change could be seen), or -1.
  int TicksUntil(const std::function<bool()>& shown, const std::function<bool()>& done) {
    int after = 0;
    const auto deadline = Clock::now() + kEnumerationWait;
    while (Clock::now() < deadline) {
      after += shown() ? 1 : 0;
      Tick();
      if (done()) {
        return after;
      }
    }
    return -1;
  }

  // A plug, an unplug and a plug again while the ticks run, the console at a new address each
  // time: each is picked up by the first tick that starts once it can be seen, and while nothing
  // changes on the bus the port does not enumerate the devices.
  void PlugUnplugPlug() {
    Step("Plug, unplug and plug again while the ticks run");
    const auto unplug = [&](const std::string& which) {
      console_.Send("unplug");
      const int ticks =
          TicksUntil([] { return !Sysfs::ConsoleDevice(); }, [this] { return !link_.DeviceFound; });
      Check(ticks == 0 || ticks == 1, which + ": the first tick after it loses the console",
            std::to_string(ticks) + " ticks, " + Quoted(status_.Last()));
      // The listing after the unplug's events, and the one after it, enumerate; no other does.
      Tick();
      Tick();
      const std::uint64_t before = port_.Enumerations();
      for (int i = 0; i < kQuietTicks; ++i) {
        Tick();
      }
      Check(port_.Enumerations() == before && status_.Last() == kUsbNotFound,
            std::to_string(kQuietTicks) + " ticks without a console: " + Quoted(kUsbNotFound) +
                ", no enumeration",
            std::to_string(port_.Enumerations() - before) + " enumerations");
    };
    const auto plug = [&](const std::string& which) {
      const std::string before = link_.DevicePath;
      std::exchange(status_.texts, {});
      if (udev_watch_) {
        udev_watch_->UsbChanged();
      }
      console_.Send("plug");
      // With the udev daemon, libusb learns of the console from the daemon's event, which comes
      // once the daemon has handled the kernel's (and set the device's access rights).
      bool announced = !udev_watch_;
      const auto shown = [&] {
        announced = announced || udev_watch_->UsbChanged();
        return announced && Sysfs::ConsoleConfigured();
      };
      const int ticks = TicksUntil(shown, [this] { return link_.DeviceFound; });
      Tick();
      Check(ticks == 0 || ticks == 1,
            which + ": the first tick after the console is configured" +
                (udev_watch_ ? " and announced by the udev daemon" : "") + " finds it",
            std::to_string(ticks) + " ticks, at " + link_.DevicePath + " (before " + before + ")");
      CheckConnectedThenOk();
    };
    unplug("Unplug");
    plug("Plug");
    unplug("Unplug again");
    plug("Plug again");
    // With hotplug events one libusb context serves every search; without, each enumeration
    // starts one.
    const std::uint64_t contexts = port_.ContextsStarted();
    Check(udev_watch_ ? contexts == 1 : contexts == port_.Enumerations(),
          udev_watch_ ? "one libusb context served every search"
                      : "each enumeration started a libusb context",
          std::to_string(contexts) + " contexts, " + std::to_string(port_.Enumerations()) +
              " enumerations");
  }

  void Close() {
    Step("Exit: CloseDevice");
    link_.CloseDevice();
    Check(HandlesClosed(), "DeviceHandle and ReadHandle are closed");
    Check(link_.DeviceFound, "DeviceFound is left as it was");
    Check(DriverBackWithin(milliseconds(3000)) && Sysfs::HasSerialPort(*device_),
          "the kernel's USB-serial driver has the interface back");
  }

  char* program_;
  PrintingLog log_;
  LibusbPort port_;
  // With the udev daemon running, its events as libusb hears them.
  std::optional<UeventWatch> udev_watch_;
  SteadyClock clock_;
  test::RecordingTimer timer_;
  test::RecordingStatus status_;
  test::RecordingCanvas canvas_;
  test::FakeScrollBar bar_;
  Acquisition core_{port_, clock_, timer_, status_, canvas_, bar_};
  LineStore& store_ = core_.Store();
  DeviceLink& link_ = core_.Link();
  Console console_;
  std::optional<fs::path> device_;
  // The driver that held the interface before the first open; never printed.
  std::string serial_driver_;
  int step_ = 0;
  int checks_ = 0;
  int failures_ = 0;
  std::string first_failure_;
};

}  // namespace
}  // namespace tessun::usbvm

int main(int argc, char* argv[]) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc > 1 && std::string_view(argv[1]) == "hold") {
    return tessun::usbvm::Hold();
  }
  tessun::usbvm::Scenario scenario(argv[0]);
  return scenario.Run(argc > 1 && std::string_view(argv[1]) == "plug-checks");
}
