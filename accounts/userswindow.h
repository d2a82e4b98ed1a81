#pragma once

#include "accounts/userrecord.h"

#include <QByteArray>
#include <QWidget>

#include <array>
#include <memory>

class Dialogs;
class QLineEdit;
class UsersDatabase;

// frmStart: the registered users. The count line, a search by name, "<" and
// ">" browsing, "Add New User" and "Clear". The window keeps one open store
// and cursor for its lifetime; it never changes or deletes a record.
class UsersWindow : public QWidget
{
    Q_OBJECT
public:
    UsersWindow(const QString &databasePath, Dialogs &dialogs, QWidget *parent = nullptr);
    ~UsersWindow() override;

    // Form_Load: title, store and cursor, count line.
    void load();
    // GetData: the fifteen record boxes from the cursor's current record.
    void getData();
    // Text16, also written by the login service after a registration.
    void setCountLine(const QByteArray &text);

private:
    enum class Direction
    {
        Previous,
        Next
    };

    void buildWidgets();
    QLineEdit *addBox(QWidget *group, const char *name, const QRect &geometry);
    void search();
    void step(Direction direction);
    void addNewUser();
    // The shown user's password replaced by what the password box holds.
    void setPassword();
    void clear();
    bool openStore();
    void showRecord(const UserRecord &record);
    void showStoreProblem(const QString &text);

    QString m_databasePath;
    Dialogs &m_dialogs;
    std::unique_ptr<UsersDatabase> m_store;
    std::array<QLineEdit *, UserRecord::ColumnCount> m_recordBoxes{};
    QLineEdit *m_searchName = nullptr;
    QLineEdit *m_countLine = nullptr;
    QLineEdit *m_userId = nullptr;
};
