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
    void init();
    void unchangedSaveAddsOneLineEnd_data();
    void unchangedSaveAddsOneLineEnd();
    void typedTextReplacesFileAndRunningMotd();
    void missingFileIsCreatedAndCloseWithoutOkChangesNothing();

private:
    void writeMotd(const QByteArray &bytes);
    QByteArray motdFile() const { return m_fixture->readWorkingFile("motd.txt"); }
    // Opens a fresh editor, puts `text` in it (unless null) and clicks OK.
    void edit(const QString &text = QString());

    std::unique_ptr<ChatFixture> m_fixture;
    ScriptedDialogs m_dialogs;
};

void TestMotdEditor::init()
{
    m_fixture = std::make_unique<ChatFixture>(false);
    m_dialogs = ScriptedDialogs();
}

void TestMotdEditor::writeMotd(const QByteArray &bytes)
{
    QFile file(m_fixture->workingFile("motd.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void TestMotdEditor::edit(const QString &text)
{
    MotdEditor editor(*m_fixture->chat, m_dialogs);
    QVERIFY(editor.load());
    editor.show();
    auto *box = editor.findChild<QPlainTextEdit *>("txtMOTD");
    QByteArray shown = motdFile();
    QCOMPARE(box->toPlainText(), Codepage::toDisplay(shown.replace("\r\n", "\n")));
    if (!text.isNull())
        box->setPlainText(text);
    editor.findChild<QPushButton *>("cmdOk")->click();
    QVERIFY(!editor.isVisible());
}

void TestMotdEditor::unchangedSaveAddsOneLineEnd_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("lines and code page bytes") << QByteArray("Line\r\n\r\nCaf\xE9 \x80 \xA5\r\n");
    QTest::newRow("empty file") << QByteArray();
}

void TestMotdEditor::unchangedSaveAddsOneLineEnd()
{
    QFETCH(QByteArray, content);
    writeMotd(content);
    for (const QByteArray &lineEnds : {QByteArray("\r\n"), QByteArray("\r\n\r\n")}) {
        const QByteArray before = motdFile();
        edit();
        // The running MOTD is what the box held; the file has one CR LF more.
        QCOMPARE(m_fixture->chat->motd(), before);
        QCOMPARE(motdFile(), content + lineEnds);
    }
    QCOMPARE(QDir(m_fixture->config.workingDirectory).entryList(QDir::Files | QDir::Hidden),
             QStringList{"motd.txt"});
    QVERIFY(m_dialogs.shown.isEmpty());
}

void TestMotdEditor::typedTextReplacesFileAndRunningMotd()
{
    writeMotd("old text that is longer than the new one\r\n");
    edit(QStringLiteral("Hello\n5 \u20AC"));
    QCOMPARE(motdFile(), QByteArray("Hello\r\n5 \x80\r\n"));
    QCOMPARE(m_fixture->chat->motd(), QByteArray("Hello\r\n5 \x80"));
}

void TestMotdEditor::missingFileIsCreatedAndCloseWithoutOkChangesNothing()
{
    m_fixture->chat->setMotd("running");
    MotdEditor editor(*m_fixture->chat, m_dialogs);
    QVERIFY(editor.load());
    editor.show();
    QCOMPARE(motdFile(), QByteArray("\r\n"));
    editor.findChild<QPlainTextEdit *>("txtMOTD")->setPlainText("never saved");
    editor.close();
    QCOMPARE(motdFile(), QByteArray("\r\n"));
    QCOMPARE(m_fixture->chat->motd(), QByteArray("running"));
    QVERIFY(m_dialogs.shown.isEmpty());
}

QTEST_MAIN(TestMotdEditor)
#include "tst_motdeditor.moc"
