// The production log where this build has no SQLite (the Windows build): every call fails with
// a clear reason, so a command that asks for a log stops before any chip is touched.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "prodlog/production_log.h"

namespace qz::prodlog {

namespace {

LogError Unavailable(const std::string& path) {
  return LogError{LogError::Kind::kIo, "The production log \"" + path +
                                           "\" cannot be used: this build has no SQLite."};
}

}  // namespace

struct ProductionLog::Impl {
  std::string path;
};

ProductionLog::ProductionLog(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ProductionLog::~ProductionLog() = default;

const std::string& ProductionLog::Path() const { return impl_->path; }

std::unique_ptr<ProductionLog> ProductionLog::Open(const std::string& path, LogError* error,
                                                   const LogOptions&) {
  if (error != nullptr) *error = Unavailable(path);
  return nullptr;
}

std::optional<BegunUnit> ProductionLog::BeginUnit(const UnitStart&, LogError* error) {
  if (error != nullptr) *error = Unavailable(impl_->path);
  return std::nullopt;
}

bool ProductionLog::CompleteUnit(std::int64_t, const UnitEnd&, LogError* error) {
  if (error != nullptr) *error = Unavailable(impl_->path);
  return false;
}

std::optional<std::vector<UnitRecord>> ProductionLog::Rows(const LogFilter&, LogError* error) {
  if (error != nullptr) *error = Unavailable(impl_->path);
  return std::nullopt;
}

}  // namespace qz::prodlog
