#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>

class ServerCore;

// The server's numbers for monitoring, read on the services' thread: gauges
// of what is there now, the services' counters since the start, the line lag
// histogram and the process's own figures. No sample names a user, carries a
// client's text or an address.
class ServerMetrics
{
public:
    explicit ServerMetrics(ServerCore &core);

    // The Prometheus text exposition format, version 0.0.4.
    static inline const QByteArray ContentType =
        QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");
    QByteArray exposition() const;
    // The same samples: {"metrics": [{"name", "type", "help", "samples":
    // [{"name", "labels": {...}, "value"}]}]}.
    QJsonObject json() const;

private:
    struct Sample
    {
        QByteArray suffix; // "_bucket", "_sum", "_count" or nothing
        QList<std::pair<QByteArray, QByteArray>> labels;
        double value;
    };
    struct Family
    {
        QByteArray name;
        QByteArray type; // gauge, counter, histogram
        QByteArray help;
        QList<Sample> samples;
    };
    QList<Family> families() const;

    ServerCore &m_core;
    double m_startTime; // seconds since the epoch
};
