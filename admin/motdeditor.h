#pragma once

#include <QWidget>

class Dialogs;
class OperatorClient;
class QPlainTextEdit;

// frmEditMOTD: edits motd.txt in the working directory. OK saves the file and
// puts the text into the running server (and with it the console's MOTD box)
// through the operator client, as any other way of setting the MOTD does;
// closing the window any other way drops the edits.
class MotdEditor : public QWidget
{
    Q_OBJECT
public:
    MotdEditor(OperatorClient &client, Dialogs &dialogs, QWidget *parent = nullptr);

    // Fills the box from the file. False, after telling the operator, when the
    // file cannot be read: the window must then not be shown, so that its empty
    // box can never overwrite the file.
    bool load();

private:
    void onOk();

    OperatorClient &m_client;
    Dialogs &m_dialogs;
    QPlainTextEdit *m_text;
};
