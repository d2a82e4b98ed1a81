#include "consolefixture.h"
#include "core/codepage.h"

#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

// frmEditMOTD as the console opens it: the working directory's motd.txt in,
// the file, the running MOTD and the console's box out.
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
    QTest::newRow("empty box") << QByteArray("old") << "old"
                               << "" << true << QByteArray() << QByteArray("\r\n");
    QTest::newRow("missing file, closed without OK")
        << QByteArray() << ""
        << "never saved" << false << QByteArray("running") << QByteArray("\r\n");
}

void TestMotdEditor::edit()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, typed);
    QFETCH(bool, ok);
    QFETCH(QByteArray, motd);
    ConsoleFixture f;
    f.onService([&f] { f.api().setRunningMotd("running"); });
    if (!content.isNull())
        f.writeWorkingFile("motd.txt", content);
    f.click("cmdUpdateMOTD");
    QPointer<MotdEditor> editor = f.app().motdEditor();
    QVERIFY(editor && editor->isVisible());
    auto *box = editor->findChild<QPlainTextEdit *>("txtMOTD");
    QTEST(box->toPlainText(), "shown");
    if (!typed.isNull())
        box->setPlainText(typed);
    if (ok)
        editor->findChild<QPushButton *>("cmdOk")->click();
    else
        editor->close();

    QTRY_VERIFY(!editor);
    QCOMPARE(f.onService([&f] { return f.api().motd(); }), motd);
    QCOMPARE(f.find<QPlainTextEdit>("Text1")->toPlainText(),
             Codepage::toDisplay(motd).replace("\r\n", "\n"));
    QTEST(f.readWorkingFile("motd.txt"), "file");
    QCOMPARE(QDir(f.config.workingDirectory).entryList(QDir::Files | QDir::Hidden),
             QStringList{"motd.txt"});
    QVERIFY(f.dialogs.shown.isEmpty());
}

QTEST_MAIN(TestMotdEditor)
#include "tst_motdeditor.moc"
