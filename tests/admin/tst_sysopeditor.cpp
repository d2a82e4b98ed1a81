#include "consolefixture.h"

#include "admin/sysoplist.h"
#include "core/passwordhash.h"

#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

namespace {
const QByteArray TwoRecords = "\r\nAnn\tann@x.org\tpw1\r\nBob\tbob@x.org\tpw2\r\n";

// frmSysop as the console opens it, over sysops.dat holding `content`.
struct Editor
{
    explicit Editor(const QByteArray &content)
    {
        f.writeProgramFile("sysops.dat", content);
        f.click("cmdSysop");
        window = f.app().sysopEditor();
    }
    void click(const char *name) { window->findChild<QPushButton *>(name)->click(); }
    QTreeWidget *list() { return window->findChild<QTreeWidget *>("lvSysops"); }

    ConsoleFixture f;
    QPointer<SysopEditor> window;
};
} // namespace

class TestSysopEditor : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void add_data();
    void add();
    void remove_data();
    void remove();
    void saveAndCloseWritesTheFileAsShown();
};

void TestSysopEditor::add_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<int>("asked");
    QTest::addColumn<QString>("refused"); // the answer a message box names
    QTest::newRow("added") << QStringList{"Cy Moss", "cy@x.org", "Pw 3"} << 3 << QString();
    QTest::newRow("cancelled") << QStringList{"Cy", "cy@x.org"} << 3 << QString();
    QTest::newRow("TAB") << QStringList{"C\ty", "c@x", "p"} << 2 << "C\ty";
    QTest::newRow("LF") << QStringList{"Cy", "c@x\n", "p"} << 3 << "c@x\n";
    QTest::newRow("CR") << QStringList{"Cy", "c@x", "p\r1"} << 4 << "p\r1";
    QTest::newRow("outside the code page") << QStringList{"Cy", "c@x", "p\u20AD"} << 4 << "p\u20AD";
}

void TestSysopEditor::add()
{
    QFETCH(QStringList, answers);
    QFETCH(QString, refused);
    Editor editor(TwoRecords);
    editor.f.dialogs.inputAnswers = answers;
    editor.click("cmdAdd");
    const QList<ScriptedDialogs::Shown> &shown = editor.f.dialogs.shown;
    QTEST(int(shown.size()), "asked");
    QCOMPARE(shown[0].title, "Enter description/name");
    if (!refused.isEmpty())
        QVERIFY(shown.last().kind == ScriptedDialogs::Shown::Message &&
                shown.last().text.contains(refused));
    const bool added = refused.isEmpty() && answers.size() == 3;
    QCOMPARE(editor.window->records().value(2),
             (added ? SysopEntry{"Cy Moss", "cy@x.org", "Pw 3"} : SysopEntry()));
    QCOMPARE(editor.f.readProgramFile("sysops.dat"), TwoRecords); // only Save && Close writes
}

void TestSysopEditor::remove_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QList<bool>>("answers"); // none: the default button
    QTest::addColumn<int>("left");
    QTest::newRow("yes") << "cmdRemove" << true << QList<bool>{true} << 1;
    QTest::newRow("no") << "cmdRemove" << true << QList<bool>{false} << 2;
    QTest::newRow("nothing selected") << "cmdRemove" << false << QList<bool>{true} << 2;
    QTest::newRow("all, yes") << "cmdRemoveAll" << true << QList<bool>{true} << 0;
    QTest::newRow("all, default is No") << "cmdRemoveAll" << true << QList<bool>() << 2;
}

void TestSysopEditor::remove()
{
    QFETCH(QString, button);
    QFETCH(bool, selected);
    QFETCH(QList<bool>, answers);
    QFETCH(int, left);
    Editor editor(TwoRecords);
    if (selected)
        editor.list()->setCurrentItem(editor.list()->topLevelItem(1));
    else
        editor.list()->clearSelection();
    editor.f.dialogs.questionAnswers = answers;
    editor.click(qPrintable(button));
    QCOMPARE(editor.window->records().size(), left);
    QCOMPARE(editor.window->records().value(0).name, left ? QByteArray("Ann") : QByteArray());
    const QList<ScriptedDialogs::Shown> &shown = editor.f.dialogs.shown;
    QCOMPARE(shown.size(), selected ? 1 : 0);
    if (button == "cmdRemove" && selected)
        QCOMPARE(shown[0].text, "Are you sure you want to remove the user 'Bob' from the list?");
    // The close box drops the edits.
    editor.window->close();
    QTRY_VERIFY(!editor.window);
    QCOMPARE(editor.f.readProgramFile("sysops.dat"), TwoRecords);
}

// Shown: a hash as what it is, the rest in the code page. Saved: the records
// read as they were, but for a password set anew by a double click, which is
// hashed like that of a new record.
void TestSysopEditor::saveAndCloseWritesTheFileAsShown()
{
    const QByteArray hash = PasswordHash::make("old");
    // First line and unterminated last line skipped; short, long and blank lines.
    Editor editor("Old\tfirst\tline\r\n\xA5Jos\xE9\tj\x80@x.org\t\xFC\xDF\x81\r\n\r\nBob\r\n"
                  "Dee\td@x\tp\textra\r\nAnn\tann@x.org\t" +
                  hash + "\r\nlost");
    const QTreeWidgetItem *row = editor.list()->topLevelItem(0);
    QCOMPARE(row->text(0) + row->text(1) + row->text(2),
             "\u00A5Jos\u00E9j\u20AC@x.org\u00FC\u00DF\u0081");
    QTreeWidgetItem *ann = editor.list()->topLevelItem(3);
    QCOMPARE(ann->text(2), "(stored hashed)");
    QCOMPARE(editor.window->records().value(3).password, hash);
    editor.f.dialogs.inputAnswers = {"new", "Ren\u00E9e", "r\u20AC@x", "pw"};
    Q_EMIT editor.list()->itemDoubleClicked(ann, 2);
    editor.click("cmdAdd");
    editor.click("cmdClose");
    editor.f.settle();
    const QByteArray file = editor.f.readProgramFile("sysops.dat");
    const QList<SysopRecord> saved = SysopList::parse(file);
    QVERIFY(saved.size() == 5 && PasswordHash::isHash(saved[3].password) &&
            PasswordHash::matches("new", saved[3].password) &&
            PasswordHash::isHash(saved[4].password) &&
            PasswordHash::matches("pw", saved[4].password));
    QCOMPARE(file, QByteArray("\r\n\xA5Jos\xE9\tj\x80@x.org\t\xFC\xDF\x81\r\nBob\t\t\r\n"
                              "Dee\td@x\tp\r\nAnn\tann@x.org\t") +
                       saved[3].password +
                       "\r\nRen\xE9"
                       "e\tr\x80@x\t" +
                       saved[4].password + "\r\n");
    QVERIFY(!editor.f.app().sysopEditor());
    QTRY_VERIFY(!editor.window);
    QVERIFY(editor.f.dialogs.messages().isEmpty());
}

QTEST_MAIN(TestSysopEditor)
#include "tst_sysopeditor.moc"
