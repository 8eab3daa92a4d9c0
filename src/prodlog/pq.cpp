#include "prodlog/pq.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <string_view>

namespace qz::prodlog::pq {
namespace {

std::string FirstLine(const char* text) {
  std::string_view line = text == nullptr ? std::string_view() : std::string_view(text);
  line = line.substr(0, line.find('\n'));
  for (const std::string_view noise : {"FATAL:  ", "ERROR:  "}) {
    if (line.substr(0, noise.size()) == noise) line.remove_prefix(noise.size());
  }
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
  return std::string(line);
}

}  // namespace

Result::~Result() { PQclear(result_); }

Result& Result::operator=(Result&& other) noexcept {
  if (this != &other) {
    PQclear(result_);
    result_ = std::exchange(other.result_, nullptr);
  }
  return *this;
}

bool Result::Ok() const {
  const ExecStatusType status = PQresultStatus(result_);
  return result_ != nullptr && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK);
}

int Result::Rows() const { return result_ == nullptr ? 0 : PQntuples(result_); }

bool Result::IsNull(int row, int column) const {
  return PQgetisnull(result_, row, column) != 0;
}

std::string Result::Text(int row, int column) const {
  const char* value = PQgetvalue(result_, row, column);
  return value == nullptr ? std::string() : std::string(value);
}

std::int64_t Result::Int(int row, int column) const {
  return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
}

std::string Result::SqlState() const {
  const char* state = result_ == nullptr ? nullptr : PQresultErrorField(result_, PG_DIAG_SQLSTATE);
  return state == nullptr ? std::string() : std::string(state);
}

std::string Result::Constraint() const {
  const char* name =
      result_ == nullptr ? nullptr : PQresultErrorField(result_, PG_DIAG_CONSTRAINT_NAME);
  return name == nullptr ? std::string() : std::string(name);
}

std::string Result::Message() const {
  const char* message =
      result_ == nullptr ? nullptr : PQresultErrorField(result_, PG_DIAG_MESSAGE_PRIMARY);
  return message == nullptr ? std::string() : std::string(message);
}

std::string Result::Error() const {
  return result_ == nullptr ? std::string("no answer from the server")
                            : FirstLine(PQresultErrorMessage(result_));
}

std::unique_ptr<Connection> Connection::Open(
    const std::string& location, const std::vector<std::pair<std::string, std::string>>& extra) {
  // the location first (expanded by dbname), then ours, which win
  std::vector<const char*> keys{"dbname"};
  std::vector<const char*> values{location.c_str()};
  for (const auto& [key, value] : extra) {
    keys.push_back(key.c_str());
    values.push_back(value.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  return std::unique_ptr<Connection>(
      new Connection(PQconnectdbParams(keys.data(), values.data(), /*expand_dbname=*/1)));
}

Connection::~Connection() { PQfinish(connection_); }

bool Connection::Ok() const {
  return connection_ != nullptr && PQstatus(connection_) == CONNECTION_OK;
}

std::string Connection::Error() const {
  return connection_ == nullptr ? std::string("out of memory")
                                : FirstLine(PQerrorMessage(connection_));
}

std::string Connection::Where() const {
  if (connection_ == nullptr) return {};
  const auto text = [](const char* value) { return value == nullptr ? "" : value; };
  std::string host = text(PQhost(connection_));
  if (!host.empty() && host.front() == '/') host = "localhost (" + host + ")";
  return host + ":" + text(PQport(connection_)) + "/" + text(PQdb(connection_));
}

bool Connection::Reset() {
  PQreset(connection_);
  if (!Ok()) return false;
  for (const auto& [name, sql] : prepared_) {
    const Result result(PQprepare(connection_, name.c_str(), sql.c_str(), 0, nullptr));
    if (!result.Ok()) return false;
  }
  return true;
}

Result Connection::Exec(const char* sql) { return Result(PQexec(connection_, sql)); }

bool Connection::Prepare(const std::string& name, const std::string& sql, std::string* error) {
  const Result result(PQprepare(connection_, name.c_str(), sql.c_str(), 0, nullptr));
  if (!result.Ok()) {
    if (error != nullptr) *error = result.Error();
    return false;
  }
  prepared_.emplace_back(name, sql);
  return true;
}

Result Connection::Run(const std::string& name, const std::vector<Param>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const Param& param : params) values.push_back(param ? param->c_str() : nullptr);
  return Result(PQexecPrepared(connection_, name.c_str(), static_cast<int>(values.size()),
                               values.data(), nullptr, nullptr, 0));
}

}  // namespace qz::prodlog::pq
