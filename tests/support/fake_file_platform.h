// Tests only. A platform whose files are byte strings in memory and which records every file
// read, so that a test can tell which files were opened. Every other operation fails, and
// standard output is kept (FailingPlatform).
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failing_platform.h"

namespace testing_support {

class FakeFilePlatform final : public platform::FailingPlatform {
 public:
  /// Files by path; a path that is not here cannot be opened.
  std::map<std::string, std::string, std::less<>> files;
  /// Every path that ReadBinaryFile was asked for, in order.
  std::vector<std::string> reads;

  std::optional<std::size_t> ReadBinaryFile(std::string_view path,
                                            std::span<char> buffer) override {
    reads.emplace_back(path);
    const auto file = files.find(path);
    if (file == files.end()) return FailingPlatform::ReadBinaryFile(path, buffer);
    const std::size_t size = std::min(file->second.size(), buffer.size());
    std::memcpy(buffer.data(), file->second.data(), size);
    return size;
  }
};

}  // namespace testing_support
