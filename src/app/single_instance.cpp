#include "app/single_instance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

#include <utility>

namespace qz::app {

namespace {

// How long a later copy waits for the running one to take its request. The running copy's UI
// thread answers from its event loop, which a modal message box keeps running.
constexpr int kConnectTimeoutMs = 2000;
constexpr QByteArrayView kActivateRequest = "activate\n";

}  // namespace

SingleInstance::SingleInstance(const QString& title, QObject* parent)
    : QObject(parent), name_(ServerName(title)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::ServerName(const QString& title) {
  QString name;
  for (QChar c : title) {
    const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                       (c >= u'0' && c <= u'9') || c == u'.' || c == u'-';
    name += plain ? c : QChar(u'_');
  }
  return name + QStringLiteral("-uid%1").arg(static_cast<qulonglong>(::getuid()));
}

bool SingleInstance::ActivateRunning() {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
  socket.write(kActivateRequest.data(), kActivateRequest.size());
  socket.waitForBytesWritten(kConnectTimeoutMs);
  socket.disconnectFromServer();
  return true;
}

bool SingleInstance::Listen(std::function<void()> on_activate) {
  on_activate_ = std::move(on_activate);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_.get(), &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      // A connection is the request; the bytes only keep the peer's write from failing.
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, socket, [socket] { socket->readAll(); });
      if (on_activate_) on_activate_();
    }
  });
  if (server_->listen(name_)) return true;
  if (server_->serverError() == QAbstractSocket::AddressInUseError) {
    // Either a copy started at the same moment, or one that crashed left its socket behind.
    QLocalSocket probe;
    probe.connectToServer(name_);
    if (!probe.waitForConnected(kConnectTimeoutMs)) {
      QLocalServer::removeServer(name_);
      if (server_->listen(name_)) return true;
    }
  }
  server_.reset();
  return false;
}

}  // namespace qz::app
