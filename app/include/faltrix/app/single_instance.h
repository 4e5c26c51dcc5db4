// One running instance per user: a lock file in the user's runtime folder marks the running
// instance (the lock of a killed instance is taken over), and a local socket of the running
// instance receives a later start's request to come to the front, and the file it was given.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

namespace faltrix {

class SingleInstance final : public QObject {
    Q_OBJECT
public:
    // `name` names the lock file and the socket; empty takes DefaultName().
    explicit SingleInstance(QString name = {});
    ~SingleInstance() override;

    // "faltrix", or the value of FALTRIX_INSTANCE_NAME when set (tests run side by side).
    static QString DefaultName();

    // Takes the lock. True: this is the first instance, and it now listens for requests.
    // False: another instance holds the lock.
    bool TryBecomeFirst();
    // Asks the running instance to come to the front, after opening `file` as its input when
    // one is given; true when the request was delivered.
    bool AskFirstToRaise(int timeoutMs = 1000, const QString &file = {});

    QString LockPath() const;
    QString SocketPath() const;

signals:
    // A later start asked this instance to come to the front.
    void RaiseRequested();
    // A later start was given this file (an absolute path) to open.
    void FileRequested(const QString &file);

private:
    void OnConnection();

    QString name_;
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace faltrix
