// package-info: what the setup program itself knows of package files, for the release and its
// tests, read with the program's own code.
//
//   package-info files                  the package file list, one line a file in the order of
//                                       the list: where the medium holds it ("win2000/SETUP.EXE")
//   package-info stamps FILE...         each file's version stamp as the deployment reads it:
//                                       "FILE<TAB>OFFSET<TAB>NUMBER<TAB>TEXT" (the offset of the
//                                       start marker), or "FILE<TAB>none" without a stamp
//   package-info compare SOURCE DEST    the deployment's comparison of a file on the medium with
//                                       a deployed copy: -1 (the source is older), 0 or 1
//
// Exit code 0; 1 when a file cannot be read or has no stamp (stamps); 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/marker_search.h"
#include "deploy/package.h"
#include "deploy/version_stamps.h"
#include "messages/catalogue.h"
#include "messages/console.h"
#include "platform/failing_platform.h"
#include "platform/platform.h"

namespace {

/// A machine on which only the host's files can be read, by their host paths, and standard
/// output is the process's own: what the stamp comparison uses. Everything else fails as on a
/// machine that has nothing.
class HostFiles : public platform::FailingPlatform {
 public:
  std::optional<std::size_t> ReadBinaryFile(std::string_view path,
                                            std::span<char> buffer) override {
    std::ifstream in{std::string(path), std::ios::binary};
    if (!in) return FailingPlatform::ReadBinaryFile(path, buffer);
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.bad()) return FailingPlatform::ReadBinaryFile(path, buffer);
    return static_cast<std::size_t>(in.gcount());
  }
  void WriteStandardOutput(std::string_view bytes) override {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  }
};

/// "\\win2000\\" and "SETUP.EXE" as "win2000/SETUP.EXE".
std::string MediumPath(std::string_view subdirectory, std::string_view name) {
  std::string path;
  for (const char c : subdirectory.substr(1)) path += c == '\\' ? '/' : c;
  return path + std::string(name);
}

int ListFiles() {
  for (const deploy::PackageFile& file : deploy::kPackageFiles) {
    std::printf("%s\n", MediumPath(file.source_subdirectory, file.name).c_str());
  }
  return EXIT_SUCCESS;
}

/// Reads each file's first bytes as the deployment does and prints its stamp.
int PrintStamps(platform::Platform& platform, const std::vector<std::string>& paths) {
  const auto buffer = std::make_unique<char[]>(deploy::kStampReadBytes);
  int status = EXIT_SUCCESS;
  for (const std::string& path : paths) {
    const std::optional<std::size_t> read =
        platform.ReadBinaryFile(path, std::span<char>(buffer.get(), deploy::kStampReadBytes));
    if (!read) {
      std::fprintf(stderr, "package-info: %s: cannot read\n", path.c_str());
      status = EXIT_FAILURE;
      continue;
    }
    const std::span<const char> bytes(buffer.get(), *read);
    const std::optional<std::string> text = deploy::FindStampText(bytes);
    if (!text) {
      std::printf("%s\tnone\n", path.c_str());
      status = EXIT_FAILURE;
      continue;
    }
    const std::optional<std::size_t> offset = deploy::FindMarker(
        deploy::kStartMarker, reinterpret_cast<const unsigned char*>(bytes.data()),
        static_cast<long long>(bytes.size()));
    std::printf("%s\t%zu\t%d\t%s\n", path.c_str(), offset.value_or(0),
                static_cast<int>(deploy::VersionNumber(*text)), text->c_str());
  }
  return status;
}

int Usage() {
  std::fprintf(stderr, "usage: package-info files | stamps FILE... | compare SOURCE DESTINATION\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  HostFiles platform;
  if (args[0] == "files" && args.size() == 1) return ListFiles();
  if (args[0] == "stamps" && args.size() >= 2) {
    return PrintStamps(platform, std::vector<std::string>(args.begin() + 1, args.end()));
  }
  if (args[0] == "compare" && args.size() == 3) {
    const messages::Catalogue catalogue = messages::BuiltinCatalogue();
    messages::Console console(platform, catalogue);
    std::printf("%d\n", deploy::CompareVersionStamps(platform, console, args[1], args[2]));
    return EXIT_SUCCESS;
  }
  return Usage();
}
