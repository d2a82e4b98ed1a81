#include "consolefixture.h"

#include "console/mainwindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

ConsoleFixture::ConsoleFixture(Start start, Boxes boxes) : m_boxes(boxes)
{
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
    settle();
    QStringList texts;
    for (const ScriptedDialogs::Shown &shown : dialogs.messages())
        texts.append(shown.text);
    dialogs.shown.clear();
    return texts;
}

QStringList ConsoleFixture::logLines()
{
    settle();
    window().flushOutput();
    return window().outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
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
    if (!QTest::qWaitFor([&] { return !poll.isActive(); }))
        qWarning("no box was opened");
    return shown;
}
