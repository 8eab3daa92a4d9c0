// Whole write jobs against the virtual chip with the real 3 ms pacing (system clock):
//   - wall time of a job over its protocol floor (acknowledged transfers x 3 ms), goal <= 1.05;
//   - CPU time of an idle program whose worker waits for a request, goal < 1% of one core;
//   - CPU time of a whole Factory-mode job, goal < 2% of its wall time.
// A job is timed from the moment the request is handed to the worker until its close step has
// enabled "Write EEPROM" again; the UI thread meanwhile waits as the command line's does.
#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "bench_clocks.h"
#include "base/clock.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/qz670x_dialog.h"
#include "image/image_buffer.h"
#include "image/sample_image.h"
#include "sim/sim_hid_backend.h"
#include "sim/sim_hotplug.h"
#include "sim/virtual_chip.h"

namespace {

constexpr double kPauseSeconds = 0.003;

using qz::bench::ProcessCpuSeconds;
using qz::bench::WallSeconds;

// A generated image in a temporary file, removed at the end.
class ImageFile {
 public:
  ImageFile() {
    char name[] = "/tmp/qz-programming-bench-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    path_ = name;
    static qz::ImageBuffer image;
    qz::BuildSampleImage({}, image);
    std::ofstream file(path_, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(qz::kImageSize));
  }
  ~ImageFile() { std::remove(path_.c_str()); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The program as it runs: dialog, worker, virtual chip in ROM mode, real time.
struct Program {
  qz::SystemClock clock;
  qz::sim::VirtualChip chip{clock};
  qz::sim::SimHidBackend backend{chip, clock};
  qz::sim::SimHotplugSource hotplug{&chip};
  qz::HeadlessControls controls;
  qz::CQZ670xWriteEepromMPUtyDlg dialog{controls, backend, clock, &hotplug, "programming_bench"};
  ImageFile image;

  Program() {
    (void)dialog.OnInitDialog();
    controls.SetText(qz::ctl::kOriginPath, image.path());
  }
  ~Program() { dialog.OnExit(); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
};

struct JobFigures {
  double wall = 0;
  double cpu = 0;
  double transfers = 0;
  bool ok = false;
};

JobFigures RunJob(Program& program, int mode_radio) {
  program.controls.CheckRadio(mode_radio);
  program.controls.ClearMessages();
  const std::uint64_t transfers_before = program.chip.EepromTransfers();
  program.dialog.OnWriteEeprom();  // prepares on this thread, then hands over

  JobFigures figures;
  const double wall_start = WallSeconds();
  const double cpu_start = ProcessCpuSeconds();
  const auto closed = [&] {
    return !program.dialog.JobActive() && program.controls.IsEnabled(qz::ctl::kWriteEeprom);
  };
  while (!closed()) (void)program.controls.WaitUntil(closed, std::chrono::milliseconds(100));
  figures.wall = WallSeconds() - wall_start;
  figures.cpu = ProcessCpuSeconds() - cpu_start;
  figures.transfers = static_cast<double>(program.chip.EepromTransfers() - transfers_before);
  const auto texts = program.controls.MessageTexts();
  figures.ok = texts.size() == 1 && texts[0] == "Write to EEPROM OK!";
  return figures;
}

void ReportJob(benchmark::State& state, const JobFigures& figures) {
  if (!figures.ok) state.SkipWithError("the job did not end with \"Write to EEPROM OK!\"");
  const double floor = figures.transfers * kPauseSeconds;
  state.counters["transfers"] = figures.transfers;
  state.counters["wall_s"] = figures.wall;
  state.counters["floor_s"] = floor;
  state.counters["wall_over_floor"] = figures.wall / floor;
  state.counters["cpu_s"] = figures.cpu;
  state.counters["cpu_pct_of_wall"] = 100.0 * figures.cpu / figures.wall;
}

void BM_DeveloperJob(benchmark::State& state) {
  Program program;
  for (auto _ : state) {
    const JobFigures figures = RunJob(program, qz::ctl::kDeveloperMode);
    state.SetIterationTime(figures.wall);
    ReportJob(state, figures);
  }
}
BENCHMARK(BM_DeveloperJob)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_FactoryJob(benchmark::State& state) {
  Program program;
  for (auto _ : state) {
    const JobFigures figures = RunJob(program, qz::ctl::kFactoryMode);
    state.SetIterationTime(figures.wall);
    ReportJob(state, figures);
  }
}
BENCHMARK(BM_FactoryJob)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The program with nothing to do: the worker waits for a request, the UI thread for events.
void BM_IdleProgram(benchmark::State& state) {
  Program program;
  constexpr double kIdleSeconds = 5.0;
  for (auto _ : state) {
    const double wall_start = WallSeconds();
    const double cpu_start = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdleSeconds));
    const double cpu = ProcessCpuSeconds() - cpu_start;
    const double wall = WallSeconds() - wall_start;
    state.SetIterationTime(wall);
    state.counters["cpu_s"] = cpu;
    state.counters["cpu_pct_of_core"] = 100.0 * cpu / wall;
  }
}
BENCHMARK(BM_IdleProgram)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
