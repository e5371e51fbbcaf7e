#include "deploy/version_stamps.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "deploy/marker_search.h"
#include "messages/builtin_catalogue.h"

namespace deploy {
namespace {

/// The first occurrence of `marker` in `text`, found by a plain forward scan.
std::optional<std::size_t> ScanForward(std::string_view text, std::string_view marker) {
  if (text.size() < marker.size()) return std::nullopt;
  for (std::size_t i = 0; i + marker.size() <= text.size(); ++i) {
    if (std::memcmp(text.data() + i, marker.data(), marker.size()) == 0) return i;
  }
  return std::nullopt;
}

/// What a file holds for the comparison.
struct FileStamp {
  bool readable = false;
  std::optional<std::string> text;  // nothing when the file has no start marker (or no bytes)
};

/// Reads the file at `path` once into `buffer` and finds its stamp text.
FileStamp ReadStamp(platform::Platform& platform, std::string_view path, char* buffer) {
  const std::optional<std::size_t> read =
      platform.ReadBinaryFile(path, std::span<char>(buffer, kStampReadBytes));
  if (!read) return {};
  if (*read == 0) return {true, std::nullopt};
  return {true, FindStampText(std::span<const char>(buffer, std::min(*read, kStampReadBytes)))};
}

int AsComparisonResult(StampOrder order) {
  switch (order) {
    case StampOrder::kSame:
      return kSameVersion;
    case StampOrder::kSourceOlder:
      return kSourceOlder;
    default:
      return kSourceNewerOrFailed;
  }
}

}  // namespace

std::optional<std::string> FindStampText(std::span<const char> bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::optional<std::size_t> start =
      FindMarker(kStartMarker, data, static_cast<long long>(bytes.size()));
  if (!start) return std::nullopt;

  // The text after the start marker, up to the first NUL byte or the end of the bytes.
  std::string_view rest(bytes.data() + *start + kStartMarker.size(),
                        bytes.size() - *start - kStartMarker.size());
  rest = rest.substr(0, std::min(rest.find('\0'), rest.size()));

  const std::optional<std::size_t> end = ScanForward(rest, kEndMarker);
  if (!end) return std::string();
  return std::string(rest.substr(0, std::min(*end, kMaxStampText)));
}

std::int32_t VersionNumber(std::string_view stamp_text) {
  std::uint32_t value = 0;  // unsigned, so that the wrap modulo 2^32 is defined
  for (const char c : stamp_text) {
    if (c >= '0' && c <= '9') value = value * 10u + static_cast<std::uint32_t>(c - '0');
  }
  return static_cast<std::int32_t>(value);  // modulo 2^32 since C++20
}

StampOrder OrderVersionStamps(platform::Platform& platform, messages::Console& console,
                              std::string_view source_path, std::string_view destination_path) {
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kStampReadBytes]);
  return detail::OrderVersionStampsInBuffer(platform, console, source_path, destination_path,
                                            buffer.get());
}

int CompareVersionStamps(platform::Platform& platform, messages::Console& console,
                         std::string_view source_path, std::string_view destination_path) {
  return AsComparisonResult(OrderVersionStamps(platform, console, source_path, destination_path));
}

namespace detail {

StampOrder OrderVersionStampsInBuffer(platform::Platform& platform, messages::Console& console,
                                      std::string_view source_path,
                                      std::string_view destination_path, char* buffer) {
  if (buffer == nullptr) {
    console.Print(messages::kCannotAllocateMemory);
    return StampOrder::kSourceNewer;
  }
  // The destination first: when it fails, the source is not even opened.
  const FileStamp destination = ReadStamp(platform, destination_path, buffer);
  if (!destination.readable) return StampOrder::kUnreadable;
  if (!destination.text) return StampOrder::kNoStamp;
  const FileStamp source = ReadStamp(platform, source_path, buffer);
  if (!source.readable) return StampOrder::kUnreadable;
  if (!source.text) return StampOrder::kNoStamp;

  const std::int32_t source_version = VersionNumber(*source.text);
  const std::int32_t destination_version = VersionNumber(*destination.text);
  if (source_version == destination_version) return StampOrder::kSame;
  return source_version < destination_version ? StampOrder::kSourceOlder : StampOrder::kSourceNewer;
}

int CompareVersionStampsInBuffer(platform::Platform& platform, messages::Console& console,
                                 std::string_view source_path, std::string_view destination_path,
                                 char* buffer) {
  return AsComparisonResult(
      OrderVersionStampsInBuffer(platform, console, source_path, destination_path, buffer));
}

}  // namespace detail
}  // namespace deploy
