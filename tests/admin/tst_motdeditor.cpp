#include "admin/motdeditor.h"
#include "chatfixture.h"
#include "core/codepage.h"
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
    void unchangedSaveAddsOneLineEnd_data();
    void unchangedSaveAddsOneLineEnd();
    void typedTextReplacesFileAndRunningMotd_data();
    void typedTextReplacesFileAndRunningMotd();
    void missingFileIsCreatedHoldingLineEnd();
    void closingWithoutOkChangesNothing();
    void unreadableFileIsReportedAndKept();
    void missingFileThatCannotBeCreatedIsReported();
    void failedSaveKeepsEditorOpenAndMotdUnchanged();
};

namespace {

QPlainTextEdit *textBox(MotdEditor &editor)
{
    return editor.findChild<QPlainTextEdit *>(QStringLiteral("txtMOTD"));
}

void clickOk(MotdEditor &editor)
{
    QTest::mouseClick(editor.findChild<QPushButton *>(QStringLiteral("cmdOk")), Qt::LeftButton);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QString motdPath(const ChatFixture &fixture)
{
    return fixture.workingFile(QStringLiteral("motd.txt"));
}

} // namespace

void TestMotdEditor::unchangedSaveAddsOneLineEnd_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("one line") << QByteArray("Welcome to the chat");
    QTest::newRow("ends in CR LF") << QByteArray("Welcome\r\n");
    QTest::newRow("inner line breaks") << QByteArray("Line one\r\nLine two\r\n\r\nLine four");
    QTest::newRow("code page bytes") << QByteArray("Caf\xE9 \x80 \xA5 \xFF");
    QTest::newRow("empty file") << QByteArray();
}

void TestMotdEditor::unchangedSaveAddsOneLineEnd()
{
    QFETCH(QByteArray, content);
    ChatFixture fixture(false);
    ScriptedDialogs dialogs;
    writeFile(motdPath(fixture), content);

    QByteArray expected = content;
    for (int save = 1; save <= 2; ++save) {
        MotdEditor editor(*fixture.chat, dialogs);
        QVERIFY(editor.load());
        editor.show();
        QByteArray shown = expected;
        shown.replace("\r\n", "\n");
        QCOMPARE(textBox(editor)->toPlainText(), Codepage::toDisplay(shown));
        clickOk(editor);
        QVERIFY(!editor.isVisible());
        // The running MOTD is what the box held; the file has one CR LF more.
        QCOMPARE(fixture.chat->motd(), expected);
        expected += "\r\n";
        QCOMPARE(fixture.readWorkingFile(QStringLiteral("motd.txt")), expected);
    }
    QVERIFY(dialogs.shown.isEmpty());
}

void TestMotdEditor::typedTextReplacesFileAndRunningMotd_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("motd");
    QTest::newRow("two lines") << QStringLiteral("Hello\nworld") << QByteArray("Hello\r\nworld");
    QTest::newRow("empty box") << QString() << QByteArray();
    QTest::newRow("euro sign") << QStringLiteral("5 \u20AC") << QByteArray("5 \x80");
}

void TestMotdEditor::typedTextReplacesFileAndRunningMotd()
{
    QFETCH(QString, typed);
    QFETCH(QByteArray, motd);
    ChatFixture fixture(false);
    ScriptedDialogs dialogs;
    writeFile(motdPath(fixture), "old text that is longer than the new one\r\n");
    fixture.chat->setMotd("old");

    MotdEditor editor(*fixture.chat, dialogs);
    QVERIFY(editor.load());
    editor.show();
    textBox(editor)->setPlainText(typed);
    clickOk(editor);

    QCOMPARE(fixture.readWorkingFile(QStringLiteral("motd.txt")), motd + "\r\n");
    QCOMPARE(fixture.chat->motd(), motd);
    QVERIFY(!editor.isVisible());
}

void TestMotdEditor::missingFileIsCreatedHoldingLineEnd()
{
    ChatFixture fixture(false);
    ScriptedDialogs dialogs;
    fixture.chat->setMotd("running");
    {
        MotdEditor editor(*fixture.chat, dialogs);
        QVERIFY(editor.load());
        editor.show();
        QCOMPARE(textBox(editor)->toPlainText(), QString());
        editor.close();
    }
    QCOMPARE(fixture.readWorkingFile(QStringLiteral("motd.txt")), QByteArray("\r\n"));
    QCOMPARE(fixture.chat->motd(), QByteArray("running"));
    QVERIFY(dialogs.shown.isEmpty());
}

void TestMotdEditor::closingWithoutOkChangesNothing()
{
    ChatFixture fixture(false);
    ScriptedDialogs dialogs;
    writeFile(motdPath(fixture), "Saved\r\n");
    fixture.chat->setMotd("Saved");

    MotdEditor editor(*fixture.chat, dialogs);
    QVERIFY(editor.load());
    editor.show();
    textBox(editor)->setPlainText(QStringLiteral("Edited but never saved"));
    editor.close();

    QCOMPARE(fixture.readWorkingFile(QStringLiteral("motd.txt")), QByteArray("Saved\r\n"));
    QCOMPARE(fixture.chat->motd(), QByteArray("Saved"));
}

void TestMotdEditor::unreadableFileIsReportedAndKept()
{
    ChatFixture fixture(false);
    ScriptedDialogs dialogs;
    // A motd.txt that exists but cannot be read as a file.
    QVERIFY(QDir(fixture.config.workingDirectory).mkpath(QStringLiteral("motd.txt/keep")));

    MotdEditor editor(*fixture.chat, dialogs);
    QVERIFY(!editor.load());
    QCOMPARE(dialogs.messages().size(), 1);
    QCOMPARE(dialogs.messages().first().icon, Dialogs::Icon::Critical);
    QVERIFY(dialogs.messages().first().text.contains(QStringLiteral("motd.txt")));
    QVERIFY(QFileInfo::exists(motdPath(fixture) + QStringLiteral("/keep")));
}

void TestMotdEditor::missingFileThatCannotBeCreatedIsReported()
{
    QTemporaryDir root;
    ServerConfig config;
    config.programFolder = root.path();
    config.workingDirectory = root.filePath(QStringLiteral("gone"));
    ConnectionTable table;
    ChatServer chat(table, config);
    ScriptedDialogs dialogs;

    MotdEditor editor(chat, dialogs);
    QVERIFY(!editor.load());
    QCOMPARE(dialogs.messages().size(), 1);
    QCOMPARE(dialogs.messages().first().icon, Dialogs::Icon::Critical);
}

void TestMotdEditor::failedSaveKeepsEditorOpenAndMotdUnchanged()
{
    ChatFixture fixture(false);
    ScriptedDialogs dialogs;
    writeFile(motdPath(fixture), "old\r\n");
    fixture.chat->setMotd("old");

    MotdEditor editor(*fixture.chat, dialogs);
    QVERIFY(editor.load());
    editor.show();
    // motd.txt can no longer be replaced.
    QVERIFY(QFile::remove(motdPath(fixture)));
    QVERIFY(QDir(fixture.config.workingDirectory).mkpath(QStringLiteral("motd.txt/keep")));
    textBox(editor)->setPlainText(QStringLiteral("new"));
    clickOk(editor);

    QCOMPARE(dialogs.messages().size(), 1);
    QCOMPARE(dialogs.messages().first().icon, Dialogs::Icon::Critical);
    QVERIFY(editor.isVisible());
    QCOMPARE(textBox(editor)->toPlainText(), QStringLiteral("new"));
    QCOMPARE(fixture.chat->motd(), QByteArray("old"));
    QVERIFY(QFileInfo::exists(motdPath(fixture) + QStringLiteral("/keep")));
}

QTEST_MAIN(TestMotdEditor)
#include "tst_motdeditor.moc"
