#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// What a running server hands to the program that replaces it in the same
// process: the descriptors it keeps open across the exec and the state that
// is only in memory. Times are carried as spans relative to the moment of the
// hand-over, so no clock has to survive it.
//
//   "TWUP" u32 version u32 count count*( i32 descriptor ) i32 reply  payload
//
// Everything before the payload stays as it is: a program that cannot read the
// payload (another version) still knows which descriptors to close and where
// to say so. The payload is a QDataStream of the fields below.
struct UpgradeSnapshot
{
    static constexpr quint32 FormatVersion = 1;
    // Far more than 50 connections and their buffers ever need; a larger
    // snapshot is not read.
    static constexpr qint64 MaxBytes = 512 * 1024 * 1024;

    // The timed history of one address: connection attempts, failed logins,
    // registrations.
    struct AddressHistory
    {
        QByteArray address;
        QList<qint64> eventAgesMs; // oldest first
        qint64 lastAgoMs = 0;
        qint64 delayMs = 0;
    };

    struct FloodState
    {
        qint64 available = 0;
        qint64 countedAgoUs = 0;
        bool started = false;
        bool slowed = false;
    };

    struct Connection
    {
        qint32 index = -1;
        bool chat = true; // else the login service
        qint32 descriptor = -1;
        QByteArray address;
        QByteArray name;
        bool operatorFlag = false;
        QByteArray row;
        bool joined = false;
        QByteArray ban;
        // Framed and not yet handled, oldest first; then the start of a line,
        // then bytes received but not yet framed.
        QList<QByteArray> heldLines;
        QByteArray pendingLine;
        bool discardingLine = false;
        QByteArray unreadInput;
        QByteArray unsentOutput;
        FloodState flood;
        qint64 restMs = -1;       // flood control holds its input this long; -1: not held
        qint64 leaveGraceMs = -1; // kicked or banned: closed after this; -1: not told to leave
    };

    QByteArray previousVersion;
    QString previousProgram;
    qint64 uptimeMs = 0;
    qint32 chatListener = -1;
    qint32 loginListener = -1;
    qint32 controlListener = -1;
    qint32 replyDescriptor = -1; // the control client that asked, answered by the new program
    bool passwordsRequired = false;
    QList<Connection> connections;
    QList<AddressHistory> addressConnections;
    QList<AddressHistory> loginFailures;
    QList<AddressHistory> registrations;
    QList<AddressHistory> moderatorFailures;

    // Every descriptor the snapshot names, each once.
    QList<qint32> descriptors() const;
    QByteArray encode() const;

    // What every version can read.
    struct Envelope
    {
        quint32 version = 0;
        QList<qint32> descriptors;
        qint32 replyDescriptor = -1;
    };
    static std::optional<Envelope> readEnvelope(const QByteArray &bytes);
    // The whole snapshot; nothing, with the reason, when it is of another
    // version or damaged.
    static std::optional<UpgradeSnapshot> decode(const QByteArray &bytes, QString *whyNot);
};
