#pragma once

// Two sites and a head office, each a throwaway PostgreSQL cluster with wal_level = logical
// (tests/support/pg_cluster.sh ... logical), set up as the README's head office section says:
// each site a line database with its site code, ranges and stations, published by
// packaging/postgresql/site-publication.sql; the head office's schema, head-office.sql and one
// subscription per site. For the head office's tests and its benchmark.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "prodlog/pq.h"
#include "prodlog/production_log.h"

namespace qz::prodlog::line_test {

class Company {
 public:
  struct Server {
    std::string name, dir, port, database;
    [[nodiscard]] std::string Url(const std::string& user) const {
      return "postgresql://" + user + "@127.0.0.1:" + port + "/" + database;
    }
  };

  // `script`: pg_cluster.sh; `sql_dir`: packaging/postgresql; the clusters go under `base`.
  Company(std::string script, const std::string& base, std::string sql_dir)
      : script_(std::move(script)), base_(base), sql_dir_(std::move(sql_dir)) {
    sz = {"sz", base + "/sz", "", "line"};
    pn = {"pn", base + "/pn", "", "line"};
    hq = {"hq", base + "/hq", "", "office"};
  }
  Company(const Company&) = delete;
  Company& operator=(const Company&) = delete;
  ~Company() {
    for (const Server* server : {&sz, &pn, &hq}) (void)Cluster("stop", *server);
    std::error_code ignored;
    std::filesystem::remove(base_, ignored);
  }

  // Starts the three servers side by side and sets every part up; false and *why on failure.
  bool Start(std::string* why) {
    const std::string command = "bash -c 's=\"$0\"; for d in \"$@\"; do bash \"$s\" start \"$d\" "
                                "logical >/dev/null & done; rc=0; for j in $(jobs -p); do wait "
                                "$j || rc=1; done; exit $rc' " +
                                script_ + " " + sz.dir + " " + pn.dir + " " + hq.dir;
    if (std::system(command.c_str()) != 0) return *why = "the servers did not start", false;
    for (Server* server : {&sz, &pn, &hq}) {
      std::ifstream file(server->dir + "/port");
      std::getline(file, server->port);
      if (!Sql(*server, "postgres", "CREATE DATABASE " + server->database, why, "postgres")) {
        return false;
      }
    }
    return Site(sz, "SZ", "1, 4999", "1, 49999999", why) &&
           Site(pn, "PN", "5000, 9999", "50000000, 99999999", why) && HeadOffice(why);
  }

  // `command` of pg_cluster.sh (halt, resume) on one server.
  bool Cluster(const char* command, const Server& server) const {
    const std::string line =
        "bash " + script_ + " " + command + " " + server.dir + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
  }

  // One statement as `user` in the server's database (or `database`); false and *why on failure.
  static bool Sql(const Server& server, const std::string& user, const std::string& sql,
                  std::string* why, const std::string& database = "") {
    const pq::Result result = Query(server, user, sql, database);
    if (!result.Ok()) *why = server.name + ": " + sql.substr(0, 80) + ": " + result.Error();
    return result.Ok();
  }
  static pq::Result Query(const Server& server, const std::string& user, const std::string& sql,
                          const std::string& database = "") {
    Server at = server;
    if (!database.empty()) at.database = database;
    auto connection = pq::Connection::Open(at.Url(user), {});
    return connection->Exec(sql.c_str());
  }
  // The first field of a query as the owner; "" when it failed.
  static std::string Scalar(const Server& server, const std::string& sql) {
    const pq::Result result = Query(server, "postgres", sql);
    return result.Ok() && result.Rows() == 1 && !result.IsNull(0, 0) ? result.Text(0, 0) : "";
  }

  // Waits until `sql` at the head office gives `expected`, at most `limit`.
  bool AtHeadOffice(const std::string& sql, const std::string& expected,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Scalar(hq, sql) != expected) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  Server sz, pn, hq;

 private:
  bool File(const Server& server, const char* name, std::string* why) const {
    std::ifstream file(sql_dir_ + "/" + name);
    const std::string sql((std::istreambuf_iterator<char>(file)), {});
    if (sql.empty()) return *why = sql_dir_ + "/" + name + " is empty", false;
    return Sql(server, "postgres", sql, why);
  }
  static bool Schema(const Server& server, bool head_office, std::string* why) {
    LogOptions options;
    options.head_office = head_office;
    LogError error;
    if (ProductionLog::Open(server.Url("postgres"), &error, options)) return true;
    *why = error.message;
    return false;
  }
  // A line with its site code and ranges, its stations' roles, published.
  bool Site(const Server& site, const std::string& code, const std::string& range,
            const std::string& bench_range, std::string* why) const {
    return Schema(site, false, why) &&
           Sql(site, "postgres",
               "SELECT qz670x.set_site('" + code +
                   "'); INSERT INTO qz670x.site_ranges VALUES('L7-####', " + range +
                   "), ('B-########', " + bench_range + ")",
               why) &&
           File(site, "line-roles.sql", why) &&
           Sql(site, "postgres",
               "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'station_a')"
               " THEN CREATE ROLE station_a LOGIN IN ROLE qz670x_station; END IF; END $$",
               why) &&
           File(site, "site-publication.sql", why);
  }
  bool HeadOffice(std::string* why) const {
    if (!Schema(hq, true, why) || !File(hq, "head-office.sql", why) ||
        !Sql(hq, "postgres", "CREATE ROLE dashboard LOGIN IN ROLE qz670x_report", why)) {
      return false;
    }
    for (const Server* site : {&sz, &pn}) {
      if (!Sql(hq, "postgres",
               "CREATE SUBSCRIPTION qz670x_site_" + site->name + " CONNECTION 'host=127.0.0.1 port=" +
                   site->port + " dbname=line user=qz670x_replicator' PUBLICATION qz670x_site",
               why)) {
        return false;
      }
    }
    return true;
  }

  std::string script_, base_, sql_dir_;
};

}  // namespace qz::prodlog::line_test
