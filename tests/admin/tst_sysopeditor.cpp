#include "admin/sysopeditor.h"
#include "scripteddialogs.h"

#include <QFile>
#include <QGroupBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <memory>

class TestSysopEditor : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void layout();
    void add_data();
    void add();
    void remove_data();
    void remove();
    void saveAndCloseWritesTheFileAsShown();
    void closeBoxDropsEdits();

private:
    void open(const QByteArray &content);
    QStringList rows() const;
    void click(const char *name) { m_editor->findChild<QPushButton *>(name)->click(); }
    QByteArray file() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    ScriptedDialogs m_dialogs;
    QPointer<SysopEditor> m_editor;
    QTreeWidget *m_list = nullptr;
};

namespace {
const QByteArray TwoRecords = "\r\nAnn\tann@x.org\tpw1\r\nBob\tbob@x.org\tpw2\r\n";
const QStringList TwoRows{"Ann|ann@x.org|pw1", "Bob|bob@x.org|pw2"};
} // namespace

void TestSysopEditor::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_dialogs = ScriptedDialogs();
}

void TestSysopEditor::cleanup()
{
    delete m_editor;
}

void TestSysopEditor::open(const QByteArray &content)
{
    QFile out(m_dir->filePath("sysops.dat"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(content);
    out.close();
    m_editor = new SysopEditor(m_dialogs, out.fileName());
    m_editor->show();
    m_list = m_editor->findChild<QTreeWidget *>("lvSysops");
}

QStringList TestSysopEditor::rows() const
{
    QStringList result;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = m_list->topLevelItem(i);
        result.append(item->text(0) + '|' + item->text(1) + '|' + item->text(2));
    }
    return result;
}

QByteArray TestSysopEditor::file() const
{
    QFile in(m_dir->filePath("sysops.dat"));
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

void TestSysopEditor::layout()
{
    open(QByteArray());
    QCOMPARE(m_editor->objectName(), "frmSysop");
    QCOMPARE(m_editor->windowTitle(), "Tarnwick Mod Lists");
    QCOMPARE(m_editor->size(), QSize(394, 203));
    QCOMPARE(m_list->geometry(), QRect(8, 16, 369, 137));
    QCOMPARE(m_list->headerItem()->text(1), "Users E-Mail");
    const struct
    {
        const char *name;
        const char *caption;
        QRect geometry;
    } controls[] = {{"Frame1", "System Operator List", QRect(4, 4, 385, 193)},
                    {"cmdAdd", "Add", QRect(8, 160, 81, 25)},
                    {"cmdClose", "Save && Close", QRect(108, 160, 81, 25)},
                    {"cmdRemove", "Remove", QRect(208, 160, 81, 25)},
                    {"cmdRemoveAll", "Remove All", QRect(296, 160, 81, 25)}};
    for (const auto &c : controls) {
        auto *widget = m_editor->findChild<QWidget *>(c.name);
        QVERIFY2(widget, c.name);
        QCOMPARE(widget->geometry(), c.geometry);
        auto *button = qobject_cast<QPushButton *>(widget);
        QCOMPARE(button ? button->text() : qobject_cast<QGroupBox *>(widget)->title(),
                 QString::fromLatin1(c.caption));
    }
}

void TestSysopEditor::add_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<int>("asked");
    QTest::addColumn<QString>("refused"); // the answer a message box names
    QTest::newRow("added") << QStringList{"Cy Moss", "cy@x.org", "Pw 3"} << 3 << QString();
    QTest::newRow("empty second answer") << QStringList{"Cy", ""} << 2 << QString();
    QTest::newRow("cancel at the third") << QStringList{"Cy", "cy@x.org"} << 3 << QString();
    QTest::newRow("TAB") << QStringList{"C\ty", "c@x", "p"} << 2 << "C\ty";
    QTest::newRow("CR") << QStringList{"Cy", "c@x", "p\r1"} << 4 << "p\r1";
    QTest::newRow("LF") << QStringList{"Cy", "c@x\n", "p"} << 3 << "c@x\n";
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
    QCOMPARE(m_dialogs.shown[0].text, "Enter the username for a description of the sysop.");
    QCOMPARE(m_dialogs.shown[0].title, "Enter description/name");
    if (!refused.isEmpty())
        QVERIFY(m_dialogs.shown.last().kind == ScriptedDialogs::Shown::Message &&
                m_dialogs.shown.last().text.contains(refused));
    const bool added = refused.isEmpty() && answers.size() == 3;
    QCOMPARE(rows(), added ? TwoRows + QStringList{answers.join('|')} : TwoRows);
    QCOMPARE(file(), TwoRecords); // only Save && Close writes
}

void TestSysopEditor::remove_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QList<bool>>("answers"); // none: the default button
    QTest::addColumn<QStringList>("left");
    const QStringList none;
    QTest::newRow("yes") << "cmdRemove" << true << QList<bool>{true} << TwoRows.mid(0, 1);
    QTest::newRow("no") << "cmdRemove" << true << QList<bool>{false} << TwoRows;
    QTest::newRow("nothing selected") << "cmdRemove" << false << QList<bool>{true} << TwoRows;
    QTest::newRow("all, yes") << "cmdRemoveAll" << true << QList<bool>{true} << none;
    QTest::newRow("all, default is No") << "cmdRemoveAll" << false << QList<bool>() << TwoRows;
}

void TestSysopEditor::remove()
{
    QFETCH(QString, button);
    QFETCH(bool, selected);
    QFETCH(QList<bool>, answers);
    open(TwoRecords);
    if (selected)
        m_list->setCurrentItem(m_list->topLevelItem(1));
    else
        m_list->clearSelection();
    m_dialogs.questionAnswers = answers;
    click(qPrintable(button));
    QTEST(rows(), "left");
    if (button == "cmdRemove" && selected)
        QCOMPARE(m_dialogs.shown.value(0).text,
                 "Are you sure you want to remove the user 'Bob' from the list?");
    QCOMPARE(m_dialogs.shown.size(), button == "cmdRemove" && !selected ? 0 : 1);
}

void TestSysopEditor::saveAndCloseWritesTheFileAsShown()
{
    open("Old\tfirst\tline\r\n\xA5Jos\xE9\tj\x80@x.org\t\xFC\xDF\x81\r\nBob\r\nlost");
    QCOMPARE(rows(), (QStringList{"\u00A5Jos\u00E9|j\u20AC@x.org|\u00FC\u00DF\u0081", "Bob||"}));
    m_dialogs.inputAnswers = {"Ren\u00E9e", "r\u20AC@x", "pw"};
    click("cmdAdd");
    click("cmdClose");
    QCOMPARE(file(), QByteArray("\r\n\xA5Jos\xE9\tj\x80@x.org\t\xFC\xDF\x81\r\nBob\t\t\r\nRen\xE9"
                                "e\tr\x80@x\tpw\r\n"));
    QTRY_VERIFY(!m_editor);
    QVERIFY(m_dialogs.messages().isEmpty());
}

void TestSysopEditor::closeBoxDropsEdits()
{
    open(TwoRecords);
    m_dialogs.questionAnswers = {true};
    click("cmdRemoveAll");
    QVERIFY(m_editor->close());
    QTRY_VERIFY(!m_editor);
    QCOMPARE(file(), TwoRecords);
}

QTEST_MAIN(TestSysopEditor)
#include "tst_sysopeditor.moc"
