#pragma once

// The line database tests' fixture: a database of its own on the throwaway PostgreSQL server
// that ctest starts (tests/support/pg_cluster.sh; QZ_TEST_PG names its directory), SQL as any
// role, and the units, rows and journals the tests use.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "prodlog/pq.h"
#include "prodlog/production_log.h"
#include "support/sample_images.h"

namespace qz::prodlog::line_test {

inline std::string ReadLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

class LineDatabase : public testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("QZ_TEST_PG");
    // never skipped: without its server the suite fails
    ASSERT_TRUE(dir != nullptr && *dir != '\0')
        << "QZ_TEST_PG is unset: run through ctest, which starts the test server";
    dir_ = dir;
    const std::string url = ReadLine(dir_ + "/url");
    ASSERT_FALSE(url.empty()) << "the test server did not start (no " << dir_ << "/url)";
    port_ = ReadLine(dir_ + "/port");
    static int count = 0;
    database_ = "qz_t_" + std::to_string(getpid()) + "_" + std::to_string(++count);
    admin_ = pq::Connection::Open(url, {});
    ASSERT_TRUE(admin_->Ok()) << admin_->Error();
    ASSERT_TRUE(Admin(("CREATE DATABASE " + database_).c_str()));
    url_ = Url("postgres");
  }
  void TearDown() override {
    if (admin_ && admin_->Ok()) {
      (void)Admin(("DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)").c_str());
    }
  }

  test::ScratchDir journals_;

  std::string Url(const std::string& user, const std::string& host = "127.0.0.1",
                  const std::string& query = "") const {
    return "postgresql://" + user + "@" + host + ":" + port_ + "/" + database_ + query;
  }
  bool Admin(const char* sql) const {
    const pq::Result result = admin_->Exec(sql);
    EXPECT_TRUE(result.Ok()) << sql << ": " << result.Error();
    return result.Ok();
  }
  // SQL in the test's database as `user`.
  pq::Result As(const std::string& user, const char* sql) const {
    auto connection = pq::Connection::Open(Url(user), {});
    EXPECT_TRUE(connection->Ok()) << connection->Error();
    return connection->Exec(sql);
  }

  // The station and report roles, and the logins station_a, station_b (stations) and dashboard
  // (reports); roles are the cluster's, made once.
  void Logins() const {
    ASSERT_TRUE(Admin(
        "DO $$ BEGIN"
        " IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_station') THEN"
        "  CREATE ROLE qz670x_station NOLOGIN; CREATE ROLE qz670x_report NOLOGIN; END IF;"
        " IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'station_a') THEN"
        "  CREATE ROLE station_a LOGIN IN ROLE qz670x_station;"
        "  CREATE ROLE station_b LOGIN IN ROLE qz670x_station;"
        "  CREATE ROLE dashboard LOGIN IN ROLE qz670x_report; END IF; END $$"));
  }
  // The roles' privileges as packaging/postgresql/line-roles.sql gives them, and the logins.
  void Roles() const {
    Logins();
    std::ifstream sql_file(QZ_ROLES_SQL);
    const std::string sql((std::istreambuf_iterator<char>(sql_file)), {});
    ASSERT_FALSE(sql.empty());
    const pq::Result roles = As("postgres", sql.c_str());
    ASSERT_TRUE(roles.Ok()) << roles.Error();
  }

  std::unique_ptr<ProductionLog> OpenLog(const std::string& url) const {
    LogError error;
    auto log = ProductionLog::Open(url, &error);
    EXPECT_TRUE(log) << error.message;
    return log;
  }

  static UnitStart Start(const std::string& station, const std::string& port = "sim-1") {
    UnitStart start;
    start.station = station;
    start.port = port;
    start.image_path = "/images/fw.bin";
    start.image_sha256 = std::string(64, 'a');
    start.mode = "factory";
    start.write_length = 0x8000;
    start.serial_format = SerialFormat::Parse("L7-####", nullptr);
    start.serial_start = 1;
    return start;
  }
  static UnitEnd End(bool touched, int exit_code = 0) {
    UnitEnd end;
    end.exit_code = exit_code;
    end.message = exit_code == 0 ? "Write to EEPROM OK!" : "Write to EEPROM Fail!  Try Again!(1)";
    end.duration_ms = 900;
    end.eeprom_touched = touched;
    return end;
  }

  std::vector<UnitRecord> Rows(const LogFilter& filter = {}) const {
    auto log = OpenLog(url_);
    LogError error;
    auto rows = log ? log->Rows(filter, &error) : std::nullopt;
    EXPECT_TRUE(rows) << error.message;
    return rows ? *rows : std::vector<UnitRecord>{};
  }

  // A station's journal for this test's database, in a folder of this test's own: a journal
  // left behind by an earlier process (whose pid this one may reuse) belongs to another line.
  LogOptions Journaled() const {
    LogOptions options;
    options.serial_block = 8;
    options.serial_format = Start("").serial_format;
    options.serial_start = 1;
    options.connect_timeout_s = 2;
    options.push_retry_max_ms = 200;
    options.journal = journals_.File(database_ + ".journal");
    return options;
  }
  void Server(const char* what) const {
    const std::string command =
        std::string("bash " QZ_PG_CLUSTER_SCRIPT " ") + what + " " + dir_ + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  std::string Scalar(const std::string& sql) const {
    const pq::Result result = As("postgres", sql.c_str());
    EXPECT_TRUE(result.Ok()) << result.Error();
    return result.Ok() && result.Rows() == 1 ? result.Text(0, 0) : "?";
  }

  std::string dir_, port_, database_, url_;
  std::unique_ptr<pq::Connection> admin_;
};

}  // namespace qz::prodlog::line_test
