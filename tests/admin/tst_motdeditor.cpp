#include "admin/motdeditor.h"
#include "chatfixture.h"
#include "scripteddialogs.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

class TestMotdEditor : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void edit_data();
    void edit();
};

void TestMotdEditor::edit_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no motd.txt
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("typed"); // null: left as loaded
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("motd");
    QTest::addColumn<QByteArray>("file");
    const QByteArray lines = "Line\r\n\r\nCaf\xE9 \x80 \xA5\r\n";
    QTest::newRow("unchanged save adds a line end") << lines << "Line\n\nCaf\u00E9 \u20AC \u00A5\n"
                                                    << QString() << true << lines << lines + "\r\n";
    QTest::newRow("typed") << QByteArray("old text, longer than the new one")
                           << "old text, longer than the new one"
                           << "Hello\n5 \u20AC" << true << QByteArray("Hello\r\n5 \x80")
                           << QByteArray("Hello\r\n5 \x80\r\n");
    QTest::newRow("missing file, closed without OK")
        << QByteArray() << ""
        << "never saved" << false << QByteArray("running") << QByteArray("\r\n");
}

void TestMotdEditor::edit()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, typed);
    QFETCH(bool, ok);
    ChatFixture fixture(false);
    fixture.chat->setMotd("running");
    if (!content.isNull()) {
        QFile file(fixture.workingFile("motd.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    ScriptedDialogs dialogs;
    MotdEditor editor(*fixture.chat, dialogs);
    QVERIFY(editor.load());
    editor.show();
    auto *box = editor.findChild<QPlainTextEdit *>("txtMOTD");
    QTEST(box->toPlainText(), "shown");
    if (!typed.isNull())
        box->setPlainText(typed);
    if (ok)
        editor.findChild<QPushButton *>("cmdOk")->click();
    else
        editor.close();

    QVERIFY(!editor.isVisible());
    QTEST(fixture.chat->motd(), "motd");
    QTEST(fixture.readWorkingFile("motd.txt"), "file");
    QCOMPARE(QDir(fixture.config.workingDirectory).entryList(QDir::Files | QDir::Hidden),
             QStringList{"motd.txt"});
    QVERIFY(dialogs.shown.isEmpty());
}

QTEST_MAIN(TestMotdEditor)
#include "tst_motdeditor.moc"
