#pragma once

// A small RAII wrapper of libpq for the line database: one connection, its results, and
// statements that are prepared once and run with parameters (never SQL put together from
// values). libpq's own header stays in pq.cpp.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct pg_conn;
struct pg_result;

namespace qz::prodlog::pq {

// A statement parameter; nullopt is SQL NULL.
using Param = std::optional<std::string>;

class Result {
 public:
  explicit Result(pg_result* result) : result_(result) {}
  ~Result();
  Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
  Result& operator=(Result&& other) noexcept;
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;

  // The statement ran (with or without rows).
  [[nodiscard]] bool Ok() const;
  [[nodiscard]] int Rows() const;
  [[nodiscard]] bool IsNull(int row, int column) const;
  [[nodiscard]] std::string Text(int row, int column) const;
  [[nodiscard]] std::int64_t Int(int row, int column) const;
  // The server's SQLSTATE ("57014": statement timeout), empty when none came.
  [[nodiscard]] std::string SqlState() const;
  // The constraint a statement violated, empty when none.
  [[nodiscard]] std::string Constraint() const;
  // The server's message alone (no "ERROR:" before it), empty when none came.
  [[nodiscard]] std::string Message() const;
  // The server's or the client's first line of error text.
  [[nodiscard]] std::string Error() const;

 private:
  pg_result* result_ = nullptr;
};

class Connection {
 public:
  // Connects to `location` (a URI or a key=value string such as "service=NAME") with the
  // extra parameters given (connect_timeout, keepalives, application_name ...; they win over
  // those of the location). Always returns a connection: ask Ok() and Error().
  static std::unique_ptr<Connection> Open(
      const std::string& location, const std::vector<std::pair<std::string, std::string>>& extra);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] bool Ok() const;
  // The connection's last error, first line, without the "FATAL:" noise.
  [[nodiscard]] std::string Error() const;
  // "host:port/database" of the server reached or tried; never a password.
  [[nodiscard]] std::string Where() const;

  // Connects again with the same parameters and prepares every statement again.
  [[nodiscard]] bool Reset();

  // Runs fixed SQL that takes no value (transaction control, schema steps).
  [[nodiscard]] Result Exec(const char* sql);
  // Prepares `sql` under `name`; it is prepared again after Reset().
  [[nodiscard]] bool Prepare(const std::string& name, const std::string& sql, std::string* error);
  // Runs a prepared statement.
  [[nodiscard]] Result Run(const std::string& name, const std::vector<Param>& params);

 private:
  explicit Connection(pg_conn* connection) : connection_(connection) {}

  pg_conn* connection_ = nullptr;
  std::vector<std::pair<std::string, std::string>> prepared_;
};

}  // namespace qz::prodlog::pq
