#include "deploy/package.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "deploy/version_stamps.h"
#include "messages/catalogue.h"
#include "messages/console.h"
#include "platform/sim/machine.h"
#include "platform/sim/sim_platform.h"
#include "tests/support/temp_machine.h"

namespace deploy {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPackage = "C:\\WINNT\\system32\\drivers\\orvan";
constexpr const char* kMediumWin2000 = "D:\\win2000\\";
constexpr const char* kPackageWin2000 = "C:\\WINNT\\system32\\drivers\\orvan\\win2000\\";

constexpr const char* kOlderMessage =
    "\n"
    "D:\\win2000\\ORVAN.INF is older than "
    "C:\\WINNT\\system32\\drivers\\orvan\\win2000\\ORVAN.INF.\n";
constexpr const char* kQuestion = "Do you want to copy anyway? (y/n):\n";

/// Where each package file lies on the medium, as the package file list has it.
const std::map<std::string, std::string> kMediumDirectory = {
    {"ORVA.INF", "win2000"},     {"ORVAN.INF", "win2000"},    {"RUDX.INF", "win2000"},
    {"ZOVRUDX.SYS", "win2000"},  {"ZOVTOLIN.DLL", "win2000"}, {"ZOVKAF.DLL", "win2000"},
    {"ZOVKAF.SYS", "win2000"},   {"KAF.INF", "win2000"},      {"ORVA.CAT", "win2000"},
    {"ORVAN.CAT", "win2000"},    {"RUDX.CAT", "win2000"},     {"KAF.CAT", "win2000"},
    {"NUVELODA.DLL", "win2000"}, {"ZOVTOLIN.EXE", "win2000"}, {"ZOVDUVIK.EXE", "win2000"},
    {"KVLSETUP.EXE", "nt"},      {"SETUP.EXE", "win2000"},    {"ENGLISH.NLS", "nls"},
    {"JAPANESE.NLS", "nls"},
};

// The six directories and the nineteen files, spelled out once more.
const std::vector<std::string> kDirectories = {
    "C:\\WINNT\\system32\\drivers\\orvan\\",
    "C:\\WINNT\\system32\\drivers\\orvan\\win2000\\",
    "C:\\WINNT\\system32\\drivers\\orvan\\nt\\",
    "C:\\WINNT\\system32\\drivers\\orvan\\nt\\X4400\\",
    "C:\\WINNT\\system32\\drivers\\orvan\\nt\\X4400\\pivandor\\",
    "C:\\WINNT\\system32\\drivers\\orvan\\nls\\",
};
const std::vector<std::string> kFiles = {
    "ORVA.INF",     "ORVAN.INF",  "RUDX.INF",     "ZOVRUDX.SYS",  "ZOVTOLIN.DLL",
    "ZOVKAF.DLL",   "ZOVKAF.SYS", "KAF.INF",      "ORVA.CAT",     "ORVAN.CAT",
    "RUDX.CAT",     "KAF.CAT",    "NUVELODA.DLL", "ZOVTOLIN.EXE", "ZOVDUVIK.EXE",
    "KVLSETUP.EXE", "SETUP.EXE",  "ENGLISH.NLS",  "JAPANESE.NLS",
};

/// A package file's bytes: its name (so that every file differs) and a version stamp.
std::string Contents(std::string_view name, std::string_view stamp) {
  return "placeholder " + std::string(name) + "\r\n!@#$" + std::string(stamp) + "$#@!\r\n";
}
std::string Kaf(std::string_view stamp) {
  return Contents("KAF.INF", stamp);
}
const std::string kMediumKaf = "D:\\win2000\\KAF.INF";
const std::string kDeployedKaf = std::string(kPackageWin2000) + "KAF.INF";

/// A fault that denies access on every call of `op` on `path`.
sim::Fault Denied(std::string op, std::string path) {
  return sim::Fault{std::move(op), std::move(path), 5, std::nullopt};
}

/// One run of package deployment code on a simulated machine in a temporary folder: drive C:
/// with the system directory and its drivers folder, drive D: with an installation medium.
class PackageTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    root_ = fs::temp_directory_path() / ("deploy_test_" + std::to_string(::getpid()) + "_" + name);
    fs::remove_all(root_);
    fs::create_directories(Host("C:\\WINNT\\system32\\drivers"));
    for (const char* directory : {"win2000", "nt", "nls"}) {
      fs::create_directories(root_ / "drives" / "D" / directory);
    }
  }

  void TearDown() override { testing_support::RemoveMachineFolder(root_); }

  /// The host path of a Windows path (the case as written here).
  fs::path Host(std::string_view windows_path) const {
    return testing_support::HostPath(root_, windows_path);
  }

  static void Write(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void SetReadOnly(const fs::path& path, bool read_only) {
    fs::permissions(path, fs::perms::owner_write,
                    read_only ? fs::perm_options::remove : fs::perm_options::add);
  }
  static bool IsReadOnly(const fs::path& path) {
    return (fs::status(path).permissions() & fs::perms::owner_write) == fs::perms::none;
  }

  fs::path MediumFile(const std::string& name) const {
    return root_ / "drives" / "D" / kMediumDirectory.at(name) / name;
  }
  /// Where a package file lands (both catalogue files in win2000, as the list has it).
  fs::path DeployedFile(const std::string& name) const {
    return Host(kPackage) / (name == "KVLSETUP.EXE" ? "nt" : "win2000") / name;
  }

  /// Puts all nineteen files on the medium with the stamp 1.0, except those in `stamps`.
  void PutMedium(const std::map<std::string, std::string>& stamps = {}) {
    for (const auto& [name, directory] : kMediumDirectory) {
      const auto stamp = stamps.find(name);
      Write(MediumFile(name), Contents(name, stamp == stamps.end() ? "1.0" : stamp->second));
    }
  }
  /// Puts a deployed copy of `name` with `stamp` into the package; returns its bytes.
  std::string PutDeployed(const std::string& name, std::string_view stamp) {
    Write(DeployedFile(name), Contents(name, stamp));
    return Contents(name, stamp);
  }

  /// Checks that the deployed copy of each file named holds the medium's bytes.
  void ExpectDeployedAsOnMedium(const std::vector<std::string>& names) const {
    for (const std::string& name : names) {
      EXPECT_EQ(Read(DeployedFile(name)), Read(MediumFile(name))) << name;
    }
  }

  /// Runs `body` on a fresh simulated platform with `input` as standard input.
  template <typename Body>
  void Run(Body body, std::string input = "", const messages::Catalogue* catalogue = nullptr) {
    sim::SimPlatform platform(machine_, root_, sim::ConsoleIo{std::move(input), &output_, false},
                              [this](const sim::Json& entry) { journal_.push_back(entry); });
    messages::Console console(platform, catalogue ? *catalogue : builtin_catalogue_);
    body(platform, console);
    EXPECT_EQ(platform.OpenHandleCount(), 0u) << "a search handle was left open";
  }

  int Deploy(std::string input = "", bool quiet = false) {
    int result = -1;
    Run(
        [&](platform::Platform& p, messages::Console& c) {
          messages::SetupLog log;
          result = DeployPackage(p, c, log, "D:", quiet);
        },
        std::move(input));
    return result;
  }

  int Copy(std::string_view source_directory, std::string_view destination_directory,
           std::string_view name, std::string input = "", bool quiet = false,
           const messages::Catalogue* catalogue = nullptr) {
    int result = -1;
    Run(
        [&](platform::Platform& p, messages::Console& c) {
          messages::SetupLog log;
          result = CopyPackageFile(p, c, log, source_directory, destination_directory, name, quiet);
        },
        std::move(input), catalogue);
    return result;
  }
  /// Copies `name` from the medium's win2000 folder into the package's.
  int CopyFromMedium(std::string_view name, std::string input = "", bool quiet = false,
                     const messages::Catalogue* catalogue = nullptr) {
    return Copy(kMediumWin2000, kPackageWin2000, name, std::move(input), quiet, catalogue);
  }

  /// The journal entries of the operations named, each as one line: the path, or "from -> to"
  /// for a copy, followed by " failed" when the operation failed. With more than one operation
  /// named, each line starts with its operation's name and a space.
  std::vector<std::string> Journaled(std::string_view op) const { return Journaled({op}); }
  std::vector<std::string> Journaled(std::initializer_list<std::string_view> ops) const {
    std::vector<std::string> lines;
    for (const sim::Json& entry : journal_) {
      const std::string op = entry.at("op");
      if (std::ranges::find(ops, op) == ops.end()) continue;
      std::string line = ops.size() > 1 ? op + " " : "";
      line += entry.contains("path") ? entry.at("path").get<std::string>()
                                     : entry.at("from").get<std::string>() + " -> " +
                                           entry.at("to").get<std::string>();
      if (!entry.at("ok").get<bool>()) line += " failed";
      lines.push_back(line);
    }
    return lines;
  }

  /// The copy lines of a deployment of the files named, in the order given.
  std::vector<std::string> CopiesOf(const std::vector<std::string>& names) const {
    std::vector<std::string> lines;
    for (const std::string& name : names) {
      const std::string from_directory = kMediumDirectory.at(name);
      const std::string to_directory = name == "KVLSETUP.EXE" ? "nt" : "win2000";
      lines.push_back("D:\\" + from_directory + "\\" + name + " -> " + kPackage + "\\" +
                      to_directory + "\\" + name);
    }
    return lines;
  }

  /// The copy lines of a deployment of every file but `skipped`.
  std::vector<std::string> CopiesOfAllBut(const std::string& skipped) const {
    std::vector<std::string> names = kFiles;
    std::erase(names, skipped);
    return CopiesOf(names);
  }

  const messages::Catalogue builtin_catalogue_ = messages::BuiltinCatalogue();
  fs::path root_;
  sim::Machine machine_;
  std::string output_;
  std::vector<sim::Json> journal_;
};

TEST(PackageTablesTest, TheTablesHoldTheTreeAndTheFilesInOrder) {
  ASSERT_EQ(kPackageDirectories.size(), kDirectories.size());
  for (std::size_t i = 0; i < kDirectories.size(); ++i) {
    EXPECT_EQ(PackageRoot("C:\\WINNT\\system32") + std::string(kPackageDirectories[i]),
              kDirectories[i]);
  }
  ASSERT_EQ(kPackageFiles.size(), kFiles.size());
  for (std::size_t i = 0; i < kFiles.size(); ++i) EXPECT_EQ(kPackageFiles[i].name, kFiles[i]);
  EXPECT_EQ(PackageRoot("C:\\WINNT\\system32"), kPackage);
}

// --- Whole deployments -----------------------------------------------------------------------

TEST_F(PackageTest, FreshDeploymentCreatesTheTreeThenCopiesEveryFileInOrder) {
  PutMedium();
  EXPECT_EQ(Deploy(), 0);

  EXPECT_EQ(output_, "");
  std::vector<std::string> expected;
  for (const std::string& directory : kDirectories) {
    expected.push_back("CreateDirectoryA " + directory);
  }
  for (const std::string& copy : CopiesOf(kFiles)) expected.push_back("CopyFileA " + copy);
  EXPECT_EQ(Journaled({"CreateDirectoryA", "CopyFileA"}), expected);
  for (const sim::Json& entry : journal_) {
    if (entry.at("op") != "SetFileAttributesA") {
      EXPECT_TRUE(entry.at("ok").get<bool>()) << entry;
    }
  }

  ExpectDeployedAsOnMedium(kFiles);
  // The folders no file goes to, and how many entries each holds.
  for (const auto& [folder, entries] :
       std::map<std::string, long>{{"nls", 0}, {"nt/X4400", 1}, {"nt/X4400/pivandor", 0}}) {
    const fs::path host = Host(kPackage) / folder;
    EXPECT_TRUE(fs::is_directory(host)) << folder;
    EXPECT_EQ(std::distance(fs::directory_iterator(host), {}), entries) << folder;
  }
}

TEST_F(PackageTest, EachFileHasItsAttributesResetBeforeItIsLookedAtAndCopied) {
  PutMedium();
  Deploy();
  // Per file: SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL), then CopyFileA.
  std::vector<std::string> per_file;
  for (const sim::Json& entry : journal_) {
    if (entry.at("op") == "SetFileAttributesA") {
      EXPECT_EQ(entry.at("attributes"), platform::FILE_ATTRIBUTE_NORMAL);
      per_file.push_back("attributes " + entry.at("path").get<std::string>());
    } else if (entry.at("op") == "CopyFileA") {
      per_file.push_back("copy to " + entry.at("to").get<std::string>());
    }
  }
  std::vector<std::string> expected;
  for (const std::string& copy : CopiesOf(kFiles)) {
    const std::string to = copy.substr(copy.find(" -> ") + 4);
    expected.push_back("attributes " + to);
    expected.push_back("copy to " + to);
  }
  EXPECT_EQ(per_file, expected);
}

TEST_F(PackageTest, SecondDeploymentOverwritesSameAndLowerVersionsWithoutAWord) {
  PutMedium({{"ORVAN.INF", "1.1"}, {"SETUP.EXE", "2.0"}});
  EXPECT_EQ(Deploy(), 0);
  journal_.clear();
  PutMedium({{"ORVAN.INF", "1.2"}, {"SETUP.EXE", "2.0"}, {"KAF.CAT", "30"}});
  PutDeployed("RUDX.INF", "");  // an empty stamp: number 0, lower than 10

  EXPECT_EQ(Deploy(), 0);

  EXPECT_EQ(output_, "");
  std::vector<std::string> existing;
  for (const std::string& directory : kDirectories) existing.push_back(directory + " failed");
  EXPECT_EQ(Journaled("CreateDirectoryA"), existing);
  for (const sim::Json& entry : journal_) {
    if (entry.at("op") == "CreateDirectoryA") {
      EXPECT_EQ(entry.at("error"), platform::kErrorAlreadyExists);
    }
  }
  EXPECT_EQ(Journaled("CopyFileA"), CopiesOf(kFiles));
  ExpectDeployedAsOnMedium(kFiles);
}

TEST_F(PackageTest, OlderFileOnTheMediumIsKeptWhenTheAnswerIsNo) {
  PutMedium({{"ORVAN.INF", "1.0"}});
  const std::string deployed = PutDeployed("ORVAN.INF", "2.0");

  EXPECT_EQ(Deploy("n\n"), 0);

  EXPECT_EQ(output_, std::string(kOlderMessage) + kQuestion);
  EXPECT_EQ(Journaled("CopyFileA"), CopiesOfAllBut("ORVAN.INF"));
  EXPECT_EQ(Read(DeployedFile("ORVAN.INF")), deployed);
}

TEST_F(PackageTest, QuietDeploymentReportsAnOlderFileAndOverwritesIt) {
  PutMedium();
  PutDeployed("ORVAN.INF", "2.0");
  EXPECT_EQ(Deploy("", /*quiet=*/true), 0);
  EXPECT_EQ(output_, kOlderMessage);
  EXPECT_EQ(Journaled("CopyFileA"), CopiesOf(kFiles));
  ExpectDeployedAsOnMedium({"ORVAN.INF"});
}

TEST_F(PackageTest, ReadOnlyDeployedFileIsOverwritten) {
  PutMedium();
  PutDeployed("ZOVKAF.SYS", "1.0");
  SetReadOnly(DeployedFile("ZOVKAF.SYS"), true);
  Write(MediumFile("ZOVKAF.SYS"), Contents("ZOVKAF.SYS new", "1.0"));

  Deploy();

  EXPECT_EQ(output_, "");
  EXPECT_EQ(Journaled("CopyFileA"), CopiesOf(kFiles));
  EXPECT_EQ(Read(DeployedFile("ZOVKAF.SYS")), Contents("ZOVKAF.SYS new", "1.0"));
  EXPECT_FALSE(IsReadOnly(DeployedFile("ZOVKAF.SYS")));
}

TEST_F(PackageTest, MediumWithoutKvlsetupDeploysTheOtherEighteenAndLeavesTheOldCopyAlone) {
  PutMedium();
  fs::remove(MediumFile("KVLSETUP.EXE"));
  const std::string deployed = PutDeployed("KVLSETUP.EXE", "0.9");
  SetReadOnly(DeployedFile("KVLSETUP.EXE"), true);

  EXPECT_EQ(Deploy(), 0);

  EXPECT_EQ(output_, "");
  EXPECT_EQ(Journaled("CopyFileA"), CopiesOfAllBut("KVLSETUP.EXE"));
  for (const std::string& line : Journaled("SetFileAttributesA")) {
    EXPECT_EQ(line.find("KVLSETUP"), std::string::npos) << line;
  }
  EXPECT_EQ(Read(DeployedFile("KVLSETUP.EXE")), deployed);
  EXPECT_TRUE(IsReadOnly(DeployedFile("KVLSETUP.EXE")));
}

TEST_F(PackageTest, FailuresDoNotStopTheDeployment) {
  PutMedium();
  machine_.faults.push_back(Denied("CreateDirectoryA", std::string(kPackage) + "\\nt\\"));
  machine_.faults.push_back(Denied("CopyFileA", kMediumKaf));

  EXPECT_EQ(Deploy(), 0);

  EXPECT_EQ(output_, "");
  EXPECT_EQ(Journaled("CreateDirectoryA").size(), 6u);  // the rest are still attempted
  std::vector<std::string> copies = CopiesOf(kFiles);
  for (std::string& copy : copies) {
    if (copy.find("\\KAF.INF") != std::string::npos) copy += " failed";
    if (copy.find("\\nt\\") != std::string::npos) copy += " failed";  // no nt folder
  }
  EXPECT_EQ(Journaled("CopyFileA"), copies);
}

TEST_F(PackageTest, ASystemDirectoryTooLongToUseDeploysNothing) {
  // Start-up refuses such a directory; deployment reads it again and refuses it as well, so no
  // path of the package is ever formed from it.
  for (const std::size_t length : {kMaxSystemDirectory + 1, std::size_t{487}}) {
    machine_.system_directory = "C:\\" + std::string(length - 3, 's');
    PutMedium();
    Deploy();
    EXPECT_TRUE(Journaled("CreateDirectoryA").empty()) << length;
    EXPECT_TRUE(Journaled("CopyFileA").empty()) << length;
  }
  EXPECT_EQ(output_, "");
}

// --- One file --------------------------------------------------------------------------------

struct QuestionCase {
  const char* name;
  std::string input;
  bool quiet;
  bool copied;
  std::string output;
  friend void PrintTo(const QuestionCase& c, std::ostream* os) { *os << c.name; }
};

class OlderFileQuestionTest : public PackageTest,
                              public testing::WithParamInterface<QuestionCase> {};

TEST_P(OlderFileQuestionTest, AsksAndDoesWhatTheAnswerSays) {
  const QuestionCase& c = GetParam();
  PutMedium({{"ORVAN.INF", "1.10"}});
  const std::string deployed = PutDeployed("ORVAN.INF", "1.2.0");  // 120 against the medium's 110

  EXPECT_EQ(CopyFromMedium("ORVAN.INF", c.input, c.quiet), kCopyDone);

  EXPECT_EQ(output_, c.output);
  EXPECT_EQ(Read(DeployedFile("ORVAN.INF")), c.copied ? Read(MediumFile("ORVAN.INF")) : deployed);
  EXPECT_EQ(Journaled("CopyFileA").size(), c.copied ? 1u : 0u);
}

const std::string kAsked = std::string(kOlderMessage) + kQuestion;

INSTANTIATE_TEST_SUITE_P(
    Answers, OlderFileQuestionTest,
    testing::Values(QuestionCase{"Yes", "y\n", false, true, kAsked},
                    QuestionCase{"YesAfterBlanks", "  YES\r\n", false, true, kAsked},
                    QuestionCase{"No", "n\n", false, false, kAsked},
                    QuestionCase{"Nope", "Nope\n", false, false, kAsked},
                    QuestionCase{"Cancel", "cancel\n", false, true, kAsked},
                    QuestionCase{"UnusableAnswersAskAgain", "x\n\n   \nc\nn\n", false, false,
                                 kAsked + kQuestion + kQuestion + kQuestion + kQuestion},
                    QuestionCase{"LastLineWithoutLineFeed", "x\ny", false, true,
                                 kAsked + kQuestion},
                    QuestionCase{"InputUsedUpKeepsTheFile", "", false, false, kAsked},
                    QuestionCase{"QuietAsksNothingAndCopies", "n\n", true, true, kOlderMessage}),
    [](const testing::TestParamInfo<QuestionCase>& info) { return std::string(info.param.name); });

struct CopyCase {
  const char* name;
  std::optional<std::string> source;    // the medium's bytes; nothing: no such file
  std::optional<std::string> deployed;  // the deployed copy's bytes; nothing: none
  std::optional<sim::Fault> fault = std::nullopt;
  int expected = kCopyDone;  // the medium's file is copied only when the copy is done
  bool read_only = false;    // whether the deployed copy is read-only
  friend void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.name; }
};

class CopyPackageFileTest : public PackageTest, public testing::WithParamInterface<CopyCase> {};

TEST_P(CopyPackageFileTest, CopiesSilentlyOrReports) {
  const CopyCase& c = GetParam();
  if (c.source) Write(MediumFile("KAF.INF"), *c.source);
  fs::create_directories(DeployedFile("KAF.INF").parent_path());
  if (c.deployed) Write(DeployedFile("KAF.INF"), *c.deployed);
  if (c.read_only) SetReadOnly(DeployedFile("KAF.INF"), true);
  if (c.fault) machine_.faults.push_back(*c.fault);

  EXPECT_EQ(CopyFromMedium("KAF.INF"), c.expected);

  EXPECT_EQ(output_, "");
  if (c.expected == kCopyDone) {
    ExpectDeployedAsOnMedium({"KAF.INF"});
  } else if (c.deployed) {
    EXPECT_EQ(Read(DeployedFile("KAF.INF")), *c.deployed);  // as it was
  } else {
    EXPECT_FALSE(fs::exists(DeployedFile("KAF.INF")));
  }
  if (c.expected == kSourceMissing) {
    EXPECT_TRUE(journal_.empty());  // nothing was touched
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CopyPackageFileTest,
    testing::Values(
        CopyCase{"NoDeployedCopy", Kaf("1.0"), std::nullopt},
        CopyCase{"SameVersion", Kaf("1.02"), Kaf("1-0-2")},
        CopyCase{"SourceNewer", Kaf("2.0"), Kaf("1.9")},
        CopyCase{"DeployedWithoutStartMarker", Kaf("1.0"), "no stamp"},
        CopyCase{"SourceWithoutStartMarker", "no stamp", Kaf("9")},
        CopyCase{"DeployedEmpty", Kaf("1.0"), ""},
        CopyCase{"ReadOnlyDeployedCopy", Kaf("1.0"), Kaf("1.0"), std::nullopt, kCopyDone, true},
        CopyCase{"DeployedCopyCannotBeRead", Kaf("0.1"), Kaf("9.9"),
                 Denied("CreateFileA", kDeployedKaf), kCopyFailed},
        CopyCase{"MediumFileCannotBeRead", Kaf("0.1"), Kaf("9.9"),
                 Denied("CreateFileA", kMediumKaf), kCopyFailed},
        CopyCase{"DeployedCopyCannotBeLookedAt", Kaf("0.1"), Kaf("9.9"),
                 Denied("FindFirstFileA", kDeployedKaf), kCopyFailed},
        CopyCase{"SourceMissing", std::nullopt, Kaf("1.0"), std::nullopt, kSourceMissing},
        CopyCase{"SourceMissingNoDeployedCopy", std::nullopt, std::nullopt, std::nullopt,
                 kSourceMissing},
        CopyCase{"CopyFails", Kaf("1.0"), Kaf("0.5"), Denied("CopyFileA", kMediumKaf), kCopyFailed},
        CopyCase{"CopyFailsNoDeployedCopy", Kaf("1.0"), std::nullopt,
                 Denied("CopyFileA", kMediumKaf), kCopyFailed}),
    [](const testing::TestParamInfo<CopyCase>& info) { return std::string(info.param.name); });

TEST_F(PackageTest, UnreadableDestinationMeansTheSourceIsNotOpenedAndNothingIsReplaced) {
  PutMedium();
  PutDeployed("KAF.INF", "9.9");
  machine_.faults.push_back(Denied("CreateFileA", kDeployedKaf));
  machine_.faults.push_back({"CreateFileA", kMediumKaf, 5, 1});

  // Its version unknown, the deployed copy might be the newer one: it stays.
  EXPECT_EQ(CopyFromMedium("KAF.INF"), kCopyFailed);

  EXPECT_EQ(output_, "");
  EXPECT_EQ(machine_.faults[1].count, 1);  // the source's read was never tried
  EXPECT_EQ(Read(DeployedFile("KAF.INF")), Contents("KAF.INF", "9.9"));
}

TEST_F(PackageTest, FailedCopyAfterYesLeavesTheDeployedFileAsItWas) {
  PutMedium();
  const std::string deployed = PutDeployed("ORVAN.INF", "2.0");
  machine_.faults.push_back(Denied("CopyFileA", "D:\\win2000\\ORVAN.INF"));

  EXPECT_EQ(CopyFromMedium("ORVAN.INF", "y\n"), kCopyFailed);

  EXPECT_EQ(output_, kAsked);
  EXPECT_EQ(Read(DeployedFile("ORVAN.INF")), deployed);
}

TEST_F(PackageTest, TooLongQuestionTextSkipsTheFileAndKeepsTheDeployedCopy) {
  PutMedium();
  const std::string deployed = PutDeployed("ORVAN.INF", "2.0");
  messages::Catalogue catalogue = messages::BuiltinCatalogue();
  const std::string long_question(kMaxQuestionText + 1, 'q');
  const std::string fitting_question(kMaxQuestionText, 'q');

  catalogue.entries[messages::kCopyAnyway] = long_question;
  EXPECT_EQ(CopyFromMedium("ORVAN.INF", "y\n", false, &catalogue), kCopyFailed);
  EXPECT_EQ(output_, kOlderMessage);  // told, but not asked
  EXPECT_EQ(Read(DeployedFile("ORVAN.INF")), deployed);
  EXPECT_TRUE(Journaled("CopyFileA").empty());

  output_.clear();
  catalogue.entries[messages::kCopyAnyway] = fitting_question;
  EXPECT_EQ(CopyFromMedium("ORVAN.INF", "y\n", false, &catalogue), kCopyDone);
  EXPECT_EQ(output_, kOlderMessage + fitting_question);
  ExpectDeployedAsOnMedium({"ORVAN.INF"});
}

struct LongPathCase {
  const char* name;
  std::size_t source_length;       // of the full source path
  std::size_t destination_length;  // of the full destination path
  int expected;
  friend void PrintTo(const LongPathCase& c, std::ostream* os) { *os << c.name; }
};

class LongPathTest : public PackageTest, public testing::WithParamInterface<LongPathCase> {
 protected:
  /// A directory path on `drive` (ending with a backslash) that makes `file` a full path of
  /// `length` characters, created on the host, in parts short enough for the host.
  std::string DirectoryFor(char drive, std::size_t length, std::string_view file) {
    std::string directory = std::string(1, drive) + ":\\";
    std::size_t left = length - file.size() - directory.size();  // what the parts take
    fs::path host = root_ / "drives" / std::string(1, drive);
    for (char part = 'a'; left > 0; ++part) {
      std::size_t take = left - 1;  // the rest in one part, with its backslash
      if (take > 200) take = std::min<std::size_t>(200, left - 3);  // leave two or more
      const std::string name(take, part);
      directory += name + "\\";
      host /= name;
      left -= name.size() + 1;
    }
    fs::create_directories(host);
    return directory;
  }
};

TEST_P(LongPathTest, ALongPathSkipsTheFileWithoutTouchingAnything) {
  const LongPathCase& c = GetParam();
  const std::string source = DirectoryFor('D', c.source_length, "ORVAN.INF");
  const std::string destination = DirectoryFor('C', c.destination_length, "ORVAN.INF");
  ASSERT_EQ(source.size() + 9, c.source_length);
  ASSERT_EQ(destination.size() + 9, c.destination_length);
  Write(Host(source + "ORVAN.INF"), Contents("ORVAN.INF", "1.0"));

  EXPECT_EQ(Copy(source, destination, "ORVAN.INF"), c.expected);

  EXPECT_EQ(output_, "");
  EXPECT_EQ(fs::exists(Host(destination + "ORVAN.INF")), c.expected == kCopyDone);
  if (c.expected == kCopyFailed) {
    EXPECT_TRUE(journal_.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, LongPathTest,
    testing::Values(LongPathCase{"BothFit", kMaxPath, kMaxPath, kCopyDone},
                    LongPathCase{"SourceTooLong", kMaxPath + 1, 40, kCopyFailed},
                    LongPathCase{"DestinationTooLong", 40, kMaxPath + 1, kCopyFailed},
                    LongPathCase{"FarTooLong", 1000, 1000, kCopyFailed}),
    [](const testing::TestParamInfo<LongPathCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace deploy
