// Figures for the per-tick work and a whole install plus removal on the
// sandbox machine. Run: build/bench/qar_bench (medians are in the *_median
// rows).
#include <benchmark/benchmark.h>

#include "TestMachine.h"
#include "app/Application.h"
#include "deploy/Deploy.h"
#include "deploy/Plans.h"
#include "deploy/VersionTable.h"

namespace qar {
namespace {

// What every tick costs: the version query and one marker probe.
void BM_TickWork(benchmark::State& state) {
  test::TestMachine machine;
  for (auto _ : state) {
    const WindowsVersion* version = RunningVersion(machine.Machine());
    benchmark::DoNotOptimize(machine->FileExists(InstallMarkerOf(version)));
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

// Plan W as a user runs it, with small files: InstallDriver (gate,
// preflight, 48 copies, registry and companion), then the 80-path removal.
void BM_InstallAndRemove(benchmark::State& state) {
  test::TestMachine machine;
  for (auto _ : state) {
    if (InstallDriver(machine.Machine(), test::Version("winxp"), "D:\\").outcome !=
        InstallOutcome::Done)
      state.SkipWithError("install failed");
    RemoveDriverFiles(machine.Machine(), PlanMarker(kPlanW));
  }
}
BENCHMARK(BM_InstallAndRemove)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// The two halves apart: the install over a removed one, the removal over a
// fresh install.
void BM_InstallDriver(benchmark::State& state) {
  test::TestMachine machine;
  for (auto _ : state) {
    state.PauseTiming();
    RemoveDriverFiles(machine.Machine(), PlanMarker(kPlanW));
    state.ResumeTiming();
    benchmark::DoNotOptimize(InstallDriver(machine.Machine(), test::Version("winxp"), "D:\\"));
  }
}
BENCHMARK(BM_InstallDriver)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_RemoveDriverFiles(benchmark::State& state) {
  test::TestMachine machine;
  for (auto _ : state) {
    state.PauseTiming();
    InstallDriver(machine.Machine(), test::Version("winxp"), "D:\\");
    state.ResumeTiming();
    RemoveDriverFiles(machine.Machine(), PlanMarker(kPlanW));
  }
}
BENCHMARK(BM_RemoveDriverFiles)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qar
