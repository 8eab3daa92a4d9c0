// The list file, the command line of the factory's program, and the program's answers (through
// a fake runner).
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "serials/command_line.h"
#include "serials/serial_list.h"
#include "serials/serial_program.h"
#include "support/sample_images.h"

namespace qz::serials {
namespace {

using Numbers = std::vector<std::string>;

TEST(SerialList, SkipsTheBomBlankLinesAndCrsAndRefusesBadLinesByNumber) {
  struct Case {
    std::string text;
    Numbers numbers;     // when taken
    std::string refused;  // part of the reason when refused
  };
  const Case cases[] = {
      {"\xEF\xBB\xBFL-1\r\n\r\n   \nL-2\r\nL 3\n", {"L-1", "L-2", "L 3"}, ""},
      {"L-1\nL-2\n\nL-1\n", {}, "line 4: \"L-1\" is on line 1 already"},
      {"L-1\n" + std::string(33, '7') + "\n", {}, "line 2: \"" + std::string(33, '7') +
                                                   "\" is no serial number: it is 33 characters"},
      {"L-1\nL\t2\n", {}, "line 2: \"L\t2\" is no serial number: it holds a control character"},
      {"L-\xFF\n", {}, "line 1: \"L-\xFF\" is no serial number: it is not UTF-8"},
      {"\r\n\n", {}, "holds no serial number"},
  };
  test::ScratchDir dir;
  const std::string path = dir.File("labels.txt");
  for (const Case& c : cases) {
    std::ofstream(path, std::ios::binary) << c.text;
    std::string error;
    const std::optional<Numbers> numbers = ReadSerialList(path, &error);
    if (c.refused.empty()) {
      ASSERT_TRUE(numbers) << error;
      EXPECT_EQ(*numbers, c.numbers);
    } else {
      EXPECT_FALSE(numbers) << c.text;
      EXPECT_NE(error.find(path), std::string::npos) << error;
      EXPECT_NE(error.find(c.refused), std::string::npos) << error;
    }
  }
  EXPECT_EQ(SerialListName(path), "labels.txt");
}

TEST(SerialCommandLine, SplitsAsAShellWouldWithoutRunningOne) {
  const std::pair<std::string, Numbers> taken[] = {
      {"mes-next  --line 'L 7'", {"mes-next", "--line", "L 7"}},
      {R"(tool "a \"b\" \$c" d\ e $HOME)", {"tool", "a \"b\" $c", "d e", "$HOME"}},
      {"x ''", {"x", ""}},
  };
  std::string error;
  for (const auto& [text, words] : taken) EXPECT_EQ(SplitCommandLine(text, &error), words) << text;
  for (const char* bad : {"", "  ", "x 'open", "x \"open", "x\\"}) {
    EXPECT_FALSE(SplitCommandLine(bad, &error)) << bad;
  }
}

// Answers each run with the next of its scripted runs, and keeps the arguments it was given.
class ScriptedRunner final : public ProgramRunner {
 public:
  explicit ScriptedRunner(std::vector<ProgramRun> runs) : runs_(std::move(runs)) {}
  ProgramRun Run(const std::vector<std::string>& argv, std::chrono::milliseconds,
                 const std::string&) override {
    const std::lock_guard lock(mutex_);
    calls.push_back(argv);
    if (runs_.empty()) return Exited(0, "");
    ProgramRun run = runs_.front();
    runs_.erase(runs_.begin());
    return run;
  }
  static ProgramRun Exited(int code, std::string out, std::string errors = {}) {
    ProgramRun run;
    run.ending = ProgramRun::Ending::kExited;
    run.exit_code = code;
    run.output = std::move(out);
    run.errors = std::move(errors);
    return run;
  }
  std::vector<Numbers> calls;

 private:
  std::mutex mutex_;
  std::vector<ProgramRun> runs_;
};

ProgramSerials::Options Ahead(int ahead) {
  return {{"mes-next", "--line", "7"}, "S1", std::chrono::milliseconds(250), ahead};
}

TEST(ProgramSerials, EveryFailingAnswerRefusesTheUnitWithItsReason) {
  ProgramRun hung;
  hung.ending = ProgramRun::Ending::kTimedOut;
  ProgramRun missing;
  missing.problem = "No such file or directory";
  const std::pair<ProgramRun, std::string> cases[] = {
      {hung, "it did not answer within 0.25 s and was stopped"},
      {missing, "\"mes-next\" could not be started (No such file or directory)"},
      {ScriptedRunner::Exited(1, "A-1\n", "no label printer\n"),
       "it exited with status 1 (no label printer)"},
      {ScriptedRunner::Exited(0, "\n\n"), "it printed no serial number"},
      {ScriptedRunner::Exited(0, "{\"serial\":7}\n"), "its line 1 is no {\"serial\":\"...\"} object"},
      {ScriptedRunner::Exited(0, "A-1\n\x01\x02garbage\n"),
       "its line 2 is no serial number: it holds a control character"},
      {ScriptedRunner::Exited(0, std::string(40, 'A')),
       "its line 1 is no serial number: it is 40 characters long"},
      {ScriptedRunner::Exited(0, "A-1\nA-1\n"), "it gave A-1 twice"},
  };
  for (const auto& [run, reason] : cases) {
    ScriptedRunner runner({run});
    ProgramSerials serials(runner, Ahead(0));
    std::string why;
    EXPECT_FALSE(serials.Next("sim-1", &why)) << reason;
    EXPECT_NE(why.find("no serial number from the serial program: " + reason), std::string::npos)
        << why;
  }
}

TEST(ProgramSerials, AsksAheadPerPortAndNeverTakesANumberTwice) {
  ScriptedRunner runner({ScriptedRunner::Exited(0, "A-1\r\n{\"serial\":\"A-2\"}\nA-3\n"),
                         ScriptedRunner::Exited(0, "A-4\nA-5\n"),
                         ScriptedRunner::Exited(0, "A-6\n")});
  std::vector<std::string> got;
  {
    ProgramSerials serials(runner, Ahead(2));
    std::string why;
    for (int unit = 0; unit < 3; ++unit) got.push_back(serials.Next("1-4.2", &why).value_or(why));
  }
  EXPECT_EQ(got, (Numbers{"A-1", "A-2", "A-3"}));
  ASSERT_EQ(runner.calls.size(), 2u);  // the first unit's ask, and one ahead for the ones after
  EXPECT_EQ(runner.calls[0], (Numbers{"mes-next", "--line", "7", "--station", "S1", "--port",
                                      "1-4.2", "--count", "3"}));
  EXPECT_EQ(runner.calls[1].back(), "1");  // asked while the second unit ran

  // a number given again later in the run is refused; the next ask goes on
  ScriptedRunner again({ScriptedRunner::Exited(0, "B-1\n"), ScriptedRunner::Exited(0, "B-1\n"),
                        ScriptedRunner::Exited(0, "B-2\n")});
  ProgramSerials serials(again, Ahead(0));
  std::string why;
  EXPECT_EQ(serials.Next("sim-1", &why), "B-1");
  EXPECT_FALSE(serials.Next("sim-2", &why));
  EXPECT_NE(why.find("it gave B-1 before in this run"), std::string::npos) << why;
  EXPECT_EQ(serials.Next("sim-1", &why), "B-2");
}

}  // namespace
}  // namespace qz::serials
