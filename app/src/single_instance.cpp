// One running instance per user: a lock file and a local socket in the runtime folder.
#include "faltrix/app/single_instance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include "faltrix/text_qt.h"

namespace faltrix {
namespace {

// What a later start sends to the running instance: "open <path>" (UTF-8, percent-encoded)
// when it was given a file, then "raise".
constexpr char kRaiseRequest[] = "raise\n";
constexpr char kOpenRequest[] = "open ";

}  // namespace

SingleInstance::SingleInstance(QString name)
    : name_(name.isEmpty() ? DefaultName() : std::move(name)) {}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
    if (lock_) lock_->unlock();
}

QString SingleInstance::DefaultName() {
    const QString fromEnvironment = qEnvironmentVariable("FALTRIX_INSTANCE_NAME");
    return fromEnvironment.isEmpty() ? QStringLiteral("faltrix") : fromEnvironment;
}

QString SingleInstance::LockPath() const {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QLatin1Char('/') +
           name_ + QStringLiteral(".lock");
}

QString SingleInstance::SocketPath() const {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QLatin1Char('/') +
           name_ + QStringLiteral(".socket");
}

bool SingleInstance::TryBecomeFirst() {
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation));
    lock_ = std::make_unique<QLockFile>(LockPath());
    // No age limit: a lock counts as stale only when the process that wrote it is gone, so a
    // long-running instance keeps its lock while a killed one's lock is taken over.
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        // Only another live instance holding the lock makes this one the second. When the
        // lock cannot be made at all (an unwritable runtime folder), carry on as the first,
        // since refusing to start would leave the user with no dialog at all.
        if (lock_->error() == QLockFile::LockFailedError) {
            lock_.reset();
            return false;
        }
        lock_.reset();
    }
    // Holding the lock, any socket file left here belongs to a dead instance.
    QLocalServer::removeServer(SocketPath());
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
    server_->listen(SocketPath());
    return true;
}

bool SingleInstance::AskFirstToRaise(int timeoutMs, const QString &file) {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(timeoutMs)) return false;
    if (!file.isEmpty()) socket.write(kOpenRequest + NameBytes(file).toPercentEncoding() + '\n');
    socket.write(kRaiseRequest);
    const bool written = socket.waitForBytesWritten(timeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMs);
    return written;
}

void SingleInstance::OnConnection() {
    while (QLocalSocket *client = server_->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            while (client->canReadLine()) {
                const QByteArray line = client->readLine().trimmed();
                if (line == "raise") emit RaiseRequested();
                if (line.startsWith(kOpenRequest)) {
                    emit FileRequested(NameFromBytes(
                        QByteArray::fromPercentEncoding(line.mid(sizeof kOpenRequest - 1))));
                }
            }
        });
        if (client->bytesAvailable() > 0) emit client->readyRead();
    }
}

}  // namespace faltrix
