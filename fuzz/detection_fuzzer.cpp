// Hardware detection against a fake platform whose devices, list bytes, reported sizes and
// error codes come from the input.
//
// The input: a header byte (bits 0-1: the last-error value past the last device, 259, 259, 0
// or 31; all six upper bits set: no device information set), then up to 64 devices, each:
//   - a kind byte: kind % 8 == 0: no hardware-ID list (13); kind % 8 == 1: every read fails
//     with the error chosen by the next byte; otherwise the list bytes follow (two length bytes
//     and up to 600 bytes) and, when bit 3 of the kind is set, a script of up to 3 answers that
//     the first reads of this device get before the platform answers as SetupAPI does:
//       0: ERROR_INSUFFICIENT_BUFFER with a needed size from the next two bytes;
//       1: success, the list written as far as it fits, a reported size from the next two bytes;
//       2: ERROR_INSUFFICIENT_BUFFER with a needed size too large to allocate;
//       3: ERROR_INVALID_DATA;
//       4: success with nothing written and a reported size of 0;
//       5: ERROR_INSUFFICIENT_BUFFER with a needed size from the next two bytes, to this read
//          and every later one (the platform never gives the list).
//
// Properties, always:
// - the protocol is kept: one set, released once, with the last-error value the enumeration
//   ended with put back; indices 0, 1, 2, ... and nothing after the end; reads only of the
//   current device, with a buffer the size passed really has (every byte of it is read here);
//   after ERROR_INSUFFICIENT_BUFFER a zero-filled buffer of exactly the needed size;
// - the walk ends: at most 10000 reads;
// - the result is 0 or 1, and 1 only when the enumeration ended normally and a flag is set;
// - the matched adapter ID is set exactly when row 1 is, holds the row-1 hardware ID and has at
//   most 255 characters.
// When every device answers as SetupAPI does (no scripts), the flags, the matched adapter ID
// and the result are those of a plain walk over the lists.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devices/detection.h"
#include "devices/device_enumeration.h"
#include "devices/hardware_table.h"
#include "fuzz/fuzz_support.h"
#include "platform/failing_platform.h"
#include "platform/platform.h"

namespace {

using platform::Bool;
using platform::Dword;
using platform::Handle;

struct Answer {
  enum Kind { kShort, kWritten, kHugeShort, kNoList, kNothingWritten, kAlwaysShort } kind;
  Dword size;
};

struct Device {
  std::optional<std::string> list;  // nothing: no hardware-ID list
  std::optional<Dword> read_error;
  std::vector<Answer> script;
};

constexpr Dword kReadErrors[] = {platform::kErrorAccessDenied, platform::kErrorNotEnoughMemory,
                                 platform::kErrorGenFailure,   platform::kErrorInvalidParameter,
                                 platform::kErrorSuccess,      platform::kErrorNoSuchDevinst};
constexpr Dword kEndErrors[] = {platform::kErrorNoMoreItems, platform::kErrorNoMoreItems,
                                platform::kErrorSuccess, platform::kErrorGenFailure};
constexpr std::size_t kMaxReads = 10000;

class DevicePlatform final : public platform::FailingPlatform {
 public:
  static constexpr Handle kSet = 0x5E7;

  std::vector<Device> devices;
  bool no_set = false;
  Dword end_error = platform::kErrorNoMoreItems;

  int sets_given = 0;
  int sets_released = 0;
  bool ended = false;
  std::optional<Dword> error_at_release;
  std::size_t reads = 0;

  Handle SetupDiGetClassDevsA(Dword flags) override {
    fuzz::Check(flags == (platform::DIGCF_PRESENT | platform::DIGCF_ALLCLASSES),
                "the set is of all present devices of all classes");
    fuzz::Check(sets_given == 0, "one device information set per detection");
    if (no_set) {
      return Failed(platform::kInvalidHandleValue, platform::kErrorInvalidParameter);
    }
    ++sets_given;
    return kSet;
  }

  Bool SetupDiEnumDeviceInfo(Handle set, Dword index, platform::DeviceInfoData* data) override {
    fuzz::Check(set == kSet && sets_released == 0, "devices are enumerated in the open set");
    fuzz::Check(!ended, "nothing is enumerated after the end");
    fuzz::Check(index == next_index_, "devices are enumerated with index 0, 1, 2, ...");
    fuzz::Check(data != nullptr && data->cb_size == sizeof(platform::DeviceInfoData),
                "the element's size field is set");
    fuzz::Check(!needed_, "a short read is read again with the needed size");
    ++next_index_;
    if (index >= devices.size()) {
      ended = true;
      return Failed(kFalse, end_error);
    }
    data->dev_inst = index;
    current_ = index;
    answered_ = 0;
    needed_.reset();
    last_error = platform::kErrorSuccess;
    return 1;
  }

  Bool SetupDiGetDeviceRegistryPropertyA(Handle set, const platform::DeviceInfoData& data,
                                         Dword property, Dword* property_type,
                                         unsigned char* buffer, Dword buffer_size,
                                         Dword* required_size) override {
    fuzz::Check(++reads <= kMaxReads, "the walk over the devices ends");
    fuzz::Check(set == kSet && !ended && current_ && data.dev_inst == *current_,
                "only the current device's list is read");
    fuzz::Check(property == platform::SPDRP_HARDWAREID, "the hardware-ID list is read");
    fuzz::Check(buffer != nullptr || buffer_size == 0, "a size is passed only with a buffer");
    bool zero = true;
    for (Dword i = 0; i < buffer_size; ++i) zero = zero && buffer[i] == 0;  // the whole buffer
    if (needed_) {
      fuzz::Check(buffer_size == *needed_ && zero,
                  "a short read is followed by a zero-filled buffer of exactly the needed size",
                  [&] {
                    return std::to_string(buffer_size) + " bytes passed, " +
                           std::to_string(*needed_) + " needed";
                  });
      needed_.reset();
    }

    const Device& device = devices[*current_];
    auto answer_short = [&](Dword needed) -> Bool {
      if (required_size != nullptr) *required_size = needed;
      // Only a larger size makes the program read again; it allocates that size.
      if (needed > buffer_size && needed <= devices::kMaxHardwareIdListBytes) needed_ = needed;
      return Failed(kFalse, platform::kErrorInsufficientBuffer);
    };
    auto answer_list = [&](std::size_t written, Dword reported) -> Bool {
      if (written > 0) std::memcpy(buffer, device.list->data(), written);
      if (property_type != nullptr) *property_type = 7;  // REG_MULTI_SZ
      if (required_size != nullptr) *required_size = reported;
      last_error = platform::kErrorSuccess;
      return 1;
    };

    if (device.read_error) {
      return Failed(kFalse, *device.read_error);
    }
    if (!device.list) {
      return Failed(kFalse, platform::kErrorInvalidData);
    }
    const std::string& list = *device.list;
    if (answered_ < device.script.size()) {
      const Answer& answer = device.script[answered_];
      if (answer.kind != Answer::kAlwaysShort) ++answered_;
      switch (answer.kind) {
        case Answer::kShort:
          return answer_short(answer.size);
        case Answer::kWritten:
          return answer_list(std::min<std::size_t>(list.size(), buffer_size), answer.size);
        case Answer::kHugeShort:
          return answer_short(answer.size);
        case Answer::kNoList:
          return Failed(kFalse, platform::kErrorInvalidData);
        case Answer::kNothingWritten:
          return answer_list(0, 0);
        case Answer::kAlwaysShort:
          return answer_short(answer.size);
      }
    }
    if (buffer_size < list.size()) return answer_short(static_cast<Dword>(list.size()));
    return answer_list(list.size(), static_cast<Dword>(list.size()));
  }

  Bool SetupDiDestroyDeviceInfoList(Handle set) override {
    fuzz::Check(set == kSet && sets_released == 0, "the set is released once");
    fuzz::Check(!needed_, "a short read is read again with the needed size");
    ++sets_released;
    error_at_release = last_error;
    last_error = platform::kErrorSuccess;  // a service may change it; the caller puts it back
    return 1;
  }

 private:
  Dword next_index_ = 0;
  std::optional<Dword> current_;
  std::size_t answered_ = 0;
  std::optional<Dword> needed_;
};

/// The ID strings of a list as a plain walk reads them: NUL-terminated strings up to the first
/// empty one; a string that runs to the end of the list without its NUL is not an ID.
std::vector<std::string_view> PlainIds(std::string_view list) {
  std::vector<std::string_view> ids;
  std::size_t at = 0;
  while (at < list.size() && list[at] != '\0') {
    const std::size_t end = list.find('\0', at);
    if (end == std::string_view::npos) break;
    ids.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return ids;
}

/// Detection by a plain walk over honest lists.
struct PlainDetection {
  devices::Detection detection;
  int result = 0;
};

PlainDetection PlainWalk(const DevicePlatform& fake) {
  PlainDetection plain;
  devices::Detection& found = plain.detection;
  for (const Device& device : fake.devices) {
    if (device.read_error) {
      if (*device.read_error == platform::kErrorInvalidData) continue;
      return plain;  // the walk stops with result 0
    }
    if (!device.list) continue;
    for (const std::string_view id : PlainIds(*device.list)) {
      bool taken = false;
      for (int row = 0; row < devices::kRowCount && !taken; ++row) {
        const devices::HardwareRow& entry = devices::kHardwareTable[row];
        const bool matches = entry.match == devices::MatchKind::kWholeId
                                 ? id == entry.hardware_id
                                 : id.find(entry.hardware_id) != std::string_view::npos;
        if (!matches || found.flags[row]) continue;
        if (row == devices::kSecondAdapter && id.size() > 255) continue;
        found.flags[row] = true;
        if (row == devices::kFirstAdapter) {
          found.flags[devices::kHelmsigDev3] = found.flags[devices::kHelmsigDev5] = true;
        }
        if (row == devices::kHelmsigDev2 || row == devices::kHelmsigDev4) {
          found.flags[devices::kHelmsigDev5] = true;
        }
        if (row == devices::kSecondAdapter) found.matched_adapter_id = std::string(id);
        taken = true;
      }
      if (taken) break;
    }
  }
  const bool ended_normally =
      fake.end_error == platform::kErrorSuccess || fake.end_error == platform::kErrorNoMoreItems;
  bool any = false;
  for (const bool flag : found.flags) any = any || flag;
  plain.result = ended_normally && any ? 1 : 0;
  return plain;
}

std::string Rows(const devices::Detection& detection) {
  std::string rows;
  for (int row = 0; row < devices::kRowCount; ++row) {
    if (detection.flags[row]) rows += std::to_string(row) + " ";
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputReader input(data, size);
  DevicePlatform fake;
  const std::uint8_t header = input.Byte();
  fake.end_error = kEndErrors[header & 3];
  fake.no_set = (header & 0xFC) == 0xFC;
  bool scripted = false;
  while (!input.empty() && fake.devices.size() < 64) {
    const std::uint8_t kind = input.Byte();
    Device device;
    if (kind % 8 == 1) {
      device.read_error = kReadErrors[input.Byte() % std::size(kReadErrors)];
    } else if (kind % 8 != 0) {
      device.list = std::string(input.Text(600));
      if (kind & 8) {
        const int answers = input.Byte() % 4;
        for (int i = 0; i < answers; ++i) {
          const auto answer_kind = static_cast<Answer::Kind>(input.Byte() % 6);
          Dword answer_size = 0;
          if (answer_kind == Answer::kShort || answer_kind == Answer::kWritten ||
              answer_kind == Answer::kAlwaysShort) {
            answer_size = input.Uint16();
          } else if (answer_kind == Answer::kHugeShort) {
            answer_size = input.Byte() % 2 ? 0xFFFFFFFF : devices::kMaxHardwareIdListBytes + 1;
          }
          device.script.push_back({answer_kind, answer_size});
        }
        scripted = scripted || !device.script.empty();
      }
    }
    fake.devices.push_back(std::move(device));
  }

  devices::Detection detection;
  const int result = devices::DetectHardware(fake, &detection);

  fuzz::Check(result == 0 || result == 1, "the result is 0 or 1");
  if (fake.no_set) {
    fuzz::Check(result == 0 && !detection.AnyFound() && detection.matched_adapter_id.empty(),
                "without a device information set nothing is detected");
    fuzz::Check(fake.sets_released == 0, "a set never given is never released");
    return 0;
  }
  fuzz::Check(fake.sets_released == 1, "the set is released");
  fuzz::Check(fake.last_error == fake.error_at_release,
              "the release keeps the last-error value the enumeration ended with");
  if (result == 1) {
    fuzz::Check(detection.AnyFound(), "a result of 1 means a flag is set");
    fuzz::Check(fake.ended && (fake.last_error == platform::kErrorSuccess ||
                               fake.last_error == platform::kErrorNoMoreItems),
                "a result of 1 means the enumeration ended normally");
  }
  const std::string& matched = detection.matched_adapter_id;
  fuzz::Check(matched.empty() == !detection.Found(devices::kSecondAdapter),
              "the matched adapter ID is set exactly when row 1 is");
  if (!matched.empty()) {
    fuzz::Check(matched.size() <= devices::kMaxMatchedAdapterIdLength,
                "the matched adapter ID fits its buffer");
    fuzz::Check(matched.find(devices::HardwareId(devices::kSecondAdapter)) != std::string::npos,
                "the matched adapter ID holds the row-1 hardware ID");
  }

  if (!scripted) {
    const PlainDetection plain = PlainWalk(fake);
    fuzz::Check(detection.flags == plain.detection.flags,
                "the flags are those of a plain walk over the lists",
                [&] { return "rows " + Rows(detection) + "instead of " + Rows(plain.detection); });
    fuzz::Check(matched == plain.detection.matched_adapter_id,
                "the matched adapter ID is that of a plain walk", [&] {
                  return fuzz::Escaped(matched) + " instead of " +
                         fuzz::Escaped(plain.detection.matched_adapter_id);
                });
    fuzz::Check(result == plain.result, "the result is that of a plain walk", [&] {
      return std::to_string(result) + " instead of " + std::to_string(plain.result);
    });
  }
  return 0;
}
