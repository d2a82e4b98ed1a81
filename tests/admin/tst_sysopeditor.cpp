#include "admin/sysopeditor.h"
#include "scripteddialogs.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace {
QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

const QByteArray TwoRecords = "\r\nAnn\tann@x.org\tpw1\r\nBob\tbob@x.org\tpw2\r\n";
} // namespace

class TestSysopEditor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void layout();
    void loadsRecordsInFileOrder();
    void missingFileOpensEmpty();
    void unreadableFileIsReported();
    void addAppendsRow();
    void addStopsAtEmptyAnswer_data();
    void addStopsAtEmptyAnswer();
    void addRefusesUnstorableAnswer_data();
    void addRefusesUnstorableAnswer();
    void removeAsksForSelectedRow_data();
    void removeAsksForSelectedRow();
    void removeWithoutSelectionDoesNothing();
    void saveAndCloseWritesFileAndCloses();
    void saveFailureKeepsWindowAndRows();
    void closeBoxDropsEdits();
    void eightBitTextRoundTrips();

private:
    void open();
    QStringList rows() const;
    void click(const char *name);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    ScriptedDialogs m_dialogs;
    QPointer<SysopEditor> m_editor;
    QTreeWidget *m_list = nullptr;
};

void TestSysopEditor::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_path = m_dir->filePath("sysops.dat");
    m_dialogs = ScriptedDialogs();
}

void TestSysopEditor::cleanup()
{
    delete m_editor;
    m_list = nullptr;
}

void TestSysopEditor::open()
{
    m_editor = new SysopEditor(m_dialogs, m_path);
    m_editor->show();
    m_list = m_editor->findChild<QTreeWidget *>("lvSysops");
    QVERIFY(m_list);
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

void TestSysopEditor::click(const char *name)
{
    auto *button = m_editor->findChild<QPushButton *>(name);
    QVERIFY2(button, name);
    QTest::mouseClick(button, Qt::LeftButton);
}

void TestSysopEditor::layout()
{
    open();
    QCOMPARE(m_editor->objectName(), "frmSysop");
    QCOMPARE(m_editor->windowTitle(), "Tarnwick Mod Lists");
    QCOMPARE(m_editor->size(), QSize(394, 203));
    QVERIFY(!m_editor->isModal());

    auto *frame = m_editor->findChild<QGroupBox *>("Frame1");
    QVERIFY(frame);
    QCOMPARE(frame->title(), "System Operator List");
    QCOMPARE(frame->geometry(), QRect(4, 4, 385, 193));
    QCOMPARE(m_list->parentWidget(), frame);
    QCOMPARE(m_list->geometry(), QRect(8, 16, 369, 137));
    QCOMPARE(m_list->columnCount(), 3);
    const QStringList headers{"User's name/description", "Users E-Mail", "User's Password"};
    for (int column = 0; column < 3; ++column) {
        QCOMPARE(m_list->headerItem()->text(column), headers[column]);
        QCOMPARE(m_list->columnWidth(column), 2540 / 15);
    }
    QVERIFY(!m_list->isSortingEnabled());

    const struct
    {
        const char *name;
        const char *caption;
        QRect geometry;
    } buttons[] = {
        {"cmdAdd", "Add", QRect(8, 160, 81, 25)},
        {"cmdClose", "Save && Close", QRect(108, 160, 81, 25)},
        {"cmdRemove", "Remove", QRect(208, 160, 81, 25)},
        {"cmdRemoveAll", "Remove All", QRect(296, 160, 81, 25)},
    };
    for (const auto &b : buttons) {
        auto *button = frame->findChild<QPushButton *>(b.name);
        QVERIFY2(button, b.name);
        QCOMPARE(button->text(), QString::fromLatin1(b.caption));
        QCOMPARE(button->geometry(), b.geometry);
    }
}

void TestSysopEditor::loadsRecordsInFileOrder()
{
    writeFile(m_path, "skipped\tx\ty\r\nCy\tc@x\tp3\r\nAnn\tann@x.org\tpw1\r\n\r\nBob\r\n"
                      "Dee\td@x\tp4\textra\r\ntail\tt@x\tp5");
    open();
    QCOMPARE(rows(), (QStringList{"Cy|c@x|p3", "Ann|ann@x.org|pw1", "Bob||", "Dee|d@x|p4"}));
    QVERIFY(m_dialogs.shown.isEmpty());
}

void TestSysopEditor::missingFileOpensEmpty()
{
    open();
    QCOMPARE(m_list->topLevelItemCount(), 0);
    QVERIFY(m_dialogs.shown.isEmpty());
    click("cmdClose");
    QCOMPARE(readFile(m_path), QByteArray("\r\n"));
    QVERIFY(!m_editor || !m_editor->isVisible());
}

void TestSysopEditor::unreadableFileIsReported()
{
    QVERIFY(QDir(m_dir->path()).mkdir("sysops.dat"));
    open();
    QCOMPARE(m_list->topLevelItemCount(), 0);
    const auto messages = m_dialogs.messages();
    QCOMPARE(messages.size(), 1);
    QVERIFY(messages[0].text.contains(QDir::toNativeSeparators(m_path)));
}

void TestSysopEditor::addAppendsRow()
{
    writeFile(m_path, TwoRecords);
    open();
    m_dialogs.inputAnswers = {"Ann", "ann@x.org", "pw1", "Cy Moss", "cy@x.org", "Pw 3"};
    click("cmdAdd");
    click("cmdAdd");
    QCOMPARE(rows(), (QStringList{"Ann|ann@x.org|pw1", "Bob|bob@x.org|pw2", "Ann|ann@x.org|pw1",
                                  "Cy Moss|cy@x.org|Pw 3"}));
    QCOMPARE(m_dialogs.shown.size(), 6);
    const QStringList prompts{"Enter the username for a description of the sysop.",
                              "Enter the user's E-Mail address.",
                              "Enter a password for this user."};
    const QStringList titles{"Enter description/name", "Enter E-Mail address", "Enter Password"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(m_dialogs.shown[i].kind, ScriptedDialogs::Shown::Input);
        QCOMPARE(m_dialogs.shown[i].text, prompts[i]);
        QCOMPARE(m_dialogs.shown[i].title, titles[i]);
        QCOMPARE(m_dialogs.shown[i].defaultAnswer, QString());
    }
    QCOMPARE(readFile(m_path), TwoRecords); // only Save && Close writes
}

void TestSysopEditor::addStopsAtEmptyAnswer_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<int>("asked");
    QTest::newRow("first") << QStringList{""} << 1;
    QTest::newRow("second") << QStringList{"Ann", ""} << 2;
    QTest::newRow("third") << QStringList{"Ann", "ann@x.org", ""} << 3;
    QTest::newRow("cancel at the third") << QStringList{"Ann", "ann@x.org"} << 3;
}

void TestSysopEditor::addStopsAtEmptyAnswer()
{
    QFETCH(QStringList, answers);
    QFETCH(int, asked);
    writeFile(m_path, TwoRecords);
    open();
    m_dialogs.inputAnswers = answers;
    click("cmdAdd");
    QCOMPARE(rows(), (QStringList{"Ann|ann@x.org|pw1", "Bob|bob@x.org|pw2"}));
    QCOMPARE(m_dialogs.shown.size(), asked);
}

void TestSysopEditor::addRefusesUnstorableAnswer_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("bad");
    QTest::newRow("TAB in the name") << QStringList{"A\tnn", "a@x", "p"} << "A\tnn";
    QTest::newRow("LF in the e-mail") << QStringList{"Ann", "a@x\n", "p"} << "a@x\n";
    QTest::newRow("CR in the password") << QStringList{"Ann", "a@x", "p\r1"} << "p\r1";
    QTest::newRow("outside the code page") << QStringList{"Ann", "a@x", "p\u20AD"} << "p\u20AD";
}

void TestSysopEditor::addRefusesUnstorableAnswer()
{
    QFETCH(QStringList, answers);
    QFETCH(QString, bad);
    open();
    m_dialogs.inputAnswers = answers;
    click("cmdAdd");
    QCOMPARE(m_list->topLevelItemCount(), 0);
    const auto messages = m_dialogs.messages();
    QCOMPARE(messages.size(), 1);
    QVERIFY(messages[0].text.contains(bad));
    // Nothing more is asked after the refused answer.
    QCOMPARE(m_dialogs.shown.last().kind, ScriptedDialogs::Shown::Message);
}

void TestSysopEditor::removeAsksForSelectedRow_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QList<bool>>("answers");
    QTest::addColumn<QStringList>("left");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("icon");
    QTest::addColumn<bool>("noIsDefault");
    const QString one = "Are you sure you want to remove the user 'Bob' from the list?";
    const QString all = "Warning: Are you sure you want to remove ALL users from the list?";
    const QStringList both{"Ann|ann@x.org|pw1", "Bob|bob@x.org|pw2"};
    QTest::newRow("yes") << "cmdRemove" << QList<bool>{true} << QStringList{both[0]} << one
                         << "Remove user?" << int(Dialogs::Icon::Question) << false;
    QTest::newRow("no") << "cmdRemove" << QList<bool>{false} << both << one << "Remove user?"
                        << int(Dialogs::Icon::Question) << false;
    QTest::newRow("all, yes") << "cmdRemoveAll" << QList<bool>{true} << QStringList() << all
                              << "Remove ALL users?" << int(Dialogs::Icon::Warning) << true;
    QTest::newRow("all, no") << "cmdRemoveAll" << QList<bool>{false} << both << all
                             << "Remove ALL users?" << int(Dialogs::Icon::Warning) << true;
    QTest::newRow("all, default button")
        << "cmdRemoveAll" << QList<bool>() << both << all << "Remove ALL users?"
        << int(Dialogs::Icon::Warning) << true;
}

void TestSysopEditor::removeAsksForSelectedRow()
{
    QFETCH(QString, button);
    QFETCH(QList<bool>, answers);
    QFETCH(QStringList, left);
    writeFile(m_path, TwoRecords);
    open();
    m_list->setCurrentItem(m_list->topLevelItem(1));
    m_dialogs.questionAnswers = answers;
    click(qPrintable(button));
    QCOMPARE(rows(), left);
    QCOMPARE(m_dialogs.shown.size(), 1);
    const auto &question = m_dialogs.shown[0];
    QCOMPARE(question.kind, ScriptedDialogs::Shown::Question);
    QTEST(question.text, "text");
    QTEST(question.title, "title");
    QTEST(int(question.icon), "icon");
    QTEST(question.noIsDefault, "noIsDefault");
}

void TestSysopEditor::removeWithoutSelectionDoesNothing()
{
    open();
    click("cmdRemove"); // empty list
    writeFile(m_path, TwoRecords);
    delete m_editor;
    open();
    m_list->clearSelection();
    click("cmdRemove");
    QCOMPARE(m_list->topLevelItemCount(), 2);
    QVERIFY(m_dialogs.shown.isEmpty());
}

void TestSysopEditor::saveAndCloseWritesFileAndCloses()
{
    writeFile(m_path, "Old\tfirst\tline\r\nAnn\tann@x.org\tpw1\r\nBob\r\nlost");
    open();
    m_dialogs.inputAnswers = {"Cy", "cy@x.org", "pw3"};
    click("cmdAdd");
    m_list->setCurrentItem(m_list->topLevelItem(0));
    m_dialogs.questionAnswers = {true};
    click("cmdRemove");
    click("cmdClose");
    QCOMPARE(readFile(m_path), QByteArray("\r\nBob\t\t\r\nCy\tcy@x.org\tpw3\r\n"));
    QTRY_VERIFY(!m_editor); // closed and gone
    QVERIFY(m_dialogs.messages().isEmpty());
}

void TestSysopEditor::saveFailureKeepsWindowAndRows()
{
    m_path = m_dir->filePath("missing-folder/sysops.dat");
    open();
    m_dialogs.inputAnswers = {"Ann", "ann@x.org", "pw1"};
    click("cmdAdd");
    click("cmdClose");
    QTest::qWait(20);
    QVERIFY(m_editor);
    QVERIFY(m_editor->isVisible());
    QCOMPARE(rows(), QStringList{"Ann|ann@x.org|pw1"});
    const auto messages = m_dialogs.messages();
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].text.contains(QDir::toNativeSeparators(m_path)),
             qPrintable(messages[0].text));
    QVERIFY(messages[0].text.contains("No such file or directory"));
}

void TestSysopEditor::closeBoxDropsEdits()
{
    writeFile(m_path, TwoRecords);
    open();
    m_dialogs.inputAnswers = {"Cy", "cy@x.org", "pw3"};
    click("cmdAdd");
    m_dialogs.questionAnswers = {true};
    click("cmdRemoveAll");
    QVERIFY(m_editor->close());
    QTRY_VERIFY(!m_editor);
    QCOMPARE(readFile(m_path), TwoRecords);
}

void TestSysopEditor::eightBitTextRoundTrips()
{
    const QByteArray content = "\r\n\xA5Jos\xE9\tj\x80@x.org\t\xFC\xDF\x81\r\n";
    writeFile(m_path, content);
    open();
    QCOMPARE(rows(),
             QStringList{QString::fromUtf8("\u00A5Jos\u00E9|j\u20AC@x.org|\u00FC\u00DF\u0081")});
    m_dialogs.inputAnswers = {QString::fromUtf8("Ren\u00E9e"), QString::fromUtf8("r\u20AC@x"),
                              "pw"};
    click("cmdAdd");
    click("cmdClose");
    QCOMPARE(readFile(m_path), content + "Ren\xE9"
                                         "e\tr\x80@x\tpw\r\n");
}

QTEST_MAIN(TestSysopEditor)
#include "tst_sysopeditor.moc"
