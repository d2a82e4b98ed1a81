#include "consolefixture.h"

#include "console/mainwindow.h"
#include "core/codepage.h"
#include "core/textfile.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

namespace {
void writeFile(const QString &path, const QByteArray &bytes)
{
    if (!TextFile::replace(path, bytes))
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray readFile(const QString &path)
{
    return TextFile::read(path, TextFile::Missing::ReadsAsEmpty).value_or(QByteArray());
}
} // namespace

ConsoleFixture::ConsoleFixture(Start start, Boxes boxes) : m_boxes(boxes)
{
    config.programFolder = programFolder.path();
    config.workingDirectory = workingDirectory.path();
    config.chatPort = 0;
    config.loginPort = 0;
    if (start == Start::Now) {
        const QStringList failures = this->start();
        if (!failures.isEmpty())
            qFatal("the console did not start: %s", qPrintable(failures.join(u'\n')));
    }
}

ConsoleFixture::~ConsoleFixture() = default;

ConsoleApp &ConsoleFixture::app()
{
    if (!m_app)
        m_app =
            std::make_unique<ConsoleApp>(config, m_boxes == Boxes::Scripted ? &dialogs : nullptr);
    return *m_app;
}

QStringList ConsoleFixture::restart()
{
    m_app.reset();
    return start();
}

void ConsoleFixture::click(const char *name)
{
    if (auto *button = find<QAbstractButton>(name))
        button->click();
    else if (auto *action = find<QAction>(name))
        action->trigger();
    else
        QFAIL(name);
}

void ConsoleFixture::select(int row)
{
    find<QListWidget>("lstUsers")->setCurrentRow(row);
}

QStringList ConsoleFixture::takeMessages()
{
    QStringList texts;
    for (const ScriptedDialogs::Shown &shown : dialogs.messages())
        texts.append(shown.text);
    dialogs.shown.clear();
    return texts;
}

QStringList ConsoleFixture::logLines()
{
    window().flushOutput();
    return window().outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

std::unique_ptr<RawClient> ConsoleFixture::connect(const QString &from)
{
    auto client = std::make_unique<RawClient>();
    if (!client->connectTo(chat().port(), from))
        qWarning("could not connect from %s", qPrintable(from));
    return client;
}

std::unique_ptr<RawClient> ConsoleFixture::join(const QByteArray &name, const QString &from)
{
    auto client = connect(from);
    // The lines of one chunk are handled in order: the reply to the second
    // line comes after the join has sent everything (the join's own MOTD
    // line first).
    client->send("Name\t" + name + "\r\nMOTD\r\n");
    const QByteArray motd = "MOTD\t" + api().motd() + "\r\n";
    QByteArray received;
    while (received.count(motd) < 2) {
        const QList<QByteArray> lines = client->readLines(1);
        if (lines.isEmpty()) {
            qWarning("the join of %s did not end", name.constData());
            break;
        }
        received += lines.constFirst();
    }
    return client;
}

int ConsoleFixture::rowOf(const QByteArray &text)
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (table().row(i) == text)
            return i;
    }
    return -1;
}

QByteArray ConsoleFixture::readProgramFile(const QString &name) const
{
    return readFile(programFile(name));
}

QByteArray ConsoleFixture::readWorkingFile(const QString &name) const
{
    return readFile(workingFile(name));
}

void ConsoleFixture::writeProgramFile(const QString &name, const QByteArray &bytes) const
{
    writeFile(programFile(name), bytes);
}

void ConsoleFixture::writeWorkingFile(const QString &name, const QByteArray &bytes) const
{
    writeFile(workingFile(name), bytes);
}

ShownBox closeBoxOpenedBy(const std::function<void()> &action)
{
    ShownBox shown;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        shown = {box->windowTitle(), box->text(), box->parentWidget(), box->width()};
        box->done(QMessageBox::Ok);
    });
    poll.start();
    action();
    return shown;
}
