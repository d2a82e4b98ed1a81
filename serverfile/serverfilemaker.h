#pragma once

#include "core/serverconfig.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class Dialogs;

// File > "Make Server File": asks for the server's name and writes <name>.tkl
// in the program folder, holding the name and the chat service's address,
// encoded in place: every position p gets the 32-bit little-endian value at
// p..p+3 raised by one, so each byte goes up by one with the carry running
// into the next, and the file ends three bytes longer. The file appears whole
// or not at all.
//
// The encoding gives way to the event loop after every position. The console
// shows the progress through the signals.
class ServerFileMaker : public QObject
{
    Q_OBJECT
public:
    using AddressSource = std::function<QByteArray()>;

    ServerFileMaker(const ServerConfig &config, Dialogs &dialogs, AddressSource localAddress,
                    QObject *parent = nullptr);

    // The whole procedure; `selectedRow` is the console's selected user row
    // (empty for none), shown in the input box's title. False when no file
    // was made (the operator has been told why).
    bool make(const QString &selectedRow);

    static QByteArray plainContent(const QByteArray &name, const QByteArray &address);
    // The bar grows once every period + 1 positions: L / 100, halves to even.
    static qint64 progressPeriod(qint64 length);
    // A name the file system takes as one file name in the program folder.
    static bool isValidName(const QString &name);
    // The menu command's boxes, for a console that asks on its own thread.
    static QString title();
    static QString namePrompt();
    static QString defaultName();
    static QString busyText();

Q_SIGNALS:
    // Label2's caption: the name of the server file last made.
    void nameChanged(const QString &name);
    void barShown();
    // The part of its frame the bar fills now.
    void barAdvanced(double fraction);
    void barHidden();

private:
    bool makeFile(const QString &name);
    void encode(QByteArray &content);
    void progressStep();
    void fail(const QString &text);

    ServerConfig m_config;
    Dialogs &m_dialogs;
    AddressSource m_localAddress;
    bool m_busy = false;
    QString m_lastName;
    qint64 m_length = 0;
    qint64 m_period = 0;
    qint64 m_counter = 0;
    double m_filled = 0;
};
