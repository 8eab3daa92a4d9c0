// The head office: two sites' line databases replicated by PostgreSQL's logical replication into
// one read-only record of every unit. One set of three servers for the whole program (each start
// costs seconds); the cases run in order, the collision last.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "line/head_office_company.h"
#include "line/line_database_fixture.h"
#include "support/cli_runner.h"

namespace qz::prodlog {
namespace {

using line_test::Company;

class HeadOffice : public line_test::LineDatabase {
 protected:
  static void SetUpTestSuite() {
    const char* tmp = std::getenv("QZ_TEST_TMPDIR");
    company_ = new Company(QZ_PG_CLUSTER_SCRIPT,
                           std::string(tmp != nullptr ? tmp : "/tmp") + "/head_office_" +
                               std::to_string(getpid()),
                           QZ_PACKAGING_SQL_DIR);
    ready_ = company_->Start(&why_);
  }
  static void TearDownTestSuite() { delete company_; }
  // not the single line server of the line tests: the company's three
  void SetUp() override { ASSERT_TRUE(ready_) << why_; }
  void TearDown() override {}

  // `units` units at a site by its station login, every `failing`th failing before its EEPROM
  // was touched (its number released and taken by the next unit).
  static void Program(const Company::Server& site, int units, int failing = 0) {
    LogError error;
    auto log = ProductionLog::Open(site.Url("station_a"), &error);
    ASSERT_TRUE(log) << error.message;
    for (int i = 1; i <= units; ++i) {
      const auto unit = log->BeginUnit(Start("st-" + site.name), &error);
      ASSERT_TRUE(unit) << error.message;
      const bool fails = failing > 0 && i % failing == 0;
      ASSERT_TRUE(log->CompleteUnit(unit->unit_id, End(!fails, fails ? 1 : 0), &error))
          << error.message;
    }
  }
  // Every unit once, every held number once company-wide, as `<units> <per site>`.
  static std::string Record() {
    return Company::Scalar(
        company_->hq,
        "SELECT count(*) || ' ' || count(DISTINCT unit_uid) || ' ' || (SELECT string_agg(site"
        " || '=' || n, ',' ORDER BY site) FROM (SELECT site, count(*) n FROM qz670x.units GROUP"
        " BY site) s) || ' held ' || count(serial) FILTER (WHERE NOT serial_released) || ' '"
        " || count(DISTINCT serial) FILTER (WHERE NOT serial_released) || ' unfinished '"
        " || count(*) FILTER (WHERE ended IS NULL) FROM qz670x.units");
  }

  static inline Company* company_ = nullptr;
  static inline bool ready_ = false;
  static inline std::string why_;
};

TEST_F(HeadOffice, HoldsEveryUnitOfBothSitesOnceAndCatchesUpAfterBeingAway) {
  Program(company_->sz, 30, 5);
  Program(company_->pn, 25, 4);
  EXPECT_TRUE(company_->AtHeadOffice("SELECT count(*) FROM qz670x.units WHERE ended IS NOT NULL",
                                     "55"));
  EXPECT_EQ(Record(), "55 55 PN=25,SZ=30 held 43 43 unfinished 0");

  // read as a line is: by site
  const auto summary = test::RunCli(
      {"log", "--log", company_->hq.Url("dashboard"), "--summary", "--by", "site", "--csv"});
  ASSERT_EQ(summary.exit, 0) << summary.err;
  EXPECT_NE(summary.out.find("\r\nPN,25,19,6,0,"), std::string::npos) << summary.out;
  EXPECT_NE(summary.out.find("\r\nSZ,30,24,6,0,"), std::string::npos) << summary.out;

  // the head office away for a while: the sites keep programming, a unit begun before ends
  LogError error;
  auto open = ProductionLog::Open(company_->sz.Url("station_a"), &error);
  ASSERT_TRUE(open) << error.message;
  const auto begun = open->BeginUnit(Start("st-sz", "sim-2"), &error);
  ASSERT_TRUE(begun) << error.message;
  ASSERT_TRUE(company_->AtHeadOffice("SELECT count(*) FROM qz670x.units", "56"));
  ASSERT_TRUE(company_->Cluster("halt", company_->hq));
  Program(company_->sz, 20);
  Program(company_->pn, 20);
  ASSERT_TRUE(open->CompleteUnit(begun->unit_id, End(true), &error)) << error.message;
  ASSERT_TRUE(company_->Cluster("resume", company_->hq));
  EXPECT_TRUE(company_->AtHeadOffice("SELECT count(*) FROM qz670x.units WHERE ended IS NOT NULL",
                                     "96"));
  EXPECT_EQ(Record(), "96 96 PN=45,SZ=51 held 84 84 unfinished 0");
  // a site's line groups by site too
  const auto at_site = test::RunCli(
      {"log", "--log", company_->sz.Url("station_a"), "--summary", "--by", "site", "--csv"});
  EXPECT_NE(at_site.out.find("\r\nSZ,51,45,6,0,"), std::string::npos) << at_site.out;
}

TEST_F(HeadOffice, EachKindRefusesTheOthersSchemaAndNoOneWritesTheRecord) {
  const std::string office = company_->hq.Url("postgres");
  const std::string line = company_->sz.Url("postgres");
  const auto a_line_upgrade = test::RunCli({"log", "--log", office, "--upgrade-schema"});
  EXPECT_EQ(a_line_upgrade.exit, 74);
  EXPECT_NE(a_line_upgrade.err.find("it is a head office's record of the sites' units, not a "
                                    "line database"),
            std::string::npos)
      << a_line_upgrade.err;
  const auto an_office_upgrade =
      test::RunCli({"log", "--log", line, "--upgrade-schema", "--head-office"});
  EXPECT_EQ(an_office_upgrade.exit, 74);
  EXPECT_NE(an_office_upgrade.err.find("it is a line database, not a head office's"),
            std::string::npos)
      << an_office_upgrade.err;
  EXPECT_EQ(test::RunCli({"log", "--log", office, "--upgrade-schema", "--head-office"}).exit, 0);
  EXPECT_EQ(test::RunCli({"log", "--log", office, "--head-office"}).exit, 64);
  // a station is sent to its site's line, with its journal or without
  LogOptions journaled;
  journaled.journal = journals_.File("station.journal");
  for (const LogOptions& options : {LogOptions{}, journaled}) {
    LogError error;
    EXPECT_FALSE(ProductionLog::Open(office, &error, options));
    EXPECT_NE(error.message.find("stations log to their site's line"), std::string::npos)
        << error.message;
  }
  // only replication writes the record, not even its owner
  const pq::Result insert = Company::Query(
      company_->hq, "postgres",
      "INSERT INTO qz670x.units(unit_uid, id, inserted_by, started, station, port, image_path,"
      " image_sha256, mode, write_length, overrides) VALUES('x', 1, 'x', now(), 'x', 'x', 'x',"
      " 'x', 'x', 1, '{}')");
  EXPECT_NE(insert.Error().find("come only from the sites' replication"), std::string::npos)
      << insert.Error();
  EXPECT_FALSE(Company::Query(company_->hq, "dashboard", "DELETE FROM qz670x.units").Ok());
}

TEST_F(HeadOffice, AUnitIdTwiceStopsReplicationWithPostgresOwnErrorUntilSkipped) {
  // a row made by hand at PN with an id SZ's station made: stations never make one
  const std::string uid = Company::Scalar(
      company_->sz, "SELECT unit_uid FROM qz670x.units ORDER BY id LIMIT 1");
  ASSERT_FALSE(uid.empty());
  ASSERT_TRUE(Company::Query(
                  company_->pn, "postgres",
                  "INSERT INTO qz670x.units(unit_uid, started, station, port, image_path,"
                  " image_sha256, mode, write_length, overrides, site) VALUES('" +
                      uid + "', now(), 'forged', 'p', 'i', 's', 'factory', 1, '{}', 'PN')")
                  .Ok());
  ASSERT_TRUE(company_->AtHeadOffice(
      "SELECT apply_error_count > 0 FROM pg_stat_subscription_stats"
      " WHERE subname = 'qz670x_site_pn'",
      "t"));
  EXPECT_EQ(Company::Scalar(company_->hq,
                            "SELECT site FROM qz670x.units WHERE unit_uid = '" + uid + "'"),
            "SZ");
  // the server log names the error and the transaction's end (written after the count moves)
  const std::regex lsn("finished at ([0-9A-F]+/[0-9A-F]+)");
  std::smatch finished;
  std::string text, error;
  for (int tries = 0; tries < 1000 && !std::regex_search(error, finished, lsn); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream log_file(company_->hq.dir + "/server.log");
    std::stringstream log;
    log << log_file.rdbuf();
    text = log.str();
    const std::size_t at =
        text.find("duplicate key value violates unique constraint \"units_pkey\"");
    error = at == std::string::npos ? "" : text.substr(at, 600);
  }
  ASSERT_FALSE(finished.empty()) << text;
  // PN's later units wait behind it until the head office skips the transaction, as the README
  // says, with the position its log names
  Program(company_->pn, 1);
  const pq::Result skip = Company::Query(
      company_->hq, "postgres",
      "ALTER SUBSCRIPTION qz670x_site_pn SKIP (lsn = '" + finished[1].str() + "')");
  ASSERT_TRUE(skip.Ok()) << skip.Error() << "\n" << text;
  EXPECT_TRUE(company_->AtHeadOffice("SELECT count(*) FROM qz670x.units WHERE site = 'PN'", "46"));
  EXPECT_EQ(Company::Scalar(company_->hq,
                            "SELECT site FROM qz670x.units WHERE unit_uid = '" + uid + "'"),
            "SZ");
}

}  // namespace
}  // namespace qz::prodlog
