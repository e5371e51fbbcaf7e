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

/// Reads the file at `path` once into `buffer` and finds its stamp text; nothing when the file
/// cannot be opened or read, yields no bytes, or has no start marker.
std::optional<std::string> ReadStampText(platform::Platform& platform, std::string_view path,
                                         char* buffer) {
  const std::optional<std::size_t> read =
      platform.ReadBinaryFile(path, std::span<char>(buffer, kStampReadBytes));
  if (!read || *read == 0) return std::nullopt;
  return FindStampText(std::span<const char>(buffer, std::min(*read, kStampReadBytes)));
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

int CompareVersionStamps(platform::Platform& platform, messages::Console& console,
                         std::string_view source_path, std::string_view destination_path) {
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kStampReadBytes]);
  return detail::CompareVersionStampsInBuffer(platform, console, source_path, destination_path,
                                              buffer.get());
}

namespace detail {

int CompareVersionStampsInBuffer(platform::Platform& platform, messages::Console& console,
                                 std::string_view source_path, std::string_view destination_path,
                                 char* buffer) {
  if (buffer == nullptr) {
    console.Print(messages::kCannotAllocateMemory);
    return kSourceNewerOrFailed;
  }
  // The destination first: when it fails, the source is not even opened.
  const std::optional<std::string> destination_stamp =
      ReadStampText(platform, destination_path, buffer);
  if (!destination_stamp) return kSourceNewerOrFailed;
  const std::optional<std::string> source_stamp = ReadStampText(platform, source_path, buffer);
  if (!source_stamp) return kSourceNewerOrFailed;

  const std::int32_t source_version = VersionNumber(*source_stamp);
  const std::int32_t destination_version = VersionNumber(*destination_stamp);
  if (source_version == destination_version) return kSameVersion;
  return source_version < destination_version ? kSourceOlder : kSourceNewerOrFailed;
}

}  // namespace detail
}  // namespace deploy
