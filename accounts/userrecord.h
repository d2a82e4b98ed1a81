#pragma once

#include <QByteArray>

#include <array>

// One registered user: fifteen texts, stored exactly as received or typed.
// Column order is the order of the fields of a login "NEWUSER" line.
struct UserRecord
{
    enum Column
    {
        First,
        Last,
        Address1,
        Address2,
        City,
        State,
        Zip,
        Country,
        UserName,
        Password,
        Provider,
        Connection,
        Email,
        mailinglist,
        emailme,
    };
    static constexpr int ColumnCount = 15;
    static constexpr std::array<const char *, ColumnCount> ColumnNames = {
        "First",    "Last",       "Address1", "Address2",    "City",
        "State",    "Zip",        "Country",  "UserName",    "Password",
        "Provider", "Connection", "Email",    "mailinglist", "emailme",
    };

    std::array<QByteArray, ColumnCount> values;

    const QByteArray &operator[](Column column) const { return values[column]; }
    QByteArray &operator[](Column column) { return values[column]; }
    bool operator==(const UserRecord &) const = default;
};
