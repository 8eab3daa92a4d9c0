#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

namespace qz::app {

// The single-instance rule: one running copy per user and window title. The first copy listens
// on a local socket named after the title and the user; a later copy connects to it, which
// brings the first copy's window to the front, and then ends.
class SingleInstance final : public QObject {
  Q_OBJECT

 public:
  // `title` is the window title the rule matches on.
  explicit SingleInstance(const QString& title, QObject* parent = nullptr);
  ~SingleInstance() override;
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Socket name for `title` and the current user (characters outside [A-Za-z0-9._-] become _).
  [[nodiscard]] static QString ServerName(const QString& title);

  // Asks a running copy to come to the front. True when one answered: this copy should end.
  [[nodiscard]] bool ActivateRunning();

  // Becomes the running copy: `on_activate` runs (on this thread) whenever a later copy asks.
  // A socket left behind by a copy that crashed is taken over. False when listening failed:
  // another copy may have started at the same moment (ask ActivateRunning again), or the
  // program runs without the rule.
  [[nodiscard]] bool Listen(std::function<void()> on_activate);

 private:
  QString name_;
  std::unique_ptr<QLocalServer> server_;
  std::function<void()> on_activate_;
};

}  // namespace qz::app
