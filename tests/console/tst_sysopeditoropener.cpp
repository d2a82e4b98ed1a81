#include "console/mainwindow.h"
#include "console/sysopeditoropener.h"
#include "core/chatserver.h"
#include "scripteddialogs.h"

#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

class TestSysopEditorOpener : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void buttonOpensOneEditor();
};

void TestSysopEditorOpener::buttonOpensOneEditor()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("sysops.dat");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\r\nAnn\tann@x.org\tpw1\r\n");
    }
    ServerConfig config;
    config.programFolder = dir.path();
    config.workingDirectory = dir.path();
    ConnectionTable table;
    ChatServer chat(table, config);
    ScriptedDialogs dialogs;
    MainWindow window(chat, dialogs);
    new SysopEditorOpener(window, dialogs, path);
    window.show();

    auto *button = window.findChild<QPushButton *>("cmdSysop");
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton);
    auto *editor = window.findChild<QWidget *>("frmSysop");
    QVERIFY(editor);
    QVERIFY(editor->isVisible());
    QVERIFY(editor->isWindow());
    QVERIFY(!editor->isModal());
    auto *list = editor->findChild<QTreeWidget *>("lvSysops");
    QCOMPARE(list->topLevelItemCount(), 1);

    // A second click brings the open window forward without reloading it.
    dialogs.inputAnswers = {"Bob", "bob@x.org", "pw2"};
    QTest::mouseClick(editor->findChild<QPushButton *>("cmdAdd"), Qt::LeftButton);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(window.findChildren<QWidget *>("frmSysop").size(), 1);
    QCOMPARE(list->topLevelItemCount(), 2);

    // Closed by its close box, it opens afresh from the file.
    editor->close();
    QTRY_VERIFY(!window.findChild<QWidget *>("frmSysop"));
    QTest::mouseClick(button, Qt::LeftButton);
    editor = window.findChild<QWidget *>("frmSysop");
    QVERIFY(editor);
    QCOMPARE(editor->findChild<QTreeWidget *>("lvSysops")->topLevelItemCount(), 1);
}

QTEST_MAIN(TestSysopEditorOpener)
#include "tst_sysopeditoropener.moc"
