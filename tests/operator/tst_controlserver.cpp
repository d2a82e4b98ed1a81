#include "operator/controlprotocol.h"
#include "operator/controlserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

// The control socket with handlers made for the test: what any client may
// send, what it gets back, and that the server serves on whatever a client does.
class TestControlServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void onlyTheOwnerCanUseTheSocket();
    void answersEveryRequestLine_data();
    void answersEveryRequestLine();
    void oversizedRequestIsRefusedAndTheConnectionClosed();
    void laterAnswerAndClientsAtOnceUntilClose();
    void clientLeavingMidCommandIsHarmless();

private:
    QTemporaryDir m_folder;
    ControlServer *m_server = nullptr;
    QPointer<ControlCall> m_parked; // a call the "wait" handler answers later
    QString path() const { return m_folder.filePath(ControlProtocol::SocketName); }
};

namespace {
// A control client that speaks raw bytes and reads JSON lines.
class Client
{
public:
    bool connectTo(const QString &path)
    {
        m_socket.connectToServer(path);
        return m_socket.waitForConnected(3000);
    }
    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    void request(const QString &command, const QStringList &arguments = {})
    {
        send(ControlProtocol::encode(ControlProtocol::request(command, arguments)));
    }
    // The next line as an object; an empty object when none came.
    QJsonObject next()
    {
        if (!QTest::qWaitFor([this] {
                return m_socket.canReadLine() ||
                       (m_socket.state() != QLocalSocket::ConnectedState &&
                        !m_socket.bytesAvailable());
            }))
            return {};
        return QJsonDocument::fromJson(m_socket.readLine()).object();
    }
    bool waitForDisconnect()
    {
        return QTest::qWaitFor(
            [this] { return m_socket.state() == QLocalSocket::UnconnectedState; });
    }
    QLocalSocket &socket() { return m_socket; }

private:
    QLocalSocket m_socket;
};

QJsonObject ok(const QString &text)
{
    return {{"ok", true}, {"text", text}, {"data", QJsonObject()}};
}

QJsonObject refused(const QString &error)
{
    return {{"ok", false}, {"error", error}};
}
} // namespace

void TestControlServer::init()
{
    m_server = new ControlServer;
    m_server->setHandler("echo", [](ControlCall &call) {
        call.finish(ControlResult::done(call.arguments().join('|') + call.input()));
    });
    m_server->setHandler("ip", [](ControlCall &call) {
        call.finish(ControlResult::failure("no " + call.argument(0)));
    });
    m_server->setHandler("wait", [this](ControlCall &call) { m_parked = &call; });
    m_server->setHandler("log", [](ControlCall &call) { call.stream("first", "info"); });
    QString error;
    QVERIFY2(m_server->listen(path(), &error), qPrintable(error));
}

void TestControlServer::cleanup()
{
    delete m_server;
    m_server = nullptr;
}

void TestControlServer::onlyTheOwnerCanUseTheSocket()
{
    struct stat status = {};
    QCOMPARE(::stat(QFile::encodeName(path()).constData(), &status), 0);
    QVERIFY(S_ISSOCK(status.st_mode));
    QCOMPARE(status.st_mode & 0777, mode_t(0600));
}

void TestControlServer::answersEveryRequestLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QJsonObject>("reply");
    const QJsonObject notARequest = refused("Not a control request.");
    QTest::newRow("arguments and input")
        << QByteArray(R"({"command":"echo","arguments":["a","b"],"input":"!"})") << ok("a|b!");
    QTest::newRow("failure") << QByteArray(R"({"command":"ip","arguments":["bob"]})")
                             << refused("no bob");
    QTest::newRow("unknown command") << QByteArray(R"({"command":"frobnicate"})")
                                     << refused("There is no command \"frobnicate\".");
    QTest::newRow("known command, wrong count")
        << QByteArray(R"({"command":"ip","arguments":[]})") << refused("Usage: ip NAME");
    QTest::newRow("garbage") << QByteArray("\x01\xff garbage {") << notARequest;
    QTest::newRow("empty line") << QByteArray() << notARequest;
    QTest::newRow("not an object") << QByteArray(R"(["echo"])") << notARequest;
    QTest::newRow("command not text") << QByteArray(R"({"command":7})") << notARequest;
    QTest::newRow("argument not text")
        << QByteArray(R"({"command":"echo","arguments":[1]})") << notARequest;
    QTest::newRow("input not text")
        << QByteArray(R"({"command":"echo","input":{}})") << notARequest;
}

void TestControlServer::answersEveryRequestLine()
{
    QFETCH(QByteArray, line);
    Client client;
    QVERIFY(client.connectTo(path()));
    client.send(line + '\n');
    QTEST(client.next(), "reply");
    // The connection serves on after any answer.
    client.request("echo", {"still here"});
    QCOMPARE(client.next(), ok("still here"));
}

void TestControlServer::oversizedRequestIsRefusedAndTheConnectionClosed()
{
    Client flooder;
    QVERIFY(flooder.connectTo(path()));
    flooder.send(QByteArray(ControlProtocol::MaxLineLength + 2, 'x'));
    QCOMPARE(flooder.next(), refused("The request is longer than 65536 bytes."));
    QVERIFY(flooder.waitForDisconnect());

    // A request of exactly the largest size is still served.
    Client other;
    QVERIFY(other.connectTo(path()));
    QByteArray request = ControlProtocol::encode(ControlProtocol::request("echo", {}));
    const QString filler(ControlProtocol::MaxLineLength - request.size() - 10, 'y');
    request = ControlProtocol::encode(ControlProtocol::request("echo", {}, filler));
    request.chop(1);
    QVERIFY(request.size() <= ControlProtocol::MaxLineLength);
    other.send(request + '\n');
    QCOMPARE(other.next().value("text").toString(), filler);
}

// A follower among the clients sees the end of its stream at close.
void TestControlServer::laterAnswerAndClientsAtOnceUntilClose()
{
    Client waiting;
    Client quick;
    QVERIFY(waiting.connectTo(path()));
    QVERIFY(quick.connectTo(path()));
    waiting.request("wait");
    waiting.request("echo", {"queued"}); // served after the first is answered
    QTRY_VERIFY(m_parked);
    quick.request("echo", {"quick"});
    QCOMPARE(quick.next(), ok("quick"));
    QVERIFY(!waiting.socket().canReadLine());
    m_parked->finish(ControlResult::done("late"));
    QCOMPARE(waiting.next(), ok("late"));
    QCOMPARE(waiting.next(), ok("queued"));

    Client follower;
    QVERIFY(follower.connectTo(path()));
    follower.request("log");
    QCOMPARE(follower.next(), (QJsonObject{{"line", "first"}, {"severity", "info"}}));
    m_server->close();
    QCOMPARE(follower.next(), ok(QString()));
    QVERIFY(follower.waitForDisconnect());
}

void TestControlServer::clientLeavingMidCommandIsHarmless()
{
    {
        Client leaving;
        QVERIFY(leaving.connectTo(path()));
        leaving.request("wait");
        QTRY_VERIFY(m_parked);
    }
    QTRY_VERIFY(!m_parked); // the call went with its client
    QTRY_COMPARE(m_server->clientCount(), 0);

    // A handler that gives way to the event loop (as a broadcast does) while
    // its client leaves must still be able to answer into the void.
    bool callSurvived = false;
    m_server->setHandler("slow", [&callSurvived](ControlCall &call) {
        QPointer<ControlCall> guard(&call);
        QTest::qWait(300); // also runs deferred deletions
        callSurvived = guard;
        if (guard)
            call.finish(ControlResult::done());
    });
    Client leaving;
    QVERIFY(leaving.connectTo(path()));
    leaving.request("slow");
    QTimer::singleShot(100, &leaving.socket(), &QLocalSocket::abort);
    QTRY_COMPARE(m_server->clientCount(), 0);
    QTRY_VERIFY(callSurvived);

    Client next;
    QVERIFY(next.connectTo(path()));
    next.request("echo", {"served"});
    QCOMPARE(next.next(), ok("served"));
}

QTEST_GUILESS_MAIN(TestControlServer)
#include "tst_controlserver.moc"
