// Time and peak memory to open a machine whose registry.reg is just under
// the 16 MB limit, in three shapes: many keys, long values, blank lines.
// Goal: under 1 s each. The peak memory is the process's (VmHWM, reset
// before the run), so it includes the bench itself: the file's text and the
// ordered map of keys, which for many short keys takes about six times the
// file.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <fstream>
#include <string>

#include "TestMachine.h"
#include "platform/sandbox/Files.h"

namespace qar {
namespace {

// "VmHWM" or "VmRSS" of this process, in kB.
long StatusKb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, field.size() + 1, field + ":") == 0)
      return std::stol(line.substr(field.size() + 1));
  return -1;
}

// Resets the peak resident size to the current one (Linux 4.0 and later),
// after handing freed memory back so that an earlier run does not count.
bool ResetPeak() {
  malloc_trim(0);
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

// Repeats `record(i)` until the file would pass the limit.
template <typename Record>
std::string Fill(std::string text, const Record& record) {
  const std::size_t limit = static_cast<std::size_t>(sandbox::kMachineFileLimit);
  for (long i = 0;; ++i) {
    const std::string next = record(i);
    if (text.size() + next.size() > limit) return text;
    text += next;
  }
}

std::string ManyKeys() {
  return Fill("REGEDIT4\r\n\r\n", [](long i) {
    return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Key" + std::to_string(i) + "]\r\n\"Value\"=\"" +
           std::to_string(i) + "\"\r\n\r\n";
  });
}

std::string LongValues() {
  const std::string data(64 << 10, 'v');
  return Fill("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\r\n",
              [&](long i) { return "\"Value" + std::to_string(i) + "\"=\"" + data + "\"\r\n"; });
}

std::string BlankLines() {
  return Fill("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\r\n",
              [](long) { return "\r\n"; });
}

void BM_OpenLargeRegistry(benchmark::State& state, std::string (*shape)()) {
  test::TempDir temp;
  std::string folder;
  {
    folder = sandbox::SandboxMachine::Create(temp / "m", "winxp")->Folder();
    const std::string text = shape();
    test::WriteHostFile(folder + "/registry.reg", text);
    state.counters["file_MB"] = static_cast<double>(text.size()) / (1 << 20);
  }
  if (!ResetPeak()) state.SkipWithError("cannot reset the peak memory (/proc/self/clear_refs)");
  const long before = StatusKb("VmRSS");
  for (auto _ : state) benchmark::DoNotOptimize(sandbox::SandboxMachine::Open(folder));
  state.counters["peak_MB"] = static_cast<double>(StatusKb("VmHWM")) / 1024;
  state.counters["rss_before_MB"] = static_cast<double>(before) / 1024;
}
BENCHMARK_CAPTURE(BM_OpenLargeRegistry, many_keys, ManyKeys)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenLargeRegistry, long_values, LongValues)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenLargeRegistry, blank_lines, BlankLines)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qar
