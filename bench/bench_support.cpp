#include "bench/bench_support.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/temp_machine.h"

namespace bench {

ScratchFolder::ScratchFolder(std::string_view prefix)
    : path_(testing_support::MakeTempFolder(std::string(prefix))) {}

ScratchFolder::~ScratchFolder() {
  testing_support::RemoveMachineFolder(path_);
}

std::string ReadHostFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteHostFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string TextFiller(std::size_t size) {
  static constexpr std::string_view kLines =
      "[Version]\r\nSignature=\"Windows NT\"\r\nClass=System\r\n"
      "[Manufacturer]\r\n%Maker%=Models\r\n"
      "[Models]\r\n%Adapter.DeviceDesc%=Adapter_Install,PCI\\VEN_7A3C&DEV_0B52\r\n"
      "[Adapter_Install.NT]\r\nCopyFiles=Adapter.CopyFiles\r\nAddReg=Adapter.AddReg\r\n"
      "[Adapter.AddReg]\r\nHKR,,DevLoader,,*ntkern\r\nHKR,,NTMPDriver,,zovkaf.sys\r\n";
  std::string text;
  text.reserve(size + kLines.size());
  while (text.size() < size) text += kLines;
  text.resize(size);
  return text;
}

void StampAtEnd(std::string* bytes, std::string_view stamp_text) {
  const std::string stamp = "!@#$" + std::string(stamp_text) + "$#@!";
  if (stamp.size() > bytes->size()) throw std::invalid_argument("stamp longer than the data");
  bytes->replace(bytes->size() - stamp.size(), stamp.size(), stamp);
}

namespace {

/// The CPU model as /proc/cpuinfo names it, for the report's context.
std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(line.find_first_not_of(' ', colon + 1));
    }
  }
  return "unknown";
}

}  // namespace

}  // namespace bench

int main(int argc, char** argv) {
  benchmark::AddCustomContext("cpu_model", bench::CpuModel());
  benchmark::AddCustomContext("nproc", std::to_string(std::thread::hardware_concurrency()));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
