#include "console/accountswiring.h"

#include "accounts/loginserver.h"
#include "accounts/userswindowhost.h"
#include "console/mainwindow.h"
#include "core/chatserver.h"
#include "core/codepage.h"

#include <QCheckBox>
#include <QPushButton>

UsersWindowHost *wireAccounts(MainWindow &window, LoginServer &login)
{
    auto *host = new UsersWindowHost(login.usersDatabasePath(), window.dialogs(), &window, &window);
    if (auto *userSearch = window.findChild<QPushButton *>(QStringLiteral("Command2")))
        QObject::connect(userSearch, &QPushButton::clicked, host, &UsersWindowHost::show);
    if (auto *requirePasswords = window.findChild<QCheckBox *>(QStringLiteral("Check1"))) {
        login.setPasswordsRequired(requirePasswords->isChecked());
        QObject::connect(requirePasswords, &QCheckBox::toggled, &login,
                         &LoginServer::setPasswordsRequired);
    }
    QObject::connect(&login, &LoginServer::registeredUsersCounted, host,
                     &UsersWindowHost::setCountLine);
    ChatServer &chat = window.chat();
    QObject::connect(&login, &LoginServer::storeProblem, &chat, [&chat](const QString &text) {
        chat.addOutputLine(Codepage::fromDisplay(text));
    });
    QObject::connect(&login, &LoginServer::operatorNotice, &chat, &ChatServer::notifyOperator);
    return host;
}
