#include "serverundertest.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

ServerUnderTest::ServerUnderTest()
{
    // TARNWICK_KEEP_FOLDERS keeps the folders (log, core file) for a look afterwards.
    if (qEnvironmentVariableIsSet("TARNWICK_KEEP_FOLDERS")) {
        m_programFolder.setAutoRemove(false);
        m_workingDirectory.setAutoRemove(false);
        qInfo("program folder %s, working directory %s", qPrintable(m_programFolder.path()),
              qPrintable(m_workingDirectory.path()));
    }
}

ServerUnderTest::~ServerUnderTest()
{
    stop();
}

QString ServerUnderTest::programFile(const QString &name) const
{
    return m_programFolder.filePath(name);
}

QString ServerUnderTest::workingFile(const QString &name) const
{
    return m_workingDirectory.filePath(name);
}

void ServerUnderTest::writeProgramFile(const QString &name, const QByteArray &bytes) const
{
    QFile file(programFile(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

bool ServerUnderTest::isPortFree(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::AnyIPv4, port);
}

bool ServerUnderTest::start(QString *errorText)
{
    const QString program = programFile(QStringLiteral("tarnwick-server"));
    if (!QFile::exists(program) && !QFile::copy(QStringLiteral(TARNWICK_SERVER_PATH), program)) {
        *errorText = QStringLiteral("could not copy the program");
        return false;
    }
    // Another run of the program may still hold the fixed ports for a while.
    for (int i = 0; i < 300 && !(isPortFree(ChatPort) && isPortFree(LoginPort)); ++i)
        QTest::qWait(100);
    if (!isPortFree(ChatPort) || !isPortFree(LoginPort)) {
        *errorText = QStringLiteral("the fixed ports stayed busy");
        return false;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
#ifdef TARNWICK_SANITIZED
    // Freed memory is held back for use-after-free checks; keep that pool
    // small so resident memory still shows what the program itself keeps.
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       QStringLiteral("detect_leaks=0:quarantine_size_mb=16"));
#endif
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(m_workingDirectory.path());
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    m_process.start(program, {});
    if (!m_process.waitForStarted()) {
        *errorText = m_process.errorString();
        return false;
    }
    for (int i = 0; i < 300; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, ChatPort);
        if (probe.waitForConnected(100)) {
            probe.disconnectFromHost();
            QTest::qWait(100);
            return true;
        }
        if (!isRunning()) {
            *errorText = QStringLiteral("the program ended at start-up");
            return false;
        }
        QTest::qWait(50);
    }
    *errorText = QStringLiteral("the chat port did not open");
    return false;
}

bool ServerUnderTest::isRunning() const
{
    if (m_process.state() != QProcess::Running)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid()));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // pid (name) state ...: the name may hold blanks, the state follows its ')'.
    const QByteArray line = stat.readAll();
    const qsizetype at = line.lastIndexOf(")") + 2;
    const char state = at < line.size() ? line.at(at) : 'X';
    return state != 'Z' && state != 'X';
}

QString ServerUnderTest::endDescription()
{
    if (isRunning())
        return QStringLiteral("still running");
    m_process.waitForFinished(5000);
    if (m_process.exitStatus() == QProcess::CrashExit)
        return QStringLiteral("crashed: %1").arg(m_process.errorString());
    return QStringLiteral("exited with code %1").arg(m_process.exitCode());
}

qint64 ServerUnderTest::pid() const
{
    return m_process.processId();
}

qint64 ServerUnderTest::statusKb(const char *field) const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
}

int ServerUnderTest::openDescriptors() const
{
    QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid()));
    if (!descriptors.exists())
        return -1;
    return int(
        descriptors.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

int ServerUnderTest::waitForDescriptorsAtMost(int count, int timeoutMs) const
{
    int seen = openDescriptors();
    for (int waited = 0; seen > count && waited < timeoutMs; waited += 100) {
        QTest::qWait(100);
        seen = openDescriptors();
    }
    return seen;
}

void ServerUnderTest::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished();
}
