#include "platform/servicenotify.h"
#include "platform/trayicon.h"

#include <QIcon>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// What the program tells the desktop (its icon) and the service manager (the
// notices a Type=notify unit waits for).
class tst_PlatformIntegration : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void serviceNotice_data();
    void serviceNotice();
    void noServiceManagerNoNotice();
    void trayIconHasEverySize();

private:
    QByteArray receiveNotice();

    QTemporaryDir m_folder;
    int m_socket = -1;
};

void tst_PlatformIntegration::initTestCase()
{
    if (!serviceNotifySupported())
        return;
    QVERIFY(m_folder.isValid());
    // A stand-in for the service manager's notification socket.
    m_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    QVERIFY(m_socket >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(m_folder.filePath(QStringLiteral("notify")));
    QVERIFY(size_t(path.size()) < sizeof address.sun_path);
    memcpy(address.sun_path, path.constData(), size_t(path.size()));
    QCOMPARE(bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    qputenv("NOTIFY_SOCKET", path);
}

void tst_PlatformIntegration::cleanup()
{
    if (!serviceNotifySupported())
        return;
    qputenv("NOTIFY_SOCKET", QFile::encodeName(m_folder.filePath(QStringLiteral("notify"))));
    while (!receiveNotice().isEmpty()) {
    }
}

QByteArray tst_PlatformIntegration::receiveNotice()
{
    char buffer[512];
    const ssize_t length = recv(m_socket, buffer, sizeof buffer, 0);
    return length > 0 ? QByteArray(buffer, length) : QByteArray();
}

void tst_PlatformIntegration::serviceNotice_data()
{
    QTest::addColumn<std::function<void()>>("notify");
    QTest::addColumn<QByteArray>("firstLine");
    QTest::addColumn<QByteArray>("secondField");

    QTest::newRow("ready") << std::function<void()>(notifyServiceReady) << QByteArray("READY=1")
                           << QByteArray("STATUS=");
    QTest::newRow("reloading carries the monotonic clock")
        << std::function<void()>(notifyServiceReloading) << QByteArray("RELOADING=1")
        << QByteArray("MONOTONIC_USEC=");
    QTest::newRow("stopping") << std::function<void()>(notifyServiceStopping)
                              << QByteArray("STOPPING=1") << QByteArray();
}

void tst_PlatformIntegration::serviceNotice()
{
    if (!serviceNotifySupported())
        QSKIP("built without libsystemd: the notices are no-ops");
    QFETCH(std::function<void()>, notify);
    QFETCH(QByteArray, firstLine);
    QFETCH(QByteArray, secondField);

    notify();
    const QList<QByteArray> lines = receiveNotice().split('\n');
    QCOMPARE(lines.value(0), firstLine);
    if (secondField.isEmpty())
        QCOMPARE(lines.size(), 1);
    else
        QVERIFY2(lines.value(1).startsWith(secondField) &&
                     lines.value(1).size() > secondField.size(),
                 lines.value(1).constData());
    QVERIFY(receiveNotice().isEmpty());
}

void tst_PlatformIntegration::noServiceManagerNoNotice()
{
    if (!serviceNotifySupported())
        QSKIP("built without libsystemd: the notices are no-ops");
    qunsetenv("NOTIFY_SOCKET");
    notifyServiceReady();
    notifyServiceReloading();
    notifyServiceStopping();
    QVERIFY(receiveNotice().isEmpty());
}

void tst_PlatformIntegration::trayIconHasEverySize()
{
    const QIcon icon = TrayIcon::serverIcon();
    for (const int size : {16, 22, 32, 48}) {
        QVERIFY2(icon.availableSizes().contains(QSize(size, size)), QByteArray::number(size));
        QCOMPARE(icon.pixmap(size).size(), QSize(size, size));
    }
}

QTEST_MAIN(tst_PlatformIntegration)
#include "tst_platformintegration.moc"
