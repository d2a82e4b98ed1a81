#include "chatfixture.h"

#include "chat/chatcommands.h"

#include <QFile>
#include <QTest>

ChatFixture::ChatFixture(bool withCommands)
{
    config.programFolder = programFolder.path();
    config.workingDirectory = workingDirectory.path();
    config.chatPort = 0;
    config.loginPort = 0;
    chat = std::make_unique<ChatServer>(table, config);
    if (withCommands)
        registerChatCommands(*chat);
    QString error;
    if (!chat->listen(&error))
        qFatal("chat service did not listen: %s", qPrintable(error));
}

std::unique_ptr<RawClient> ChatFixture::connect(const QString &from)
{
    auto client = std::make_unique<RawClient>();
    if (!client->connectTo(port(), from))
        qWarning("could not connect from %s", qPrintable(from));
    return client;
}

std::unique_ptr<RawClient> ChatFixture::join(const QByteArray &name, const QString &from)
{
    auto client = connect(from);
    client->sendLine("Name\t" + name);
    for (int waited = 0; rowOf(name) < 0 && waited < 3000; waited += 5)
        QTest::qWait(5);
    QTest::qWait(30);
    client->drain();
    return client;
}

QByteArray ChatFixture::readWorkingFile(const QString &name) const
{
    QFile file(workingFile(name));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void ChatFixture::writeProgramFile(const QString &name, const QByteArray &bytes) const
{
    QFile file(programFile(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

int ChatFixture::rowOf(const QByteArray &text) const
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (table.row(i) == text)
            return i;
    }
    return -1;
}
