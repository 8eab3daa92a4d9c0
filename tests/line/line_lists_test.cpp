// Serial lists imported into the line database and the factory program's numbers on a line:
// the owner's import and its refusals, two stations leasing from one list, what a station's
// login cannot do, and a signed job's serial source.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "cli/options/device_options.h"
#include "line/line_database_fixture.h"
#include "support/cli_runner.h"
#include "support/sample_images.h"

namespace qz::prodlog {
namespace {

class LineLists : public line_test::LineDatabase {
 protected:
  // `log --import-serials` of `numbers` (one a line) as the list `name`, as the owner.
  test::RunResult Import(const std::string& name, const std::string& numbers) const {
    const std::string file = dir_files_.File(name + ".txt");
    std::ofstream(file) << numbers;
    return test::RunCli(
        {"log", "--import-serials", file, "--serial-list-name", name, "--log", url_});
  }
  // A station of `login` on the line (virtual chips on the manual clock) with `serial` options.
  test::RunResult Station(const std::string& login, const std::string& chips,
                          std::vector<std::string> serial) const {
    test::WriteBytes(dir_files_.File("image.bin"), test::SampleBytes(SampleVariant::kValid));
    std::vector<std::string> args = {"station", dir_files_.File("image.bin"), "--log",
                                     Url(login), "--journal", dir_files_.File(login + ".journal"),
                                     "--station", login, "--simulate", chips, "--all-ports",
                                     "--serial-block", "2", "--json"};
    args.insert(args.end(), serial.begin(), serial.end());
    ManualClock clock;
    ScopedDeviceSessionHook hook(clock);
    return test::RunCli(args);
  }

  test::ScratchDir dir_files_;
};

TEST_F(LineLists, AnImportIsRefusedForDuplicatesUsedNumbersAndANameImportedTwice) {
  ASSERT_TRUE(OpenLog(url_));
  auto log = OpenLog(url_);
  LogError error;
  ASSERT_TRUE(log && log->BeginUnit(Start("a"), &error)) << error.message;  // holds L7-0001

  const test::RunResult first = Import("labels", "\xEF\xBB\xBFQ-1\r\nQ-2\n\n  \nQ-3\n");
  ASSERT_EQ(first.exit, 0) << first.err;
  EXPECT_EQ(first.out, "Imported 3 serial numbers as the list \"labels\".\n");
  const struct {
    std::string name, numbers, reason;
  } refused[] = {
      {"labels", "Q-9\n", "the serial list \"labels\" is imported already (3 numbers)"},
      {"dup", "Q-7\nQ-8\nQ-7\n", "line 3: \"Q-7\" is on line 1 already"},
      {"long", std::string(33, '7') + "\n", "is 33 characters long"},
      {"again", "Q-5\nQ-2\nQ-3\n", "numbers already imported: Q-2 (list labels), Q-3 (list labels)"},
      {"used", "Q-6\nL7-0001\n", "numbers already used: L7-0001 (unit 1)"},
  };
  for (const auto& [name, numbers, reason] : refused) {
    const test::RunResult run = Import(name, numbers);
    EXPECT_EQ(run.exit, 64) << reason;
    EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
  }
  EXPECT_EQ(Scalar("SELECT string_agg(serial, ',' ORDER BY position) FROM qz670x.serial_lists"),
            "Q-1,Q-2,Q-3");
  // an imported list is never changed, by its owner either
  EXPECT_FALSE(As("postgres", "DELETE FROM qz670x.serial_lists").Ok());
}

TEST_F(LineLists, TwoStationsLeaseFromOneListWithoutANumberTwiceAndStopWhenItEnds) {
  ASSERT_TRUE(OpenLog(url_));
  Roles();
  std::string numbers;
  for (int i = 1; i <= 11; ++i) numbers += "SN-" + std::to_string(1000 + i * 7) + "\n";
  ASSERT_EQ(Import("batch7", numbers).exit, 0);

  // a station's login leases only through the line's functions
  const char* const kTries[] = {
      "INSERT INTO qz670x.serial_leases(format, number, station, holder) VALUES('list:batch7', 0,"
      " 'x', 'holder-x')",
      "UPDATE qz670x.serial_counters SET next = 0 WHERE format = 'list:batch7'",
      "SELECT qz670x.lease('list:batch7', 0, 4, 'x', 'holder-x')",
      "SELECT qz670x.import_serials('mine', ARRAY['X-1'])",
      "INSERT INTO qz670x.serial_lists VALUES('mine', 0, 'X-1')",
  };
  for (const char* sql : kTries) EXPECT_FALSE(As("station_a", sql).Ok()) << sql;
  EXPECT_EQ(Scalar("SELECT count(*) FROM qz670x.serial_leases"), "0");

  std::vector<pid_t> children;
  for (const std::string login : {"station_a", "station_b"}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const test::RunResult run = Station(login, "2", {"--loop", "--serial-list-name", "batch7"});
      std::ofstream(dir_files_.File(login + ".out")) << run.out << run.err;
      _exit(run.exit);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 74);
  }
  for (const char* login : {"station_a", "station_b"}) {
    std::ifstream file(dir_files_.File(std::string(login) + ".out"));
    const std::string out((std::istreambuf_iterator<char>(file)), {});
    EXPECT_NE(out.find("the serial list \\\"batch7\\\" is used up (all 11 numbers"),
              std::string::npos) << out;
  }
  std::multiset<std::string> used;
  std::set<std::string> stations;
  for (const UnitRecord& row : Rows()) {
    EXPECT_EQ(row.serial_source, "list");
    used.insert(row.serial);
    stations.insert(row.station);
  }
  std::multiset<std::string> expected;
  for (int i = 1; i <= 11; ++i) expected.insert("SN-" + std::to_string(1000 + i * 7));
  EXPECT_EQ(used, expected);
  EXPECT_EQ(stations.size(), 2u);
}

TEST_F(LineLists, AProgramsNumberIsHeldByOneUnitLineWide) {
  ASSERT_TRUE(OpenLog(url_));
  Roles();
  const std::string program = dir_files_.File("mes.sh");
  { std::ofstream(program) << "#!/bin/sh\necho P-1\n"; }
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  const test::RunResult a = Station("station_a", "1", {"--serial-program", program});
  EXPECT_EQ(a.exit, 0) << a.out << a.err;
  // station_b's program gives the same number: the line refuses it before the unit starts
  const test::RunResult b = Station("station_b", "1", {"--serial-program", program});
  EXPECT_EQ(b.exit, 1);
  EXPECT_NE(b.out.find("the serial number P-1 is held already in the line"), std::string::npos)
      << b.out << b.err;
  const std::vector<UnitRecord> rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].serial, "P-1");
  EXPECT_EQ(rows[0].serial_source, "program");
  EXPECT_FALSE(As("station_b",
                  "SELECT qz670x.unit_start('u', now(), 'b', 'p', 'i', 's', 'factory', 1, '{}',"
                  " NULL, NULL, '', '', '', '', 'holder-b', 'P-1')")
                   .Ok());
}

TEST_F(LineLists, AProgramsNumberWaitsForTheLineWhileItIsOutOfReach) {
  ASSERT_TRUE(OpenLog(url_));
  LogOptions options = Journaled();
  options.serial_format.reset();
  UnitStart start = Start("a");
  start.serial_format.reset();
  start.serial_given = "P-9";
  Server("halt");
  LogError error;
  auto log = ProductionLog::Open(url_, &error, options);
  ASSERT_TRUE(log) << error.message;
  EXPECT_FALSE(log->BeginUnit(start, &error));
  EXPECT_EQ(error.kind, LogError::Kind::kUnavailable);
  EXPECT_NE(error.message.find("claimed in the line before its unit starts"), std::string::npos)
      << error.message;
  Server("resume");
  ASSERT_TRUE(admin_->Reset()) << admin_->Error();
  EXPECT_TRUE(log->Flush());
  const std::optional<BegunUnit> unit = log->BeginUnit(start, &error);
  ASSERT_TRUE(unit) << error.message;
  EXPECT_EQ(unit->serial, "P-9");
}

}  // namespace
}  // namespace qz::prodlog
