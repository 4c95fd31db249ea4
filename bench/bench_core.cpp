// Figures for the per-tick work and a whole install plus removal on the
// sandbox machine. Run: build/bench/qar_bench (medians are in the *_median
// rows).
#include <benchmark/benchmark.h>

#include "TestMachine.h"
#include "app/Application.h"
#include "deploy/Deploy.h"
#include "deploy/Plans.h"
#include "deploy/VersionGate.h"
#include "probes/OsName.h"

namespace qar {
namespace {

// What every tick costs: the version query and one marker probe.
void BM_TickWork(benchmark::State& state) {
  test::TestMachine machine;
  for (auto _ : state) {
    const std::string name = GetOSName(machine.Machine());
    benchmark::DoNotOptimize(machine->FileExists(InstallMarkerFor(name)));
  }
}
BENCHMARK(BM_TickWork)->Repetitions(15)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);

// The same through the application's guard and the form's visibility logic.
void BM_FormTick(benchmark::State& state) {
  test::TestMachine machine;
  NullHost host;
  Application app(machine.Machine(), host);
  app.CreateForm();
  for (auto _ : state) app.Tick();
}
BENCHMARK(BM_FormTick)->Repetitions(15)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);

// Plan W end to end with small files: preflight, 48 copies, registry and
// companion, then the 80-path removal.
void BM_InstallAndRemove(benchmark::State& state) {
  test::TestMachine machine;
  const DriverSources sources = BuildDriverSources("D:\\");
  for (auto _ : state) {
    if (!machine->DirectoryExists(kPlanW.preflightFolder)) machine->CreateDir(kPlanW.preflightFolder);
    CopyDriverFiles(machine.Machine(), kPlanW, sources);
    RedirectSetupAndInstallCompanion(machine.Machine(), kPlanW, "D:\\");
    RemoveDriverFiles(machine.Machine());
  }
}
BENCHMARK(BM_InstallAndRemove)->Repetitions(10)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qar
