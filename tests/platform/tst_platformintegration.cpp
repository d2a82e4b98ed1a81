#include "notifysocket.h"
#include "platform/servicenotify.h"
#include "platform/trayicon.h"

#include <QIcon>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

// What the program tells the desktop (its icon) and the service manager (the
// notices a Type=notify unit waits for).
class tst_PlatformIntegration : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup() { m_notify.reset(); }
    void serviceNotice_data();
    void serviceNotice();
    void noServiceManagerNoNotice();
    void trayIconHasEverySize();

private:
    QTemporaryDir m_folder;
    std::unique_ptr<NotifySocket> m_notify;
};

void tst_PlatformIntegration::init()
{
    m_notify = std::make_unique<NotifySocket>(m_folder.filePath(QStringLiteral("notify")));
    QVERIFY(m_notify->isOpen());
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
    const QList<QByteArray> lines = m_notify->receive().split('\n');
    QCOMPARE(lines.value(0), firstLine);
    if (secondField.isEmpty())
        QCOMPARE(lines.size(), 1);
    else
        QVERIFY2(lines.value(1).startsWith(secondField) &&
                     lines.value(1).size() > secondField.size(),
                 lines.value(1).constData());
    QVERIFY(m_notify->receive().isEmpty());
}

void tst_PlatformIntegration::noServiceManagerNoNotice()
{
    if (!serviceNotifySupported())
        QSKIP("built without libsystemd: the notices are no-ops");
    qunsetenv("NOTIFY_SOCKET");
    notifyServiceReady();
    notifyServiceReloading();
    notifyServiceStopping();
    QVERIFY(m_notify->receive().isEmpty());
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
