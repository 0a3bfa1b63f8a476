#include "device/console_diagnosis.h"

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "device/console_advice.h"
#include "device/console_protocol.h"

namespace tessun {

namespace {

// The result of setting one console up as the link does.
struct SetUp {
  int output_length = 0;
  int input_length = 0;
  std::string failed_step;  // "" when it worked
  PortError error;          // none when the port did not fail at that step
};

SetUp TrySetUp(DevicePort& port, PortHandle device, const std::string& path) {
  SetUp result;
  const auto fail = [&](std::string_view step, PortError error) {
    result.failed_step = step;
    result.error = std::move(error);
    return result;
  };
  PortResult<std::optional<int>> length = port.OutputReportLength(device);
  result.output_length = length.value.value_or(0);
  if (length.error || result.output_length <= 0) {
    return fail("capabilities", length.error);
  }
  length = port.InputReportLength(device);
  result.input_length = length.value.value_or(0);
  if (length.error || result.input_length <= static_cast<int>(console::kFirstDataByte)) {
    return fail("capabilities", length.error);
  }
  const PortResult<PortHandle> reads = port.Open(path, OpenMode::kForReads);
  if (reads.error) {
    return fail("open for reads", reads.error);
  }
  PortError configured = port.SetFeature(device, console::kLineConfiguration);
  SetUp outcome = configured ? fail("configuration", std::move(configured)) : result;
  port.Close(reads.value);
  return outcome;
}

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
    const SetUp set_up = TrySetUp(port, device, path);
    port.Close(device);
    if (set_up.output_length > 0 || set_up.input_length > 0) {
      text += Line("  report lengths: input " + std::to_string(set_up.input_length) +
                   " bytes, output " + std::to_string(set_up.output_length) +
                   " bytes (with the report-id byte)");
    }
    if (set_up.failed_step.empty()) {
      ++usable;
      text += Line("  usable: yes");
      continue;
    }
    const bool port_failed = static_cast<bool>(set_up.error);
    text += Line("  usable: no (" + set_up.failed_step + ": " +
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

}  // namespace tessun
