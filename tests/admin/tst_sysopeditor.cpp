#include "admin/sysopeditor.h"
#include "scripteddialogs.h"

#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

namespace {
const QByteArray TwoRecords = "\r\nAnn\tann@x.org\tpw1\r\nBob\tbob@x.org\tpw2\r\n";
}

class TestSysopEditor : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { delete m_editor; }
    void add_data();
    void add();
    void remove_data();
    void remove();
    void saveAndCloseWritesTheFileAsShown();

private:
    void open(const QByteArray &content)
    {
        m_dialogs = ScriptedDialogs();
        QFile out(m_dir.filePath("sysops.dat"));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
        out.close();
        m_editor = new SysopEditor(m_dialogs, out.fileName());
        m_editor->show();
    }
    void click(const char *name) { m_editor->findChild<QPushButton *>(name)->click(); }
    QByteArray file() const
    {
        QFile in(m_dir.filePath("sysops.dat"));
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }

    QTemporaryDir m_dir;
    ScriptedDialogs m_dialogs;
    QPointer<SysopEditor> m_editor;
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
    QFETCH(int, asked);
    QFETCH(QString, refused);
    open(TwoRecords);
    m_dialogs.inputAnswers = answers;
    click("cmdAdd");
    QCOMPARE(m_dialogs.shown.size(), asked);
    QCOMPARE(m_dialogs.shown[0].title, "Enter description/name");
    if (!refused.isEmpty())
        QVERIFY(m_dialogs.shown.last().kind == ScriptedDialogs::Shown::Message &&
                m_dialogs.shown.last().text.contains(refused));
    const bool added = refused.isEmpty() && answers.size() == 3;
    QCOMPARE(m_editor->records().value(2),
             (added ? SysopRecord{"Cy Moss", "cy@x.org", "Pw 3"} : SysopRecord()));
    QCOMPARE(file(), TwoRecords); // only Save && Close writes
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
    open(TwoRecords);
    auto *list = m_editor->findChild<QTreeWidget *>("lvSysops");
    if (selected)
        list->setCurrentItem(list->topLevelItem(1));
    else
        list->clearSelection();
    m_dialogs.questionAnswers = answers;
    click(qPrintable(button));
    QCOMPARE(m_editor->records().size(), left);
    QCOMPARE(m_editor->records().value(0).name, left ? QByteArray("Ann") : QByteArray());
    QCOMPARE(m_dialogs.shown.size(), selected ? 1 : 0);
    if (button == "cmdRemove" && selected)
        QCOMPARE(m_dialogs.shown[0].text,
                 "Are you sure you want to remove the user 'Bob' from the list?");
}

void TestSysopEditor::saveAndCloseWritesTheFileAsShown()
{
    // First line and unterminated last line skipped; short, long and blank lines.
    open("Old\tfirst\tline\r\n\xA5Jos\xE9\tj\x80@x.org\t\xFC\xDF\x81\r\n\r\nBob\r\n"
         "Dee\td@x\tp\textra\r\nlost");
    const QTreeWidgetItem *row = m_editor->findChild<QTreeWidget *>("lvSysops")->topLevelItem(0);
    QCOMPARE(row->text(0) + row->text(1) + row->text(2),
             "\u00A5Jos\u00E9j\u20AC@x.org\u00FC\u00DF\u0081");
    m_dialogs.inputAnswers = {"Ren\u00E9e", "r\u20AC@x", "pw"};
    click("cmdAdd");
    click("cmdClose");
    QCOMPARE(file(), QByteArray("\r\n\xA5Jos\xE9\tj\x80@x.org\t\xFC\xDF\x81\r\nBob\t\t\r\n"
                                "Dee\td@x\tp\r\nRen\xE9"
                                "e\tr\x80@x\tpw\r\n"));
    QTRY_VERIFY(!m_editor);
    QVERIFY(m_dialogs.messages().isEmpty());
}

QTEST_MAIN(TestSysopEditor)
#include "tst_sysopeditor.moc"
