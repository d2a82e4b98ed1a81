#include "core/passwordchecker.h"

#include "core/passwordhash.h"

#include <QThread>

#include <pthread.h>
#include <sched.h>

namespace {
// A worker is batch work: a waking service thread takes the processor from
// it at once, so a storm of checks slows the checks, not the room. Its share
// under load stays an ordinary program's, so answers still come when the
// machine is busy with other programs.
void lowerThisThread()
{
    thread_local bool lowered = false;
    if (std::exchange(lowered, true))
        return;
    const sched_param batch{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
}
} // namespace

PasswordChecker::PasswordChecker(QObject *parent) : QObject(parent)
{
    // One worker on a machine of one or two processors, two above.
    m_workers.setMaxThreadCount(QThread::idealThreadCount() > 2 ? 2 : 1);
}

PasswordChecker::~PasswordChecker()
{
    m_workers.clear();
    m_workers.waitForDone();
}

void PasswordChecker::check(const QByteArray &password, const QList<QByteArray> &candidates,
                            std::function<void(bool matched)> done)
{
    run([password, candidates, done = std::move(done)]() -> std::function<void()> {
        const bool matched = PasswordHash::matchesAny(password, candidates);
        return [done, matched] { done(matched); };
    });
}

void PasswordChecker::hash(const QByteArray &password,
                           std::function<void(const QByteArray &hash)> done)
{
    run([password, done = std::move(done)]() -> std::function<void()> {
        const QByteArray hash = PasswordHash::make(password);
        return [done, hash] { done(hash); };
    });
}

void PasswordChecker::run(std::function<std::function<void()>()> work)
{
    m_workers.start([this, work = std::move(work)] {
        lowerThisThread();
        QMetaObject::invokeMethod(this, work(), Qt::QueuedConnection);
    });
}
