// `tessun --diagnose`: which consoles are on the bus, whether each can be used, and what the
// operator can do about each one that cannot. It goes through the device port as the link does,
// so the answer is the link's own; what only the platform knows (where the console sits, which
// driver holds it, whether this user may open it) comes from a platform function.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "device/device_port.h"

namespace tessun {

// What the platform tells about one interface, beyond the port's operations. Empty or unset
// fields are not known on this platform and not shown.
struct InterfaceFacts {
  // Where the interface sits, for the operator ("bus 1 device 4, interface 0").
  std::string location;
  // The driver bound to the interface now; "none" when none is.
  std::string driver;
  // Whether this user may open the device, and the file that decides it.
  std::optional<bool> may_open;
  std::string node;
};
using InterfaceFactsOf = std::function<InterfaceFacts(const std::string& path)>;

struct Diagnosis {
  // The report, one line each, ending with a line feed.
  std::string text;
  // 0 when a usable console is present, 1 otherwise.
  int exit_code = 1;
};

// Looks at every console among the port's HID interfaces: its facts are taken first (before the
// check itself detaches any driver), then it is opened, set up by the link's own rule
// (DeviceLink::SetUpConsole), and closed again. Nothing is left open.
Diagnosis DiagnoseConsoles(DevicePort& port, const InterfaceFactsOf& facts_of);

// `tessun --diagnose`: diagnoses the consoles and hands the diagnosis to `show` (the platform
// shows it on the standard output or in a message box). Returns the program's exit status, the
// diagnosis's exit code.
int RunDiagnosis(DevicePort& port, const InterfaceFactsOf& facts_of,
                 const std::function<void(const Diagnosis&)>& show);

}  // namespace tessun
