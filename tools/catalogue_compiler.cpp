// catalogue-compiler [--stamp TEXT] SOURCE.json OUTPUT.NLS
//
// Compiles a readable catalogue source into the catalogue file that the setup program loads.
// With --stamp, the file ends with the version stamp "!@#$TEXT$#@!" after its texts, where the
// loader never looks and the deployment's version check does. A source that does not match the
// built-in catalogue, or a stamp text the deployment could not read back, is refused: every
// problem goes to standard error, no output file is left behind, and the exit code is
// EXIT_FAILURE.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "tools/catalogue_source.h"

namespace {

bool ReadFile(const std::string& path, std::string* contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  contents->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

/// Writes beside the output first, so that a failed write never leaves a partial catalogue.
bool WriteFile(const std::string& path, const std::string& contents) {
  const std::string part = path + ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    if (!out) return false;
  }
  std::error_code error;
  std::filesystem::rename(part, path, error);
  if (error) std::filesystem::remove(part, error);
  return !error;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string_view> stamp_text;
  int first = 1;
  if (argc == 5 && std::string_view(argv[1]) == "--stamp") {
    stamp_text = argv[2];
    first = 3;
  }
  if (argc - first != 2) {
    std::fprintf(stderr, "usage: catalogue-compiler [--stamp TEXT] SOURCE.json OUTPUT.NLS\n");
    return EXIT_FAILURE;
  }
  const std::string source_path = argv[first];
  const std::string output_path = argv[first + 1];

  std::string json_text;
  if (!ReadFile(source_path, &json_text)) {
    std::fprintf(stderr, "catalogue-compiler: %s: cannot read: %s\n", source_path.c_str(),
                 std::strerror(errno));
    return EXIT_FAILURE;
  }
  std::vector<tools::Problem> problems;
  tools::Compiled compiled;
  if (const auto source = tools::ParseSource(json_text, &problems)) {
    compiled = tools::CompileSource(*source, stamp_text);
    problems = compiled.problems;
  }
  if (!problems.empty()) {
    for (const tools::Problem& problem : problems) {
      std::fprintf(stderr, "catalogue-compiler: %s: %s\n", source_path.c_str(),
                   tools::Describe(problem).c_str());
    }
    std::error_code ignored;
    std::filesystem::remove(output_path, ignored);  // no stale catalogue that looks current
    return EXIT_FAILURE;
  }
  if (!WriteFile(output_path, compiled.bytes)) {
    std::fprintf(stderr, "catalogue-compiler: %s: cannot write\n", output_path.c_str());
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
