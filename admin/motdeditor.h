#pragma once

#include <QWidget>

class ChatServer;
class Dialogs;
class QPlainTextEdit;

// frmEditMOTD: edits motd.txt in the working directory. OK saves the file and
// puts the text into the running server (and with it the console's MOTD box);
// closing the window any other way drops the edits.
class MotdEditor : public QWidget
{
    Q_OBJECT
public:
    MotdEditor(ChatServer &chat, Dialogs &dialogs, QWidget *parent = nullptr);

    // Fills the box from the file. False, after telling the operator, when the
    // file cannot be read: the window must then not be shown, so that its empty
    // box can never overwrite the file.
    bool load();

private:
    void onOk();
    QString motdPath() const;

    ChatServer &m_chat;
    Dialogs &m_dialogs;
    QPlainTextEdit *m_text;
};
