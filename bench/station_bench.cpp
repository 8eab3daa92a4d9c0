// The station over N virtual chips with the real 3 ms pacing (system clock), Factory mode, one
// unit per port: units per hour and CPU per chip, for N = 1, 2, 4, 8, 16. Goal: at least
// 0.95 x N times the one-chip rate, under 1 % of a core per chip.
#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_clocks.h"
#include "bench_station.h"
#include "base/clock.h"
#include "hid/port_scoped_backend.h"
#include "image/image_buffer.h"
#include "image/sample_image.h"
#include "sim/sim_hid_backend.h"
#include "sim/sim_hotplug.h"
#include "sim/virtual_chip.h"
#include "station/station.h"

namespace {

using qz::bench::ProcessCpuSeconds;
using qz::bench::WallSeconds;

void BM_StationFactory(benchmark::State& state) {
  const int chips = static_cast<int>(state.range(0));
  qz::SystemClock clock;
  std::vector<std::unique_ptr<qz::sim::VirtualChip>> virtual_chips;
  std::vector<std::unique_ptr<qz::sim::SimHidBackend>> backends;
  std::vector<qz::HidBackend*> parts;
  std::vector<qz::sim::VirtualChip*> listening;
  qz::station::StationConfig config;
  for (int k = 1; k <= chips; ++k) {
    virtual_chips.push_back(std::make_unique<qz::sim::VirtualChip>(clock));
    const std::string port = "sim-" + std::to_string(k);
    backends.push_back(std::make_unique<qz::sim::SimHidBackend>(
        *virtual_chips.back(), clock, "sim:" + std::to_string(k), port));
    parts.push_back(backends.back().get());
    listening.push_back(virtual_chips.back().get());
    config.ports.push_back(port);
  }
  qz::MergedHidBackend bus(parts);
  qz::sim::SimHotplugSource hotplug(listening);
  config.choices.image = qz::bench::SampleImagePath();
  config.choices.factory = true;
  for (auto _ : state) {
    qz::bench::QuietStation observer;
    qz::station::Station station(bus, &hotplug, clock, config, observer, nullptr, nullptr);
    const double wall_start = WallSeconds();
    const double cpu_start = ProcessCpuSeconds();
    (void)station.Run();
    const double wall = WallSeconds() - wall_start;
    const double cpu = ProcessCpuSeconds() - cpu_start;
    state.SetIterationTime(wall);
    if (observer.failed) state.SkipWithError("a unit failed");
    state.counters["units_per_hour"] = chips * 3600.0 / wall;
    state.counters["cpu_pct_of_core_per_chip"] = 100.0 * cpu / wall / chips;
    state.counters["wall_s"] = wall;
  }
}
BENCHMARK(BM_StationFactory)
    ->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
