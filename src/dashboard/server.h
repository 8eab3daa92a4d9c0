#pragma once

// The dashboard's web server: read-only pages over one production log (a line database, a head
// office or a station's file), their JSON, a stream of change events and Prometheus metrics.
// One thread polls the store at most once a second for all open pages; a page that is open
// holds one event stream and fetches its figures again when told the rows changed (or every
// few seconds, so ages and silences move on).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "dashboard/figures.h"
#include "dashboard/row_source.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace qz::dashboard {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: any free port (Port() tells which)
  AlertSettings alerts;
  std::string store_name;               // how the pages name the store
  std::function<double()> now;          // seconds since the epoch, UTC
  int poll_interval_ms = 1000;          // between two reads of the store
  int full_read_every = 300;            // polls between two full reads
  int tick_interval_ms = 10000;         // an event at least this often, so ages move on
};

class Server {
 public:
  Server(ServerOptions options, std::unique_ptr<RowSource> rows);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds the address; false and *error when it cannot (in use, not an address of this PC).
  [[nodiscard]] bool Bind(std::string* error);
  // The port bound.
  [[nodiscard]] int Port() const { return port_; }
  // Serves until Stop (from another thread or a signal's watcher).
  void Run();
  void Stop();

 private:
  struct Cached {
    std::uint64_t version = 0;
    double made = 0.0;  // when, seconds since the epoch
    std::string body;
  };

  void Routes();
  void PollLoop();
  // A body of the figures, computed once per change of the rows (or of the stations that fell
  // silent), and at most once a tick without one.
  std::string Figures(const std::string& key, const std::function<std::string(const Snapshot&)>& make);
  void Page(const httplib::Request& request, httplib::Response& response);
  void Api(const httplib::Request& request, httplib::Response& response);
  void Events(const httplib::Request& request, httplib::Response& response);

  ServerOptions options_;
  std::unique_ptr<httplib::Server> http_;
  int port_ = 0;

  std::mutex mutex_;  // guards what follows (rows_: its figures; its reads are the poller's)
  std::condition_variable changed_;
  std::unique_ptr<RowSource> rows_;
  std::uint64_t version_ = 0;
  std::map<std::string, Cached> cache_;
  bool stopping_ = false;

  std::thread poller_;
};

// Text made safe inside HTML.
[[nodiscard]] std::string HtmlEscape(const std::string& text);

}  // namespace qz::dashboard
