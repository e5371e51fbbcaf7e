// The marker search of the version stamps beside the standard library's Horspool searcher and
// memmem, on the same 100000-byte inputs, in bytes per second.
#include <benchmark/benchmark.h>
#include <string.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "bench/bench_support.h"
#include "deploy/marker_search.h"
#include "deploy/version_stamps.h"

namespace {

constexpr std::size_t kInputBytes = deploy::kStampReadBytes;
constexpr std::string_view kMarker = deploy::kStartMarker;

enum class Input {
  kStampAtEnd,     // INF-like text, the stamp in the last bytes
  kNoStamp,        // the same text, no stamp
  kNearMissStart,  // "!@#" over and over: the marker's first three bytes
  kNearMissEnd,    // "@#$" over and over: the marker's last three bytes, compared backwards
  kRandom,         // uniformly random bytes (fixed seed), no whole marker
  kZeros,          // zero bytes, as the padding of a binary file
};

/// Breaks every whole marker in `bytes` by changing its last byte.
void BreakMarkers(std::string* bytes) {
  for (std::size_t at = bytes->find(kMarker); at != std::string::npos;
       at = bytes->find(kMarker, at + 1)) {
    (*bytes)[at + kMarker.size() - 1] = 'x';
  }
}

std::string Repeat(std::string_view unit, std::size_t size) {
  std::string bytes;
  bytes.reserve(size + unit.size());
  while (bytes.size() < size) bytes += unit;
  bytes.resize(size);
  return bytes;
}

std::string MakeInput(Input input) {
  switch (input) {
    case Input::kStampAtEnd: {
      std::string bytes = bench::TextFiller(kInputBytes);
      bench::StampAtEnd(&bytes, "1.02.0417");
      return bytes;
    }
    case Input::kNoStamp:
      return bench::TextFiller(kInputBytes);
    case Input::kNearMissStart:
      return Repeat("!@#", kInputBytes);
    case Input::kNearMissEnd:
      return Repeat("@#$", kInputBytes);
    case Input::kRandom: {
      std::mt19937 generator(20240611);
      std::uniform_int_distribution<int> byte(0, 255);
      std::string bytes(kInputBytes, '\0');
      for (char& c : bytes) c = static_cast<char>(byte(generator));
      BreakMarkers(&bytes);
      return bytes;
    }
    case Input::kZeros:
      return std::string(kInputBytes, '\0');
  }
  return {};
}

/// The position every searcher must find: the first whole marker, or none.
std::optional<std::size_t> Expected(const std::string& bytes) {
  const std::size_t at = bytes.find(kMarker);
  if (at == std::string::npos) return std::nullopt;
  return at;
}

std::optional<std::size_t> SearchFindMarker(const unsigned char* data, std::size_t size) {
  return deploy::FindMarker(kMarker, data, static_cast<long long>(size));
}

std::optional<std::size_t> SearchStdHorspool(const unsigned char* data, std::size_t size) {
  const auto* marker = reinterpret_cast<const unsigned char*>(kMarker.data());
  const std::boyer_moore_horspool_searcher searcher(marker, marker + kMarker.size());
  const unsigned char* found = std::search(data, data + size, searcher);
  if (found == data + size) return std::nullopt;
  return static_cast<std::size_t>(found - data);
}

std::optional<std::size_t> SearchMemmem(const unsigned char* data, std::size_t size) {
  const void* found = ::memmem(data, size, kMarker.data(), kMarker.size());
  if (found == nullptr) return std::nullopt;
  return static_cast<std::size_t>(static_cast<const unsigned char*>(found) - data);
}

/// One search per iteration, everything it needs (its shift table) made inside the loop.
template <auto Search>
void RunMarkerSearch(benchmark::State& state, Input input) {
  const std::string bytes = MakeInput(input);
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (Search(data, bytes.size()) != Expected(bytes)) {
    state.SkipWithError("the searcher disagrees with std::string::find");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(data);
    std::optional<std::size_t> found = Search(data, bytes.size());
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes.size()));
}

void BM_FindMarker(benchmark::State& state, Input input) {
  RunMarkerSearch<SearchFindMarker>(state, input);
}
void BM_StdHorspool(benchmark::State& state, Input input) {
  RunMarkerSearch<SearchStdHorspool>(state, input);
}
void BM_Memmem(benchmark::State& state, Input input) {
  RunMarkerSearch<SearchMemmem>(state, input);
}

#define MARKER_SEARCH_INPUTS(function)                                 \
  BENCHMARK_CAPTURE(function, stamp_at_end, Input::kStampAtEnd);       \
  BENCHMARK_CAPTURE(function, no_stamp, Input::kNoStamp);              \
  BENCHMARK_CAPTURE(function, near_miss_start, Input::kNearMissStart); \
  BENCHMARK_CAPTURE(function, near_miss_end, Input::kNearMissEnd);     \
  BENCHMARK_CAPTURE(function, random, Input::kRandom);                 \
  BENCHMARK_CAPTURE(function, zeros, Input::kZeros)

MARKER_SEARCH_INPUTS(BM_FindMarker);
MARKER_SEARCH_INPUTS(BM_StdHorspool);
MARKER_SEARCH_INPUTS(BM_Memmem);

}  // namespace
