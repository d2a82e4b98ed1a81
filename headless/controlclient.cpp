#include "headless/controlclient.h"

#include "core/codepage.h"
#include "headless/commandline.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QStringDecoder>

#include <cstdio>
#include <optional>
#include <termios.h>
#include <unistd.h>

namespace {
void print(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, bytes.size(), stream);
    std::fflush(stream);
}

void printLine(FILE *stream, const QString &text)
{
    print(stream, text.endsWith(QLatin1Char('\n')) ? text.toUtf8() : text.toUtf8() + '\n');
}

int fail(int code, const QString &reason)
{
    printLine(stderr, QStringLiteral("tarnwick-server: ") + reason);
    return code;
}

// Terminal text is UTF-8; a file that is not must be in the chat's code page.
QString decodeText(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    return utf8.hasError() ? Codepage::toDisplay(bytes) : text;
}

std::optional<QByteArray> readInputFile(const QString &path, QString *errorText)
{
    QFile file;
    const bool opened = path.isEmpty() ? file.open(stdin, QIODevice::ReadOnly)
                                       : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        *errorText = QStringLiteral("%1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

// From a prompt without echo on a terminal, else the first line of standard input.
QString readPassword()
{
    const bool terminal = ::isatty(0);
    termios saved = {};
    if (terminal) {
        print(stderr, "Password: ");
        ::tcgetattr(0, &saved);
        termios silent = saved;
        silent.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(0, TCSANOW, &silent);
    }
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    QByteArray line = in.readLine();
    if (terminal) {
        ::tcsetattr(0, TCSANOW, &saved);
        print(stderr, "\n");
    }
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return decodeText(line);
}
} // namespace

int runControlClient(const Invocation &invocation)
{
    const ControlProtocol::CommandForm &form = *invocation.command;
    QString input;
    if (form.input == ControlProtocol::Input::Text) {
        QString error;
        const std::optional<QByteArray> bytes = readInputFile(invocation.inputFile, &error);
        if (!bytes)
            return fail(Invocation::Failed, error);
        input = decodeText(*bytes);
    } else if (form.input == ControlProtocol::Input::Password) {
        input = readPassword();
        if (input.isEmpty())
            return fail(Invocation::BadUsageExit, QStringLiteral("No password was given."));
    }
    const QByteArray request = ControlProtocol::encode(
        ControlProtocol::request(form.name, invocation.arguments, input, invocation.options));
    if (request.size() > ControlProtocol::MaxLineLength)
        return fail(Invocation::Failed, QStringLiteral("The request is longer than %1 bytes.")
                                            .arg(ControlProtocol::MaxLineLength));

    const QString folder = QDir(invocation.dataFolder).absolutePath();
    const QString path = QDir(folder).filePath(ControlProtocol::SocketName);
    // A one-shot client with nothing else to serve: blocking calls are the
    // plain way here.
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected()) {
        if (socket.error() == QLocalSocket::ServerNotFoundError ||
            socket.error() == QLocalSocket::ConnectionRefusedError)
            return fail(Invocation::NoServer,
                        QStringLiteral("No server is running on %1.").arg(folder));
        return fail(Invocation::Failed, QStringLiteral("%1: %2").arg(path, socket.errorString()));
    }
    socket.write(request);
    socket.flush();
    while (socket.state() == QLocalSocket::ConnectedState || socket.bytesAvailable() > 0) {
        if (!socket.canReadLine()) {
            if (!socket.waitForReadyRead(-1) && !socket.canReadLine())
                break;
            continue;
        }
        const QByteArray line = socket.readLine();
        const QJsonObject reply = QJsonDocument::fromJson(line).object();
        if (invocation.json)
            print(stdout, line.endsWith('\n') ? line : line + '\n');
        if (reply.contains(QLatin1String("line"))) {
            if (!invocation.json)
                printLine(stdout, reply.value("line").toString());
            continue;
        }
        if (!reply.value("ok").toBool())
            return fail(Invocation::Failed, reply.value("error").toString());
        const QString text = reply.value("text").toString();
        if (!invocation.json && !text.isEmpty())
            printLine(stdout, text);
        return Invocation::Done;
    }
    return fail(Invocation::Failed,
                QStringLiteral("The server ended the connection without an answer."));
}
