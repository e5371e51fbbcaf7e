// Loading a whole catalogue file (the built ENGLISH.NLS and JAPANESE.NLS) through the simulated
// machine, parsing one in memory, and the floor: reading the same host file with the system's
// own calls.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "messages/builtin_catalogue.h"
#include "messages/catalogue.h"
#include "tests/support/temp_machine.h"

namespace {

struct CatalogueFile {
  const char* name;  // as built and as a medium carries it
  int language;
  /// The name the file gets on the simulated medium: as built, or in the letter case the
  /// program asks for, which the simulator finds without searching the folder.
  const char* name_on_medium;
};

constexpr CatalogueFile kEnglish = {"ENGLISH.NLS", messages::kEnglish, "ENGLISH.NLS"};
constexpr CatalogueFile kJapanese = {"JAPANESE.NLS", messages::kJapanese, "JAPANESE.NLS"};
constexpr CatalogueFile kEnglishExactCase = {"ENGLISH.NLS", messages::kEnglish, "english.nls"};

std::string BuiltCatalogue(const CatalogueFile& file) {
  return bench::ReadHostFile(std::filesystem::path(SETUP_BENCH_NLS_DIR) / file.name);
}

std::string PathOnMedium(const CatalogueFile& file) {
  return std::string("D:\\nls\\") + file.name_on_medium;
}

/// A machine whose medium D: carries the catalogue file in D:\nls\.
void PutOnMedium(testing_support::TempMachine& machine, const CatalogueFile& file) {
  machine.WriteFile(PathOnMedium(file), BuiltCatalogue(file));
}

void BM_LoadCatalogue(benchmark::State& state, CatalogueFile file) {
  testing_support::TempMachine machine;
  PutOnMedium(machine, file);
  const std::size_t size = BuiltCatalogue(file).size();
  for (auto _ : state) {
    messages::Catalogue catalogue;
    if (messages::LoadCatalogue(machine.platform(), "D:", &catalogue, messages::kEntryCount,
                                file.language) != 0 ||
        catalogue.entries.size() != static_cast<std::size_t>(messages::kEntryCount)) {
      state.SkipWithError("the catalogue did not load");
      return;
    }
    benchmark::DoNotOptimize(catalogue);
    messages::FreeCatalogue(&catalogue);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(size));
  state.counters["file_bytes"] = static_cast<double>(size);
}
BENCHMARK_CAPTURE(BM_LoadCatalogue, english, kEnglish);
BENCHMARK_CAPTURE(BM_LoadCatalogue, japanese, kJapanese);
BENCHMARK_CAPTURE(BM_LoadCatalogue, english_exact_case, kEnglishExactCase);

/// The floor of a load: size, open, read and close the same host file.
void BM_LoadCatalogueFloor(benchmark::State& state, CatalogueFile file) {
  testing_support::TempMachine machine;
  PutOnMedium(machine, file);
  const std::string path = machine.Host(PathOnMedium(file)).string();
  std::vector<char> buffer;
  for (auto _ : state) {
    struct stat info {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      state.SkipWithError("cannot open the catalogue file");
      return;
    }
    buffer.resize(static_cast<std::size_t>(info.st_size) + 1);
    const ssize_t got = ::read(fd, buffer.data(), static_cast<std::size_t>(info.st_size));
    ::close(fd);
    benchmark::DoNotOptimize(got);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(BuiltCatalogue(file).size()));
}
BENCHMARK_CAPTURE(BM_LoadCatalogueFloor, english, kEnglish);
BENCHMARK_CAPTURE(BM_LoadCatalogueFloor, japanese, kJapanese);

/// The in-memory part of a load: the bytes as stored become the table of texts.
void BM_ParseCatalogue(benchmark::State& state, CatalogueFile file) {
  const std::string stored = BuiltCatalogue(file);
  for (auto _ : state) {
    messages::Catalogue catalogue = messages::ParseCatalogue(stored, messages::kEntryCount);
    benchmark::DoNotOptimize(catalogue);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stored.size()));
}
BENCHMARK_CAPTURE(BM_ParseCatalogue, english, kEnglish);
BENCHMARK_CAPTURE(BM_ParseCatalogue, japanese, kJapanese);

}  // namespace
