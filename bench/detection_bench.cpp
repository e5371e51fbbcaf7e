// Hardware detection on simulated machines of 10 to 100,000 devices: the time per device and
// per hardware ID must stay flat as the count grows. The simulator's own set-up of a machine is
// measured on its own and kept out of the detection loop.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "devices/detection.h"
#include "platform/sim/machine.h"
#include "platform/sim/sim_platform.h"

namespace {

constexpr const char* kSecondAdapter = "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_02591014&REV_01";

struct SimulatedMachine {
  sim::Machine machine;
  std::int64_t hardware_ids = 0;  // over all devices
};

std::string Format(const char* format, unsigned a, unsigned b = 0) {
  char text[96];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

/// `devices` present devices: PCI functions with 2, 4 or 6 hardware IDs in turn (most detailed
/// first, so the lists differ in length and the list buffer has to grow now and then), none of
/// them in the hardware table, and last the second adapter, which detection must find.
SimulatedMachine MakeMachine(int devices) {
  SimulatedMachine made;
  made.machine.virtual_sleep = true;
  made.machine.devices.reserve(static_cast<std::size_t>(devices));
  for (int i = 0; i + 1 < devices; ++i) {
    const auto n = static_cast<unsigned>(i);
    const unsigned device = 0x1000 + n % 0x6000;
    std::vector<std::string> ids;
    ids.push_back(Format("PCI\\VEN_8086&DEV_%04X&SUBSYS_%08X&REV_01", device, 0x80860000u + n));
    ids.push_back(Format("PCI\\VEN_8086&DEV_%04X&SUBSYS_%08X", device, 0x80860000u + n));
    if (i % 3 >= 1) {
      ids.push_back(Format("PCI\\VEN_8086&DEV_%04X&CC_%06X", device, 0x060400u + n % 16));
      ids.push_back(Format("PCI\\VEN_8086&DEV_%04X&CC_%04X", device, 0x0604u));
    }
    if (i % 3 == 2) {
      ids.push_back(Format("PCI\\VEN_8086&DEV_%04X", device));
      ids.push_back(Format("PCI\\VEN_8086&CC_%04X", 0x0604u));
    }
    made.hardware_ids += static_cast<std::int64_t>(ids.size());
    sim::Device entry;
    entry.hardware_ids = std::move(ids);
    made.machine.devices.push_back(std::move(entry));
  }
  sim::Device adapter;
  adapter.hardware_ids = std::vector<std::string>{kSecondAdapter, "PCI\\VEN_7A3C&DEV_0B52"};
  made.hardware_ids += 2;
  made.machine.devices.push_back(std::move(adapter));
  return made;
}

/// Makes the platform ready to answer device calls: one step of an enumeration, which has the
/// simulator index its device list (once per change of the list).
void IndexDevices(sim::SimPlatform& platform) {
  const platform::Handle set =
      platform.SetupDiGetClassDevsA(platform::DIGCF_PRESENT | platform::DIGCF_ALLCLASSES);
  platform::DeviceInfoData device;
  platform.SetupDiEnumDeviceInfo(set, 0, &device);
  platform.SetupDiDestroyDeviceInfoList(set);
}

/// A machine and the platform over it, made and indexed once per device count and kept for
/// every run of the benchmark (detection changes neither), so that no part of the simulator's
/// set-up falls into the timed loop.
struct DetectionFixture {
  explicit DetectionFixture(int devices)
      : made(MakeMachine(devices)),
        platform(made.machine, folder.path(), sim::ConsoleIo{std::nullopt, &output, false}, {}) {
    IndexDevices(platform);
  }

  bench::ScratchFolder folder{"setup-bench-detect"};
  std::string output;
  SimulatedMachine made;
  sim::SimPlatform platform;
};

DetectionFixture& FixtureFor(int devices) {
  static std::map<int, std::unique_ptr<DetectionFixture>> fixtures;
  std::unique_ptr<DetectionFixture>& fixture = fixtures[devices];
  if (!fixture) fixture = std::make_unique<DetectionFixture>(devices);
  return *fixture;
}

/// Reports per-device and per-ID time as counters (seconds per item; the console shows them
/// scaled, e.g. 250n), and the hardware IDs as items.
void ReportPerItem(benchmark::State& state, std::int64_t devices, std::int64_t hardware_ids) {
  using Counter = benchmark::Counter;
  state.counters["per_device"] =
      Counter(static_cast<double>(devices), Counter::kIsIterationInvariantRate | Counter::kInvert);
  state.counters["per_id"] = Counter(static_cast<double>(hardware_ids),
                                     Counter::kIsIterationInvariantRate | Counter::kInvert);
  state.counters["ids"] = static_cast<double>(hardware_ids);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * hardware_ids);
}

void BM_DetectHardware(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  DetectionFixture& fixture = FixtureFor(devices);
  for (auto _ : state) {
    devices::Detection detection;
    const int result = devices::DetectHardware(fixture.platform, &detection);
    if (result != 1 || detection.matched_adapter_id != kSecondAdapter) {
      state.SkipWithError("detection did not find the second adapter");
      return;
    }
    benchmark::DoNotOptimize(detection);
  }
  ReportPerItem(state, devices, fixture.made.hardware_ids);
}
BENCHMARK(BM_DetectHardware)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

/// The simulator's own set-up: building the machine's device list, the platform over it (which
/// numbers every device) and the platform's index of the list.
void BM_SimMachineSetUp(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  bench::ScratchFolder folder("setup-bench-detect");
  std::string output;
  std::int64_t hardware_ids = 0;
  for (auto _ : state) {
    SimulatedMachine made = MakeMachine(devices);
    sim::SimPlatform platform(made.machine, folder.path(),
                              sim::ConsoleIo{std::nullopt, &output, false}, {});
    IndexDevices(platform);
    hardware_ids = made.hardware_ids;
    benchmark::DoNotOptimize(platform);
  }
  ReportPerItem(state, devices, hardware_ids);
}
BENCHMARK(BM_SimMachineSetUp)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

}  // namespace
