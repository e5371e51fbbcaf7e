// setup-sim's reading of machine.json on arbitrary bytes.
//
// Properties:
// - the reading either gives a machine or throws sim::MachineError (which setup-sim reports
//   with exit code 3); any other exception is a finding;
// - a machine that was read is written back as setup-sim writes machine.json at the end of a
//   run, and that text reads again as the same machine, field for field.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/sim/machine.h"

namespace {

bool Same(const sim::Device& a, const sim::Device& b);

bool Same(const std::vector<sim::Device>& a, const std::vector<sim::Device>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!Same(a[i], b[i])) return false;
  }
  return true;
}

bool Same(const sim::Device& a, const sim::Device& b) {
  return a.hardware_ids == b.hardware_ids && a.update == b.update && a.driver == b.driver &&
         a.reappears == b.reappears && Same(a.children, b.children);
}

bool Same(const sim::Fault& a, const sim::Fault& b) {
  return a.op == b.op && a.path == b.path && a.error == b.error && a.count == b.count &&
         a.after == b.after;
}

bool Same(const sim::Machine& a, const sim::Machine& b) {
  if (a.faults.size() != b.faults.size()) return false;
  for (std::size_t i = 0; i < a.faults.size(); ++i) {
    if (!Same(a.faults[i], b.faults[i])) return false;
  }
  return a.system_directory == b.system_directory && a.current_drive == b.current_drive &&
         a.language == b.language && a.virtual_sleep == b.virtual_sleep &&
         a.registry_writable == b.registry_writable && a.registry == b.registry &&
         Same(a.devices, b.devices) && Same(a.removed_devices, b.removed_devices);
}

/// machine.json's text for a machine, as setup-sim writes it.
std::string Written(const sim::Machine& machine) {
  return sim::MachineToJson(machine).dump(2, ' ', false, sim::Json::error_handler_t::replace);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::Machine machine;
  try {
    machine = sim::ParseMachine(text);
  } catch (const sim::MachineError&) {
    return 0;  // a clear error: setup-sim says why and ends with exit code 3
  } catch (const std::exception& error) {
    fuzz::Fail("reading machine.json throws something other than sim::MachineError", error.what());
  } catch (...) {
    fuzz::Fail("reading machine.json throws something that is not an exception");
  }

  const std::string written = Written(machine);
  sim::Machine again;
  try {
    again = sim::ParseMachine(written);
  } catch (const std::exception& error) {
    fuzz::Fail("a machine.json that setup-sim wrote cannot be read again",
               std::string(error.what()) + "\n" + written);
  }
  fuzz::Check(Same(machine, again), "a machine written back reads again as the same machine",
              [&] { return text + "\n--- was written as ---\n" + written; });
  return 0;
}
