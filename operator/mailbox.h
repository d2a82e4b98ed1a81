#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

// Calls handed to the thread this object lives on, run there in the order
// they were posted. Qt's queued calls would do the same, but a Qt that is
// not built with ThreadSanitizer hands them over under locks the sanitizer
// cannot see; this queue's lock it sees, and Qt only wakes the receiving
// event loop. Calls posted while the loop is busy run together in one turn.
// Replies and events reach a window through it in the order they happened,
// also while one of them waits in a modal box.
class Mailbox : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    void post(std::function<void()> call);
    // Posts `job` and waits until it has run. Never from the mailbox's own
    // thread, and only to a thread that never waits for the caller's.
    void call(const std::function<void()> &job);

private:
    Q_INVOKABLE void deliver();

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_pending;
    bool m_wakePosted = false;
};
