// Tests only. A GoogleTest fixture on a simulated machine (sim::Machine + sim::SimPlatform) in a
// temporary folder (TempMachine), with its console output and journal collected, and the
// devices a test puts on it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sim/machine.h"
#include "platform/sim/sim_platform.h"
#include "tests/support/sim_run.h"
#include "tests/support/temp_machine.h"

namespace testing_support {

inline sim::Device SimDevice(std::vector<std::string> ids, std::string update = "ok") {
  sim::Device device;
  device.hardware_ids = std::move(ids);
  device.update = std::move(update);
  return device;
}

/// A device's hardware-ID list as a test writes it; nothing: a device without a list.
using IdList = std::optional<std::vector<std::string>>;

/// A test on a simulated machine in a temporary folder. Fill `machine` and write its files
/// first, then call Start().
class SimMachineTest : public ::testing::Test {
 protected:
  sim::SimPlatform& Start() { return temp_.platform(); }

  /// Makes these devices present, in this enumeration order.
  void AddDevices(const std::vector<IdList>& devices) {
    for (const IdList& ids : devices) {
      machine.devices.push_back(ids ? SimDevice(*ids) : sim::Device{});
    }
  }

  /// Writes a file of the machine at a Windows path such as "C:\\pkg\\orvan.inf".
  void WriteFile(const std::string& windows_path, const std::string& text) {
    temp_.WriteFile(windows_path, text);
  }

  /// The journal entries of one operation.
  std::vector<sim::Json> Entries(std::string_view op) const {
    return Ops(journal, std::string(op));
  }

  /// The hardware-ID lists of the present devices, in order.
  std::vector<std::vector<std::string>> PresentIds() const {
    std::vector<std::vector<std::string>> ids;
    for (const sim::Device& device : machine.devices) {
      ids.push_back(device.hardware_ids.value_or(std::vector<std::string>{}));
    }
    return ids;
  }

  TempMachine temp_;
  sim::Machine& machine = temp_.machine;
  std::string& output = temp_.output;
  std::vector<sim::Json>& journal = temp_.journal;
};

}  // namespace testing_support
