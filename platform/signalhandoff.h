#pragma once

#include <QMap>
#include <QObject>

#include <functional>

class QSocketNotifier;

// Turns Unix signals into calls on the event loop. The handler itself only
// writes the signal's number into one end of a socket pair (write() is safe in
// a signal handler); a notifier on the other end reads it and runs the
// callback where any code may run. One instance per process.
class SignalHandoff : public QObject
{
    Q_OBJECT
public:
    explicit SignalHandoff(QObject *parent = nullptr);
    ~SignalHandoff() override;

    // False (with the reason) when the socket pair could not be made.
    bool isReady(QString *errorText = nullptr) const;
    // Installs the handler for `signalNumber`; `callback` runs on the event
    // loop once per delivered signal (signals arriving together may merge).
    bool watch(int signalNumber, std::function<void()> callback);

private:
    void readPending();

    QSocketNotifier *m_notifier = nullptr;
    QMap<int, std::function<void()>> m_callbacks;
    QString m_errorText;
};
