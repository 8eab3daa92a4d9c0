// What a station costs while it waits, and how fast it goes when nothing paces it:
//   idle: 16 ports with no chip, `station --loop` waiting (system clock), CPU per port as % of
//         a core; once waiting on hotplug events, once with the poll a port falls back to where
//         nothing tells it of changes (as every port did before it waited on events). Goal:
//         under 0.02 % per port.
//   virtual time: 16 virtual chips, --loop --units 1000 on the manual clock with the virtual
//         operator: units per second of CPU.
// Usage: station_wait_bench [IDLE_SECONDS (default 10)] [UNITS (default 1000)]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
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
#include "virtual_station/virtual_operator.h"

namespace {

using qz::bench::ProcessCpuSeconds;
using qz::bench::WallSeconds;

constexpr int kPorts = 16;

// 16 virtual chips on ports sim-1..sim-16 and their bus.
struct Bench {
  explicit Bench(qz::Clock& clock) {
    std::vector<qz::HidBackend*> parts;
    std::vector<qz::sim::VirtualChip*> listening;
    for (int k = 1; k <= kPorts; ++k) {
      chips.push_back(std::make_unique<qz::sim::VirtualChip>(clock));
      backends.push_back(std::make_unique<qz::sim::SimHidBackend>(
          *chips.back(), clock, "sim:" + std::to_string(k - 1), "sim-" + std::to_string(k)));
      parts.push_back(backends.back().get());
      listening.push_back(chips.back().get());
      ports.push_back("sim-" + std::to_string(k));
    }
    bus = std::make_unique<qz::MergedHidBackend>(parts);
    hotplug = std::make_unique<qz::sim::SimHotplugSource>(listening);
  }
  ~Bench() { hotplug.reset(); }

  std::vector<std::unique_ptr<qz::sim::VirtualChip>> chips;
  std::vector<std::unique_ptr<qz::sim::SimHidBackend>> backends;
  std::unique_ptr<qz::MergedHidBackend> bus;
  std::unique_ptr<qz::sim::SimHotplugSource> hotplug;
  std::vector<std::string> ports;
};

// CPU per port, % of a core, of a station waiting on 16 empty ports for `seconds`.
double IdleCpuPerPort(const std::string& image, double seconds, bool events) {
  qz::SystemClock clock;
  Bench bench(clock);
  for (const auto& chip : bench.chips) chip->SetPresent(false);
  qz::station::StationConfig config;
  config.ports = bench.ports;
  config.choices.image = image;
  config.loop = true;
  if (!events) config.poll = std::chrono::milliseconds(50);  // the poll ports used before
  qz::bench::QuietStation quiet;
  qz::station::Station station(*bench.bus, events ? bench.hotplug.get() : nullptr, clock, config,
                               quiet, nullptr, nullptr);
  std::thread runner([&] { (void)station.Run(); });
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the ports' start-up is not waiting
  const double cpu0 = ProcessCpuSeconds();
  const double wall0 = WallSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu = ProcessCpuSeconds() - cpu0;
  const double wall = WallSeconds() - wall0;
  station.RequestStop();
  runner.join();
  return 100.0 * cpu / wall / kPorts;
}

}  // namespace

int main(int argc, char** argv) {
  const double idle_seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const int units = argc > 2 ? std::atoi(argv[2]) : 1000;
  const std::string image = qz::bench::SampleImagePath();

  const double waiting = IdleCpuPerPort(image, idle_seconds, true);
  const double polling = IdleCpuPerPort(image, idle_seconds, false);
  std::printf("idle station, %d empty ports, %.0f s: %.4f %% of a core per port waiting on events "
              "(goal < 0.02 %%); %.4f %% polling every 50 ms\n",
              kPorts, idle_seconds, waiting, polling);

  qz::ManualClock clock;
  Bench bench(clock);
  qz::station::VirtualOperator hands(clock, [&bench](const std::string& port) {
    for (std::size_t k = 0; k < bench.ports.size(); ++k) {
      if (bench.ports[k] == port) return bench.chips[k].get();
    }
    return static_cast<qz::sim::VirtualChip*>(nullptr);
  });
  qz::station::StationConfig config;
  config.ports = bench.ports;
  config.choices.image = image;
  config.loop = true;
  config.units = units;
  qz::bench::QuietStation quiet;
  qz::station::Station station(*bench.bus, bench.hotplug.get(), clock, config, quiet, nullptr,
                               &hands);
  const double cpu0 = ProcessCpuSeconds();
  const double wall0 = WallSeconds();
  const int exit = station.Run();
  const double cpu = ProcessCpuSeconds() - cpu0;
  const double wall = WallSeconds() - wall0;
  std::printf("virtual time, %d chips, --loop --units %d (Developer mode): %d units in %.2f s "
              "wall, %.2f s CPU: %.0f units per CPU second%s\n",
              kPorts, units, station.Totals().units, wall, cpu, station.Totals().units / cpu,
              exit == 0 && !quiet.failed ? "" : " (SOME UNITS FAILED)");
  std::remove(image.c_str());
  return exit;
}
