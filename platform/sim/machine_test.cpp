// machine.json nested some tens of thousands of levels deep (in devices' children or in a
// registry value's data) once made setup-sim overflow its stack instead of refusing the machine
// with a clear error: reading, copying and writing a JSON value recurse once per level.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace sim
