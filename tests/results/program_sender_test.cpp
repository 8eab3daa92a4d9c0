// The result program through the platform's runner: what each way of ending means for a result.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "results/result_target.h"
#include "serials/program_runner.h"
#include "support/sample_images.h"

namespace qz::results {
namespace {

TEST(ProgramSender, ExitStatusesTimeOutsAndAProgramThatIsNotThere) {
  test::ScratchDir dir;
  const std::string script = dir.File("mes-take.sh");
  // the row on its input decides: the script answers as the unit's message asks
  std::ofstream(script) << "#!/bin/sh\nrow=$(cat)\ncase \"$row\" in\n"
                           "*take*) exit 0;;\n*refuse*) echo 'order closed' >&2; exit 65;;\n"
                           "*hang*) sleep 30;;\n*) echo 'database down' >&2; exit 3;;\nesac\n";
  ::chmod(script.c_str(), 0755);
  const std::unique_ptr<serials::ProgramRunner> runner = serials::MakeProcessRunner();
  const std::unique_ptr<ResultSender> sender =
      MakeProgramSender("program", {script}, *runner, std::chrono::milliseconds(300));
  using Kind = SendAnswer::Kind;
  const std::string name = "result program \"" + script + "\"";
  EXPECT_EQ(sender->Send("k", "{\"message\":\"take\"}").kind, Kind::kDelivered);
  const SendAnswer refused = sender->Send("k", "{\"message\":\"refuse\"}");
  EXPECT_EQ(refused.kind, Kind::kRefused);
  EXPECT_EQ(refused.reason, name + " refused it (order closed)");
  const SendAnswer failed = sender->Send("k", "{\"message\":\"other\"}");
  EXPECT_EQ(failed.kind, Kind::kRetry);
  EXPECT_EQ(failed.reason, name + " exited with status 3 (database down)");
  const SendAnswer hung = sender->Send("k", "{\"message\":\"hang\"}");
  EXPECT_EQ(hung.kind, Kind::kRetry);
  EXPECT_EQ(hung.reason, name + " did not end within 0.3 s and was stopped");
  const std::unique_ptr<ResultSender> missing = MakeProgramSender(
      "program", {dir.File("no-such")}, *runner, std::chrono::milliseconds(300));
  EXPECT_EQ(missing->Send("k", "{}").kind, Kind::kRetry);
}

}  // namespace
}  // namespace qz::results
