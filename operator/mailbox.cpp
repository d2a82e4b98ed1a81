#include "operator/mailbox.h"

#include <QMetaObject>
#include <QThread>

#include <utility>

void Mailbox::post(std::function<void()> call)
{
    bool wake = false;
    {
        const std::lock_guard lock(m_mutex);
        m_pending.push_back(std::move(call));
        wake = !std::exchange(m_wakePosted, true);
    }
    // One wake-up for all that is posted until deliver() runs.
    if (wake)
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
}

void Mailbox::call(const std::function<void()> &job)
{
    Q_ASSERT(QThread::currentThread() != thread());
    std::mutex mutex;
    std::condition_variable ran;
    bool done = false;
    post([&] {
        job();
        const std::lock_guard lock(mutex);
        done = true;
        ran.notify_one();
    });
    std::unique_lock lock(mutex);
    ran.wait(lock, [&done] { return done; });
}

// One call at a time off the queue: a call that waits in a nested event loop
// (a modal box) leaves the rest to a later wake-up, which takes them in order.
// Only what was posted before this turn is taken: a busy sender must not keep
// this thread's loop from its other events (painting, input).
void Mailbox::deliver()
{
    std::size_t left = 0;
    {
        const std::lock_guard lock(m_mutex);
        m_wakePosted = false;
        left = m_pending.size();
    }
    for (; left > 0; --left) {
        std::function<void()> call;
        {
            const std::lock_guard lock(m_mutex);
            if (m_pending.empty())
                return;
            call = std::move(m_pending.front());
            m_pending.pop_front();
        }
        call();
    }
}
