// How long a unit waits for its serial number from the factory's program (a shell script that
// answers at once), p50 and p95 of the wait in Next(): asked when the unit starts (ahead 0), and
// asked ahead while the unit before it runs (ahead 2; a unit is taken to run UNIT_MS).
// Usage: serial_program_bench [UNITS (default 200)] [UNIT_MS (default 30)]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "serials/program_runner.h"
#include "serials/serial_program.h"

namespace {

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
  return values[index];
}

}  // namespace

int main(int argc, char** argv) {
  const int units = argc > 1 ? std::atoi(argv[1]) : 200;
  const int unit_ms = argc > 2 ? std::atoi(argv[2]) : 30;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("serial-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string script = (folder / "mes.sh").string();
  // $6 is the count; the numbers carry the asking shell's pid, so none comes twice
  std::ofstream(script) << "#!/bin/sh\ni=0\nwhile [ $i -lt $6 ]; do echo \"B-$$-$i\"; "
                           "i=$((i+1)); done\n";
  ::chmod(script.c_str(), 0755);

  const std::unique_ptr<qz::serials::ProgramRunner> runner = qz::serials::MakeProcessRunner();
  for (const int ahead : {0, 2}) {
    qz::serials::ProgramSerials serials(
        *runner, {{script}, "bench", std::chrono::seconds(10), ahead});
    std::vector<double> waits;
    int refused = 0;
    for (int unit = 0; unit < units; ++unit) {
      const auto began = std::chrono::steady_clock::now();
      std::string why;
      if (!serials.Next("sim-1", &why)) ++refused;
      waits.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
              .count());
      std::this_thread::sleep_for(std::chrono::milliseconds(unit_ms));  // the unit runs
    }
    std::printf("ahead %d: %d units, wait for a number p50 %.3f ms, p95 %.3f ms, max %.3f ms%s\n",
                ahead, units, Percentile(waits, 0.5), Percentile(waits, 0.95),
                *std::max_element(waits.begin(), waits.end()), refused > 0 ? " (refusals!)" : "");
  }
  std::filesystem::remove_all(folder);
  return 0;
}
