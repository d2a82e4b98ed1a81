#include "console/operatorcommands.h"

#include "console/mainwindow.h"
#include "core/codepage.h"
#include "core/connectiontable.h"
#include "operator/operatorapi.h"
#include "platform/dialogs.h"

OperatorCommands::OperatorCommands(MainWindow &window, OperatorApi &api, Dialogs &dialogs)
    : QObject(&window), m_window(window), m_api(api), m_dialogs(dialogs)
{
    connect(&window, &MainWindow::announceRequested, this, &OperatorCommands::announce);
    connect(&window, &MainWindow::showAddressRequested, this, &OperatorCommands::showAddress);
    connect(&window, &MainWindow::kickRequested, this, [this] { kickOrBan(Action::Kick); });
    connect(&window, &MainWindow::banRequested, this, [this] { kickOrBan(Action::Ban); });
    connect(&window, &MainWindow::makeServerFileRequested, this, &OperatorCommands::makeServerFile);
}

void OperatorCommands::announce()
{
    const QString text =
        m_dialogs.inputBox(QStringLiteral("What would you like to say to the public?"),
                           QStringLiteral("What:"), QString());
    m_api.announce(Codepage::fromDisplay(text));
}

void OperatorCommands::showAddress()
{
    const int index = m_window.selectedIndex();
    // An "EMPTY" row is nobody: it has no address to show.
    if (index < 0 || m_window.selectedRowText() == Codepage::toDisplay(ConnectionTable::EmptyRow)) {
        m_dialogs.messageBox(QStringLiteral("No user is selected."), QString(),
                             Dialogs::Icon::Information);
        return;
    }
    m_dialogs.messageBox(QString::fromLatin1(m_api.addressOf(index)), QString(),
                         Dialogs::Icon::None);
}

void OperatorCommands::kickOrBan(Action action)
{
    const bool banning = action == Action::Ban;
    const QString selected = m_window.selectedRowText();
    const QString who =
        m_dialogs.inputBox(banning ? QStringLiteral("Who would you like to Banning?")
                                   : QStringLiteral("Who would you like to kick?"),
                           QStringLiteral("Who:") + selected, selected);
    // Chosen now: the sockets keep running while the reason is asked for, so
    // the user may leave and somebody else may take the index meanwhile.
    const std::optional<OperatorTarget> target = m_api.findUser(Codepage::fromDisplay(who));
    if (!target) {
        m_dialogs.messageBox(QStringLiteral("No one in the chat has that name!"),
                             QStringLiteral("Note:"), Dialogs::Icon::Information);
        return;
    }
    const QByteArray reason = Codepage::fromDisplay(
        m_dialogs.inputBox(banning ? QStringLiteral("For what reason are you Banning?")
                                   : QStringLiteral("For what reason are you kicking?"),
                           QStringLiteral("Reason:"), QString()));
    if (!banning) {
        // A user who has left is not told; nothing else to say.
        m_api.kick(*target, reason);
        return;
    }
    const OperatorResult result = m_api.ban(*target, reason);
    if (!result.ok)
        m_dialogs.messageBox(result.error, QStringLiteral("Ban User"), Dialogs::Icon::Critical);
}

void OperatorCommands::makeServerFile()
{
    m_api.makeServerFile(m_window.selectedRowText(), m_dialogs);
}
