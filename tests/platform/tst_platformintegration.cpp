#include "notifysocket.h"
#include "platform/servicenotify.h"
#include "platform/trayicon.h"

#include <QIcon>
#include <QTemporaryDir>
#include <QTest>

#include <cstdint>
#include <ctime>
#include <memory>

// What the program tells the desktop (its icon) and the service manager (the
// notices a Type=notify unit waits for).
class tst_PlatformIntegration : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup() { m_notify.reset(); }
    void reloadingCarriesTheMonotonicClock();
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

namespace {
std::uint64_t monotonicMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000000u + std::uint64_t(now.tv_nsec) / 1000u;
}
} // namespace

// The ready and stopping notices: tst_headless, in the order a service
// manager sees them. The reload notice carries a stamp the manager pairs
// with its request, in microseconds of the monotonic clock.
void tst_PlatformIntegration::reloadingCarriesTheMonotonicClock()
{
    if (!serviceNotifySupported())
        QSKIP("built without libsystemd: the notices are no-ops");
    const std::uint64_t before = monotonicMicroseconds();
    notifyServiceReloading();
    const std::uint64_t after = monotonicMicroseconds();
    const QList<QByteArray> lines = m_notify->receive().split('\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], "RELOADING=1");
    QVERIFY2(lines[1].startsWith("MONOTONIC_USEC="), lines[1].constData());
    bool isNumber = false;
    const std::uint64_t stamp = lines[1].mid(15).toULongLong(&isNumber);
    QVERIFY(isNumber && before <= stamp && stamp <= after);
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
