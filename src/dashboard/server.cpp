#include "dashboard/server.h"

#include <chrono>
#include <cmath>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include <httplib.h>

#include "dashboard/web_files.h"

namespace qz::dashboard {
namespace {

// Each open page holds one worker for its event stream; a line's office has some dozens open.
constexpr std::size_t kWorkers = 128;
constexpr std::size_t kMaxParameter = 200;  // characters of a query parameter
constexpr std::size_t kMaxCached = 64;      // bodies of figures kept until the rows change

const char* const kPages[] = {"/", "/yield", "/failures", "/unit", "/alerts"};

// The parameters each page and its figures take.
std::set<std::string> ParametersOf(const std::string& page) {
  if (page == "/yield") return {"by"};
  if (page == "/failures") return {"station", "port"};
  if (page == "/unit") return {"q", "exit", "station", "port"};
  return {};
}

std::string ErrorPage(int status, const std::string& title, const std::string& text) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
         std::to_string(status) + " " + HtmlEscape(title) +
         "</title><link rel=\"stylesheet\" href=\"/style.css\"></head><body><main><h1>" +
         std::to_string(status) + " " + HtmlEscape(title) + "</h1><p>" + HtmlEscape(text) +
         "</p><p><a href=\"/\">The line</a></p></main></body></html>\n";
}

// Why a request's parameters are refused; empty when they are fine.
std::string ParameterProblem(const std::string& page, const httplib::Request& request) {
  const std::set<std::string> allowed = ParametersOf(page);
  for (const auto& [name, value] : request.params) {
    if (allowed.count(name) == 0) return "The parameter \"" + name + "\" is not known here.";
    if (value.size() > kMaxParameter) return "The parameter \"" + name + "\" is too long.";
  }
  if (request.has_param("by") && !ParseYieldBy(request.get_param_value("by"))) {
    return "by: \"" + request.get_param_value("by") +
           "\" is not one of station, port, job, hour, shift.";
  }
  if (request.has_param("exit")) {
    const std::string text = request.get_param_value("exit");
    const bool digits = !text.empty() && text.size() <= 3 &&
                        text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(text) > 255) {
      return "exit: \"" + text + "\" is not an exit code (0 to 255).";
    }
  }
  return {};
}

const WebFile* FindWebFile(std::string_view path) {
  for (std::size_t i = 0; i < kWebFileCount; ++i) {
    if (path == kWebFiles[i].path) return &kWebFiles[i];
  }
  return nullptr;
}

void SendFile(httplib::Response& response, std::string_view path) {
  const WebFile* file = FindWebFile(path);
  if (file == nullptr) {
    response.status = 404;
    return;
  }
  response.set_content(reinterpret_cast<const char*>(file->data), file->size, file->type);
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&#39;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

Server::Server(ServerOptions options, std::unique_ptr<RowSource> rows)
    : options_(std::move(options)), http_(std::make_unique<httplib::Server>()),
      rows_(std::move(rows)) {
  http_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  http_->set_default_headers({{"Content-Security-Policy",
                               "default-src 'self'; img-src 'self' data:; object-src 'none'; "
                               "base-uri 'none'; frame-ancestors 'none'"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"Cache-Control", "no-store"}});
  Routes();
}

Server::~Server() {
  Stop();
  if (poller_.joinable()) poller_.join();
}

bool Server::Bind(std::string* error) {
  if (options_.port == 0) {
    port_ = http_->bind_to_any_port(options_.host);
  } else if (http_->bind_to_port(options_.host, options_.port)) {
    port_ = options_.port;
  }
  if (port_ <= 0) {
    *error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port) +
             " (in use, or not an address of this computer)";
    return false;
  }
  return true;
}

void Server::Run() {
  {
    // the first read before the first page, so a page never shows an empty line by mistake
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    (void)rows_->Poll(true, options_.now());
    ++version_;
  }
  poller_ = std::thread([this] { PollLoop(); });
  http_->listen_after_bind();
}

void Server::Stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  http_->stop();
}

void Server::PollLoop() {
  std::vector<std::string> silent;
  for (int poll = 1;; ++poll) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(options_.poll_interval_ms),
                        [this] { return stopping_; });
      if (stopping_) break;
    }
    // the store is read without the lock: pages are served meanwhile from the rows read before
    const double now = options_.now();
    RowSource::Fetched fetched = rows_->Fetch(poll % options_.full_read_every == 0, now);
    const std::lock_guard<std::mutex> lock(mutex_);
    bool changed = rows_->Merge(std::move(fetched));
    // a station that falls silent changes the pages without a row of its own
    std::vector<std::string> now_silent = SilentStations(rows_->States(), now, options_.alerts);
    changed = changed || now_silent != silent;
    silent = std::move(now_silent);
    if (changed) {
      ++version_;
      cache_.clear();
      changed_.notify_all();
    }
  }
}

std::string Server::Figures(const std::string& key,
                            const std::function<std::string(const Snapshot&)>& make) {
  const double now = options_.now();
  const std::lock_guard<std::mutex> lock(mutex_);
  if (cache_.size() > kMaxCached) cache_.clear();  // many unit searches between two changes
  Cached& cached = cache_[key];
  // a body is made again when the rows changed, or once it is a tick old (ages move on)
  if (cached.version != version_ || cached.body.empty() ||
      now - cached.made >= options_.tick_interval_ms / 1000.0) {
    const Snapshot snapshot{rows_->Rows(), options_.store_name, rows_->Error(), now,
                            rows_->States()};
    cached = Cached{version_, now, make(snapshot)};
  }
  return cached.body;
}

void Server::Routes() {
  for (const char* page : kPages) {
    http_->Get(page, [this](const httplib::Request& request, httplib::Response& response) {
      Page(request, response);
    });
  }
  for (const char* file : {"/app.js", "/style.css", "/chart.js"}) {
    http_->Get(file, [file](const httplib::Request&, httplib::Response& response) {
      SendFile(response, file);
    });
  }
  // no icon: said at once, so a browser does not log a missing one
  http_->Get("/favicon.ico",
             [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
  http_->Get("/api/(line|yield|failures|unit|alerts)",
             [this](const httplib::Request& request, httplib::Response& response) {
               Api(request, response);
             });
  http_->Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
    Events(request, response);
  });
  http_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(Figures("metrics", MetricsText), "text/plain; version=0.0.4");
  });
  http_->set_error_handler([](const httplib::Request& request, httplib::Response& response) {
    if (!response.body.empty()) return;
    if (response.status == 404) {
      response.set_content(ErrorPage(404, "Not Found",
                                     "There is no page " + request.path + " here."),
                           "text/html; charset=utf-8");
    } else {
      response.set_content(ErrorPage(response.status, "Refused",
                                     "The request was refused (status " +
                                         std::to_string(response.status) + ")."),
                           "text/html; charset=utf-8");
    }
  });
}

void Server::Page(const httplib::Request& request, httplib::Response& response) {
  if (const std::string problem = ParameterProblem(request.path, request); !problem.empty()) {
    response.status = 400;
    response.set_content(ErrorPage(400, "Bad Request", problem), "text/html; charset=utf-8");
    return;
  }
  SendFile(response, "/index.html");
}

void Server::Api(const httplib::Request& request, httplib::Response& response) {
  const std::string page = request.path.substr(4);  // "/api/line" -> "/line"
  if (const std::string problem = ParameterProblem(page, request); !problem.empty()) {
    response.status = 400;
    response.set_content(nlohmann::json{{"error", problem}}.dump(), "application/json");
    return;
  }
  const auto param = [&request](const char* name) { return request.get_param_value(name); };
  std::string key = request.path;
  for (const auto& [name, value] : request.params) key += "\n" + name + "=" + value;
  std::function<nlohmann::json(const Snapshot&)> figures;
  const AlertSettings& alerts = options_.alerts;
  if (page == "/line") {
    figures = [&alerts](const Snapshot& s) { return LineJson(s, alerts); };
  } else if (page == "/yield") {
    const YieldBy by = *ParseYieldBy(param("by"));
    figures = [&alerts, by](const Snapshot& s) { return YieldJson(s, alerts, by); };
  } else if (page == "/failures") {
    figures = [station = param("station"), port = param("port")](const Snapshot& s) {
      return FailuresJson(s, station, port);
    };
  } else if (page == "/unit") {
    UnitQuery query{param("q"), std::nullopt, param("station"), param("port")};
    if (request.has_param("exit")) query.exit_code = std::stoi(param("exit"));
    figures = [query](const Snapshot& s) { return UnitJson(s, query); };
  } else {
    figures = [&alerts](const Snapshot& s) { return AlertsJson(s, alerts); };
  }
  // every page's figures carry the alerts, for the banner
  response.set_content(Figures(key,
                               [&](const Snapshot& s) {
                                 nlohmann::json body = figures(s);
                                 body["alerts"] = AlertsJson(s, alerts)["alerts"];
                                 return body.dump(-1, ' ', false,
                                                  nlohmann::json::error_handler_t::replace);
                               }),
                       "application/json");
}

void Server::Events(const httplib::Request&, httplib::Response& response) {
  auto sent = std::make_shared<std::uint64_t>(0);
  response.set_header("X-Accel-Buffering", "no");
  response.set_chunked_content_provider(
      "text/event-stream", [this, sent](std::size_t, httplib::DataSink& sink) {
        std::uint64_t version = 0;
        {
          std::unique_lock<std::mutex> lock(mutex_);
          if (*sent != 0) {
            changed_.wait_for(lock, std::chrono::milliseconds(options_.tick_interval_ms),
                              [&] { return stopping_ || version_ != *sent; });
          }
          if (stopping_) return false;
          version = version_;
        }
        const std::string event = (*sent == 0 ? std::string("retry: 2000\n") : std::string()) +
                                  "data: " + std::to_string(version) + "\n\n";
        *sent = version;
        return sink.is_writable() && sink.write(event.data(), event.size());
      });
}

}  // namespace qz::dashboard
