// machine.json nested some tens of thousands of levels deep (in devices' children or in a
// registry value's data) once made setup-sim overflow its stack instead of refusing the machine
// with a clear error: reading, copying and writing a JSON value recurse once per level.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace sim {
namespace {

/// A machine whose one device has children nested `levels` deep.
std::string ChildrenNested(int levels) {
  std::string text = R"({"devices": [)";
  for (int i = 0; i < levels; ++i)
    text += R"({"hardware_ids": ["MF\\HELMSIG_DEV0"], "children": [)";
  text += "{}";
  for (int i = 0; i < levels; ++i) text += "]}";
  return text + "]}";
}

/// A machine whose one registry value holds lists nested `levels` deep.
std::string RegistryDataNested(int levels) {
  return R"({"registry": {"K": {"V": {"type": "REG_SZ", "data": )" + std::string(levels, '[') +
         std::string(levels, ']') + "}}}}";
}

TEST(ParseMachine, RefusesAMachineNestedTooDeepToRead) {
  for (const std::string& text : {ChildrenNested(100000), RegistryDataNested(1000000)}) {
    EXPECT_THROW(ParseMachine(text), MachineError);
  }
}

TEST(ParseMachine, ReadsChildrenNestedAsDeepAsRealAdapters) {
  const Machine machine = ParseMachine(ChildrenNested(10));
  ASSERT_EQ(machine.devices.size(), 1u);
  const Device* device = &machine.devices[0];
  for (int level = 0; level < 10; ++level) {
    ASSERT_EQ(device->children.size(), 1u) << level;
    device = &device->children[0];
  }
  EXPECT_TRUE(device->children.empty());
  EXPECT_NO_THROW(ParseMachine(MachineToJson(machine).dump()));
}

TEST(ParseMachine, RefusesACurrentDirectoryThatIsNoFullPath) {
  for (const char* directory : {"", "E:", "E:Disk", "\\\\server\\share", "win2000", "1:\\x"}) {
    const Json machine = {{"current_directory", directory}};
    EXPECT_THROW(ParseMachine(machine.dump()), MachineError) << directory;
  }
  EXPECT_EQ(ParseMachine(Json{{"current_directory", "e:\\"}}.dump()).current_drive, "E");
}

TEST(ParseClock, ReadsOnlyAValidLocalTimeOfItsOneForm) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"2000-01-01 00:00:00.000", true},
      {"2024-02-29 23:59:59.999", true},  // a leap day
      {"1601-01-01 00:00:00.000", true},
      {"9999-12-31 23:59:59.999", true},
      {"2023-02-29 00:00:00.000", false},  // no leap day that year
      {"2000-13-01 00:00:00.000", false},
      {"2000-00-01 00:00:00.000", false},
      {"2000-04-31 00:00:00.000", false},
      {"2000-01-01 24:00:00.000", false},
      {"2000-01-01 00:60:00.000", false},
      {"2000-01-01 00:00:60.000", false},
      {"1600-12-31 23:59:59.999", false},  // before SYSTEMTIME's first year
      {"2000-01-01 00:00:00", false},
      {"2000-01-01T00:00:00.000", false},
      {"2000-1-01 00:00:00.000", false},
      {"2000-01-01 00:00:00.0000", false},
      {" 2000-01-01 00:00:00.000", false},
      {"2000-01-01 00:00:00.00a", false},
      {"", false},
  };
  for (const auto& c : cases) {
    const std::optional<LocalTime> time = ParseClock(c.text);
    EXPECT_EQ(time.has_value(), c.valid) << c.text;
    if (time) {
      EXPECT_EQ(FormatClock(*time), c.text) << "written back as read";
    }
    // A machine with such a clock is refused as malformed.
    const Json machine = {{"clock", c.text}};
    if (c.valid) {
      EXPECT_EQ(FormatClock(ParseMachine(machine.dump()).clock), c.text);
    } else {
      EXPECT_THROW(ParseMachine(machine.dump()), MachineError) << c.text;
    }
  }
  EXPECT_THROW(ParseMachine(R"({"clock": 946684800000})"), MachineError);
  EXPECT_EQ(FormatClock(ParseMachine("{}").clock), "2000-01-01 00:00:00.000");
}

TEST(ToSystemTime, GivesEachFieldAndTheDayOfTheWeek) {
  const struct {
    const char* clock;
    platform::SystemTime expected;  // year, month, day of week (0: Sunday), day, h, m, s, ms
  } cases[] = {
      {"2000-01-01 00:00:00.000", {2000, 1, 6, 1, 0, 0, 0, 0}},  // a Saturday
      {"2000-02-29 13:14:15.016", {2000, 2, 2, 29, 13, 14, 15, 16}},
      {"2026-12-09 18:40:50.999", {2026, 12, 3, 9, 18, 40, 50, 999}},
      {"1601-01-01 00:00:00.000", {1601, 1, 1, 1, 0, 0, 0, 0}},  // a Monday
      {"1999-12-31 23:59:59.999", {1999, 12, 5, 31, 23, 59, 59, 999}},
      {"2023-10-01 12:00:00.000", {2023, 10, 0, 1, 12, 0, 0, 0}},  // a Sunday
  };
  for (const auto& c : cases) {
    const platform::SystemTime t = ToSystemTime(*ParseClock(c.clock));
    const platform::SystemTime& e = c.expected;
    EXPECT_EQ(std::vector<int>({t.year, t.month, t.day_of_week, t.day, t.hour, t.minute, t.second,
                                t.milliseconds}),
              std::vector<int>({e.year, e.month, e.day_of_week, e.day, e.hour, e.minute, e.second,
                                e.milliseconds}))
        << c.clock;
  }
}

TEST(WindowsDirectory, IsTheSystemDirectorysParentUnlessTheMachineNamesOne) {
  const struct {
    const char* system_directory;
    const char* windows_directory;  // nullptr: not given
    const char* expected;
  } cases[] = {
      {"C:\\WINNT\\system32", nullptr, "C:\\WINNT"},
      {"C:\\WINNT\\system32\\", nullptr, "C:\\WINNT"},
      {"D:\\Long Folder\\Windows\\System32", nullptr, "D:\\Long Folder\\Windows"},
      {"C:\\system32", nullptr, "C:\\"},
      {"C:\\WINNT\\system32", "E:\\Windows", "E:\\Windows"},
      {"C:\\WINNT\\system32", "", ""},
  };
  for (const auto& c : cases) {
    Json json = {{"system_directory", c.system_directory}};
    if (c.windows_directory != nullptr) json["windows_directory"] = c.windows_directory;
    const Machine machine = ParseMachine(json.dump());
    EXPECT_EQ(WindowsDirectory(machine), c.expected) << c.system_directory;
    // Written back only when the machine names one.
    EXPECT_EQ(MachineToJson(machine).contains("windows_directory"), c.windows_directory != nullptr);
  }
}

TEST(ParseMachine, ReadsWow64AsTrueOrFalseOnly) {
  EXPECT_FALSE(ParseMachine("{}").wow64);
  EXPECT_TRUE(ParseMachine(R"({"wow64": true})").wow64);
  EXPECT_FALSE(ParseMachine(R"({"wow64": false})").wow64);
  for (const char* text : {R"({"wow64": 1})", R"({"wow64": "true"})", R"({"wow64": null})"}) {
    EXPECT_THROW(ParseMachine(text), MachineError) << text;
  }
}

}  // namespace
}  // namespace sim
