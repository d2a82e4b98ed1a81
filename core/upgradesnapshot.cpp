#include "core/upgradesnapshot.h"

#include "core/connectiontable.h"

#include <QDataStream>
#include <QIODevice>
#include <QSet>

#include <algorithm>
#include <functional>

namespace {
const QByteArray Magic = QByteArrayLiteral("TWUP");
// Descriptors a process can hold; a count above it is damage.
constexpr quint32 MaxDescriptors = 4096;

// A list is written as its count, then its items. Read back, a count larger
// than the bytes left cannot be true; checking it first keeps a damaged
// snapshot from reserving memory it does not have.
template <typename T>
void writeList(QDataStream &out, const QList<T> &list,
               const std::function<void(QDataStream &, const T &)> &writeItem)
{
    out << quint32(list.size());
    for (const T &item : list)
        writeItem(out, item);
}

template <typename T>
bool readList(QDataStream &in, QList<T> &list, quint32 maxCount,
              const std::function<void(QDataStream &, T &)> &readItem)
{
    quint32 count = 0;
    in >> count;
    const qint64 left = in.device()->bytesAvailable();
    if (in.status() != QDataStream::Ok || count > maxCount || count > left)
        return false;
    list.clear();
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        T item;
        readItem(in, item);
        list.append(std::move(item));
    }
    return in.status() == QDataStream::Ok;
}

void writeHistory(QDataStream &out, const UpgradeSnapshot::AddressHistory &history)
{
    out << history.address << history.lastAgoMs << history.delayMs;
    writeList<qint64>(out, history.eventAgesMs,
                      [](QDataStream &s, const qint64 &age) { s << age; });
}

void readHistory(QDataStream &in, UpgradeSnapshot::AddressHistory &history)
{
    in >> history.address >> history.lastAgoMs >> history.delayMs;
    if (!readList<qint64>(in, history.eventAgesMs, 1u << 20,
                          [](QDataStream &s, qint64 &age) { s >> age; }))
        in.setStatus(QDataStream::ReadCorruptData);
}

void writeConnection(QDataStream &out, const UpgradeSnapshot::Connection &c)
{
    out << c.index << c.chat << c.descriptor << c.address << c.name << c.operatorFlag << c.row
        << c.joined << c.ban << c.pendingLine << c.discardingLine << c.unreadInput << c.unsentOutput
        << c.flood.available << c.flood.countedAgoUs << c.flood.started << c.flood.slowed
        << c.restMs << c.leaveGraceMs;
    writeList<QByteArray>(out, c.heldLines,
                          [](QDataStream &s, const QByteArray &line) { s << line; });
}

void readConnection(QDataStream &in, UpgradeSnapshot::Connection &c)
{
    in >> c.index >> c.chat >> c.descriptor >> c.address >> c.name >> c.operatorFlag >> c.row >>
        c.joined >> c.ban >> c.pendingLine >> c.discardingLine >> c.unreadInput >> c.unsentOutput >>
        c.flood.available >> c.flood.countedAgoUs >> c.flood.started >> c.flood.slowed >>
        c.restMs >> c.leaveGraceMs;
    if (!readList<QByteArray>(in, c.heldLines, 1u << 24,
                              [](QDataStream &s, QByteArray &line) { s >> line; }))
        in.setStatus(QDataStream::ReadCorruptData);
}

const QList<QList<UpgradeSnapshot::AddressHistory> UpgradeSnapshot::*> &histories()
{
    static const QList<QList<UpgradeSnapshot::AddressHistory> UpgradeSnapshot::*> members{
        &UpgradeSnapshot::addressConnections, &UpgradeSnapshot::loginFailures,
        &UpgradeSnapshot::registrations, &UpgradeSnapshot::moderatorFailures};
    return members;
}
} // namespace

QList<qint32> UpgradeSnapshot::descriptors() const
{
    QList<qint32> all;
    for (const qint32 descriptor : {chatListener, loginListener, controlListener}) {
        if (descriptor >= 0)
            all.append(descriptor);
    }
    for (const Connection &connection : connections)
        all.append(connection.descriptor);
    return all;
}

QByteArray UpgradeSnapshot::encode() const
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out.writeRawData(Magic.constData(), int(Magic.size()));
    const QList<qint32> carried = descriptors();
    out << FormatVersion << quint32(carried.size());
    for (const qint32 descriptor : carried)
        out << descriptor;
    out << replyDescriptor;
    out << previousVersion << previousProgram << uptimeMs << chatListener << loginListener
        << controlListener << passwordsRequired;
    writeList<Connection>(out, connections, writeConnection);
    for (const auto member : histories())
        writeList<AddressHistory>(out, this->*member, writeHistory);
    return bytes;
}

std::optional<UpgradeSnapshot::Envelope> UpgradeSnapshot::readEnvelope(const QByteArray &bytes)
{
    if (!bytes.startsWith(Magic))
        return std::nullopt;
    QDataStream in(bytes.sliced(Magic.size()));
    in.setVersion(QDataStream::Qt_6_0);
    Envelope envelope;
    quint32 count = 0;
    in >> envelope.version >> count;
    if (in.status() != QDataStream::Ok || count > MaxDescriptors)
        return std::nullopt;
    for (quint32 i = 0; i < count; ++i) {
        qint32 descriptor = -1;
        in >> descriptor;
        envelope.descriptors.append(descriptor);
    }
    in >> envelope.replyDescriptor;
    if (in.status() != QDataStream::Ok)
        return std::nullopt;
    return envelope;
}

std::optional<UpgradeSnapshot> UpgradeSnapshot::decode(const QByteArray &bytes, QString *whyNot)
{
    const std::optional<Envelope> envelope = readEnvelope(bytes);
    if (!envelope) {
        *whyNot = QStringLiteral("it is damaged");
        return std::nullopt;
    }
    if (envelope->version != FormatVersion) {
        *whyNot = QStringLiteral("it is of format %1, this program reads format %2")
                      .arg(envelope->version)
                      .arg(FormatVersion);
        return std::nullopt;
    }
    QDataStream in(bytes.sliced(Magic.size() + 8 + 4 * envelope->descriptors.size() + 4));
    in.setVersion(QDataStream::Qt_6_0);
    UpgradeSnapshot snapshot;
    snapshot.replyDescriptor = envelope->replyDescriptor;
    in >> snapshot.previousVersion >> snapshot.previousProgram >> snapshot.uptimeMs >>
        snapshot.chatListener >> snapshot.loginListener >> snapshot.controlListener >>
        snapshot.passwordsRequired;
    bool read =
        in.status() == QDataStream::Ok &&
        readList<Connection>(in, snapshot.connections, ConnectionTable::Size, readConnection);
    for (const auto member : histories())
        read = read && readList<AddressHistory>(in, snapshot.*member, 1u << 20, readHistory);
    if (!read || !in.atEnd()) {
        *whyNot = QStringLiteral("it is damaged");
        return std::nullopt;
    }
    // Each entry once, each descriptor one the envelope names.
    QList<bool> taken(ConnectionTable::Size, false);
    const QList<qint32> named = snapshot.descriptors();
    for (const Connection &connection : std::as_const(snapshot.connections)) {
        if (!ConnectionTable::isValidIndex(connection.index) || taken[connection.index] ||
            connection.descriptor < 0) {
            *whyNot = QStringLiteral("it is damaged");
            return std::nullopt;
        }
        taken[connection.index] = true;
    }
    // Standard input, output and error are never the server's to take over.
    const bool plausible =
        std::all_of(named.cbegin(), named.cend(), [](qint32 d) { return d > 2; }) &&
        (snapshot.replyDescriptor > 2 || snapshot.replyDescriptor == -1);
    if (!plausible || named != envelope->descriptors ||
        QSet<qint32>(named.begin(), named.end()).size() != named.size()) {
        *whyNot = QStringLiteral("it is damaged");
        return std::nullopt;
    }
    return snapshot;
}
