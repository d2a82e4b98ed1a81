#pragma once

class LoginServer;
class MainWindow;
class UsersWindowHost;

// Joins the accounts to the console: "User Search" (Command2) shows frmStart,
// "Require Passwords" (Check1) switches the login service, and the login
// service's count line, store problems and failed accepts reach the users
// window, the log view and the operator. The host belongs to the window.
UsersWindowHost *wireAccounts(MainWindow &window, LoginServer &login);
