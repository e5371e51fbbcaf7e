// The version stamp comparison of two 100000-byte package files, end to end on a simulated
// machine, beside the least any comparison must do: read both files and find their markers.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "deploy/version_stamps.h"
#include "messages/catalogue.h"
#include "messages/console.h"
#include "tests/support/temp_machine.h"

namespace {

constexpr const char* kSource = "D:\\win2000\\ZOVKAF.SYS";
constexpr const char* kDestination = "C:\\WINNT\\system32\\drivers\\orvan\\win2000\\ZOVKAF.SYS";

/// Two 100000-byte files whose stamps lie in their last bytes, so that the whole of each is
/// searched: the medium's copy is older (1.02) than the deployed one (1.10).
void WriteStampedFiles(testing_support::TempMachine& machine) {
  std::string source = bench::TextFiller(deploy::kStampReadBytes);
  bench::StampAtEnd(&source, "1.02");
  std::string destination = bench::TextFiller(deploy::kStampReadBytes);
  bench::StampAtEnd(&destination, "1.10");
  machine.WriteFile(kSource, source);
  machine.WriteFile(kDestination, destination);
}

void BM_CompareVersionStamps(benchmark::State& state) {
  testing_support::TempMachine machine;
  WriteStampedFiles(machine);
  const messages::Catalogue catalogue = messages::BuiltinCatalogue();
  messages::Console console(machine.platform(), catalogue);
  if (deploy::CompareVersionStamps(machine.platform(), console, kSource, kDestination) !=
      deploy::kSourceOlder) {
    state.SkipWithError("the comparison did not find the source older");
    return;
  }
  for (auto _ : state) {
    int result = deploy::CompareVersionStamps(machine.platform(), console, kSource, kDestination);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 *
                          static_cast<std::int64_t>(deploy::kStampReadBytes));
}
BENCHMARK(BM_CompareVersionStamps);

/// The floor: open, read and close both host files with the system's own calls into one
/// 100000-byte buffer, and find each start marker with memmem.
void BM_CompareVersionStampsFloor(benchmark::State& state) {
  testing_support::TempMachine machine;
  WriteStampedFiles(machine);
  const std::vector<std::string> paths = {machine.Host(kDestination).string(),
                                          machine.Host(kSource).string()};
  std::vector<char> buffer(deploy::kStampReadBytes);
  for (auto _ : state) {
    for (const std::string& path : paths) {
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        state.SkipWithError("cannot open a stamped file");
        return;
      }
      const ssize_t got = ::read(fd, buffer.data(), buffer.size());
      ::close(fd);
      const void* start =
          got > 0 ? ::memmem(buffer.data(), static_cast<std::size_t>(got), "!@#$", 4) : nullptr;
      benchmark::DoNotOptimize(start);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 *
                          static_cast<std::int64_t>(deploy::kStampReadBytes));
}
BENCHMARK(BM_CompareVersionStampsFloor);

}  // namespace
