// The platform's runner against small shell scripts: input, output and status, and a program
// that hangs is stopped at its (tiny) time-out with what it started.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "serials/program_runner.h"
#include "support/sample_images.h"

namespace qz::serials {
namespace {

TEST(ProcessRunner, GivesOutputAndStatusAndStopsAProgramThatHangs) {
  test::ScratchDir dir;
  const std::string script = dir.File("mes.sh");
  std::ofstream(script) << "#!/bin/sh\necho \"$1 $2\"\necho 'printer offline' >&2\n"
                           "[ \"$1\" = hang ] && sleep 30\n"
                           "[ \"$1\" = cat ] && exec cat\n"
                           "[ \"$1\" = deaf ] && exit 0\nexit 3\n";
  ::chmod(script.c_str(), 0755);
  const std::unique_ptr<ProgramRunner> runner = MakeProcessRunner();

  ProgramRun run = runner->Run({script, "A", "b c"}, std::chrono::seconds(10), {});
  EXPECT_EQ(run.ending, ProgramRun::Ending::kExited);
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_EQ(run.output, "A b c\n");
  EXPECT_EQ(run.errors, "printer offline\n");

  const auto began = std::chrono::steady_clock::now();
  run = runner->Run({script, "hang"}, std::chrono::milliseconds(100), "unread");
  EXPECT_EQ(run.ending, ProgramRun::Ending::kTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));

  run = runner->Run({dir.File("no-such-program")}, std::chrono::seconds(1), {});
  EXPECT_EQ(run.ending, ProgramRun::Ending::kNotStarted);
  EXPECT_FALSE(run.problem.empty());

  // the input reaches the program whole, also when it is larger than a pipe holds; a program
  // that leaves its input unread still ends as it ends
  const std::string big(300000, 'x');
  run = runner->Run({script, "cat"}, std::chrono::seconds(10), "{\"a\":1}\n" + big);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, "cat \n{\"a\":1}\n" + big);
  run = runner->Run({script, "deaf"}, std::chrono::seconds(10), big);
  EXPECT_EQ(run.ending, ProgramRun::Ending::kExited);
  EXPECT_EQ(run.exit_code, 0);
}

}  // namespace
}  // namespace qz::serials
