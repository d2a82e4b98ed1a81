#include "operator/logstream.h"

#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>

// The console's lines as a stream: what standard error and a follower get
// from each of the three inputs, and how the journal is recognised.
class TestLogStream : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void formatsOneLine_data();
    void formatsOneLine();
    void timestampIsTheLocalTime();
    void everyInputBecomesOneLineForBothOutputs_data();
    void everyInputBecomesOneLineForBothOutputs();
    void journalOnlyWhenStandardErrorIsItsStream_data();
    void journalOnlyWhenStandardErrorIsItsStream();
};

using Severity = LogStream::Severity;
using Style = LogStream::Style;

void TestLogStream::formatsOneLine_data()
{
    QTest::addColumn<Style>("style");
    QTest::addColumn<Severity>("severity");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("journal error")
        << Style::Journal << Severity::Error << "port busy" << QByteArray("<3>port busy");
    QTest::newRow("timestamped") << Style::Timestamped << Severity::Error << "port busy"
                                 << QByteArray("2024-05-06T07:08:09.010Z port busy");
    QTest::newRow("line breaks inside")
        << Style::Journal << Severity::Info << "a\r\nb\nc" << QByteArray("<6>a  b c");
    QTest::newRow("NUL would start a journal entry")
        << Style::Journal << Severity::Info << QString::fromLatin1("a\0b", 3)
        << QByteArray("<6>a b");
    QTest::newRow("longer than the journal takes")
        << Style::Journal << Severity::Info << QString(9000, 'a')
        << "<6>" + QByteArray(8192, 'a') + "\xe2\x80\xa6 808 more bytes";
}

void TestLogStream::formatsOneLine()
{
    QFETCH(Style, style);
    QFETCH(Severity, severity);
    QFETCH(QString, text);
    const QDateTime time(QDate(2024, 5, 6), QTime(7, 8, 9, 10), Qt::UTC);
    QTEST(LogStream::format(style, severity, text, time), "line");
}

void TestLogStream::timestampIsTheLocalTime()
{
    // Made once a second and reused: it must still be this second, in local
    // time, with this millisecond. A read may straddle a second; try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const QDateTime before = QDateTime::currentDateTime();
        const QByteArray stamp = LogStream::localTimestamp();
        const QDateTime after = QDateTime::currentDateTime();
        const QDateTime read = QDateTime::fromString(QString::fromUtf8(stamp), Qt::ISODateWithMs);
        QVERIFY2(read.isValid(), stamp.constData());
        QCOMPARE(stamp, read.toString(Qt::ISODateWithMs).toUtf8());
        if (before.time().second() == after.time().second()) {
            QVERIFY(before <= read && read <= after);
            return;
        }
    }
    QFAIL("the clock never held still for a second");
}

void TestLogStream::everyInputBecomesOneLineForBothOutputs_data()
{
    QTest::addColumn<int>("input");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QString>("followed");
    QTest::addColumn<Severity>("severity");
    const QByteArray event = "security[tarnwick]: addr=1.2.3.4 event=kick";
    QTest::newRow("log line in the code page") << 0
                                               << QByteArray("\xa5"
                                                             "bob: hi")
                                               << QByteArray("<6>\xc2\xa5"
                                                             "bob: hi\n")
                                               << QString::fromUtf8("¥bob: hi") << Severity::Info;
    QTest::newRow("log line posing as an event")
        << 0 << "x" + event << QByteArray("<6>xsecurity[tarnwick]\\: addr=1.2.3.4 event=kick\n")
        << QString("x" + event) << Severity::Info;
    QTest::newRow("notice") << 1 << QByteArray() << QByteArray("<4>motd.txt cannot be read\n")
                            << "motd.txt cannot be read" << Severity::Warning;
    QTest::newRow("row change") << 2 << QByteArray() << QByteArray("<6>User list row 7: EMPTY\n")
                                << "User list row 7: EMPTY" << Severity::Info;
    QTest::newRow("security event") << 3 << event << "<4>" + event + '\n'
                                    << QString(event) << Severity::Warning;
}

void TestLogStream::everyInputBecomesOneLineForBothOutputs()
{
    QFETCH(int, input);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, written);
    QList<QByteArray> lines;
    LogStream stream(Style::Journal, [&lines](const QByteArray &line) { lines.append(line); });
    QSignalSpy spy(&stream, &LogStream::line);
    if (input == 0)
        stream.logLine(text);
    else if (input == 1)
        stream.notice("motd.txt cannot be read", Severity::Warning);
    else if (input == 2)
        stream.rowChanged(7, "EMPTY");
    else
        stream.securityEvent(text);
    QCOMPARE(lines, QList<QByteArray>{written});
    QCOMPARE(spy.size(), 1);
    QTEST(spy.at(0).at(0).toString(), "followed");
    QTEST(spy.at(0).at(1).value<Severity>(), "severity");
}

void TestLogStream::journalOnlyWhenStandardErrorIsItsStream_data()
{
    struct stat status = {};
    QCOMPARE(::fstat(2, &status), 0);
    const QByteArray ours = QByteArray::number(qulonglong(status.st_dev)) + ':' +
                            QByteArray::number(qulonglong(status.st_ino));
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<Style>("style");
    QTest::newRow("standard error's stream") << ours << Style::Journal;
    QTest::newRow("another stream (redirected)")
        << QByteArray::number(qulonglong(status.st_dev)) + ':' +
               QByteArray::number(qulonglong(status.st_ino) + 1)
        << Style::Timestamped;
    QTest::newRow("garbage") << QByteArray("journal") << Style::Timestamped;
}

void TestLogStream::journalOnlyWhenStandardErrorIsItsStream()
{
    QFETCH(QByteArray, variable);
    qputenv("JOURNAL_STREAM", variable);
    QTEST(LogStream::styleForStandardError(), "style");
    qunsetenv("JOURNAL_STREAM");
}

QTEST_GUILESS_MAIN(TestLogStream)
#include "tst_logstream.moc"
