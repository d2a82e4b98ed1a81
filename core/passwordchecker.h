#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QThreadPool>

#include <functional>

// Hashes and checks passwords on worker threads of their own, so that a
// yescrypt check (tens of milliseconds) never holds up the service thread.
// Every answer is delivered on the thread this object lives on, through its
// event loop; answers still pending when it is destroyed are dropped.
//
// Order per connection is the caller's: a service holds a connection's later
// lines until the answer to its earlier one has come.
class PasswordChecker : public QObject
{
    Q_OBJECT
public:
    explicit PasswordChecker(QObject *parent = nullptr);
    // Waits for the checks under way.
    ~PasswordChecker() override;

    // `done` gets whether `password` matches one of `candidates` (plain or hashed).
    void check(const QByteArray &password, const QList<QByteArray> &candidates,
               std::function<void(bool matched)> done);
    // `done` gets a new hash of `password`, empty when it cannot be hashed.
    void hash(const QByteArray &password, std::function<void(const QByteArray &hash)> done);
    // Runs `work` on a worker; what it returns runs on this object's thread.
    void run(std::function<std::function<void()>()> work);

private:
    QThreadPool m_workers;
};
