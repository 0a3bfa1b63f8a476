#include "device/console_diagnosis.h"

#include <cstdio>

#include "device/console_advice.h"
#include "device/console_protocol.h"
#include "device/device_link.h"

namespace tessun {

namespace {

std::string Line(std::string_view text) {
  return std::string(text) + "\n";
}

}  // namespace

Diagnosis DiagnoseConsoles(DevicePort& port, const InterfaceFactsOf& facts_of) {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04X:%04X", console::kVendorId, console::kProductId);
  Diagnosis diagnosis;
  std::string& text = diagnosis.text;
  text = Line(std::string("Consoles ") + ids + " on this computer:");

  const auto [paths, list_error] = port.ListHidInterfaces();
  int consoles = 0;
  int usable = 0;
  for (const std::string& path : paths) {
    const PortHandle device = port.Open(path, OpenMode::kSynchronous).value;
    if (device == kNoHandle) {
      continue;
    }
    const HidAttributes attributes = port.GetAttributes(device).value;
    if (attributes.VendorID != console::kVendorId || attributes.ProductID != console::kProductId) {
      port.Close(device);
      continue;
    }
    ++consoles;
    const InterfaceFacts facts = facts_of ? facts_of(path) : InterfaceFacts{};
    text += Line("console " + std::string(ids) + " at " +
                 (facts.location.empty() ? path : facts.location + " (" + path + ")"));
    if (!facts.driver.empty()) {
      text += Line("  driver holding the interface: " + facts.driver +
                   (facts.driver == "usbfs" ? " (a program has claimed it)" : ""));
    }
    if (facts.may_open) {
      text += Line(std::string("  this user may open it: ") + (*facts.may_open ? "yes" : "no") +
                   (facts.node.empty() ? "" : " (" + facts.node + ")"));
    }
    // Set up as the link would, and closed again at once.
    const DeviceLink::SetUpResult set_up = DeviceLink::SetUpConsole(port, device, path);
    if (set_up.read_handle != kNoHandle) {
      port.Close(set_up.read_handle);
    }
    port.Close(device);
    const DeviceLink::HidCaps& caps = set_up.caps;
    if (caps.OutputReportByteLength > 0 || caps.InputReportByteLength > 0) {
      text += Line("  report lengths: input " + std::to_string(caps.InputReportByteLength) +
                   " bytes, output " + std::to_string(caps.OutputReportByteLength) +
                   " bytes (with the report-id byte)");
    }
    if (set_up.failed_step.empty()) {
      ++usable;
      text += Line("  usable: yes");
      continue;
    }
    const bool port_failed = static_cast<bool>(set_up.error);
    text += Line("  usable: no (" + std::string(set_up.failed_step) + ": " +
                 (port_failed ? set_up.error.text : "its reports are too short") + ")");
    text += Line("  advice: " +
                 std::string(port_failed ? AdviceFor(set_up.error.kind) : kNoUsableReportAdvice));
  }

  if (consoles == 0) {
    text += Line(std::string("no console ") + ids +
                 " found: it is not plugged in or not switched on, or its cable carries no data");
    if (list_error) {
      text += Line("  (the device list: " + list_error.text + ")");
    }
  } else {
    text += Line(std::to_string(consoles) + (consoles == 1 ? " console" : " consoles") +
                 " found, " + std::to_string(usable) + " usable");
  }
  diagnosis.exit_code = usable > 0 ? 0 : 1;
  return diagnosis;
}

int RunDiagnosis(DevicePort& port, const InterfaceFactsOf& facts_of,
                 const std::function<void(const Diagnosis&)>& show) {
  const Diagnosis diagnosis = DiagnoseConsoles(port, facts_of);
  show(diagnosis);
  return diagnosis.exit_code;
}

}  // namespace tessun
