#include "platform/sim/machine.h"

#include "platform/sim/operations.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

[[noreturn]] void Malformed(const std::string& what) {
  throw MachineError(what);
}

const Json* Field(const Json& object, const char* name) {
  const auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

std::string StringField(const Json& object, const char* name, const std::string& where) {
  const Json* value = Field(object, name);
  if (value == nullptr || !value->is_string()) {
    Malformed(where + ": \"" + name + "\" must be a string");
  }
  return value->get<std::string>();
}

Device ParseDevice(const Json& json, const std::string& where) {
  if (!json.is_object()) Malformed(where + " must be an object");
  Device device;
  if (const Json* ids = Field(json, "hardware_ids"); ids != nullptr && !ids->is_null()) {
    if (!ids->is_array()) Malformed(where + ": \"hardware_ids\" must be a list or null");
    std::vector<std::string> list;
    for (const Json& id : *ids) {
      if (!id.is_string()) Malformed(where + ": every hardware ID must be a string");
      list.push_back(id.get<std::string>());
    }
    device.hardware_ids = std::move(list);
  }
  if (Field(json, "update") != nullptr) {
    device.update = StringField(json, "update", where);
    if (device.update != "ok" && device.update != "reboot" && device.update != "fail") {
      Malformed(where + ": \"update\" must be \"ok\", \"reboot\" or \"fail\"");
    }
  }
  if (const Json* driver = Field(json, "driver"); driver != nullptr && !driver->is_null()) {
    if (!driver->is_string()) Malformed(where + ": \"driver\" must be a string or null");
    device.driver = driver->get<std::string>();
  }
  if (const Json* reappears = Field(json, "reappears"); reappears != nullptr) {
    if (!reappears->is_boolean()) Malformed(where + ": \"reappears\" must be true or false");
    device.reappears = reappears->get<bool>();
  }
  if (const Json* children = Field(json, "children"); children != nullptr) {
    if (!children->is_array()) Malformed(where + ": \"children\" must be a list");
    for (std::size_t i = 0; i < children->size(); ++i) {
      device.children.push_back(
          ParseDevice((*children)[i], where + ".children[" + std::to_string(i) + "]"));
    }
  }
  return device;
}

Json DeviceToJson(const Device& device) {
  Json json = Json::object();
  json["hardware_ids"] = device.hardware_ids ? Json(*device.hardware_ids) : Json(nullptr);
  json["update"] = device.update;
  json["driver"] = device.driver ? Json(*device.driver) : Json(nullptr);
  if (device.reappears) json["reappears"] = true;
  if (!device.children.empty()) {
    Json children = Json::array();
    for (const Device& child : device.children) children.push_back(DeviceToJson(child));
    json["children"] = std::move(children);
  }
  return json;
}

Fault ParseFault(const Json& json, const std::string& where) {
  if (!json.is_object()) Malformed(where + " must be an object");
  Fault fault;
  fault.op = StringField(json, "op", where);
  if (!IsKnownOperation(fault.op)) Malformed(where + ": unknown operation \"" + fault.op + "\"");
  if (Field(json, "path") != nullptr) fault.path = StringField(json, "path", where);
  const Json* error = Field(json, "error");
  if (error == nullptr || !error->is_number_integer() || error->get<long long>() < 0 ||
      error->get<long long>() > 0xFFFFFFFFLL) {
    Malformed(where + ": \"error\" must be a system error code (0 to 4294967295)");
  }
  fault.error = static_cast<platform::Dword>(error->get<long long>());
  if (const Json* count = Field(json, "count"); count != nullptr && !count->is_null()) {
    if (!count->is_number_integer() || count->get<long long>() < 0) {
      Malformed(where + ": \"count\" must be a whole number, 0 or more");
    }
    fault.count = count->get<long long>();
  }
  if (const Json* after = Field(json, "after"); after != nullptr) {
    if (!after->is_number_integer() || after->get<long long>() < 0) {
      Malformed(where + ": \"after\" must be a whole number, 0 or more");
    }
    fault.after = after->get<long long>();
  }
  return fault;
}

void CheckRegistry(const Json& registry) {
  if (!registry.is_object()) Malformed("\"registry\" must be an object of keys");
  for (const auto& [key, values] : registry.items()) {
    if (!values.is_object()) Malformed("registry key \"" + key + "\" must be an object of values");
    for (const auto& [name, value] : values.items()) {
      if (!value.is_object() || Field(value, "type") == nullptr ||
          !Field(value, "type")->is_string() || Field(value, "data") == nullptr) {
        Malformed("registry value \"" + key + "\\" + name + "\" needs \"type\" and \"data\"");
      }
    }
  }
}

}  // namespace

std::span<const std::string_view> KnownOperations() {
  return kFaultableOperations;
}

bool IsKnownOperation(std::string_view op) {
  return IsFaultableOperation(op);
}

std::string WindowsDirectory(const Machine& machine) {
  if (machine.windows_directory) return *machine.windows_directory;
  std::string directory = machine.system_directory;
  while (!directory.empty() && (directory.back() == '\\' || directory.back() == '/')) {
    directory.pop_back();
  }
  const std::size_t separator = directory.find_last_of("\\/");
  if (separator == std::string::npos) return directory;
  directory.resize(separator);
  // "C:\\system32": the parent is the drive's root, "C:\\".
  if (directory.size() == 2 && directory[1] == ':') directory += '\\';
  return directory;
}

namespace {

/// The clock's form: "YYYY-MM-DD HH:MM:SS.mmm", digits where the pattern has 'd'.
constexpr std::string_view kClockPattern = "dddd-dd-dd dd:dd:dd.ddd";

int Digits(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

}  // namespace

std::optional<LocalTime> ParseClock(std::string_view text) {
  if (text.size() != kClockPattern.size()) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (kClockPattern[i] == 'd' ? !digit : text[i] != kClockPattern[i]) return std::nullopt;
  }
  const int year = Digits(text, 0, 4);
  const auto date = std::chrono::year{year} /
                    std::chrono::month{static_cast<unsigned>(Digits(text, 5, 2))} /
                    std::chrono::day{static_cast<unsigned>(Digits(text, 8, 2))};
  const int hour = Digits(text, 11, 2);
  const int minute = Digits(text, 14, 2);
  const int second = Digits(text, 17, 2);
  const int millisecond = Digits(text, 20, 3);
  if (!date.ok() || year < kEarliestClockYear || year > kLatestClockYear || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  return LocalTime{std::chrono::sys_days{date}} + std::chrono::hours{hour} +
         std::chrono::minutes{minute} + std::chrono::seconds{second} +
         std::chrono::milliseconds{millisecond};
}

platform::SystemTime ToSystemTime(LocalTime time) {
  const auto day = std::chrono::floor<std::chrono::days>(time);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss clock{time - day};
  platform::SystemTime answer;
  answer.year = static_cast<platform::Word>(static_cast<int>(date.year()));
  answer.month = static_cast<platform::Word>(static_cast<unsigned>(date.month()));
  answer.day_of_week =
      static_cast<platform::Word>(std::chrono::weekday{day}.c_encoding());  // 0: Sunday
  answer.day = static_cast<platform::Word>(static_cast<unsigned>(date.day()));
  answer.hour = static_cast<platform::Word>(clock.hours().count());
  answer.minute = static_cast<platform::Word>(clock.minutes().count());
  answer.second = static_cast<platform::Word>(clock.seconds().count());
  answer.milliseconds = static_cast<platform::Word>(clock.subseconds().count());
  return answer;
}

std::string FormatClock(LocalTime time) {
  const platform::SystemTime t = ToSystemTime(time);
  char text[48] = {};  // room for every field at its widest
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned{t.year},
                unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                unsigned{t.second}, unsigned{t.milliseconds});
  return text;
}

namespace {

/// How deep lists and objects may nest in machine.json. Reading, copying and writing a value
/// recurse once per level, so a deeper file is refused before it is parsed.
constexpr int kMaxJsonDepth = 64;

/// The deepest nesting of lists and objects in a JSON text, strings left out.
int JsonDepth(const std::string& text) {
  int depth = 0;
  int deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > kMaxJsonDepth) break;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

Machine ParseMachine(const std::string& text) {
  if (JsonDepth(text) > kMaxJsonDepth) {
    Malformed("lists and objects are nested more than " + std::to_string(kMaxJsonDepth) +
              " levels deep");
  }
  Json json;
  try {
    json = Json::parse(text);
  } catch (const nlohmann::json::exception& error) {
    Malformed(std::string("not valid JSON: ") + error.what());
  }
  if (!json.is_object()) Malformed("the machine must be a JSON object");

  Machine machine;
  if (Field(json, "system_directory") != nullptr) {
    machine.system_directory = StringField(json, "system_directory", "machine");
  }
  if (Field(json, "windows_directory") != nullptr) {
    machine.windows_directory = StringField(json, "windows_directory", "machine");
  }
  if (Field(json, "clock") != nullptr) {
    const std::string clock = StringField(json, "clock", "machine");
    const std::optional<LocalTime> time = ParseClock(clock);
    if (!time) {
      Malformed("\"clock\" must be a local time \"YYYY-MM-DD HH:MM:SS.mmm\" of the years " +
                std::to_string(kEarliestClockYear) + " to " + std::to_string(kLatestClockYear) +
                ", not \"" + clock + "\"");
    }
    machine.clock = *time;
  }
  if (const Json* wow64 = Field(json, "wow64"); wow64 != nullptr) {
    if (!wow64->is_boolean()) Malformed("\"wow64\" must be true or false");
    machine.wow64 = wow64->get<bool>();
  }
  if (Field(json, "current_drive") != nullptr) {
    machine.current_drive = StringField(json, "current_drive", "machine");
    const std::string& drive = machine.current_drive;
    if (!drive.empty() &&
        (drive.size() != 1 || !std::isalpha(static_cast<unsigned char>(drive[0])))) {
      Malformed("\"current_drive\" must be one letter or \"\"");
    }
  }
  if (Field(json, "current_directory") != nullptr) {
    std::string& directory = machine.current_directory;
    directory = StringField(json, "current_directory", "machine");
    if (directory.size() < 3 || !std::isalpha(static_cast<unsigned char>(directory[0])) ||
        directory[1] != ':' || directory[2] != '\\') {
      Malformed("\"current_directory\" must be a full path such as \"E:\\\\Driver Disk\"");
    }
    machine.current_drive =
        std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(directory[0]))));
  }
  if (const Json* language = Field(json, "language"); language != nullptr) {
    if (!language->is_number_integer() || language->get<long long>() < 0 ||
        language->get<long long>() > 0xFFFF) {
      Malformed("\"language\" must be a language identifier (0 to 65535)");
    }
    machine.language = static_cast<platform::Word>(language->get<long long>());
  }
  if (Field(json, "sleep") != nullptr) {
    const std::string sleep = StringField(json, "sleep", "machine");
    if (sleep != "real" && sleep != "virtual")
      Malformed("\"sleep\" must be \"real\" or \"virtual\"");
    machine.virtual_sleep = sleep == "virtual";
  }
  if (const Json* writable = Field(json, "registry_writable"); writable != nullptr) {
    if (!writable->is_boolean()) Malformed("\"registry_writable\" must be true or false");
    machine.registry_writable = writable->get<bool>();
  }
  if (const Json* registry = Field(json, "registry"); registry != nullptr) {
    CheckRegistry(*registry);
    machine.registry = *registry;
  }
  if (const Json* devices = Field(json, "devices"); devices != nullptr) {
    if (!devices->is_array()) Malformed("\"devices\" must be a list");
    machine.devices.reserve(devices->size());
    for (std::size_t i = 0; i < devices->size(); ++i) {
      machine.devices.push_back(ParseDevice((*devices)[i], "devices[" + std::to_string(i) + "]"));
    }
  }
  if (const Json* removed = Field(json, "removed_devices"); removed != nullptr) {
    if (!removed->is_array()) Malformed("\"removed_devices\" must be a list");
    for (std::size_t i = 0; i < removed->size(); ++i) {
      machine.removed_devices.push_back(
          ParseDevice((*removed)[i], "removed_devices[" + std::to_string(i) + "]"));
    }
  }
  if (const Json* faults = Field(json, "faults"); faults != nullptr) {
    if (!faults->is_array()) Malformed("\"faults\" must be a list");
    for (std::size_t i = 0; i < faults->size(); ++i) {
      machine.faults.push_back(ParseFault((*faults)[i], "faults[" + std::to_string(i) + "]"));
    }
  }
  return machine;
}

Json MachineToJson(const Machine& machine) {
  Json json = Json::object();
  json["system_directory"] = machine.system_directory;
  if (machine.windows_directory) json["windows_directory"] = *machine.windows_directory;
  json["clock"] = FormatClock(machine.clock);
  json["wow64"] = machine.wow64;
  json["current_drive"] = machine.current_drive;
  if (!machine.current_directory.empty()) json["current_directory"] = machine.current_directory;
  json["language"] = machine.language;
  json["sleep"] = machine.virtual_sleep ? "virtual" : "real";
  json["registry_writable"] = machine.registry_writable;
  json["registry"] = machine.registry;
  Json devices = Json::array();
  for (const Device& device : machine.devices) devices.push_back(DeviceToJson(device));
  json["devices"] = std::move(devices);
  if (!machine.removed_devices.empty()) {
    Json removed = Json::array();
    for (const Device& device : machine.removed_devices) removed.push_back(DeviceToJson(device));
    json["removed_devices"] = std::move(removed);
  }
  Json faults = Json::array();
  for (const Fault& fault : machine.faults) {
    Json entry = {{"op", fault.op}};
    if (fault.path) entry["path"] = *fault.path;
    entry["error"] = fault.error;
    if (fault.count) entry["count"] = *fault.count;
    if (fault.after > 0) entry["after"] = fault.after;
    faults.push_back(std::move(entry));
  }
  json["faults"] = std::move(faults);
  return json;
}

Machine LoadMachine(const std::filesystem::path& machine_json) {
  std::ifstream in(machine_json, std::ios::binary);
  if (!in) Malformed("cannot read " + machine_json.string());
  std::ostringstream text;
  text << in.rdbuf();
  return ParseMachine(text.str());
}

void SaveMachine(const Machine& machine, const std::filesystem::path& machine_json) {
  const std::filesystem::path temporary = machine_json.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << MachineToJson(machine).dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
    if (!out) Malformed("cannot write " + temporary.string());
  }
  std::filesystem::rename(temporary, machine_json);
}

void RestartDevices(Machine& machine) {
  std::vector<Device> gone;
  for (Device& device : machine.removed_devices) {
    if (device.reappears) {
      device.driver.reset();
      machine.devices.push_back(std::move(device));
    } else {
      gone.push_back(std::move(device));
    }
  }
  machine.removed_devices = std::move(gone);
}

}  // namespace sim
