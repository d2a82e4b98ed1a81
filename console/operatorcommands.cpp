#include "console/operatorcommands.h"

#include "console/mainwindow.h"
#include "core/codepage.h"
#include "core/connectiontable.h"
#include "operator/operatorclient.h"
#include "platform/dialogs.h"
#include "serverfile/serverfilemaker.h"

OperatorCommands::OperatorCommands(MainWindow &window, OperatorClient &client, Dialogs &dialogs)
    : QObject(&window), m_window(window), m_client(client), m_dialogs(dialogs)
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
    m_client.announce(Codepage::fromDisplay(text));
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
    m_client.addressOf(index, this, [this](const QByteArray &address) {
        m_dialogs.messageBox(QString::fromLatin1(address), QString(), Dialogs::Icon::None);
    });
}

void OperatorCommands::kickOrBan(Action action)
{
    const bool banning = action == Action::Ban;
    const QString selected = m_window.selectedRowText();
    const QString who =
        m_dialogs.inputBox(banning ? QStringLiteral("Who would you like to Banning?")
                                   : QStringLiteral("Who would you like to kick?"),
                           QStringLiteral("Who:") + selected, selected);
    // Chosen now: the room goes on while the reason is asked for, so the user
    // may leave and somebody else may take the index meanwhile.
    m_client.findUser(
        Codepage::fromDisplay(who), this,
        [this, banning](const std::optional<OperatorTarget> &target) {
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
                m_client.kick(*target, reason);
                return;
            }
            m_client.ban(*target, reason, this, [this](const OperatorResult &result) {
                if (!result.ok)
                    m_dialogs.messageBox(result.error, QStringLiteral("Ban User"),
                                         Dialogs::Icon::Critical);
            });
        });
}

void OperatorCommands::makeServerFile()
{
    if (m_client.isMakingServerFile()) {
        m_dialogs.messageBox(ServerFileMaker::busyText(), ServerFileMaker::title(),
                             Dialogs::Icon::Warning);
        return;
    }
    const QString name = m_dialogs.inputBox(ServerFileMaker::namePrompt(),
                                            QStringLiteral("Who:") + m_window.selectedRowText(),
                                            ServerFileMaker::defaultName());
    m_client.makeServerFile(name, this, [this](const OperatorResult &result) {
        if (!result.ok)
            m_dialogs.messageBox(result.error, ServerFileMaker::title(), Dialogs::Icon::Critical);
    });
}
